/* HstStats: weighted moments of a stream of (x, y) entries.
 *
 * It has no lock of its own: the object that owns it guards it. The "rms"
 * is the variance; displays take its square root.
 */
#ifndef PLENWIG_HST_STATS_H
#define PLENWIG_HST_STATS_H

#include <glib-object.h>

G_BEGIN_DECLS

#define HST_TYPE_STATS            (hst_stats_get_type())
#define HST_STATS(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_STATS, HstStats))
#define HST_STATS_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_STATS, HstStatsClass))
#define HST_IS_STATS(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_STATS))
#define HST_IS_STATS_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_STATS))
#define HST_STATS_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_STATS, HstStatsClass))

typedef struct _HstStats HstStats;
typedef struct _HstStatsClass HstStatsClass;

struct _HstStats {
    GObject parent_instance;
    double nc;      /* sum of weights */
    double s[5];    /* sums of w*x, w*y, w*x^2, w*y^2, w*x*y */
    double xmin[2]; /* smallest x (0) and y (1) */
    double xmax[2]; /* largest x (0) and y (1) */
};

struct _HstStatsClass {
    GObjectClass parent_class;
};

GType hst_stats_get_type(void) G_GNUC_CONST;

HstStats* hst_stats_new(void);
void hst_stats_add(HstStats* self, double x, double y, double w);
void hst_stats_reset(HstStats* self);
void hst_stats_copy(HstStats* self, HstStats* cpy);

double hst_stats_get_nc(HstStats* self);
double hst_stats_get_mean(HstStats* self, int w);
double hst_stats_get_rms(HstStats* self, int w);
double hst_stats_get_stdev(HstStats* self, int w);
double hst_stats_get_min(HstStats* self, int w);
double hst_stats_get_max(HstStats* self, int w);
double hst_stats_get_correlation(HstStats* self);

G_END_DECLS

#endif
