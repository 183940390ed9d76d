/* HstChart1D: the widget, its properties, curves, colours, size negotiation,
 * range following and redraw timer. The drawing itself is in
 * hst_chart_draw.c, the mouse and menu in hst_chart_menu.c, the pictures in
 * hst_chart_export.c. */
#include "hst_chart1d.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "hst_axis.h"
#include "hst_chart_private.h"
#include "hst_function2d.h"
#include "hst_histogram.h"
#include "hst_private.h"

enum {
    PROP_0,
    PROP_FUNC,
    PROP_XTITLE,
    PROP_YTITLE,
    PROP_LOGX,
    PROP_LOGY,
    PROP_FILLED,
    PROP_STATS,
    PROP_HXMAX,
    PROP_HXMIN,
    PROP_HYMAX,
    PROP_HYMIN,
    PROP_VMAX,
    PROP_VMIN,
    PROP_TEXT_FONT,
    PROP_AXIS_FONT,
    PROP_LINE_WIDTH,
    PROP_UNUSED_17,
    PROP_PIXMAP,
    PROP_PNG,
    PROP_JPEG,
    PROP_PDF,
    PROP_SVG,
    PROP_EPS,
};

G_DEFINE_TYPE_WITH_PRIVATE(HstChart1D, hst_chart1d, GTK_TYPE_DRAWING_AREA)

/* ---- enum types ---- */

#define DEFINE_ENUM_TYPE(func, name, values)                                  \
    GType func(void)                                                          \
    {                                                                         \
        static gsize type_id = 0;                                             \
        if (g_once_init_enter(&type_id))                                      \
            g_once_init_leave(&type_id, g_enum_register_static(name, values)); \
        return type_id;                                                       \
    }

static const GEnumValue colors_values[] = {
    {HST_COLOR_FOREGROUND, "HST_COLOR_FOREGROUND", "foreground-color"},
    {HST_COLOR_BACKGROUND, "HST_COLOR_BACKGROUND", "background-color"},
    {HST_COLOR_AXIS, "HST_COLOR_AXIS", "axis-color"},
    {HST_COLOR_CURVE, "HST_COLOR_CURVE", "curve-color"},
    {0, NULL, NULL},
};
static const GEnumValue axis_pos_values[] = {
    {HST_AXIS_NONE, "HST_AXIS_NONE", "none"},
    {HST_AXIS_LEFT, "HST_AXIS_LEFT", "left"},
    {HST_AXIS_MIDDLE, "HST_AXIS_MIDDLE", "middle"},
    {HST_AXIS_RIGHT, "HST_AXIS_RIGHT", "right"},
    {HST_AXIS_X_MASK, "HST_AXIS_X_MASK", "x-mask"},
    {HST_AXIS_Y_MASK, "HST_AXIS_Y_MASK", "y-mask"},
    {HST_AXIS_Z_MASK, "HST_AXIS_Z_MASK", "z-mask"},
    {0, NULL, NULL},
};
static const GEnumValue attr_values[] = {
    {HST_FILLED, "HST_FILLED", "filled"},
    {HST_LOGX, "HST_LOGX", "logx"},
    {HST_LOGY, "HST_LOGY", "logy"},
    {HST_STATS, "HST_STATS", "stats"},
    {0, NULL, NULL},
};
static const GEnumValue axis_type_values[] = {
    {HST_X_AXIS, "HST_X_AXIS", "x-axis"},
    {HST_Y_AXIS, "HST_Y_AXIS", "y-axis"},
    {HST_Z_AXIS, "HST_Z_AXIS", "z-axis"},
    {0, NULL, NULL},
};

DEFINE_ENUM_TYPE(hst_chart_colors_get_type, "HstChartColors", colors_values)
DEFINE_ENUM_TYPE(hst_chart_axis_pos_get_type, "HstChartAxisPos", axis_pos_values)
DEFINE_ENUM_TYPE(hst_chart_attr_get_type, "HstChartAttr", attr_values)
DEFINE_ENUM_TYPE(hst_chart_axis_type, "HstChartAxisType", axis_type_values)

/* ---- helpers ---- */

static void canvas_lock(HstChart1D* h)
{
    g_rec_mutex_lock(&h->cnvs->mutex);
}

static void canvas_unlock(HstChart1D* h)
{
    g_rec_mutex_unlock(&h->cnvs->mutex);
}

/* A property change waits a little for a running draw, then gives up. */
static gboolean canvas_lock_patiently(HstChart1D* h)
{
    for (int i = 0; i < 10; i++) {
        if (g_rec_mutex_trylock(&h->cnvs->mutex))
            return TRUE;
        g_usleep(10000);
    }
    return FALSE;
}

