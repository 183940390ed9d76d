/* HstTracer: the ring buffer behind strip charts and gauges. */
#include "hst_tracer.h"

#include <math.h>
#include <string.h>

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NPTS,
    PROP_XMIN,
    PROP_XMAX,
    PROP_XSTEP,
};

G_DEFINE_TYPE(HstTracer, hst_tracer, HST_TYPE_HISTOGRAM)

void _hst_tracer_clear_ring(HstTracer* t)
{
    t->index = 0;
    t->npoints = 0;
}

int _hst_tracer_set_depth(HstTracer* t, int depth)
{
    HstHistogram* h = HST_HISTOGRAM(t);
    HstFunction* f = HST_FUNCTION(t);
    if (depth < 1 || depth > HST_MAX_BINS)
        return 0;
    if (depth == f->nbin)
        return 0;

    /* Lay the values out oldest first; when they do not all fit, the oldest
     * go and take their part of the statistics with them. */
    const int nold = f->nbin;
    const int held = MIN(t->npoints, nold);
    const int keep = MIN(held, depth);
    int pos = (t->index >= nold ? 0 : t->index) - held;
    if (pos < 0)
        pos += nold;
    double* y = g_new0(double, depth);
    for (int k = 0; k < held; k++, pos = (pos + 1) % nold) {
        const double v = h->y[pos];
        if (k < held - keep)
            _hst_stats_remove_x(h->stat, v);
        else
            y[k - (held - keep)] = v;
    }
    if (h->owner)
        g_free(h->y);
    h->y = y;
    h->owner = 1;

    f->nbin = depth;
    f->xmin = 0.0;
    f->xmax = depth;
    f->step = 1.0;
    t->npoints = keep;
    t->index = keep % depth;
    return 1;
}

static void tracer_fill(HstHistogram* h, double v, double w)
{
    (void)w;
    HstTracer* t = HST_TRACER(h);
    HstFunction* f = HST_FUNCTION(h);
    if (t->index >= f->nbin)
        t->index = 0;
    if (t->npoints >= f->nbin)
        _hst_stats_remove_x(h->stat, h->y[t->index]);
    else
        t->npoints++;
    h->y[t->index] = v;
    t->index++;
    _hst_stats_add(h->stat, v, 0.0, 1.0);
    if (v > h->vmax)
        h->vmax = v;
    if (v < h->vmin)
        h->vmin = v;
}

static void tracer_reset(HstHistogram* h)
{
    HST_HISTOGRAM_CLASS(hst_tracer_parent_class)->reset(h);
    /* Emptied values are no longer held, so the ring starts empty too. */
    _hst_tracer_clear_ring(HST_TRACER(h));
}

/* The held values oldest first at x = 0, 1, ...; the requested abscissae
 * do not matter. */
static void tracer_array(HstFunction* f, HstTuple* tp, double a, double b)
{
    (void)a;
    (void)b;
    HstTracer* t = HST_TRACER(f);
    HstHistogram* h = HST_HISTOGRAM(f);
    tp->n = 0;
    tp->P = NULL;
    const int m = MIN(t->npoints, f->nbin);
    if (m <= 0)
        return;
    tp->P = g_new(HstPoint, m);
    int pos = t->index - m;
    if (pos < 0)
        pos += f->nbin;
    for (int i = 0; i < m; i++) {
        if (pos >= f->nbin)
            pos = 0;
        tp->P[i].x = i;
        tp->P[i].y = h->y[pos];
        pos++;
    }
    tp->n = m;
}

/* A chart gives its plot width: one value per pixel column. */
static int tracer_resize(HstFunction* f, int width, int height)
{
    (void)height;
    return _hst_tracer_set_depth(HST_TRACER(f), width);
}

static void tracer_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_TRACER(object));
    HstTracer* t = HST_TRACER(object);

    switch (prop_id) {
    case PROP_NPTS:
        HST_LOCK(t);
        _hst_tracer_set_depth(t, g_value_get_int(value));
        HST_UNLOCK(t);
        g_object_notify(object, "range");
        break;
    case PROP_XMIN:
        break;
    case PROP_XMAX: {
        const double x = g_value_get_double(value);
        if (!(x >= 1.0 && x < HST_MAX_BINS + 1.0)) {
            g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "xmax>=1 && xmax<1000000");
            return;
        }
        HST_LOCK(t);
        _hst_tracer_set_depth(t, (int)x);
        HST_UNLOCK(t);
        g_object_notify(object, "range");
        break;
    }
    case PROP_XSTEP:
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void tracer_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_TRACER(object));
    HstFunction* f = HST_FUNCTION(object);

    HST_LOCK(f);
    switch (prop_id) {
    case PROP_NPTS:
        g_value_set_int(value, f->nbin);
        break;
    case PROP_XMIN:
        g_value_set_double(value, f->xmin);
        break;
    case PROP_XMAX:
        g_value_set_double(value, f->xmax);
        break;
    case PROP_XSTEP:
        g_value_set_double(value, f->step);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(f);
}

static void hst_tracer_init(HstTracer* t)
{
    g_return_if_fail(HST_IS_TRACER(t));
    HST_FUNCTION(t)->xmin = 0.0;
    HST_FUNCTION(t)->step = 1.0;
    t->index = 0;
    t->npoints = 0;
}

static void hst_tracer_class_init(HstTracerClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstFunctionClass* function_class = HST_FUNCTION_CLASS(klass);
    HstHistogramClass* histogram_class = HST_HISTOGRAM_CLASS(klass);

    gobject_class->set_property = tracer_set_property;
    gobject_class->get_property = tracer_get_property;
    function_class->array = tracer_array;
    function_class->resize = tracer_resize;
    histogram_class->fill = tracer_fill;
    histogram_class->reset = tracer_reset;

    g_object_class_override_property(gobject_class, PROP_NPTS, "nx");
    g_object_class_override_property(gobject_class, PROP_XMIN, "xmin");
    g_object_class_override_property(gobject_class, PROP_XMAX, "xmax");
    g_object_class_override_property(gobject_class, PROP_XSTEP, "xstep");
}

HstTracer* hst_tracer_new(int n)
{
    g_return_val_if_fail(n>0, NULL);
    g_return_val_if_fail(n <= HST_MAX_BINS, NULL);
    return HST_TRACER(g_object_new(HST_TYPE_TRACER, "nx", n, "xmin", 0.0, "xmax", (double)n,
                                   "ptr", NULL, NULL));
}

#define TRACER_READ(tr, expr)                          \
    g_return_val_if_fail(HST_IS_TRACER(tr), 0.0);      \
    HST_LOCK(tr);                                      \
    const double v_ = (expr);                          \
    HST_UNLOCK(tr);                                    \
    return v_

double hst_tracer_get_maximum(HstTracer* tr) { TRACER_READ(tr, HST_HISTOGRAM(tr)->stat->xmax[0]); }
double hst_tracer_get_minimum(HstTracer* tr) { TRACER_READ(tr, HST_HISTOGRAM(tr)->stat->xmin[0]); }
double hst_tracer_get_mean(HstTracer* tr) { TRACER_READ(tr, hst_stats_get_mean(HST_HISTOGRAM(tr)->stat, 0)); }
double hst_tracer_get_rms(HstTracer* tr) { TRACER_READ(tr, hst_stats_get_rms(HST_HISTOGRAM(tr)->stat, 0)); }
