/* HstHistogram: bins, statistics, buffer adoption, resize and rebin. */
#include "hst_histogram.h"

#include <math.h>
#include <string.h>

#include "hst_private.h"
#include "hst_profile.h"
#include "hst_tracer.h"

enum {
    PROP_0,
    PROP_NPTS,
    PROP_PTR,
    PROP_VMIN,
    PROP_VMAX,
    PROP_STATS,
    PROP_XSTEP,
};

enum { CHANGED, LAST_SIGNAL };

static guint histogram_signals[LAST_SIGNAL];

G_DEFINE_TYPE(HstHistogram, hst_histogram, HST_TYPE_FUNCTION)

void _hst_histogram_new_array(HstHistogram* h, int n)
{
    if (h->owner) {
        h->y = g_renew(double, h->y, n);
    } else {
        /* The caller's buffer stays the caller's. */
        h->y = g_new(double, n);
        h->owner = 1;
    }
    memset(h->y, 0, sizeof(double) * (size_t)n);
    /* A profile's per-bin sums must always match the bin count, or a fill
     * between this and the range notification would index past them. */
    if (HST_IS_PROFILE(h))
        _hst_profile_resize_sums(HST_PROFILE(h), n);
}

void _hst_histogram_base_fill(HstHistogram* h, double x, double w)
{
    HstFunction* f = HST_FUNCTION(h);
    const int ib = _hst_find_bin(f, x);
    _hst_stats_add(h->stat, x, 0.0, w);
    if (ib >= 0 && ib < f->nbin) {
        h->y[ib] += w;
        if (h->y[ib] > h->vmax)
            h->vmax = h->y[ib];
        if (h->y[ib] < h->vmin)
            h->vmin = h->y[ib];
    }
}

/* Statistics and content range rebuilt from the bins; empty bins are
 * skipped so they neither count nor pull vmin/vmax towards 0. */
static void update_stats_unlocked(HstHistogram* h)
{
    HstFunction* f = HST_FUNCTION(h);
    _hst_stats_reset(h->stat);
    h->vmin = h->vmax = 0.0;
    for (int ib = 0; ib < f->nbin; ib++) {
        const double c = h->y[ib];
        if (c == 0.0)
            continue;
        _hst_stats_add(h->stat, _hst_bin_center(f, ib), 0.0, c);
        if (c > h->vmax)
            h->vmax = c;
        if (c < h->vmin)
            h->vmin = c;
    }
}

static void adopt_buffer(HstHistogram* h, double* ptr)
{
    HstFunction* f = HST_FUNCTION(h);
    if (ptr && ptr == h->y) {
        /* Handing back the array already in use must not free it. */
        update_stats_unlocked(h);
    } else if (ptr) {
        if (h->owner)
            g_free(h->y);
        h->y = ptr;
        h->owner = 0;
        update_stats_unlocked(h);
    } else {
        if (h->owner)
            g_free(h->y);
        h->y = g_new0(double, f->nbin);
        h->owner = 1;
    }
    /* New contents are not values a tracer's ring holds. */
    if (HST_IS_TRACER(h)) {
        _hst_tracer_clear_ring(HST_TRACER(h));
        _hst_stats_reset(h->stat);
        h->vmin = h->vmax = 0.0;
    }
}

static void histogram_fill(HstHistogram* h, double x, double w)
{
    _hst_histogram_base_fill(h, x, w);
}

static void histogram_reset(HstHistogram* h)
{
    HstFunction* f = HST_FUNCTION(h);
    memset(h->y, 0, sizeof(double) * (size_t)f->nbin);
    _hst_stats_reset(h->stat);
    h->vmin = h->vmax = 0.0;
}

static double histogram_eval(HstFunction* f, double x)
{
    HstHistogram* h = HST_HISTOGRAM(f);
    if (isnan(x) || x < f->xmin || x > f->xmax)
        return 0.0;
    int ib = _hst_find_bin(f, x);
    if (ib < 0)
        ib = 0;
    if (ib >= f->nbin)
        ib = f->nbin - 1;
    return h->y[ib];
}

/* The outline of the bars from bin of a to bin of b, starting and ending at
 * level 0. */