static void set_attr(HstChart1D* h, guint32 bit, gboolean flag)
{
    if (flag)
        h->attr |= bit;
    else
        h->attr &= ~bit;
}

void _hst_chart_size(HstChart1D* h, int* width, int* height)
{
    HstCanvas* c = h->cnvs;
    if (c->surface) {
        *width = cairo_image_surface_get_width(c->surface);
        *height = cairo_image_surface_get_height(c->surface);
    } else {
        GtkAllocation a;
        gtk_widget_get_allocation(GTK_WIDGET(h), &a);
        *width = a.width;
        *height = a.height;
    }
}

void _hst_chart_free_tuples(HstChart1D* h)
{
    if (!h->xpt)
        return;
    for (int i = 0; i < h->priv->nxpt; i++)
        hst_function_clear_tuple(&h->xpt[i]);
    g_free(h->xpt);
    h->xpt = NULL;
    h->priv->nxpt = 0;
}

const GdkColor* _hst_chart_curve_color(HstChart1D* h, int i)
{
    const guint n = g_list_length(h->cnvs->curve_colors);
    if (n == 0)
        return NULL;
    return g_list_nth_data(h->cnvs->curve_colors, (guint)i % n);
}

gchar* _hst_chart_legend_markup(HstChart1D* h)
{
    if (g_list_length(h->curves) < 2)
        return NULL;
    GString* s = g_string_new(NULL);
    int i = 0;
    for (GList* l = h->curves; l; l = l->next, i++) {
        const GdkColor* c = _hst_chart_curve_color(h, i);
        if (!c)
            c = &h->colors[HST_COLOR_FOREGROUND];
        gchar* name = hst_function_get_name(HST_FUNCTION(l->data));
        /* A name is plain text: it must not break the markup. */
        gchar* escaped = g_markup_escape_text(name ? name : "[unnamed]", -1);
        g_string_append_printf(s, "<span foreground=\"#%02x%02x%02x\">%s</span>\n", c->red >> 8, c->green >> 8,
                               c->blue >> 8, escaped);
        g_free(escaped);
        g_free(name);
    }
    return g_string_free(s, FALSE);
}

/* ---- range following ---- */

static void chart1d_range_changed(HstFunction* f, gpointer data)
{
    HstChart1D* h = HST_CHART1D(data);
    if (HST_IS_CHART2D(h) && f != h->func) {
        gchar* name = hst_function_get_name(f);
        fprintf(stderr, "Wrong function sending range change for %s\n", name ? name : "<unnamed>");
        g_free(name);
    } else {
        h->xmin = hst_function_get_xmin(f);
        h->xmax = hst_function_get_xmax(f);
    }
    gtk_widget_queue_draw(GTK_WIDGET(h));
}

static void sync_disconnect(HstChart1D* h)
{
    if (h->sync_id > 0 && h->priv->synced)
        g_signal_handler_disconnect(h->priv->synced, (gulong)h->sync_id);
    h->priv->synced = NULL;
    if (h->sync_id > 0)
        h->sync_id = 0;
}

static void sync_connect(HstChart1D* h)
{
    if (h->sync_id != 0 || !h->func)
        return;
    h->sync_id = (int)g_signal_connect(h->func, "range-changed", G_CALLBACK(chart1d_range_changed), h);
    h->priv->synced = h->func;
}

void hst_chart1d_sync_range(HstChart1D* h, gboolean flag)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    if (flag) {
        if (h->sync_id < 0)
            h->sync_id = 0;
        sync_connect(h);
    } else {
        sync_disconnect(h);
        h->sync_id = -1;
    }
}

/* ---- curves ---- */

static void replace_func(HstChart1D* h, HstFunction* f)
{
    if (!f || f == h->func)
        return;
    if (h->func) {
        sync_disconnect(h);
        h->curves = g_list_remove(h->curves, h->func);
        g_object_unref(h->func);
    }
    h->func = f;
    g_object_ref(f);
    h->curves = g_list_prepend(h->curves, f);
    if (h->sync_id >= 0)
        sync_connect(h);
    /* A function being filled gives its range at the next draw. */
    h->priv->range_pending = !hst_function_trylock(f);
    if (!h->priv->range_pending) {
        h->xmin = hst_function_get_xmin(f);
        h->xmax = hst_function_get_xmax(f);
        hst_function_unlock(f);
    }
    gtk_widget_queue_resize(GTK_WIDGET(h));
}

