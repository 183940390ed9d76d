/* HstFunction: binning rules, the per-object lock, "range-changed" and the
 * tab-separated text form shared by every data object. */
#include "hst_function.h"

#include <float.h>
#include <math.h>

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NAME,
    PROP_RANGE,
    PROP_NPTS,
    PROP_XMIN,
    PROP_XMAX,
    PROP_XSTEP,
    PROP_FCN,
    N_PROPS
};

enum { RANGE_CHANGED, LAST_SIGNAL };

static guint function_signals[LAST_SIGNAL];
static GParamSpec* function_props[N_PROPS];

G_DEFINE_TYPE_WITH_PRIVATE(HstFunction, hst_function, G_TYPE_OBJECT)

int _hst_bins_for_step(double xmin, double xmax, double step)
{
    if (!isfinite(step) || step == 0.0)
        return -1;
    const double q = (xmax - xmin) / step + 0.5;
    if (!(q >= 1.0 && q < HST_MAX_BINS + 1.0))
        return -1;
    return (int)q;
}

static double function_eval(HstFunction* f, double x)
{
    return f->func ? f->func(x) : 0.0;
}

static void function_array(HstFunction* f, HstTuple* t, double a, double b)
{
    t->n = 0;
    t->P = NULL;
    if (!isfinite(a) || !isfinite(b)) {
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "isfinite(xmin) && isfinite(xmax)");
        return;
    }
    const double step = f->step;
    if (!isfinite(step) || step == 0.0) {
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "step != 0");
        return;
    }
    const double q = (b - a) / step;
    if (!(q >= 1.0))
        return;
    /* A range far wider than the step is sampled more coarsely rather than
     * with an unbounded number of points. */
    int npts = (int)q;
    double dx = step;
    if (q > HST_MAX_POINTS) {
        npts = HST_MAX_POINTS;
        dx = (b - a) / npts;
    }
    HstFunctionClass* klass = HST_FUNCTION_GET_CLASS(f);
    t->P = g_new(HstPoint, npts);
    for (int i = 0; i < npts; i++) {
        const double x = a + i * dx;
        t->P[i].x = x;
        t->P[i].y = klass->eval ? klass->eval(f, x) : 0.0;
    }
    t->n = npts;
}

static int function_resize(HstFunction* f, int width, int height)
{
    (void)f;
    (void)width;
    (void)height;
    return 0;
}

static GString* function_print(HstFunction* f)
{
    GList one = {f, NULL, NULL};
    return hst_function_print_list(&one);
}

static void recompute_step(HstFunction* f)
{
    if (f->nbin > 0)
        f->step = (f->xmax - f->xmin) / f->nbin;
}

static void function_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_FUNCTION(object));
    HstFunction* f = HST_FUNCTION(object);
    gboolean range = FALSE;

    HST_LOCK(f);
    switch (prop_id) {
    case PROP_NAME:
        g_free(f->name);
        f->name = g_value_dup_string(value);
        break;
    case PROP_RANGE:
        break;
    case PROP_NPTS:
        f->nbin = g_value_get_int(value);
        recompute_step(f);
        range = TRUE;
        break;
    case PROP_XMIN:
        f->xmin = g_value_get_double(value);
        recompute_step(f);
        range = TRUE;
        break;
    case PROP_XMAX:
        f->xmax = g_value_get_double(value);
        recompute_step(f);
        range = TRUE;
        break;
    case PROP_XSTEP: {
        const double step = g_value_get_double(value);
        const int n = _hst_bins_for_step(f->xmin, f->xmax, step);
        if (n < 0) {
            HST_UNLOCK(f);
            g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "xstep gives 1 to 999999 bins");
            return;
        }
        f->step = step;
        f->nbin = n;
        f->xmax = f->xmin + n * step;
        break;
    }
    case PROP_FCN:
        f->func = (HstGFunction1D)g_value_get_pointer(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(f);
    if (range)
        g_object_notify_by_pspec(object, function_props[PROP_RANGE]);
}

static void function_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_FUNCTION(object));
    HstFunction* f = HST_FUNCTION(object);

    HST_LOCK(f);
    switch (prop_id) {
    case PROP_NAME:
        g_value_set_string(value, f->name);
        break;
    case PROP_RANGE:
        g_value_set_pointer(value, NULL);
        break;
    case PROP_NPTS:
        g_value_set_int(value, f->nbin);
        break;
    case PROP_XMIN:
        g_value_set_double(value, f->xmin);
        break;
    case PROP_XMAX:
        if (f->xmax == f->xmin && f->xmin == 0.0)
            g_value_set_double(value, (double)f->nbin);
        else
            g_value_set_double(value, f->xmax);
        break;
    case PROP_XSTEP:
        g_value_set_double(value, f->step);
        break;
    case PROP_FCN:
        g_value_set_pointer(value, (gpointer)f->func);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(f);
}