static void histogram_array(HstFunction* f, HstTuple* t, double a, double b)
{
    HstHistogram* h = HST_HISTOGRAM(f);
    t->n = 0;
    t->P = NULL;

    int i1 = _hst_find_bin(f, a);
    if (i1 < 0)
        i1 = 0;
    if (i1 >= f->nbin)
        i1 = f->nbin - 1;
    int i2 = _hst_find_bin(f, b);
    if (i2 > f->nbin)
        i2 = f->nbin;
    if (i2 < 0)
        i2 = 0;
    if (i2 >= f->nbin)
        i2 = f->nbin - 1;
    if (i2 < i1)
        return;

    const int n = 3 * (i2 - i1 + 1) + 1;
    HstPoint* P = g_new(HstPoint, n);
    double level = 0.0;
    int k = 0;
    for (int i = i1; i <= i2; i++) {
        const double e = f->xmin + i * f->step;
        P[k].x = e;
        P[k++].y = level;
        P[k].x = e;
        P[k++].y = h->y[i];
        P[k].x = e + f->step;
        P[k++].y = h->y[i];
        level = h->y[i];
    }
    P[k].x = f->xmin + (i2 + 1) * f->step;
    P[k++].y = 0.0;
    t->P = P;
    t->n = k;
}

static void histogram_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_HISTOGRAM(object));
    HstHistogram* h = HST_HISTOGRAM(object);
    HstFunction* f = HST_FUNCTION(object);

    switch (prop_id) {
    case PROP_NPTS: {
        const int n = g_value_get_int(value);
        HST_LOCK(h);
        _hst_histogram_new_array(h, n);
        f->nbin = n;
        f->step = (f->xmax - f->xmin) / n;
        HST_UNLOCK(h);
        g_object_notify(object, "range");
        break;
    }
    case PROP_PTR:
        HST_LOCK(h);
        adopt_buffer(h, g_value_get_pointer(value));
        HST_UNLOCK(h);
        g_signal_emit(object, histogram_signals[CHANGED], 0);
        break;
    case PROP_STATS:
        HST_LOCK(h);
        update_stats_unlocked(h);
        HST_UNLOCK(h);
        break;
    case PROP_XSTEP: {
        /* A new step changes the bin count, so the bins are reallocated
         * together with it. */
        const double step = g_value_get_double(value);
        HST_LOCK(h);
        const int n = _hst_bins_for_step(f->xmin, f->xmax, step);
        if (n > 0) {
            _hst_histogram_new_array(h, n);
            f->nbin = n;
            f->step = step;
            f->xmax = f->xmin + n * step;
        }
        HST_UNLOCK(h);
        if (n < 0)
            g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "xstep gives 1 to 999999 bins");
        break;
    }
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void histogram_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_HISTOGRAM(object));
    HstHistogram* h = HST_HISTOGRAM(object);
    HstFunction* f = HST_FUNCTION(object);

    HST_LOCK(h);
    switch (prop_id) {
    case PROP_NPTS:
        g_value_set_int(value, f->nbin);
        break;
    case PROP_PTR:
        g_value_set_pointer(value, h->y);
        break;
    case PROP_VMIN:
        g_value_set_double(value, h->vmin);
        break;
    case PROP_VMAX:
        g_value_set_double(value, h->vmax);
        break;
    case PROP_XSTEP:
        g_value_set_double(value, f->step);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(h);
}

static void hst_histogram_init(HstHistogram* h)
{
    h->y = g_new0(double, 1);
    h->owner = 1;
    h->stat = hst_stats_new();
    h->vmin = h->vmax = 0.0;
    histogram_reset(h);
}

static void histogram_finalize(GObject* object)
{
    HstHistogram* h = HST_HISTOGRAM(object);
    if (h->owner)
        g_free(h->y);
    h->y = NULL;
    g_clear_object(&h->stat);
    G_OBJECT_CLASS(hst_histogram_parent_class)->finalize(object);
}

