/* HstFunction2D: the Y axis object, the two-variable callback and the 2D
 * text form. */
#include "hst_function2d.h"

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NPTS,
    PROP_NY,
    PROP_YMIN,
    PROP_YMAX,
    PROP_YSTEP,
    PROP_FCN2D,
};

G_DEFINE_TYPE(HstFunction2D, hst_function2d, HST_TYPE_FUNCTION)

static double function2d_eval2d(HstFunction2D* f, double x, double y)
{
    return f->func2d ? f->func2d(x, y) : 0.0;
}

static GString* function2d_print(HstFunction* f)
{
    g_return_val_if_fail(HST_IS_FUNCTION2D(f), NULL);
    HstFunction2D* f2 = HST_FUNCTION2D(f);
    HstFunction2DClass* klass = HST_FUNCTION2D_GET_CLASS(f);

    /* One consistent picture: no fill or rebinning between the rows. */
    HST_LOCK(f);
    HST_LOCK(f2->Y);
    GString* s = g_string_new(NULL);
    g_string_append_printf(s,
                           "2D %d %f %f %d %f %f\t[nxbin xmin xmax nybin ymin ymax - data ( rows are Y, columns X )]\n",
                           f->nbin, hst_function_get_xmin(f), hst_function_get_xmax(f), f2->Y->nbin,
                           hst_function_get_xmin(f2->Y), hst_function_get_xmax(f2->Y));
    for (int iy = 0; iy < f2->Y->nbin; iy++) {
        const double y = _hst_bin_center(f2->Y, iy);
        for (int ix = 0; ix < f->nbin; ix++) {
            const double v = klass->eval2d ? klass->eval2d(f2, _hst_bin_center(f, ix), y) : 0.0;
            g_string_append_printf(s, ix ? "\t%f" : "%f", v);
        }
        g_string_append_c(s, '\n');
    }
    HST_UNLOCK(f2->Y);
    HST_UNLOCK(f);
    return s;
}

/* The Y settings go to the Y object under this object's lock, so that a
 * fill, which holds it, sees both axes at one instant. */
static void function2d_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_FUNCTION2D(object));
    HstFunction2D* f = HST_FUNCTION2D(object);

    HST_LOCK(f);
    switch (prop_id) {
    case PROP_NY:
        g_object_set_property(G_OBJECT(f->Y), "nx", value);
        break;
    case PROP_YMIN:
        g_object_set_property(G_OBJECT(f->Y), "xmin", value);
        break;
    case PROP_YMAX:
        g_object_set_property(G_OBJECT(f->Y), "xmax", value);
        break;
    case PROP_YSTEP:
        g_object_set_property(G_OBJECT(f->Y), "xstep", value);
        break;
    case PROP_FCN2D:
        f->func2d = (HstGFunction2D)g_value_get_pointer(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(f);
}

static void function2d_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_FUNCTION2D(object));
    HstFunction2D* f = HST_FUNCTION2D(object);

    HST_LOCK(f);
    switch (prop_id) {
    case PROP_NPTS: {
        const gint64 n = (gint64)HST_FUNCTION(f)->nbin * f->Y->nbin;
        g_value_set_int(value, n > G_MAXINT ? G_MAXINT : (int)n);
        break;
    }
    case PROP_NY:
        g_object_get_property(G_OBJECT(f->Y), "nx", value);
        break;
    case PROP_YMIN:
        g_object_get_property(G_OBJECT(f->Y), "xmin", value);
        break;
    case PROP_YMAX:
        g_object_get_property(G_OBJECT(f->Y), "xmax", value);
        break;
    case PROP_YSTEP:
        g_object_get_property(G_OBJECT(f->Y), "xstep", value);
        break;
    case PROP_FCN2D:
        g_value_set_pointer(value, (gpointer)f->func2d);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(f);
}

static void hst_function2d_init(HstFunction2D* f)
{
    HstFunction* x = HST_FUNCTION(f);
    f->Y = HST_FUNCTION(g_object_new(HST_TYPE_FUNCTION, "nx", x->nbin, "xmin", x->xmin, "xmax", x->xmax, NULL));
    f->func2d = NULL;
}