GtkWidget* hst_chart1d_new(HstFunction* ff)
{
    g_return_val_if_fail(ff!=0, NULL);
    g_return_val_if_fail(HST_IS_FUNCTION(ff), NULL);
    return GTK_WIDGET(g_object_new(HST_TYPE_CHART1D, "func", ff, "hxmin", hst_function_get_xmin(ff), "hxmax",
                                   hst_function_get_xmax(ff), NULL));
}

void hst_chart1d_set_func(HstChart1D* h, HstFunction* f)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    g_object_set(h, "func", f, NULL);
}

void hst_chart1d_add_curve(HstChart1D* h, HstFunction* f)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    g_return_if_fail(HST_IS_FUNCTION(f));
    if (!h->func) {
        hst_chart1d_set_func(h, f);
        return;
    }
    g_object_ref(f);
    h->curves = g_list_append(h->curves, f);
    gtk_widget_queue_resize(GTK_WIDGET(h));
}

HstFunction* hst_chart1d_get_func(HstChart1D* h, int n)
{
    g_return_val_if_fail(h != NULL, NULL);
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    if (n < 0)
        return NULL;
    return g_list_nth_data(h->curves, (guint)n);
}

int hst_chart1d_get_n_func(HstChart1D* h)
{
    g_return_val_if_fail(h != NULL, 0);
    g_return_val_if_fail(HST_IS_CHART1D(h), 0);
    return (int)g_list_length(h->curves);
}

void hst_chart1d_remove_curves(HstChart1D* h)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    canvas_lock(h);
    _hst_chart_free_tuples(h);
    sync_disconnect(h);
    g_list_free_full(h->curves, g_object_unref);
    h->curves = NULL;
    h->func = NULL;
    canvas_unlock(h);
}

/* ---- attributes and titles ---- */

void hst_chart1d_draw_x_axis(HstChart1D* h, HstChartAxisPos pos)
{
    g_return_if_fail(HST_IS_CHART1D(h));
    h->drawaxis = (h->drawaxis & ~(unsigned long)HST_AXIS_X_MASK) | ((unsigned long)pos & HST_AXIS_X_MASK);
}

void hst_chart1d_draw_y_axis(HstChart1D* h, HstChartAxisPos pos)
{
    g_return_if_fail(HST_IS_CHART1D(h));
    h->drawaxis = (h->drawaxis & ~(unsigned long)HST_AXIS_Y_MASK) | (((unsigned long)pos << 4) & HST_AXIS_Y_MASK);
}

#define ATTR_ACCESSORS(setter, getter, bit)                  \
    void setter(HstChart1D* h, gboolean flag)                \
    {                                                        \
        g_return_if_fail(HST_IS_CHART1D(h));                 \
        set_attr(h, bit, flag);                              \
    }                                                        \
    gboolean getter(HstChart1D* h)                           \
    {                                                        \
        g_return_val_if_fail(HST_IS_CHART1D(h), FALSE);      \
        return (h->attr & bit) != 0;                         \
    }

ATTR_ACCESSORS(hst_chart1d_filled, hst_chart1d_is_filled, HST_FILLED)
ATTR_ACCESSORS(hst_chart1d_logx, hst_chart1d_is_logx, HST_LOGX)
ATTR_ACCESSORS(hst_chart1d_logy, hst_chart1d_is_logy, HST_LOGY)
ATTR_ACCESSORS(hst_chart1d_show_stats, hst_chart1d_stats, HST_STATS)

static void replace_string(char** field, const char* text)
{
    g_free(*field);
    *field = g_strdup(text);
}

void hst_chart1d_set_xtitle(HstChart1D* h, const char* title)
{
    g_return_if_fail(HST_IS_CHART1D(h));
    if (title)
        replace_string(&h->xtitle, title);
}

void hst_chart1d_set_ytitle(HstChart1D* h, const char* title)
{
    g_return_if_fail(HST_IS_CHART1D(h));
    if (title)
        replace_string(&h->ytitle, title);
}

const char* hst_chart1d_get_xtitle(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    return h->xtitle;
}

const char* hst_chart1d_get_ytitle(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    return h->ytitle;
}

/* ---- colours ---- */

static void apply_color(HstChart1D* h, int role, const GdkColor* c)
{
    h->colors[role] = *c;
    GtkWidget* w = GTK_WIDGET(h);
    if (gtk_widget_get_realized(w) &&
        !gdk_colormap_alloc_color(gtk_widget_get_colormap(w), &h->colors[role], FALSE, TRUE))
        fprintf(stderr, "chart1d_set_color: could not allocate color %d\n", role);
    h->colors_changed = TRUE;
}