static void on_notify_range(GObject* object, GParamSpec* pspec, gpointer data)
{
    (void)pspec;
    (void)data;
    g_signal_emit(object, function_signals[RANGE_CHANGED], 0);
}

static void hst_function_init(HstFunction* f)
{
    f->priv = hst_function_get_instance_private(f);
    g_rec_mutex_init(&f->priv->mutex);
    f->func = NULL;
    f->nbin = 1;
    f->xmin = 0.0;
    f->xmax = 1.0;
    f->step = 0.0;
    f->name = NULL;
    g_signal_connect(f, "notify::range", G_CALLBACK(on_notify_range), NULL);
}

static void function_dispose(GObject* object)
{
    G_OBJECT_CLASS(hst_function_parent_class)->dispose(object);
}

static void function_finalize(GObject* object)
{
    HstFunction* f = HST_FUNCTION(object);
    g_free(f->name);
    f->name = NULL;
    g_rec_mutex_clear(&f->priv->mutex);
    G_OBJECT_CLASS(hst_function_parent_class)->finalize(object);
}

static void hst_function_class_init(HstFunctionClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);

    gobject_class->set_property = function_set_property;
    gobject_class->get_property = function_get_property;
    gobject_class->dispose = function_dispose;
    gobject_class->finalize = function_finalize;

    klass->eval = function_eval;
    klass->array = function_array;
    klass->resize = function_resize;
    klass->print = function_print;
    klass->range_changed = NULL;

    function_props[PROP_NAME] = g_param_spec_string(
        "name", "The name of the function", "The name of the function", "<unnamed>", G_PARAM_READWRITE);
    function_props[PROP_RANGE] = g_param_spec_pointer(
        "range", "The range of the function", "The range of the function.", G_PARAM_READWRITE);
    function_props[PROP_NPTS] = g_param_spec_int(
        "nx", "Number of points in X", "Number of points in X", 1, HST_MAX_BINS, 10, G_PARAM_READWRITE);
    function_props[PROP_XMIN] = g_param_spec_double(
        "xmin", "Minimum value of X", "Minimum value of X", -G_MAXDOUBLE, G_MAXDOUBLE, 0.0, G_PARAM_READWRITE);
    function_props[PROP_XMAX] = g_param_spec_double(
        "xmax", "Maximum value of X", "Maximum value of X", -G_MAXDOUBLE, G_MAXDOUBLE, 1.0, G_PARAM_READWRITE);
    function_props[PROP_XSTEP] = g_param_spec_double(
        "xstep", "step in X", "step in X", -G_MAXDOUBLE, G_MAXDOUBLE, 1.0, G_PARAM_READWRITE);
    function_props[PROP_FCN] = g_param_spec_pointer(
        "func", "function", "Function to evaluate", G_PARAM_READWRITE);
    g_object_class_install_properties(gobject_class, N_PROPS, function_props);

    function_signals[RANGE_CHANGED] = g_signal_new(
        "range-changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_FIRST,
        G_STRUCT_OFFSET(HstFunctionClass, range_changed), NULL, NULL, NULL, G_TYPE_NONE, 0);
}

HstFunction* hst_function_new(int nx, double x_min, double x_max, HstGFunction1D ptr)
{
    g_return_val_if_fail(nx>0, NULL);
    g_return_val_if_fail(nx <= HST_MAX_BINS, NULL);
    g_return_val_if_fail(x_min != x_max, NULL);
    g_return_val_if_fail(isfinite(x_min) && isfinite(x_max), NULL);
    return HST_FUNCTION(g_object_new(HST_TYPE_FUNCTION, "nx", nx, "xmin", x_min, "xmax", x_max,
                                     "func", (gpointer)ptr, NULL));
}

double hst_function_eval(HstFunction* f, double val)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0.0);
    HstFunctionClass* klass = HST_FUNCTION_GET_CLASS(f);
    HST_LOCK(f);
    const double v = klass->eval ? klass->eval(f, val) : 0.0;
    HST_UNLOCK(f);
    return v;
}

int hst_function_resize(HstFunction* f, int width, int height)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0);
    HstFunctionClass* klass = HST_FUNCTION_GET_CLASS(f);
    HST_LOCK(f);
    const int rc = klass->resize ? klass->resize(f, width, height) : 0;
    HST_UNLOCK(f);
    return rc;
}

