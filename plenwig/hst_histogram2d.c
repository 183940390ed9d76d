/* HstHistogram2D: cells, buffer adoption, fills and the Z range. */
#include "hst_histogram2d.h"

#include <math.h>
#include <string.h>

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NX,
    PROP_NY,
    PROP_PTR,
    PROP_VMIN,
    PROP_VMAX,
    PROP_XSTEP,
    PROP_YSTEP,
};

enum { CHANGED, LAST_SIGNAL };

typedef struct {
    /* Cells the array in use holds, owned or the caller's; every index is
     * checked against it, so no change of an axis can lead past the end. */
    gsize ncells;
} HstHistogram2DPrivate;

static guint histogram2d_signals[LAST_SIGNAL];

G_DEFINE_TYPE_WITH_PRIVATE(HstHistogram2D, hst_histogram2d, HST_TYPE_FUNCTION2D)

#define PRIV(h) ((HstHistogram2DPrivate*)hst_histogram2d_get_instance_private(h))
#define XAXIS(h) HST_FUNCTION(h)
#define YAXIS(h) (HST_FUNCTION2D(h)->Y)

static gboolean cells_fit(gint64 nx, gint64 ny)
{
    return nx >= 1 && ny >= 1 && nx <= HST_MAX_BINS && ny <= HST_MAX_BINS && nx * ny <= G_MAXINT;
}

/* Replaces the cells by nx*ny zeros of our own. FALSE, with nothing
 * changed, when the memory cannot be had. */
static gboolean new_cells(HstHistogram2D* h, int nx, int ny)
{
    const gsize n = (gsize)nx * (gsize)ny;
    double* cells = g_try_new0(double, n);
    if (!cells)
        return FALSE;
    if (h->owner)
        g_free(h->y);
    h->y = cells;
    h->owner = 1;
    PRIV(h)->ncells = n;
    g_object_set_data(G_OBJECT(h), "__bufsiz__", GSIZE_TO_POINTER(n));
    return TRUE;
}

static void h2d_fill(HstHistogram2D* h, double x, double y, double w)
{
    HstFunction* X = XAXIS(h);
    HstFunction* Y = YAXIS(h);
    const int ix = _hst_find_bin(X, x);
    const int iy = _hst_find_bin(Y, y);
    if (ix < 0 || ix >= X->nbin || iy < 0 || iy >= Y->nbin)
        return;
    const gsize idx = (gsize)ix + (gsize)X->nbin * (gsize)iy;
    if (idx >= PRIV(h)->ncells)
        return;
    h->y[idx] += w;
    if (h->y[idx] > h->vmax)
        h->vmax = h->y[idx];
    if (h->y[idx] < h->vmin)
        h->vmin = h->y[idx];
    _hst_stats_add(h->stat, x, y, w);
}

/* Like the 1D reset, the statistics and the Z range go with the contents:
 * a histogram that holds nothing reports no entries. */
static void h2d_reset(HstHistogram2D* h)
{
    memset(h->y, 0, sizeof(double) * PRIV(h)->ncells);
    _hst_stats_reset(h->stat);
    h->vmin = h->vmax = 0.0;
}

static double h2d_eval2d(HstFunction2D* f, double x, double y)
{
    HstHistogram2D* h = HST_HISTOGRAM2D(f);
    HstFunction* X = XAXIS(h);
    HstFunction* Y = YAXIS(h);
    int ix = _hst_find_bin(X, x);
    int iy = _hst_find_bin(Y, y);
    ix = CLAMP(ix, 0, X->nbin - 1);
    iy = CLAMP(iy, 0, Y->nbin - 1);
    const gsize idx = (gsize)ix + (gsize)X->nbin * (gsize)iy;
    return idx < PRIV(h)->ncells ? h->y[idx] : 0.0;
}

static gboolean adopt_cells(HstHistogram2D* h, double* ptr)
{
    HstFunction* X = XAXIS(h);
    HstFunction* Y = YAXIS(h);
    const int nx = X->nbin;
    const int ny = Y->nbin;
    if (!ptr)
        return new_cells(h, nx, ny);

    if (ptr != h->y) {
        if (h->owner)
            g_free(h->y);
        h->y = ptr;
        h->owner = 0;
        PRIV(h)->ncells = (gsize)nx * (gsize)ny;
    }
    h->vmin = h->vmax = 0.0;
    _hst_stats_reset(h->stat);
    for (int ix = 0; ix < nx; ix++) {
        for (int iy = 0; iy < ny; iy++) {
            const double c = ptr[ix + (gsize)nx * iy];
            if (c == 0.0)
                continue;
            _hst_stats_add(h->stat, _hst_bin_center(X, ix), _hst_bin_center(Y, iy), c);
            if (c > h->vmax)
                h->vmax = c;
            if (c < h->vmin)
                h->vmin = c;
        }
    }
    return TRUE;
}

/* Backs up the setters: whatever changed a bin count, an owned array is
 * never smaller than the axes say. */