static void hst_histogram_class_init(HstHistogramClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstFunctionClass* function_class = HST_FUNCTION_CLASS(klass);

    gobject_class->set_property = histogram_set_property;
    gobject_class->get_property = histogram_get_property;
    gobject_class->finalize = histogram_finalize;

    function_class->eval = histogram_eval;
    function_class->array = histogram_array;

    klass->fill = histogram_fill;
    klass->reset = histogram_reset;
    klass->changed = NULL;

    g_object_class_override_property(gobject_class, PROP_NPTS, "nx");
    g_object_class_install_property(
        gobject_class, PROP_PTR,
        g_param_spec_pointer("ptr", "ptr to data", "Pointer to data", G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_VMIN,
        g_param_spec_double("vmin", "Minimum histogramed value", "Minimum histogramed value",
                            -G_MAXDOUBLE, G_MAXDOUBLE, 0.0, G_PARAM_READABLE));
    g_object_class_install_property(
        gobject_class, PROP_VMAX,
        g_param_spec_double("vmax", "Maximum histogramed value", "Maximum histogramed value",
                            -G_MAXDOUBLE, G_MAXDOUBLE, 1.0, G_PARAM_READABLE));
    g_object_class_install_property(
        gobject_class, PROP_STATS,
        g_param_spec_int("stats", "Updates the statistics", "Updates the statistics",
                         -2147483647, 2147483647, 0, G_PARAM_WRITABLE));
    g_object_class_override_property(gobject_class, PROP_XSTEP, "xstep");

    histogram_signals[CHANGED] = g_signal_new(
        "changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_FIRST,
        G_STRUCT_OFFSET(HstHistogramClass, changed), NULL, NULL, NULL, G_TYPE_NONE, 0);
}

HstHistogram* hst_histogram_new(gint n, gdouble xmin, gdouble xmax, gdouble* ptr)
{
    g_return_val_if_fail(n>0, NULL);
    g_return_val_if_fail(n <= HST_MAX_BINS, NULL);
    g_return_val_if_fail(isfinite(xmin) && isfinite(xmax), NULL);
    return HST_HISTOGRAM(g_object_new(HST_TYPE_HISTOGRAM, "nx", n, "xmin", xmin, "xmax", xmax,
                                      "ptr", (gpointer)ptr, NULL));
}

void hst_histogram_fill(HstHistogram* hst, double val, double weight)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    HstHistogramClass* klass = HST_HISTOGRAM_GET_CLASS(hst);
    HST_LOCK(hst);
    if (klass->fill)
        klass->fill(hst, val, weight);
    HST_UNLOCK(hst);
    g_signal_emit(hst, histogram_signals[CHANGED], 0);
}

void hst_histogram_reset(HstHistogram* hst)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    HstHistogramClass* klass = HST_HISTOGRAM_GET_CLASS(hst);
    HST_LOCK(hst);
    if (klass->reset)
        klass->reset(hst);
    HST_UNLOCK(hst);
    g_signal_emit(hst, histogram_signals[CHANGED], 0);
}

void hst_histogram_set_bin_content(HstHistogram* hst, int ibin, double val)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    HST_LOCK(hst);
    const gboolean ok = ibin >= 0 && ibin < HST_FUNCTION(hst)->nbin;
    if (ok)
        hst->y[ibin] = val;
    HST_UNLOCK(hst);
    if (!ok)
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "ibin>=0 && ibin<nbin");
}

double hst_histogram_get_bin_content(HstHistogram* hst, int ibin)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM(hst), 0.0);
    double v = 0.0;
    HST_LOCK(hst);
    const gboolean ok = ibin >= 0 && ibin < HST_FUNCTION(hst)->nbin;
    if (ok)
        v = hst->y[ibin];
    HST_UNLOCK(hst);
    if (!ok)
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "ibin>=0 && ibin<nbin");
    return v;
}

void hst_histogram_update_stats(HstHistogram* hst)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    HST_LOCK(hst);
    update_stats_unlocked(hst);
    HST_UNLOCK(hst);
}

void hst_histogram_resize(HstHistogram* hst, int nbin, double xmin, double xmax)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    g_return_if_fail(nbin <= HST_MAX_BINS);
    g_return_if_fail(isfinite(xmin) && isfinite(xmax));
    HstFunction* f = HST_FUNCTION(hst);

    HST_LOCK(hst);
    const int n = nbin < 1 ? f->nbin : nbin;
    if (HST_IS_TRACER(hst)) {
        /* A tracer's range is its depth; its values stay in order. */
        _hst_tracer_set_depth(HST_TRACER(hst), n);
    } else {
        _hst_histogram_new_array(hst, n);
        f->nbin = n;
        f->xmin = xmin;
        f->xmax = xmax;
        f->step = (xmax - xmin) / n;
    }
    HST_UNLOCK(hst);
    g_object_notify(G_OBJECT(hst), "range");
}

/* Content between the low edge and u old bins above it, the contents taken
 * as spread evenly over each bin; cum[i] is the sum of bins below bin i. */
static double cumulative_at(const double* cum, int n, double u)
{
    if (!(u > 0.0))
        return 0.0;
    if (u >= n)
        return cum[n];
    const int i = (int)u;
    return cum[i] + (u - i) * (cum[i + 1] - cum[i]);
}

