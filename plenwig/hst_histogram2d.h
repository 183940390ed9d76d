/* HstHistogram2D: a binned 2D histogram, cell (ix, iy) at index ix + nx*iy
 * (rows of constant Y), with statistics of both variables and the smallest
 * and largest cell content.
 *
 * Every operation takes the object's lock itself; the lock is recursive, so
 * a caller may also hold hst_function_lock around a group of calls.
 */
#ifndef PLENWIG_HST_HISTOGRAM2D_H
#define PLENWIG_HST_HISTOGRAM2D_H

#include "hst_function2d.h"
#include "hst_stats.h"

G_BEGIN_DECLS

#define HST_TYPE_HISTOGRAM2D            (hst_histogram2d_get_type())
#define HST_HISTOGRAM2D(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_HISTOGRAM2D, HstHistogram2D))
#define HST_HISTOGRAM2D_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_HISTOGRAM2D, HstHistogram2DClass))
#define HST_IS_HISTOGRAM2D(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_HISTOGRAM2D))
#define HST_IS_HISTOGRAM2D_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_HISTOGRAM2D))
#define HST_HISTOGRAM2D_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_HISTOGRAM2D, HstHistogram2DClass))

typedef struct _HstHistogram2D HstHistogram2D;
typedef struct _HstHistogram2DClass HstHistogram2DClass;

struct _HstHistogram2D {
    HstFunction2D parent;
    double* y;      /* nx*ny cell contents */
    HstStats* stat; /* statistics of the filled (x, y) pairs */
    int owner;      /* 1 when y was allocated here, 0 for a caller's buffer */
    double vmin;    /* smallest cell content seen */
    double vmax;    /* largest cell content seen */
};

struct _HstHistogram2DClass {
    HstFunction2DClass parent_class;

    void (*fill)(HstHistogram2D* h2d, double x, double y, double w);
    void (*reset)(HstHistogram2D* h2d);
    void (*changed)(HstHistogram2D* h2d);
};

GType hst_histogram2d_get_type(void) G_GNUC_CONST;

HstHistogram2D* hst_histogram2d_new(int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                                    gdouble* ptr);
void hst_histogram2d_fill(HstHistogram2D* h2d, double x, double y, double w);
void hst_histogram2d_reset(HstHistogram2D* h2d);
double hst_histogram2d_get_cell_content(HstHistogram2D* h2d, int ix, int iy);
int hst_histogram2d_get_stats(HstHistogram2D* h2d, HstStats* s);
HstHistogram2D* hst_histogram2d_clone(HstHistogram2D* hst);

G_END_DECLS

#endif