static void on_size_notify(GObject* object, GParamSpec* pspec, gpointer data)
{
    (void)pspec;
    (void)data;
    HstHistogram2D* h = HST_HISTOGRAM2D(object);
    HST_LOCK(h);
    const int nx = XAXIS(h)->nbin;
    const int ny = YAXIS(h)->nbin;
    if (h->owner && cells_fit(nx, ny) && (gsize)nx * (gsize)ny > PRIV(h)->ncells)
        new_cells(h, nx, ny);
    HST_UNLOCK(h);
}

static void set_axis_bins(HstFunction* axis, int n)
{
    axis->nbin = n;
    axis->step = (axis->xmax - axis->xmin) / n;
}

static void histogram2d_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_HISTOGRAM2D(object));
    HstHistogram2D* h = HST_HISTOGRAM2D(object);
    HstFunction* X = XAXIS(h);
    HstFunction* Y = YAXIS(h);
    const char* failed = NULL;

    HST_LOCK(h);
    HST_LOCK(Y);
    switch (prop_id) {
    case PROP_NX: {
        /* The steps follow the new count at once, so the bins keep covering
         * the range until xmin and xmax are set anew. */
        const int n = g_value_get_int(value);
        if (n == X->nbin)
            break;
        if (!cells_fit(n, Y->nbin) || !new_cells(h, n, Y->nbin))
            failed = "nx*ny cells fit in memory and in an int";
        else
            set_axis_bins(X, n);
        break;
    }
    case PROP_NY: {
        const int n = g_value_get_int(value);
        if (n == Y->nbin)
            break;
        if (!cells_fit(X->nbin, n) || !new_cells(h, X->nbin, n))
            failed = "nx*ny cells fit in memory and in an int";
        else
            set_axis_bins(Y, n);
        break;
    }
    case PROP_PTR:
        if (!adopt_cells(h, g_value_get_pointer(value)))
            failed = "nx*ny cells fit in memory";
        break;
    case PROP_XSTEP:
    case PROP_YSTEP: {
        /* A new step changes the bin count: the cells follow it. */
        HstFunction* axis = prop_id == PROP_XSTEP ? X : Y;
        const double step = g_value_get_double(value);
        const int n = _hst_bins_for_step(axis->xmin, axis->xmax, step);
        const int nx = prop_id == PROP_XSTEP ? n : X->nbin;
        const int ny = prop_id == PROP_YSTEP ? n : Y->nbin;
        if (n < 0) {
            failed = "step gives 1 to 999999 bins";
        } else if (n != axis->nbin && (!cells_fit(nx, ny) || !new_cells(h, nx, ny))) {
            failed = "nx*ny cells fit in memory and in an int";
        } else {
            axis->nbin = n;
            axis->step = step;
            axis->xmax = axis->xmin + n * step;
        }
        break;
    }
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(Y);
    HST_UNLOCK(h);
    if (failed)
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, failed);
}

static void histogram2d_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_HISTOGRAM2D(object));
    HstHistogram2D* h = HST_HISTOGRAM2D(object);

    HST_LOCK(h);
    switch (prop_id) {
    case PROP_NX:
        g_value_set_int(value, XAXIS(h)->nbin);
        break;
    case PROP_NY:
        g_value_set_int(value, YAXIS(h)->nbin);
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
        g_value_set_double(value, XAXIS(h)->step);
        break;
    case PROP_YSTEP:
        g_value_set_double(value, YAXIS(h)->step);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
    HST_UNLOCK(h);
}

static void hst_histogram2d_init(HstHistogram2D* h)
{
    g_return_if_fail(HST_IS_HISTOGRAM2D(h));
    h->vmin = h->vmax = 0.0;
    h->owner = 0;
    h->y = NULL;
    h->stat = hst_stats_new();
    new_cells(h, XAXIS(h)->nbin, YAXIS(h)->nbin);
    g_signal_connect(h, "notify::nx", G_CALLBACK(on_size_notify), NULL);
    g_signal_connect(h, "notify::ny", G_CALLBACK(on_size_notify), NULL);
}

static void histogram2d_finalize(GObject* object)
{
    HstHistogram2D* h = HST_HISTOGRAM2D(object);
    if (h->owner)
        g_free(h->y);
    h->y = NULL;
    g_clear_object(&h->stat);
    G_OBJECT_CLASS(hst_histogram2d_parent_class)->finalize(object);
}