void hst_histogram_rebin(HstHistogram* hst, int nbin, gdouble xmin, gdouble xmax)
{
    g_return_if_fail(HST_IS_HISTOGRAM(hst));
    /* A ring of recent values and a table of means have no contents that
     * could be summed into wider bins. */
    g_return_if_fail(!HST_IS_TRACER(hst));
    g_return_if_fail(!HST_IS_PROFILE(hst));
    g_return_if_fail(nbin>0);
    g_return_if_fail(nbin <= HST_MAX_BINS);
    g_return_if_fail(xmin != xmax);
    g_return_if_fail(isfinite(xmin) && isfinite(xmax));
    HstFunction* f = HST_FUNCTION(hst);

    HST_LOCK(hst);
    const int nold = f->nbin;
    double* cum = g_new(double, nold + 1);
    cum[0] = 0.0;
    for (int i = 0; i < nold; i++)
        cum[i + 1] = cum[i] + hst->y[i];
    /* New edges measured in old bins: exact when the binning is unchanged
     * or an integer multiple of the old one. */
    const double u0 = (xmin - f->xmin) / f->step;
    const double snew = (xmax - xmin) / nbin;
    const double r = snew / f->step;

    f->xmin = xmin;
    f->xmax = xmax;
    g_object_set(hst, "nx", nbin, NULL);

    for (int i = 0; i < nbin; i++) {
        const double g0 = cumulative_at(cum, nold, u0 + i * r);
        const double g1 = cumulative_at(cum, nold, u0 + (i + 1) * r);
        hst->y[i] = g1 - g0;
    }
    g_free(cum);
    /* The statistics describe the new contents rather than counting every
     * entry a second time. */
    update_stats_unlocked(hst);
    HST_UNLOCK(hst);
    g_signal_emit_by_name(hst, "range-changed");
}

int hst_histogram_get_stats(HstHistogram* hst, HstStats* s)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM(hst), -1);
    g_return_val_if_fail(s!=NULL, -1);
    g_return_val_if_fail(HST_IS_STATS(s), -1);
    HST_LOCK(hst);
    hst_stats_copy(hst->stat, s);
    HST_UNLOCK(hst);
    return 0;
}

void hst_histogram_get_values(HstHistogram* hst, int* sz, double** buffer)
{
    if (!HST_IS_HISTOGRAM(hst)) {
        if (sz)
            *sz = 0;
        if (buffer)
            *buffer = NULL;
        g_return_if_fail(HST_IS_HISTOGRAM(hst));
        return;
    }
    HST_LOCK(hst);
    if (sz)
        *sz = HST_FUNCTION(hst)->nbin;
    if (buffer)
        *buffer = hst->y;
    HST_UNLOCK(hst);
}

double* hst_histogram_get_data(HstHistogram* hst)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM(hst), NULL);
    HST_LOCK(hst);
    const int n = HST_FUNCTION(hst)->nbin;
    double* copy = g_new(double, n);
    memcpy(copy, hst->y, sizeof(double) * (size_t)n);
    HST_UNLOCK(hst);
    return copy;
}

HstHistogram* hst_histogram_clone(HstHistogram* hst)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM(hst), NULL);
    HstFunction* f = HST_FUNCTION(hst);
    HST_LOCK(hst);
    HstHistogram* c = hst_histogram_new(f->nbin, f->xmin, f->xmax, NULL);
    memcpy(c->y, hst->y, sizeof(double) * (size_t)f->nbin);
    c->vmin = hst->vmin;
    c->vmax = hst->vmax;
    hst_stats_copy(hst->stat, c->stat);
    HST_UNLOCK(hst);
    return c;
}

/* The statistics accessors share one pattern: check, lock, read. */
#define HISTOGRAM_READ(hst, expr)                          \
    g_return_val_if_fail(HST_IS_HISTOGRAM(hst), 0.0);      \
    HST_LOCK(hst);                                         \
    const double v_ = (expr);                              \
    HST_UNLOCK(hst);                                       \
    return v_

double hst_histogram_mean(HstHistogram* hst) { HISTOGRAM_READ(hst, hst_stats_get_mean(hst->stat, 0)); }
double hst_histogram_rms(HstHistogram* hst) { HISTOGRAM_READ(hst, hst_stats_get_rms(hst->stat, 0)); }
double hst_histogram_stdev(HstHistogram* hst) { HISTOGRAM_READ(hst, hst_stats_get_stdev(hst->stat, 0)); }
double hst_histogram_entries(HstHistogram* hst) { HISTOGRAM_READ(hst, hst->stat->nc); }
double hst_histogram_min_value(HstHistogram* hst) { HISTOGRAM_READ(hst, hst->stat->xmin[0]); }
double hst_histogram_max_value(HstHistogram* hst) { HISTOGRAM_READ(hst, hst->stat->xmax[0]); }
double hst_histogram_vmin(HstHistogram* hst) { HISTOGRAM_READ(hst, hst->vmin); }
double hst_histogram_vmax(HstHistogram* hst) { HISTOGRAM_READ(hst, hst->vmax); }