static int color_role(const char* key)
{
    static const char* const keys[HST_NCOLORS] = {"foreground", "background", "axis", "curve"};
    for (int i = 0; i < HST_NCOLORS; i++)
        if (strcmp(key, keys[i]) == 0)
            return i;
    return -1;
}

static void set_colors_valist(HstChart1D* h, va_list ap)
{
    const char* key;
    while ((key = va_arg(ap, const char*)) != NULL) {
        const char* name = va_arg(ap, const char*);
        if (!name) {
            g_warning("hst_chart1d_set_colors: no color name given for %s", key);
            return;
        }
        const int role = color_role(key);
        if (role < 0)
            continue;
        GdkColor c;
        if (!gdk_color_parse(name, &c)) {
            fprintf(stderr, "Cannot get color %s\n", name);
            continue;
        }
        apply_color(h, role, &c);
        replace_string(&h->cnvs->color_names[role], name);
    }
}

void hst_chart1d_set_colors(HstChart1D* h, ...)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    va_list ap;
    va_start(ap, h);
    set_colors_valist(h, ap);
    va_end(ap);
}

void hst_chart1d_add_curve_color(HstChart1D* h, const char* name)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    g_return_if_fail(name != NULL);
    GdkColor* c = g_new0(GdkColor, 1);
    if (!gdk_color_parse(name, c)) {
        fprintf(stderr, "add_curve_color: Cannot get color %s\n", name);
        g_free(c);
        return;
    }
    GtkWidget* w = GTK_WIDGET(h);
    if (gtk_widget_get_realized(w) && !gdk_colormap_alloc_color(gtk_widget_get_colormap(w), c, FALSE, TRUE)) {
        fprintf(stderr, "add_curve_color: could not allocate color %s\n", name);
        g_free(c);
        return;
    }
    h->cnvs->curve_colors = g_list_append(h->cnvs->curve_colors, c);
    h->colors_changed = TRUE;
}

void hst_chart1d_set_curve_colors(HstChart1D* h, ...)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    g_list_free_full(h->cnvs->curve_colors, g_free);
    h->cnvs->curve_colors = NULL;
    va_list ap;
    va_start(ap, h);
    const char* name;
    while ((name = va_arg(ap, const char*)) != NULL)
        hst_chart1d_add_curve_color(h, name);
    va_end(ap);
}

void _hst_chart_push_colors(HstChart1D* h)
{
    GtkWidget* w = GTK_WIDGET(h);
    if (!h->cnvs->color_names[HST_COLOR_BACKGROUND]) {
        gchar* bg = gdk_color_to_string(&gtk_widget_get_style(w)->bg[GTK_STATE_NORMAL]);
        hst_chart1d_set_colors(h, "background", bg, NULL);
        g_free(bg);
    }
    if (!h->colors_changed)
        return;
    GtkStyle* style = gtk_style_copy(gtk_widget_get_style(w));
    for (int i = 0; i < 5; i++) {
        style->fg[i] = h->colors[HST_COLOR_FOREGROUND];
        style->bg[i] = h->colors[HST_COLOR_BACKGROUND];
    }
    gtk_widget_set_style(w, style);
    g_object_unref(style);
    GdkColormap* cmap = gtk_widget_get_colormap(w);
    for (GList* l = h->cnvs->curve_colors; l; l = l->next)
        gdk_colormap_alloc_color(cmap, l->data, FALSE, TRUE);
    h->colors_changed = FALSE;
}

/* ---- redraw timer ---- */

static gboolean monitor_tick(gpointer data)
{
    HstChart1D* h = HST_CHART1D(data);
    if (gtk_widget_get_realized(GTK_WIDGET(h)) && g_rec_mutex_trylock(&h->cnvs->mutex)) {
        canvas_unlock(h);
        gtk_widget_queue_draw(GTK_WIDGET(h));
    }
    return TRUE;
}

void hst_chart1d_monitor_stop(HstChart1D* h)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    if (h->tmout >= 0)
        g_source_remove((guint)h->tmout);
    h->tmout = -1;
}

void hst_chart1d_monitor_start(HstChart1D* h, int period_ms)
{
    g_return_if_fail(h != NULL);
    g_return_if_fail(HST_IS_CHART1D(h));
    g_return_if_fail(period_ms >= 0);
    hst_chart1d_monitor_stop(h);
    h->tmout = (int)g_timeout_add((guint)period_ms, monitor_tick, h);
}