static void hst_histogram2d_class_init(HstHistogram2DClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    HstFunctionClass* function_class = HST_FUNCTION_CLASS(klass);
    HstFunction2DClass* function2d_class = HST_FUNCTION2D_CLASS(klass);

    gobject_class->set_property = histogram2d_set_property;
    gobject_class->get_property = histogram2d_get_property;
    gobject_class->finalize = histogram2d_finalize;
    /* Never sampled as a curve. */
    function_class->array = NULL;
    function2d_class->eval2d = h2d_eval2d;
    klass->fill = h2d_fill;
    klass->reset = h2d_reset;
    klass->changed = NULL;

    g_object_class_override_property(gobject_class, PROP_NX, "nx");
    g_object_class_override_property(gobject_class, PROP_NY, "ny");
    g_object_class_install_property(
        gobject_class, PROP_PTR, g_param_spec_pointer("ptr", "Pointer to data", "Pointer to data", G_PARAM_READWRITE));
    g_object_class_install_property(
        gobject_class, PROP_VMIN,
        g_param_spec_double("vmin", "Minimum value of Z", "Minimum value of Z", -G_MAXDOUBLE, G_MAXDOUBLE, 0.0,
                            G_PARAM_READABLE));
    g_object_class_install_property(
        gobject_class, PROP_VMAX,
        g_param_spec_double("vmax", "Maximum value of Z", "Maximum value of Z", -G_MAXDOUBLE, G_MAXDOUBLE, 0.0,
                            G_PARAM_READABLE));
    g_object_class_override_property(gobject_class, PROP_XSTEP, "xstep");
    g_object_class_override_property(gobject_class, PROP_YSTEP, "ystep");

    histogram2d_signals[CHANGED] = g_signal_new(
        "changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_FIRST,
        G_STRUCT_OFFSET(HstHistogram2DClass, changed), NULL, NULL, NULL, G_TYPE_NONE, 0);
}

HstHistogram2D* hst_histogram2d_new(int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                                    gdouble* ptr)
{
    g_return_val_if_fail(nx>0, NULL);
    g_return_val_if_fail(ny>0, NULL);
    g_return_val_if_fail(cells_fit(nx, ny), NULL);
    g_return_val_if_fail(isfinite(xmin) && isfinite(xmax) && isfinite(ymin) && isfinite(ymax), NULL);
    return HST_HISTOGRAM2D(g_object_new(HST_TYPE_HISTOGRAM2D, "nx", nx, "xmin", xmin, "xmax", xmax, "ny", ny,
                                        "ymin", ymin, "ymax", ymax, "ptr", (gpointer)ptr, NULL));
}

void hst_histogram2d_fill(HstHistogram2D* h2d, double x, double y, double w)
{
    g_return_if_fail(h2d != NULL);
    g_return_if_fail(HST_IS_HISTOGRAM2D (h2d));
    HstHistogram2DClass* klass = HST_HISTOGRAM2D_GET_CLASS(h2d);
    HST_LOCK(h2d);
    if (klass->fill)
        klass->fill(h2d, x, y, w);
    HST_UNLOCK(h2d);
    g_signal_emit(h2d, histogram2d_signals[CHANGED], 0);
}

void hst_histogram2d_reset(HstHistogram2D* h2d)
{
    g_return_if_fail(h2d != NULL);
    g_return_if_fail(HST_IS_HISTOGRAM2D (h2d));
    HstHistogram2DClass* klass = HST_HISTOGRAM2D_GET_CLASS(h2d);
    HST_LOCK(h2d);
    if (klass->reset)
        klass->reset(h2d);
    HST_UNLOCK(h2d);
    g_signal_emit(h2d, histogram2d_signals[CHANGED], 0);
}

double hst_histogram2d_get_cell_content(HstHistogram2D* h2d, int ix, int iy)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM2D(h2d), 0.0);
    double v = 0.0;
    HST_LOCK(h2d);
    const int nx = XAXIS(h2d)->nbin;
    const int ny = YAXIS(h2d)->nbin;
    const gboolean ok = ix >= 0 && ix < nx && iy >= 0 && iy < ny;
    const gsize idx = ok ? (gsize)ix + (gsize)nx * (gsize)iy : 0;
    if (ok && idx < PRIV(h2d)->ncells)
        v = h2d->y[idx];
    HST_UNLOCK(h2d);
    if (!ok)
        g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC, "ix>=0 && ix<nx && iy>=0 && iy<ny");
    return v;
}

int hst_histogram2d_get_stats(HstHistogram2D* h2d, HstStats* s)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM2D(h2d), -1);
    g_return_val_if_fail(s!=NULL, -1);
    g_return_val_if_fail(HST_IS_STATS(s), -1);
    HST_LOCK(h2d);
    hst_stats_copy(h2d->stat, s);
    HST_UNLOCK(h2d);
    return 0;
}

HstHistogram2D* hst_histogram2d_clone(HstHistogram2D* hst)
{
    g_return_val_if_fail(HST_IS_HISTOGRAM2D(hst), NULL);
    HstFunction* X = XAXIS(hst);
    HstFunction* Y = YAXIS(hst);
    HST_LOCK(hst);
    HstHistogram2D* c = hst_histogram2d_new(X->nbin, X->xmin, X->xmax, Y->nbin, Y->xmin, Y->xmax, NULL);
    if (c) {
        const gsize n = MIN(PRIV(hst)->ncells, PRIV(c)->ncells);
        memcpy(c->y, hst->y, sizeof(double) * n);
        c->vmin = hst->vmin;
        c->vmax = hst->vmax;
        hst_stats_copy(hst->stat, c->stat);
    }
    HST_UNLOCK(hst);
    return c;
}
