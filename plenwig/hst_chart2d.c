/* HstChart2D: colour table, the per-draw order of the non-empty cells, the
 * cells and the colour scale, the Z range dragged on the scale, and the
 * chart's own menu entries. */
#include "hst_chart2d.h"

#include <math.h>
#include <stdio.h>

#include "hst_chart_private.h"
#include "hst_private.h"

enum {
    PROP_0,
    PROP_CTYPE,
    PROP_SQUARED,
    PROP_VMAX,
    PROP_VMIN,
};

/* Object data: the Z range chosen by the user and the one being dragged,
 * each two fractions (lower, upper) of the span of the sorted contents. */
#define ZRANGE "zrange"
#define ZRANGE_DRAG "__zrange"

/* How far outside the colour scale, in pixels, a press or release still
 * counts as on it. */
#define SCALE_SLACK 15

G_DEFINE_TYPE_WITH_PRIVATE(HstChart2D, hst_chart2d, HST_TYPE_CHART1D)

static const int scheme_multiplier[HST_COLOR_2D_LAST] = {1, 1, 1, 1, 1, 4};
static const int scheme_offset[HST_COLOR_2D_LAST][3] = {
    {3, 3, 3}, {0, 0, 0}, {3, 5, 5}, {5, 3, 5}, {5, 5, 3}, {4, 6, 2},
};

GType hst_chart_color_scheme_get_type(void)
{
    static gsize type_id = 0;
    static const GEnumValue values[] = {
        {HST_COLOR_2D_BW, "HST_COLOR_2D_BW", "bw"},
        {HST_COLOR_2D_WB, "HST_COLOR_2D_WB", "wb"},
        {HST_COLOR_2D_RED, "HST_COLOR_2D_RED", "red"},
        {HST_COLOR_2D_GREEN, "HST_COLOR_2D_GREEN", "green"},
        {HST_COLOR_2D_BLUE, "HST_COLOR_2D_BLUE", "blue"},
        {HST_COLOR_2D_THERMAL, "HST_COLOR_2D_THERMAL", "thermal"},
        {HST_COLOR_2D_LAST, "HST_COLOR_2D_LAST", "last"},
        {0, NULL, NULL},
    };
    if (g_once_init_enter(&type_id))
        g_once_init_leave(&type_id, g_enum_register_static("HstChart2DColorScheme", values));
    return type_id;
}

/* ---- colour table ---- */

guint16 color_factor(double x, int offset)
{
    const double h = x + offset;
    const int sector = (int)h % 6;
    const double frac = h - floor(h);
    double v;
    switch (sector) {
    case 0: v = frac; break;
    case 1:
    case 2: v = 1.0; break;
    case 3: v = 1.0 - frac; break;
    default: v = 0.0; break;
    }
    return (guint16)(65535.0 * CLAMP(v, 0.0, 1.0));
}

static void free_colors(HstChart2D* h)
{
    if (h->colorlst) {
        gdk_colormap_free_colors(gtk_widget_get_colormap(GTK_WIDGET(h)), h->colorlst, h->ncol);
        g_free(h->colorlst);
    }
    h->colorlst = NULL;
    h->ncol = 0;
}

void hst2d_set_2d_colors(HstChart2D* h, int scheme)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART2D (h));
    g_return_if_fail(scheme >= HST_COLOR_2D_BW && scheme < HST_COLOR_2D_LAST);
    free_colors(h);
    h->ctype = scheme;
    h->ncol = 25 * scheme_multiplier[scheme];
    const float step = (float)scheme_multiplier[scheme] / (float)h->ncol;
    h->colorlst = g_new0(GdkColor, h->ncol);
    GdkColormap* cmap = gtk_widget_get_colormap(GTK_WIDGET(h));
    for (int i = 0; i < h->ncol; i++) {
        const float x = (float)i * step;
        GdkColor* c = &h->colorlst[i];
        c->red = color_factor(x, scheme_offset[scheme][0]);
        c->green = color_factor(x, scheme_offset[scheme][1]);
        c->blue = color_factor(x, scheme_offset[scheme][2]);
        gdk_colormap_alloc_color(cmap, c, FALSE, TRUE);
    }
}