/* ---- size negotiation and expose ---- */

/* The plot's size to the curves (a tracer keeps a value per pixel column).
 * A curve that a thread is filling now gets it at the next draw, which holds
 * the curves' locks: the GTK main thread does not wait for it here. */
static void resize_curves(HstChart1D* h, const GtkAllocation* alloc)
{
    HstCanvas* c = h->cnvs;
    h->priv->resize_pending = FALSE;
    for (GList* l = h->curves; l; l = l->next) {
        HstFunction* f = HST_FUNCTION(l->data);
        if (!hst_function_trylock(f)) {
            h->priv->resize_pending = TRUE;
            continue;
        }
        hst_function_resize(f, alloc->width - 4 * c->character_width, alloc->height - 4 * c->character_height);
        hst_function_unlock(f);
    }
}

static void chart1d_size_request(GtkWidget* widget, GtkRequisition* req)
{
    HstChart1D* h = HST_CHART1D(widget);
    HstCanvas* c = h->cnvs;
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, "ZZZ");
    int w = 0, ht = 0;
    pango_layout_get_pixel_size(layout, &w, &ht);

    float lo = 0.0f, hi = 0.0f, bw = 0.0f;
    int n = 0;
    getbins((float)h->xmin, (float)h->xmax, 10, &lo, &hi, &n, &bw);
    n = CLAMP(n, 0, 20);
    req->width = 4 * c->character_width + w * (n + 1);
    req->height = 4 * c->character_height + 8 * ht;

    gchar* legend = _hst_chart_legend_markup(h);
    if (legend) {
        pango_layout_set_markup(layout, legend, -1);
        int lw = 0, lh = 0;
        pango_layout_get_pixel_size(layout, &lw, &lh);
        req->width += (int)(1.25 * lw);
        if (lh > req->height)
            req->height = lh;
        g_free(legend);
    }
    g_object_unref(layout);
    if (GTK_WIDGET_CLASS(hst_chart1d_parent_class)->size_request)
        GTK_WIDGET_CLASS(hst_chart1d_parent_class)->size_request(widget, req);
}

static void chart1d_size_allocate(GtkWidget* widget, GtkAllocation* alloc)
{
    GTK_WIDGET_CLASS(hst_chart1d_parent_class)->size_allocate(widget, alloc);
    HstChart1D* h = HST_CHART1D(widget);
    HstCanvas* c = h->cnvs;
    canvas_lock(h);
    resize_curves(h, alloc);
    /* A function being filled keeps the range shown, a zoom included. */
    if (h->func && hst_function_trylock(h->func)) {
        h->xmin = hst_function_get_xmin(h->func);
        h->xmax = hst_function_get_xmax(h->func);
        hst_function_unlock(h->func);
    }
    const int width = MAX(alloc->width, 1);
    const int height = MAX(alloc->height, 1);
    if (!c->surface || cairo_image_surface_get_width(c->surface) != width ||
        cairo_image_surface_get_height(c->surface) != height) {
        if (c->surface)
            cairo_surface_destroy(c->surface);
        c->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    }
    canvas_unlock(h);
}

/* The locks of the curves (and of the Y axis of a 2D function), every one or
 * none, without waiting: the thread filling a curve holds its lock, and it
 * may be one the scheduler keeps waiting for a processor, long, while the
 * GTK main thread waited with it. Taken in the order of the curves. */
static void unlock_curves(GList* from, GList* to)
{
    for (GList* l = from; l != to; l = l->next) {
        HstFunction* f = HST_FUNCTION(l->data);
        if (HST_IS_FUNCTION2D(f) && HST_FUNCTION2D(f)->Y)
            hst_function_unlock(HST_FUNCTION2D(f)->Y);
        hst_function_unlock(f);
    }
}

static gboolean trylock_curves(HstChart1D* h)
{
    for (GList* l = h->curves; l; l = l->next) {
        HstFunction* f = HST_FUNCTION(l->data);
        if (!hst_function_trylock(f)) {
            unlock_curves(h->curves, l);
            return FALSE;
        }
        HstFunction* y = HST_IS_FUNCTION2D(f) ? HST_FUNCTION2D(f)->Y : NULL;
        if (y && !hst_function_trylock(y)) {
            hst_function_unlock(f);
            unlock_curves(h->curves, l);
            return FALSE;
        }
    }
    return TRUE;
}

static gboolean redraw_later(gpointer data)
{
    HstChart1D* h = HST_CHART1D(data);
    h->priv->retry = 0;
    gtk_widget_queue_draw(GTK_WIDGET(h));
    return G_SOURCE_REMOVE;
}

