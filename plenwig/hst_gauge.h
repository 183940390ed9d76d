/* HstGauge: a dial with a needle over a 270 degree scale, a coloured band,
 * scale marks and labels, an optional title and the value under the centre.
 *
 * Each gauge keeps the recent values given to it in a tracer, so that a
 * caller can read their mean and spread. Set the value in the GTK main
 * thread; other threads post it there with g_idle_add.
 */
#ifndef PLENWIG_HST_GAUGE_H
#define PLENWIG_HST_GAUGE_H

#include "hst_gtk.h"
#include "hst_tracer.h"

G_BEGIN_DECLS

#define HST_TYPE_GAUGE            (hst_gauge_get_type())
#define HST_GAUGE(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_GAUGE, HstGauge))
#define HST_GAUGE_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_GAUGE, HstGaugeClass))
#define HST_IS_GAUGE(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_GAUGE))
#define HST_IS_GAUGE_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_GAUGE))
#define HST_GAUGE_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_GAUGE, HstGaugeClass))

typedef struct _HstGauge HstGauge;
typedef struct _HstGaugeClass HstGaugeClass;
typedef struct _HstGaugePrivate HstGaugePrivate;

struct _HstGauge {
    GtkDrawingArea widget;
    HstGaugePrivate* priv;
    float val;
    float xmin;
    float xmax;
    gchar* title;  /* Pango markup, may be NULL */
    gchar* color;  /* name of the band colour */
    gboolean squared;
    HstTracer* tracer;
};

struct _HstGaugeClass {
    GtkDrawingAreaClass parent_class;
};

GType hst_gauge_get_type(void) G_GNUC_CONST;

GtkWidget* hst_gauge_new(float xmin, float xmax);
void hst_gauge_set_value(HstGauge* gg, float value);
float hst_gauge_get_value(HstGauge* gg);
void hst_gauge_set_title(HstGauge* gg, const char* title);
const char* hst_gauge_get_title(HstGauge* gg);
void hst_gauge_set_range(HstGauge* gg, float xmin, float xmax);
void hst_gauge_set_color(HstGauge* gg, const char* name);
void hst_gauge_set_squared(HstGauge* gg, gboolean flag);
/* The gauge's tracer, without an added reference. */
HstTracer* hst_gauge_get_tracer(HstGauge* gg);

G_END_DECLS

#endif
