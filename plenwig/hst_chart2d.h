/* HstChart2D: a 1D chart that shows an HstHistogram2D as a map of coloured
 * cells with a colour scale to the right of the plot box.
 *
 * It keeps the whole machinery of HstChart1D (canvas, lock, axes, menu,
 * export); given a plain HstFunction it draws exactly like its parent.
 */
#ifndef PLENWIG_HST_CHART2D_H
#define PLENWIG_HST_CHART2D_H

#include "hst_chart1d.h"
#include "hst_histogram2d.h"

G_BEGIN_DECLS

typedef enum {
    HST_COLOR_2D_BW = 0,
    HST_COLOR_2D_WB = 1,
    HST_COLOR_2D_RED = 2,
    HST_COLOR_2D_GREEN = 3,
    HST_COLOR_2D_BLUE = 4,
    HST_COLOR_2D_THERMAL = 5,
    HST_COLOR_2D_LAST = 6 /* end marker, no scheme */
} HstChart2DColorScheme;

GType hst_chart_color_scheme_get_type(void) G_GNUC_CONST;

#define HST_TYPE_CHART2D            (hst_chart2d_get_type())
#define HST_CHART2D(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_CHART2D, HstChart2D))
#define HST_CHART2D_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_CHART2D, HstChart2DClass))
#define HST_IS_CHART2D(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_CHART2D))
#define HST_IS_CHART2D_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_CHART2D))
#define HST_CHART2D_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_CHART2D, HstChart2DClass))

typedef struct _HstChart2D HstChart2D;
typedef struct _HstChart2DClass HstChart2DClass;
typedef struct _HstChart2DPrivate HstChart2DPrivate;

struct _HstChart2D {
    HstChart1D parent;
    int ctype;          /* HstChart2DColorScheme */
    int ncol;           /* entries of colorlst, 0 when there is no table */
    GdkColor* colorlst; /* lowest content first */
    gboolean squared;
    int ntot;  /* cells of the histogram */
    int nindx; /* non-empty finite cells found at the last frame */
    int bsiz;  /* capacity of dindex in ints, -1 before the first */
    int* dindex; /* bin numbers of the non-empty cells, in bin order */
    int* dkey;   /* dindex + nindx: positions in dindex by ascending content */
    HstChart2DPrivate* priv;
};

struct _HstChart2DClass {
    HstChart1DClass parent_class;
};

GType hst_chart2d_get_type(void) G_GNUC_CONST;

GtkWidget* hst_chart2d_new(HstHistogram2D* ff);
void hst_chart2d_set_squared(HstChart2D* h2d, gboolean flag);
/* Rebuilds the colour table for a scheme (HST_COLOR_2D_BW .. THERMAL). */
void hst2d_set_2d_colors(HstChart2D* h, int scheme);

G_END_DECLS

#endif