static gboolean chart1d_expose(GtkWidget* widget, GdkEventExpose* event)
{
    HstChart1D* h = HST_CHART1D(widget);
    cairo_t* cr = gdk_cairo_create(gtk_widget_get_window(widget));
    gdk_cairo_rectangle(cr, &event->area);
    cairo_clip(cr);
    /* A curve being filled: the picture drawn last is shown, and the chart
     * is drawn anew a moment later. */
    if (trylock_curves(h)) {
        if (h->priv->resize_pending) {
            GtkAllocation alloc;
            gtk_widget_get_allocation(widget, &alloc);
            resize_curves(h, &alloc);
        }
        if (h->priv->range_pending && h->func) {
            h->xmin = hst_function_get_xmin(h->func);
            h->xmax = hst_function_get_xmax(h->func);
        }
        h->priv->range_pending = FALSE;
        chart1d_draw_canvas(h, NULL);
        unlock_curves(h->curves, NULL);
    } else if (!h->priv->retry) {
        h->priv->retry = g_timeout_add(40, redraw_later, h);
    }
    canvas_lock(h);
    if (h->cnvs->surface) {
        cairo_set_source_surface(cr, h->cnvs->surface, 0, 0);
        cairo_paint(cr);
    }
    cairo_destroy(cr);
    canvas_unlock(h);
    return FALSE;
}

/* ---- properties ---- */

static void chart1d_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    HstChart1D* h = HST_CHART1D(object);
    HstCanvas* c = h->cnvs;
    if (prop_id < PROP_FUNC || prop_id > PROP_LINE_WIDTH) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    if (!canvas_lock_patiently(h))
        return;
    switch (prop_id) {
    case PROP_FUNC: {
        gpointer f = g_value_get_pointer(value);
        if (f && !HST_IS_FUNCTION(f))
            g_critical("%s: the function is not an HstFunction", G_STRFUNC);
        else
            replace_func(h, f);
        break;
    }
    case PROP_XTITLE:
        replace_string(&h->xtitle, g_value_get_string(value));
        break;
    case PROP_YTITLE:
        replace_string(&h->ytitle, g_value_get_string(value));
        break;
    case PROP_TEXT_FONT:
        replace_string(&c->text_font, g_value_get_string(value));
        break;
    case PROP_AXIS_FONT:
        replace_string(&c->axis_font, g_value_get_string(value));
        break;
    case PROP_LOGX:
        set_attr(h, HST_LOGX, g_value_get_boolean(value));
        break;
    case PROP_LOGY:
        set_attr(h, HST_LOGY, g_value_get_boolean(value));
        break;
    case PROP_FILLED:
        set_attr(h, HST_FILLED, g_value_get_boolean(value));
        break;
    case PROP_STATS:
        set_attr(h, HST_STATS, g_value_get_boolean(value));
        break;
    case PROP_HXMIN:
        c->xmin = h->xmin = g_value_get_double(value);
        gtk_widget_queue_resize(GTK_WIDGET(h));
        break;
    case PROP_HXMAX:
        c->xmax = h->xmax = g_value_get_double(value);
        gtk_widget_queue_resize(GTK_WIDGET(h));
        break;
    case PROP_HYMIN:
    case PROP_VMIN:
        c->ymin = h->vmin = g_value_get_double(value);
        c->fixed = !(c->ymin == c->ymax);
        break;
    case PROP_HYMAX:
    case PROP_VMAX:
        c->ymax = h->vmax = g_value_get_double(value);
        c->fixed = !(c->ymin == c->ymax);
        break;
    case PROP_LINE_WIDTH:
        c->line_width = g_value_get_double(value);
        break;
    default:
        break;
    }
    canvas_unlock(h);
}