void hst_chart2d_set_squared(HstChart2D* h2d, gboolean flag)
{
    g_return_if_fail(h2d != NULL);
    g_return_if_fail(HST_IS_CHART2D (h2d));
    h2d->squared = flag;
    gtk_widget_queue_draw(GTK_WIDGET(h2d));
}

/* ---- frame: the non-empty cells in order of content ---- */

static int compare_contents(gconstpointer a, gconstpointer b, gpointer data)
{
    const double* v = data;
    const double va = v[*(const int*)a];
    const double vb = v[*(const int*)b];
    return (va > vb) - (va < vb);
}

/* Room for n cells in the index (twice n ints: positions and sort keys)
 * and their contents. The buffers never shrink. */
static void reserve_cells(HstChart2D* h, int n)
{
    HstChart2DPrivate* p = h->priv;
    if (h->bsiz < 2 * n) {
        const int size = MAX(2 * n, 2 * h->bsiz);
        h->dindex = g_renew(int, h->dindex, size);
        h->bsiz = size;
    }
    if (p->dval_size < n) {
        p->dval_size = MAX(n, 2 * p->dval_size);
        p->dval = g_renew(double, p->dval, p->dval_size);
    }
}

/* Collects the finite non-empty cells under the histogram's lock, so that
 * the order and the drawing see one instant of a histogram being filled. */
static void collect_cells(HstChart2D* h, HstHistogram2D* H)
{
    HstFunction* X = HST_FUNCTION(H);
    HstFunction* Y = HST_FUNCTION2D(H)->Y;
    HstChart2DPrivate* p = h->priv;
    hst_function_lock(X);
    hst_function_lock(Y);
    const int nx = X->nbin, ny = Y->nbin;
    h->ntot = nx * ny;
    int n = 0;
    for (int iy = 0; iy < ny; iy++)
        for (int ix = 0; ix < nx; ix++) {
            const double v = hst_histogram2d_get_cell_content(H, ix, iy);
            if (v == 0.0 || !isfinite(v))
                continue;
            reserve_cells(h, n + 1);
            h->dindex[n] = ix + nx * iy;
            p->dval[n] = v;
            n++;
        }
    h->nindx = n;
    h->dkey = n > 0 ? h->dindex + n : NULL;
    HstCanvas* c = HST_CHART1D(h)->cnvs;
    c->xmin = X->xmin;
    c->xmax = X->xmax;
    c->ymin = Y->xmin;
    c->ymax = Y->xmax;
    p->nx = nx;
    p->xstep = X->step;
    p->ystep = Y->step;
    hst_function_unlock(Y);
    hst_function_unlock(X);
}

static void hst2d_frame(HstChart1D* hst)
{
    g_return_if_fail(hst != NULL);
    g_return_if_fail(HST_IS_CHART2D (hst));
    if (!HST_IS_HISTOGRAM2D(hst->func)) {
        HST_CHART1D_CLASS(hst_chart2d_parent_class)->draw_frame(hst);
        return;
    }
    HstChart2D* h = HST_CHART2D(hst);
    HstCanvas* c = hst->cnvs;
    collect_cells(h, HST_HISTOGRAM2D(hst->func));
    const int n = h->nindx;
    const double* v = h->priv->dval;
    if (n > 0) {
        for (int k = 0; k < n; k++)
            h->dkey[k] = k;
        g_qsort_with_data(h->dkey, n, sizeof(int), compare_contents, h->priv->dval);
        c->zmin = v[h->dkey[0]];
        c->zmax = v[h->dkey[n - 1]];
        const double* zr = g_object_get_data(G_OBJECT(h), ZRANGE);
        if (zr) {
            /* The extremes are left out when there are enough cells to
             * leave something. */
            const double lo = n >= 3 ? v[h->dkey[1]] : c->zmin;
            const double hi = n >= 3 ? v[h->dkey[n - 2]] : c->zmax;
            const double span = hi - lo;
            c->zmax = lo + CLAMP(zr[1], 0.0, 1.0) * span;
            c->zmin = lo + CLAMP(zr[0], 0.0, 1.0) * span;
        }
    } else {
        c->zmin = c->zmax = 0.0;
    }
    hst->xmin = c->xmin;
    hst->xmax = c->xmax;
    hst->vmin = c->ymin;
    hst->vmax = c->ymax;
}

