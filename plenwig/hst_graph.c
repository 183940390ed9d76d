/* HstGraph: linear interpolation over a list of points. */
#include "hst_graph.h"

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NPTS,
    PROP_XV,
    PROP_YV,
    PROP_XSTEP,
};

G_DEFINE_TYPE(HstGraph, hst_graph, HST_TYPE_FUNCTION)

static double graph_eval(HstFunction* f, double x)
{
    HstGraph* g = HST_GRAPH(f);
    const int n = f->nbin;
    if (n <= 0)
        return 0.0;
    int i = 0;
    while (i < n && x > g->xv[i])
        i++;
    if (i == n)
        return g->yv[n - 1];
    if (i == 0)
        return g->yv[0];
    /* x > xv[i-1] and x <= xv[i], so the denominator is positive. */
    return g->yv[i - 1] + (g->yv[i] - g->yv[i - 1]) * (x - g->xv[i - 1]) / (g->xv[i] - g->xv[i - 1]);
}

static void graph_array(HstFunction* f, HstTuple* t, double a, double b)
{
    (void)a;
    (void)b;
    HstGraph* g = HST_GRAPH(f);
    t->n = 0;
    t->P = NULL;
    if (f->nbin <= 0)
        return;
    t->P = g_new(HstPoint, f->nbin);
    for (int i = 0; i < f->nbin; i++) {
        t->P[i].x = g->xv[i];
        t->P[i].y = g->yv[i];
    }
    t->n = f->nbin;
}

/* The points change only through hst_graph_reset: writes are accepted and
 * ignored, "xstep" included, since it would change the point count. */
static void graph_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    (void)value;
    g_return_if_fail(HST_IS_GRAPH(object));
    switch (prop_id) {
    case PROP_NPTS:
    case PROP_XV:
    case PROP_YV:
    case PROP_XSTEP:
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void graph_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_GRAPH(object));
    HstGraph* g = HST_GRAPH(object);
    HST_LOCK(g);
    switch (prop_id) {
    case PROP_NPTS:
        g_value_set_int(value, HST_FUNCTION(g)->nbin);
        break;
    case PROP_XV:
        g_value_set_pointer(value, g->xv);
        break;
    case PROP_YV:
        g_value_set_pointer(value, g->yv);
        break;
    case PROP_XSTEP:
        g_value_set_double(value, HST_FUNCTION(g)->step);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(g);
}

static void hst_graph_init(HstGraph* g)
{
    g_return_if_fail(HST_IS_GRAPH(g));
    HST_FUNCTION(g)->nbin = 0;
    g->xv = NULL;
    g->yv = NULL;
    g->ymin = g->ymax = 0.0;
}

static void graph_finalize(GObject* object)
{
    HstGraph* g = HST_GRAPH(object);
    g_free(g->xv);
    g_free(g->yv);
    g->xv = g->yv = NULL;
    G_OBJECT_CLASS(hst_graph_parent_class)->finalize(object);
}

static void hst_graph_class_init(HstGraphClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstFunctionClass* function_class = HST_FUNCTION_CLASS(klass);

    gobject_class->set_property = graph_set_property;
    gobject_class->get_property = graph_get_property;
    gobject_class->finalize = graph_finalize;
    function_class->eval = graph_eval;
    function_class->array = graph_array;

    g_object_class_override_property(gobject_class, PROP_NPTS, "nx");
    g_object_class_install_property(
        gobject_class, PROP_XV,
        g_param_spec_pointer("xv", "ptr to abscisas", "Pointer to abscisas", G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_YV,
        g_param_spec_pointer("yv", "ptr to valuess", "Pointer to values", G_PARAM_READWRITE));
    g_object_class_override_property(gobject_class, PROP_XSTEP, "xstep");
}

HstGraph* hst_graph_new(int n, double* x, double* y)
{
    g_return_val_if_fail(n>=0, NULL);
    HstGraph* g = HST_GRAPH(g_object_new(HST_TYPE_GRAPH, NULL));
    hst_graph_reset(g, n, x, y);
    return g;
}

void hst_graph_reset(HstGraph* g, int n, double* x, double* y)
{
    g_return_if_fail(HST_IS_GRAPH(g));
    g_return_if_fail(n>=0);
    HstFunction* f = HST_FUNCTION(g);

    HST_LOCK(g);
    g_free(g->xv);
    g_free(g->yv);
    g->xv = g_new(double, n);
    g->yv = g_new(double, n);
    g->ymin = f->xmin = G_MAXDOUBLE;
    g->ymax = f->xmax = -G_MAXDOUBLE;
    if (x && y) {
        for (int i = 0; i < n; i++) {
            g->xv[i] = x[i];
            g->yv[i] = y[i];
            if (x[i] < f->xmin)
                f->xmin = x[i];
            if (x[i] > f->xmax)
                f->xmax = x[i];
            if (y[i] < g->ymin)
                g->ymin = y[i];
            if (y[i] > g->ymax)
                g->ymax = y[i];
        }
    } else {
        for (int i = 0; i < n; i++) {
            g->xv[i] = i;
            g->yv[i] = 0.0;
        }
    }
    f->nbin = n;
    HST_UNLOCK(g);
}