static void chart1d_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    HstChart1D* h = HST_CHART1D(object);
    HstCanvas* c = h->cnvs;
    switch (prop_id) {
    case PROP_FUNC:
        g_value_set_pointer(value, h->func);
        break;
    case PROP_XTITLE:
        g_value_set_string(value, h->xtitle);
        break;
    case PROP_YTITLE:
        g_value_set_string(value, h->ytitle);
        break;
    case PROP_TEXT_FONT:
        g_value_set_string(value, c->text_font);
        break;
    case PROP_AXIS_FONT:
        g_value_set_string(value, c->axis_font);
        break;
    case PROP_LOGX:
        g_value_set_boolean(value, (h->attr & HST_LOGX) != 0);
        break;
    case PROP_LOGY:
        g_value_set_boolean(value, (h->attr & HST_LOGY) != 0);
        break;
    case PROP_FILLED:
        g_value_set_boolean(value, (h->attr & HST_FILLED) != 0);
        break;
    case PROP_STATS:
        g_value_set_boolean(value, (h->attr & HST_STATS) != 0);
        break;
    case PROP_HXMIN:
        g_value_set_double(value, c->xmin);
        break;
    case PROP_HXMAX:
        g_value_set_double(value, c->xmax);
        break;
    case PROP_HYMIN:
        g_value_set_double(value, c->ymin);
        break;
    case PROP_HYMAX:
        g_value_set_double(value, c->ymax);
        break;
    case PROP_VMIN:
        g_value_set_double(value, h->vmin);
        break;
    case PROP_VMAX:
        g_value_set_double(value, h->vmax);
        break;
    case PROP_LINE_WIDTH:
        g_value_set_double(value, c->line_width);
        break;
    case PROP_PIXMAP:
        g_value_take_object(value, _hst_get_pixbuf(h));
        break;
    case PROP_PNG:
    case PROP_JPEG:
    case PROP_PDF:
    case PROP_SVG:
    case PROP_EPS:
        g_value_take_boxed(value, _hst_picture_producer(pspec->name)(h));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

/* ---- lifecycle ---- */

static void hst_chart1d_init(HstChart1D* h)
{
    h->priv = hst_chart1d_get_instance_private(h);
    h->cnvs = g_new0(HstCanvas, 1);
    h->evt = g_new0(HstChartEvent, 1);
    HstCanvas* c = h->cnvs;
    c->stats = hst_stats_new();
    g_rec_mutex_init(&c->mutex);
    c->text_font = g_strdup("sans");
    c->axis_font = g_strdup("mono");
    c->line_width = 1.0;
    h->drawaxis = 17;
    h->tmout = -1;
    h->sync_id = -1;
    hst_chart1d_set_colors(h, "foreground", "black", "axis", "black", "curve", "black", NULL);

    GtkWidget* w = GTK_WIDGET(h);
    gtk_widget_add_events(w, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                 GDK_KEY_PRESS_MASK);
    g_signal_connect(w, "button_press_event", G_CALLBACK(chart1d_button_press), NULL);
    g_signal_connect(w, "button_release_event", G_CALLBACK(chart1d_button_release), NULL);
    g_signal_connect(w, "motion_notify_event", G_CALLBACK(chart1d_motion_notify), NULL);
    g_signal_connect(w, "key_press_event", G_CALLBACK(chart1d_key_press), NULL);
}

/* Whatever still holds a curve (a monitor window, a worker thread) may make
 * it emit "range-changed" long after the chart is gone: the handler and the
 * timer go with the widget. */
static void chart1d_dispose(GObject* object)
{
    HstChart1D* h = HST_CHART1D(object);
    sync_disconnect(h);
    if (h->tmout >= 0)
        hst_chart1d_monitor_stop(h);
    if (h->priv->retry)
        g_source_remove(h->priv->retry);
    h->priv->retry = 0;
    G_OBJECT_CLASS(hst_chart1d_parent_class)->dispose(object);
}

GPtrArray* _hst_chart_axis_labels(HstChart1D* h, int type)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    g_return_val_if_fail(type >= HST_X_AXIS && type <= HST_Z_AXIS, NULL);
    if (!h->priv->labels[type])
        h->priv->labels[type] = g_ptr_array_new_with_free_func(g_free);
    return h->priv->labels[type];
}

static void chart1d_finalize(GObject* object)
{
    HstChart1D* h = HST_CHART1D(object);
    HstCanvas* c = h->cnvs;
    if (h->tmout >= 0)
        hst_chart1d_monitor_stop(h);
    _hst_chart_free_tuples(h);
    g_object_unref(c->stats);
    if (c->surface)
        cairo_surface_destroy(c->surface);
    if (c->legend)
        g_object_unref(c->legend);
    g_free(c->text_font);
    g_free(c->axis_font);
    for (int i = 0; i < HST_NCOLORS; i++)
        g_free(c->color_names[i]);
    g_list_free_full(c->curve_colors, g_free);
    g_rec_mutex_clear(&c->mutex);
    g_free(c);
    g_free(h->evt);
    g_free(h->xtitle);
    g_free(h->ytitle);
    g_list_free_full(h->curves, g_object_unref);
    for (int i = 0; i < 3; i++)
        if (h->priv->labels[i])
            g_ptr_array_unref(h->priv->labels[i]);
    G_OBJECT_CLASS(hst_chart1d_parent_class)->finalize(object);
}