/* ---- cells and colour scale ---- */

static void fill_box(cairo_t* cr, const GdkColor* col, double x, double y, double w, double ht)
{
    _hst_cairo_set_color(cr, col);
    cairo_rectangle(cr, x, y, w, ht);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
}

static void hst2d_pixmap(HstChart1D* hst)
{
    g_return_if_fail(hst != NULL);
    g_return_if_fail(HST_IS_CHART2D (hst));
    if (!HST_IS_HISTOGRAM2D(hst->func)) {
        HST_CHART1D_CLASS(hst_chart2d_parent_class)->draw_pixmap(hst);
        return;
    }
    HstChart2D* h = HST_CHART2D(hst);
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    if (h->ncol <= 0)
        return;
    cairo_save(cr);
    cairo_set_line_width(cr, 0.25);
    cairo_new_path(cr);

    const double* zr = g_object_get_data(G_OBJECT(h), ZRANGE);
    if (!zr)
        zr = g_object_get_data(G_OBJECT(h), ZRANGE_DRAG);
    if (zr) {
        const double a = CLAMP(zr[0], 0.0, 1.0), b = CLAMP(zr[1], 0.0, 1.0);
        const int ytop = c->pz0 - (int)(MAX(a, b) * c->wz);
        const int ybot = c->pz0 - (int)(MIN(a, b) * c->wz);
        cairo_rectangle(cr, c->cscale.x + c->cscale.width + 5, ytop, 2, ybot - ytop);
        cairo_fill(cr);
    }

    const float step = (float)c->cscale.height / (float)h->ncol;
    const int box = MAX(1, (int)(1 + step));
    int y = c->cscale.y;
    for (int i = h->ncol - 1; i >= 0; i--) {
        fill_box(cr, &h->colorlst[i], c->cscale.x, y, c->cscale.width, box);
        y = (int)(c->cscale.y + (h->ncol - i) * (double)step);
    }

    const double span = c->zmax - c->zmin;
    if (h->nindx > 0 && span > 0.0 && isfinite(span)) {
        const HstChart2DPrivate* p = h->priv;
        const double scale = (h->ncol - 1) / span;
        const double dx = c->xstp * p->xstep;
        const double dy = c->ystp * p->ystep;
        const int bw = MAX(1, (int)(1 + dx));
        const int bh = MAX(1, (int)(1 + dy));
        for (int k = 0; k < h->nindx; k++) {
            const int pos = h->dkey[k];
            const double z = p->dval[pos] - c->zmin;
            if (z < 0.0)
                continue;
            if (z > span)
                break;
            const int b = h->dindex[pos];
            const int ix = b % p->nx, iy = b / p->nx;
            const int x = (int)(ix * dx + c->px0);
            const int yc = (int)(c->py0 - (iy + 1) * dy);
            const int ci = CLAMP((int)(scale * z), 0, h->ncol - 1);
            fill_box(cr, &h->colorlst[ci], x, yc, bw, bh);
        }
    }
    cairo_restore(cr);
}

/* ---- menu ---- */

static void on_squared(GtkCheckMenuItem* item, HstChart2D* h)
{
    h->squared = gtk_check_menu_item_get_active(item);
    gtk_widget_queue_draw(GTK_WIDGET(h));
}

static void on_scheme(GtkMenuItem* item, HstChart2D* h)
{
    hst2d_set_2d_colors(h, GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "hst-scheme")));
}