void hst_function_get_array(HstFunction* f, HstTuple* t, double xmin, double xmax)
{
    g_return_if_fail(HST_IS_FUNCTION(f));
    g_return_if_fail(t != NULL);
    HstFunctionClass* klass = HST_FUNCTION_GET_CLASS(f);
    HST_LOCK(f);
    if (klass->array) {
        klass->array(f, t, xmin, xmax);
    } else {
        /* A class without points (a 2D histogram) is never drawn as a curve. */
        t->n = 0;
        t->P = NULL;
    }
    HST_UNLOCK(f);
}

void hst_function_clear_tuple(HstTuple* t)
{
    g_return_if_fail(t != NULL);
    g_free(t->P);
    t->P = NULL;
    t->n = 0;
}

int hst_function_get_npts(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0);
    int n = 0;
    g_object_get(f, "nx", &n, NULL);
    return n;
}

double hst_function_get_xmin(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0.0);
    double v = 0.0;
    g_object_get(f, "xmin", &v, NULL);
    return v;
}

double hst_function_get_xmax(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0.0);
    double v = 0.0;
    g_object_get(f, "xmax", &v, NULL);
    return v;
}

double hst_function_get_step(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), 0.0);
    double v = 0.0;
    g_object_get(f, "xstep", &v, NULL);
    return v;
}

int hst_function_find_bin(HstFunction* f, double x)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), -1);
    HST_LOCK(f);
    const int ib = _hst_find_bin(f, x);
    HST_UNLOCK(f);
    return ib;
}

double hst_function_bin_center(HstFunction* f, int ib)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), G_MAXDOUBLE);
    HST_LOCK(f);
    const double c = (ib + 0.5) * f->step + f->xmin;
    HST_UNLOCK(f);
    return c;
}

gchar* hst_function_get_name(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), NULL);
    gchar* name = NULL;
    g_object_get(f, "name", &name, NULL);
    return name;
}

void hst_function_set_name(HstFunction* f, const gchar* name)
{
    g_return_if_fail(HST_IS_FUNCTION(f));
    g_object_set(f, "name", name, NULL);
}

GString* hst_function_print(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), NULL);
    HstFunctionClass* klass = HST_FUNCTION_GET_CLASS(f);
    return klass->print ? klass->print(f) : NULL;
}

GString* hst_function_print_list(GList* list_of_functions)
{
    if (!list_of_functions || !HST_IS_FUNCTION(list_of_functions->data))
        return NULL;
    HstFunction* f0 = HST_FUNCTION(list_of_functions->data);
    const int n0 = hst_function_get_npts(f0);
    for (GList* l = list_of_functions; l; l = l->next) {
        if (!HST_IS_FUNCTION(l->data) || hst_function_get_npts(HST_FUNCTION(l->data)) != n0)
            return NULL;
    }

    GString* s = g_string_new(NULL);
    g_string_append_printf(s, "1D %d %f %f\t[nbin xmin xmax]\n", n0, hst_function_get_xmin(f0),
                           hst_function_get_xmax(f0));

    g_string_append(s, "\"X\"\t");
    int i = 0;
    for (GList* l = list_of_functions; l; l = l->next, i++) {
        const char sep = l->next ? '\t' : '\n';
        gchar* name = hst_function_get_name(HST_FUNCTION(l->data));
        if (name)
            g_string_append_printf(s, "\"%s\"%c", name, sep);
        else
            g_string_append_printf(s, "\"Function_%d\"%c", i, sep);
        g_free(name);
    }

    for (int ib = 0; ib < n0; ib++) {
        const double x = hst_function_bin_center(f0, ib);
        g_string_append_printf(s, "%f\t", x);
        for (GList* l = list_of_functions; l; l = l->next) {
            const char sep = l->next ? '\t' : '\n';
            g_string_append_printf(s, "%f%c", hst_function_eval(HST_FUNCTION(l->data), x), sep);
        }
    }
    return s;
}

void hst_function_lock(HstFunction* f)
{
    g_return_if_fail(HST_IS_FUNCTION(f));
    HST_LOCK(f);
}

void hst_function_unlock(HstFunction* f)
{
    g_return_if_fail(HST_IS_FUNCTION(f));
    HST_UNLOCK(f);
}

gboolean hst_function_trylock(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION(f), FALSE);
    return g_rec_mutex_trylock(&f->priv->mutex);
}