static void hst_chart1d_class_init(HstChart1DClass* klass)
{
    GObjectClass* oc = G_OBJECT_CLASS(klass);
    GtkWidgetClass* wc = GTK_WIDGET_CLASS(klass);

    oc->dispose = chart1d_dispose;
    oc->finalize = chart1d_finalize;
    oc->set_property = chart1d_set_property;
    oc->get_property = chart1d_get_property;
    wc->expose_event = chart1d_expose;
    wc->size_request = chart1d_size_request;
    wc->size_allocate = chart1d_size_allocate;

    klass->draw_pixmap = chart1d_draw_pixmap;
    klass->draw_frame = chart1d_draw_frame;
    klass->draw_stats = chart1d_draw_stats;
    klass->draw_axis = chart1d_draw_axis;
    klass->mouse = NULL;
    klass->xtra_menu = NULL;

    const GParamFlags rw = G_PARAM_READWRITE;
    const double big = G_MAXDOUBLE;
    g_object_class_install_property(oc, PROP_FUNC,
                                    g_param_spec_pointer("func", "function", "Function to evaluate", rw));
    g_object_class_install_property(oc, PROP_XTITLE,
                                    g_param_spec_string("xtitle", "X axis label", "Label for X axis", "X", rw));
    g_object_class_install_property(oc, PROP_YTITLE,
                                    g_param_spec_string("ytitle", "Y axis label", "Label for Y axis", "Y", rw));
    g_object_class_install_property(
        oc, PROP_LOGX,
        g_param_spec_boolean("logx", "X axis in log scale", "If set shows X axis in log scale", FALSE, rw));
    g_object_class_install_property(
        oc, PROP_LOGY,
        g_param_spec_boolean("logy", "Y axis in log scale", "If set shows Y axis in log scale", FALSE, rw));
    g_object_class_install_property(
        oc, PROP_FILLED, g_param_spec_boolean("filled", "Filled hst1ds", "If set draws a filled histogram", FALSE, rw));
    g_object_class_install_property(
        oc, PROP_STATS, g_param_spec_boolean("stats", "Show stats", "If set shows the statistics", FALSE, rw));
    g_object_class_install_property(
        oc, PROP_HXMAX,
        g_param_spec_double("hxmax", "hxmax", "Maximum value of X in the histogram range", -big, big, 1.0, rw));
    g_object_class_install_property(
        oc, PROP_HXMIN,
        g_param_spec_double("hxmin", "hxmin", "Minimum value of X in the histogram range", -big, big, 0.0, rw));
    g_object_class_install_property(
        oc, PROP_HYMAX,
        g_param_spec_double("hymax", "hymax", "Maximum value of Y in the histogram range", -big, big, 1.0, rw));
    g_object_class_install_property(
        oc, PROP_HYMIN,
        g_param_spec_double("hymin", "hymin", "Minimum value of Y in the histogram range", -big, big, 0.0, rw));
    g_object_class_install_property(
        oc, PROP_VMAX, g_param_spec_double("vmax", "vmax", "Maximum value to be shown", -big, big, 1.0, rw));
    g_object_class_install_property(
        oc, PROP_VMIN, g_param_spec_double("vmin", "vmin", "Minimum value to be shown", -big, big, 0.0, rw));
    g_object_class_install_property(
        oc, PROP_TEXT_FONT, g_param_spec_string("text_font", "Text Font", "The font used for generic text", "sans", rw));
    g_object_class_install_property(
        oc, PROP_AXIS_FONT,
        g_param_spec_string("axis_font", "Axis Fong", "The font used for the Axis labels", "mono", rw));
    g_object_class_install_property(
        oc, PROP_LINE_WIDTH,
        g_param_spec_double("line_width", "Line width", "The histogram line width", 0.0, big, 1.0, rw));
    g_object_class_install_property(
        oc, PROP_PIXMAP, g_param_spec_object("pixmap", "pixmap", "Pixbuffer", GDK_TYPE_PIXBUF, G_PARAM_READABLE));
    static const char* const pictures[] = {"png", "jpeg", "pdf", "svg", "eps"};
    for (guint i = 0; i < G_N_ELEMENTS(pictures); i++) {
        const char* n = pictures[i];
        g_object_class_install_property(oc, PROP_PNG + i, g_param_spec_boxed(n, n, n, G_TYPE_GSTRING, G_PARAM_READABLE));
    }
}