static void function2d_finalize(GObject* object)
{
    HstFunction2D* f = HST_FUNCTION2D(object);
    g_clear_object(&f->Y);
    G_OBJECT_CLASS(hst_function2d_parent_class)->finalize(object);
}

static void hst_function2d_class_init(HstFunction2DClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstFunctionClass* function_class = HST_FUNCTION_CLASS(klass);

    gobject_class->set_property = function2d_set_property;
    gobject_class->get_property = function2d_get_property;
    gobject_class->finalize = function2d_finalize;
    function_class->print = function2d_print;
    klass->eval2d = function2d_eval2d;

    g_object_class_install_property(
        gobject_class, PROP_NPTS,
        g_param_spec_int("npts", "Number of points (nx x ny)", "Number of points (nx x ny)", 1, HST_MAX_BINS, 10,
                         G_PARAM_READABLE));
    g_object_class_install_property(
        gobject_class, PROP_NY,
        g_param_spec_int("ny", "Number of points in Y", "Number of points in Y", 1, HST_MAX_BINS, 10,
                         G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_YMIN,
        g_param_spec_double("ymin", "Minimum value of Y", "Minimum value of Y", -G_MAXDOUBLE, G_MAXDOUBLE, 0.0,
                            G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_YMAX,
        g_param_spec_double("ymax", "Maximum value of Y", "Maximum value of Y", -G_MAXDOUBLE, G_MAXDOUBLE, 1.0,
                            G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_YSTEP,
        g_param_spec_double("ystep", "step in Y", "step in Y", -G_MAXDOUBLE, G_MAXDOUBLE, 1.0, G_PARAM_READWRITE));
    g_object_class_override_property(gobject_class, PROP_FCN2D, "func");
}

HstFunction2D* hst_function2d_new(int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                                  HstGFunction2D ptr)
{
    g_return_val_if_fail(nx>0, NULL);
    g_return_val_if_fail(xmin!=xmax, NULL);
    g_return_val_if_fail(ny>0, NULL);
    g_return_val_if_fail(ymin!=ymax, NULL);
    g_return_val_if_fail(nx <= HST_MAX_BINS && ny <= HST_MAX_BINS, NULL);
    return HST_FUNCTION2D(g_object_new(HST_TYPE_FUNCTION2D, "nx", nx, "xmin", xmin, "xmax", xmax, "ny", ny,
                                       "ymin", ymin, "ymax", ymax, "func", (gpointer)ptr, NULL));
}

double hst_function2d_eval(HstFunction2D* f, double x, double y)
{
    g_return_val_if_fail(HST_IS_FUNCTION2D(f), 0.0);
    HstFunction2DClass* klass = HST_FUNCTION2D_GET_CLASS(f);
    HST_LOCK(f);
    const double v = klass->eval2d ? klass->eval2d(f, x, y) : 0.0;
    HST_UNLOCK(f);
    return v;
}

int hst_function2d_find_bin_from_cell(HstFunction2D* h2d, int ix, int iy)
{
    g_return_val_if_fail(HST_IS_FUNCTION2D(h2d), -1);
    HST_LOCK(h2d);
    const gint64 ib = (gint64)ix + (gint64)HST_FUNCTION(h2d)->nbin * iy;
    HST_UNLOCK(h2d);
    g_return_val_if_fail(ib >= G_MININT && ib <= G_MAXINT, -1);
    return (int)ib;
}

void hst_function2d_find_cell_from_bin(HstFunction2D* h2d, int ib, int* ix, int* iy)
{
    g_return_if_fail(HST_IS_FUNCTION2D(h2d));
    g_return_if_fail(ix != NULL && iy != NULL);
    HST_LOCK(h2d);
    const int nx = HST_FUNCTION(h2d)->nbin;
    HST_UNLOCK(h2d);
    g_return_if_fail(nx > 0);
    *ix = ib % nx;
    *iy = ib / nx;
}

HstFunction* hst_function2d_X(HstFunction2D* h2d)
{
    g_return_val_if_fail(HST_IS_FUNCTION2D(h2d), NULL);
    return HST_FUNCTION(h2d);
}

HstFunction* hst_function2d_Y(HstFunction2D* h2d)
{
    g_return_val_if_fail(HST_IS_FUNCTION2D(h2d), NULL);
    return h2d->Y;
}
