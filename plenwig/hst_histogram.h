/* HstHistogram: a binned 1D histogram with statistics of the filled values.
 *
 * Every operation takes the object's lock itself; the lock is recursive, so a
 * caller may also hold hst_function_lock around a group of calls. "changed"
 * is emitted after fill and reset have released their own hold of the lock.
 */
#ifndef PLENWIG_HST_HISTOGRAM_H
#define PLENWIG_HST_HISTOGRAM_H

#include "hst_function.h"
#include "hst_stats.h"

G_BEGIN_DECLS

#define HST_TYPE_HISTOGRAM            (hst_histogram_get_type())
#define HST_HISTOGRAM(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_HISTOGRAM, HstHistogram))
#define HST_HISTOGRAM_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_HISTOGRAM, HstHistogramClass))
#define HST_IS_HISTOGRAM(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_HISTOGRAM))
#define HST_IS_HISTOGRAM_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_HISTOGRAM))
#define HST_HISTOGRAM_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_HISTOGRAM, HstHistogramClass))

typedef struct _HstHistogram HstHistogram;
typedef struct _HstHistogramClass HstHistogramClass;

struct _HstHistogram {
    HstFunction parent;
    double* y;      /* nbin bin contents */
    int owner;      /* 1 when y was allocated here, 0 for a caller's buffer */
    HstStats* stat; /* statistics of the filled values */
    double vmin;    /* smallest bin content seen */
    double vmax;    /* largest bin content seen */
};

struct _HstHistogramClass {
    HstFunctionClass parent_class;

    void (*fill)(HstHistogram* h, double x, double w);
    void (*reset)(HstHistogram* h);
    void (*changed)(HstHistogram* h);
};

GType hst_histogram_get_type(void) G_GNUC_CONST;

HstHistogram* hst_histogram_new(gint n, gdouble xmin, gdouble xmax, gdouble* ptr);

void hst_histogram_fill(HstHistogram* hst, double val, double weight);
void hst_histogram_reset(HstHistogram* hst);
void hst_histogram_set_bin_content(HstHistogram* hst, int ibin, double val);
double hst_histogram_get_bin_content(HstHistogram* hst, int ibin);
void hst_histogram_update_stats(HstHistogram* hst);
void hst_histogram_resize(HstHistogram* hst, int nbin, double xmin, double xmax);
void hst_histogram_rebin(HstHistogram* hst, int nbin, gdouble xmin, gdouble xmax);
int hst_histogram_get_stats(HstHistogram* hst, HstStats* s);
/* The live array, not a copy: read it under hst_function_lock. */
void hst_histogram_get_values(HstHistogram* hst, int* sz, double** buffer);
/* A copy of the contents; the caller frees it with g_free. */
double* hst_histogram_get_data(HstHistogram* hst);
HstHistogram* hst_histogram_clone(HstHistogram* hst);

double hst_histogram_mean(HstHistogram* hst);
double hst_histogram_rms(HstHistogram* hst); /* the variance */
double hst_histogram_stdev(HstHistogram* hst);
double hst_histogram_entries(HstHistogram* hst);
double hst_histogram_min_value(HstHistogram* hst);
double hst_histogram_max_value(HstHistogram* hst);
double hst_histogram_vmin(HstHistogram* hst);
double hst_histogram_vmax(HstHistogram* hst);

G_END_DECLS

#endif
