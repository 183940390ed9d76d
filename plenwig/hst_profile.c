/* HstProfile: running weighted means of y per bin of x. */
#include "hst_profile.h"

#include <math.h>
#include <string.h>

#include "hst_private.h"

enum {
    PROP_0,
    PROP_RMS,
    PROP_NTOTAL,
};

G_DEFINE_TYPE(HstProfile, hst_profile, HST_TYPE_HISTOGRAM)

void _hst_profile_resize_sums(HstProfile* p, int n)
{
    g_free(p->n);
    g_free(p->s);
    p->n = g_new0(double, n);
    p->s = g_new0(double, n);
}

static void profile_fill_unlocked(HstProfile* p, double x, double y, double w)
{
    HstHistogram* h = HST_HISTOGRAM(p);
    HstFunction* f = HST_FUNCTION(p);
    const int ib = _hst_find_bin(f, x);
    if (ib < 0 || ib >= f->nbin)
        return;
    const double np = p->n[ib] + w;
    if (np != 0.0) {
        h->y[ib] = (w * y + p->n[ib] * h->y[ib]) / np;
        p->s[ib] = (w * y * y + p->n[ib] * p->s[ib]) / np;
    }
    /* With weights that cancel there is no mean to form: the bin keeps its
     * last one rather than becoming 0/0. */
    p->n[ib] = np;
    _hst_stats_add(h->stat, x, y, w);
    if (x > h->vmax)
        h->vmax = x;
    if (x < h->vmin)
        h->vmin = x;
}

/* Through the histogram interface the second number is the y value. */
static void profile_class_fill(HstHistogram* h, double x, double y)
{
    profile_fill_unlocked(HST_PROFILE(h), x, y, 1.0);
}

static void profile_class_reset(HstHistogram* h)
{
    HstProfile* p = HST_PROFILE(h);
    const size_t n = (size_t)HST_FUNCTION(h)->nbin;
    memset(p->n, 0, sizeof(double) * n);
    memset(p->s, 0, sizeof(double) * n);
}

static void on_range_changed(HstFunction* f, gpointer data)
{
    (void)data;
    HST_LOCK(f);
    _hst_profile_resize_sums(HST_PROFILE(f), f->nbin);
    HST_UNLOCK(f);
}

static void profile_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_PROFILE(object));
    HstProfile* p = HST_PROFILE(object);
    HstHistogram* h = HST_HISTOGRAM(object);
    const int n = HST_FUNCTION(object)->nbin;

    HST_LOCK(p);
    switch (prop_id) {
    case PROP_RMS: {
        double* rms = g_new(double, n);
        for (int i = 0; i < n; i++)
            rms[i] = sqrt(fabs(p->s[i] - h->y[i] * h->y[i]));
        g_value_set_pointer(value, rms);
        break;
    }
    case PROP_NTOTAL: {
        double* nt = g_new(double, n);
        memcpy(nt, p->n, sizeof(double) * (size_t)n);
        g_value_set_pointer(value, nt);
        break;
    }
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(p);
}

static void hst_profile_init(HstProfile* p)
{
    g_return_if_fail(HST_IS_PROFILE(p));
    p->n = g_new0(double, 1);
    p->s = g_new0(double, 1);
    g_signal_connect(p, "range-changed", G_CALLBACK(on_range_changed), NULL);
}

static void profile_finalize(GObject* object)
{
    HstProfile* p = HST_PROFILE(object);
    g_free(p->n);
    g_free(p->s);
    p->n = p->s = NULL;
    G_OBJECT_CLASS(hst_profile_parent_class)->finalize(object);
}

static void hst_profile_class_init(HstProfileClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstHistogramClass* histogram_class = HST_HISTOGRAM_CLASS(klass);

    gobject_class->get_property = profile_get_property;
    gobject_class->finalize = profile_finalize;
    histogram_class->fill = profile_class_fill;
    histogram_class->reset = profile_class_reset;

    g_object_class_install_property(
        gobject_class, PROP_RMS,
        g_param_spec_pointer("rms", "RMS of profile data", "Pointer to rms of data", G_PARAM_READABLE));
    g_object_class_install_property(
        gobject_class, PROP_NTOTAL,
        g_param_spec_pointer("ntotal", "events of profile data", "Pointer to statistics of profile data",
                             G_PARAM_READABLE));
}

HstProfile* hst_profile_new(int n, double xmin, double xmax, double* ptr)
{
    g_return_val_if_fail(n>0, NULL);
    g_return_val_if_fail(n <= HST_MAX_BINS, NULL);
    g_return_val_if_fail(isfinite(xmin) && isfinite(xmax), NULL);
    return HST_PROFILE(g_object_new(HST_TYPE_PROFILE, "nx", n, "xmin", xmin, "xmax", xmax,
                                    "ptr", (gpointer)ptr, NULL));
}

void hst_profile_fill(HstProfile* hst, double x, double y, double w)
{
    g_return_if_fail(HST_IS_PROFILE(hst));
    HST_LOCK(hst);
    profile_fill_unlocked(hst, x, y, w);
    HST_UNLOCK(hst);
}