static GtkWidget* add_divider(GtkWidget* menu)
{
    GtkWidget* item = gtk_menu_item_new();
    gtk_widget_set_sensitive(item, FALSE);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

static void hst2d_menu(HstChart1D* hst, GtkWidget* menu)
{
    g_return_if_fail(hst!=NULL && menu!=NULL);
    g_return_if_fail(GTK_IS_MENU(menu));
    g_return_if_fail(HST_IS_CHART2D(hst));
    HstChart2D* h = HST_CHART2D(hst);
    static const char* const names[HST_COLOR_2D_LAST] = {"Black/White", "White/Black", "Red",
                                                         "Green",       "Blue",        "Thermal"};
    add_divider(menu);
    GtkWidget* item = gtk_check_menu_item_new_with_label("Squared");
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), h->squared);
    g_signal_connect_object(item, "activate", G_CALLBACK(on_squared), h, 0);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    add_divider(menu);
    for (int i = 0; i < HST_COLOR_2D_LAST; i++) {
        item = gtk_check_menu_item_new_with_label(names[i]);
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), h->ctype == i);
        g_object_set_data(G_OBJECT(item), "hst-scheme", GINT_TO_POINTER(i));
        g_signal_connect_object(item, "activate", G_CALLBACK(on_scheme), h, 0);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    }
}

/* ---- Z range on the colour scale ---- */

static gboolean on_scale(HstChart2D* h, double x, double y)
{
    const HstCanvas* c = HST_CHART1D(h)->cnvs;
    if (!HST_IS_HISTOGRAM2D(HST_CHART1D(h)->func) || c->pz0 == c->pz1)
        return FALSE;
    return fabs(x - c->cscale.x - c->cscale.width / 2.0) <= c->cscale.width / 2.0 && y >= c->pz1 - SCALE_SLACK &&
           y <= c->pz0 + SCALE_SLACK;
}

static double scale_fraction(HstChart2D* h, double y)
{
    const HstCanvas* c = HST_CHART1D(h)->cnvs;
    return (c->pz0 - y) / (double)(c->pz0 - c->pz1);
}

static gboolean hst2d_press(GtkWidget* w, GdkEventButton* ev, gpointer data)
{
    (void)data;
    HstChart2D* h = HST_CHART2D(w);
    if (ev->button == 2) {
        g_object_set_data(G_OBJECT(h), ZRANGE, NULL);
    } else if (ev->button == 1 && on_scale(h, ev->x, ev->y)) {
        double* zr = g_new(double, 2);
        const double f = scale_fraction(h, ev->y);
        zr[0] = CLAMP(f, 0.0, 1.0);
        zr[1] = f;
        g_object_set_data_full(G_OBJECT(h), ZRANGE_DRAG, zr, g_free);
    }
    return FALSE;
}

static gboolean hst2d_motion(GtkWidget* w, GdkEventMotion* ev, gpointer data)
{
    (void)data;
    HstChart2D* h = HST_CHART2D(w);
    double* zr = g_object_get_data(G_OBJECT(h), ZRANGE_DRAG);
    if (zr && HST_CHART1D(h)->cnvs->pz0 != HST_CHART1D(h)->cnvs->pz1)
        zr[1] = scale_fraction(h, ev->y);
    return FALSE;
}

static gboolean hst2d_release(GtkWidget* w, GdkEventButton* ev, gpointer data)
{
    (void)data;
    HstChart2D* h = HST_CHART2D(w);
    double* zr = g_object_steal_data(G_OBJECT(h), ZRANGE_DRAG);
    if (!zr)
        return FALSE;
    if (on_scale(h, ev->x, ev->y)) {
        const double f = scale_fraction(h, ev->y);
        zr[1] = CLAMP(f, 0.0, 1.0);
        if (zr[0] > zr[1]) {
            const double t = zr[0];
            zr[0] = zr[1];
            zr[1] = t;
        }
        g_object_set_data_full(G_OBJECT(h), ZRANGE, zr, g_free);
    } else {
        g_free(zr);
    }
    return FALSE;
}

/* ---- widget and object ---- */

static void hst2d_realize(GtkWidget* w)
{
    g_return_if_fail(HST_IS_CHART2D(w));
    GTK_WIDGET_CLASS(hst_chart2d_parent_class)->realize(w);
    if (gtk_widget_get_realized(w))
        hst2d_set_2d_colors(HST_CHART2D(w), HST_CHART2D(w)->ctype);
}

static void hst2d_unrealize(GtkWidget* w)
{
    free_colors(HST_CHART2D(w));
    GTK_WIDGET_CLASS(hst_chart2d_parent_class)->unrealize(w);
}

static void hst2d_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_CHART2D(object));
    HstChart2D* h = HST_CHART2D(object);
    switch (prop_id) {
    case PROP_CTYPE:
        hst2d_set_2d_colors(h, g_value_get_enum(value));
        gtk_widget_queue_draw(GTK_WIDGET(h));
        break;
    case PROP_SQUARED:
        hst_chart2d_set_squared(h, g_value_get_boolean(value));
        break;
    case PROP_VMAX:
        HST_CHART1D(h)->vmax = g_value_get_double(value);
        break;
    case PROP_VMIN:
        HST_CHART1D(h)->vmin = g_value_get_double(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void hst2d_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_CHART2D(object));
    HstChart2D* h = HST_CHART2D(object);
    switch (prop_id) {
    case PROP_CTYPE:
        g_value_set_enum(value, h->ctype);
        break;
    case PROP_SQUARED:
        g_value_set_boolean(value, h->squared);
        break;
    case PROP_VMAX:
        g_value_set_double(value, HST_CHART1D(h)->vmax);
        break;
    case PROP_VMIN:
        g_value_set_double(value, HST_CHART1D(h)->vmin);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void hst_chart2d_init(HstChart2D* h)
{
    h->priv = hst_chart2d_get_instance_private(h);
    h->ctype = HST_COLOR_2D_THERMAL;
    h->bsiz = -1;
    g_signal_connect(h, "button_press_event", G_CALLBACK(hst2d_press), NULL);
    g_signal_connect(h, "motion_notify_event", G_CALLBACK(hst2d_motion), NULL);
    g_signal_connect(h, "button_release_event", G_CALLBACK(hst2d_release), NULL);
}

static void hst2d_finalize(GObject* object)
{
    g_return_if_fail(HST_IS_CHART2D(object));
    HstChart2D* h = HST_CHART2D(object);
    free_colors(h);
    g_free(h->dindex);
    g_free(h->priv->dval);
    h->dindex = h->dkey = NULL;
    h->priv->dval = NULL;
    h->bsiz = -1;
    h->nindx = h->ntot = 0;
    G_OBJECT_CLASS(hst_chart2d_parent_class)->finalize(object);
}

static void hst_chart2d_class_init(HstChart2DClass* klass)
{
    GObjectClass* oc = G_OBJECT_CLASS(klass);
    GtkWidgetClass* wc = GTK_WIDGET_CLASS(klass);
    HstChart1DClass* cc = HST_CHART1D_CLASS(klass);

    oc->set_property = hst2d_set_property;
    oc->get_property = hst2d_get_property;
    oc->finalize = hst2d_finalize;
    wc->realize = hst2d_realize;
    wc->unrealize = hst2d_unrealize;
    cc->draw_pixmap = hst2d_pixmap;
    cc->draw_frame = hst2d_frame;
    cc->xtra_menu = hst2d_menu;

    g_object_class_install_property(
        oc, PROP_CTYPE,
        g_param_spec_enum("ctype", "Color Scheme", "Color Scheme", hst_chart_color_scheme_get_type(),
                          HST_COLOR_2D_THERMAL, G_PARAM_READWRITE));
    g_object_class_install_property(oc, PROP_SQUARED,
                                    g_param_spec_boolean("squared", "Squared histogram",
                                                         "If set the histogram will be drawn squared", FALSE,
                                                         G_PARAM_READWRITE));
    g_object_class_override_property(oc, PROP_VMAX, "vmax");
    g_object_class_override_property(oc, PROP_VMIN, "vmin");
}

GtkWidget* hst_chart2d_new(HstHistogram2D* ff)
{
    g_return_val_if_fail(ff!=0, NULL);
    g_return_val_if_fail(HST_IS_HISTOGRAM2D(ff), NULL);
    return GTK_WIDGET(g_object_new(HST_TYPE_CHART2D, "func", ff, "ctype", HST_COLOR_2D_THERMAL, NULL));
}
