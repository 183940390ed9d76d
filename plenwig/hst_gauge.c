/* HstGauge: the dial widget. Angles are mathematical (radians,
 * counter-clockwise from +x); a point at angle phi and radius r lies at
 * (ox + r cos phi, oy - r sin phi) in window pixels. */
#include "hst_gauge.h"

#include <float.h>
#include <math.h>
#include <stdio.h>

#include "hst_axis.h"
#include "hst_chart_private.h"
#include "hst_histogram.h"

enum {
    PROP_0,
    PROP_XMIN,
    PROP_XMAX,
    PROP_TITLE,
    PROP_COLOR,
    PROP_FONT,
    PROP_DEPTH,
};

/* Within this angle of the top, a label stands on its point instead of
 * being centred on it, so that it clears the band. */
#define TOP_LABEL_ANGLE 0.018

G_DEFINE_TYPE_WITH_PRIVATE(HstGauge, hst_gauge, GTK_TYPE_DRAWING_AREA)

static float to_float(double v)
{
    if (isnan(v))
        return (float)v;
    return (float)CLAMP(v, -FLT_MAX, FLT_MAX);
}

static gboolean has_scale(const HstGauge* gg)
{
    return isfinite(gg->xmin) && isfinite(gg->xmax) && gg->xmax > gg->xmin;
}

static double phi_of(const HstGauge* gg, double value)
{
    double v;
    if (value >= gg->xmin && value <= gg->xmax)
        v = value;
    else if (value < gg->xmin)
        v = gg->xmin;
    else
        v = gg->xmax;
    return gg->priv->angmn - (v - gg->xmin) * gg->priv->step;
}

double gauge_get_phi(HstGauge* gg, float value)
{
    g_return_val_if_fail(HST_IS_GAUGE(gg), 0.0);
    return phi_of(gg, value);
}

static void radial_line(cairo_t* cr, const HstGaugePrivate* p, double phi, double r0, double r1)
{
    cairo_move_to(cr, p->ox + r0 * cos(phi), p->oy - r0 * sin(phi));
    cairo_line_to(cr, p->ox + r1 * cos(phi), p->oy - r1 * sin(phi));
}

static void disc(cairo_t* cr, const HstGaugePrivate* p, double r, const GdkColor* col)
{
    _hst_cairo_set_color(cr, col);
    cairo_new_path(cr);
    cairo_arc(cr, p->ox, p->oy, r, 0.0, 2 * G_PI);
    cairo_fill(cr);
}

/* Stacks a markup text above the position *base, centred on cx, and moves
 * the base above it. */
static void stack_text(HstGauge* gg, const char* markup, double cx, double* base)
{
    HstGaugePrivate* p = gg->priv;
    PangoLayout* layout = _hst_markup_layout(GTK_WIDGET(gg), p->cairo, markup, p->font_family);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    *base -= h + 2;
    cairo_new_path(p->cairo);
    cairo_move_to(p->cairo, cx - w / 2, *base);
    pango_cairo_show_layout(p->cairo, layout);
    cairo_new_path(p->cairo);
    g_object_unref(layout);
}

static void gauge_update_scale(HstGauge* gg)
{
    HstGaugePrivate* p = gg->priv;
    cairo_t* cr = p->cairo;
    GtkStyle* style = gtk_widget_get_style(GTK_WIDGET(gg));
    const GdkColor* fg = &style->fg[GTK_STATE_NORMAL];
    const GdkColor* bg = &style->bg[GTK_STATE_NORMAL];

    double mant = 0.0, ex = 0.0;
    get_order_of_magnitude(gg->xmin, gg->xmax, 3.0, &mant, &ex);
    const double sx = ex == 0.0 ? 1.0 : pow(10.0, ex);

    float wmn = 0.0f, wmx = 0.0f, bw = 0.0f;
    int nb = 0;
    getbins(gg->xmin, gg->xmax, 10, &wmn, &wmx, &nb, &bw);
    if (gg->xmin - wmn > 1e-5) {
        wmn += bw;
        nb--;
    }
    if (wmx - gg->xmax > 1e-5) {
        wmx -= bw;
        nb--;
    }
    float mmn = 0.0f, mmx = 0.0f, mbw = 0.0f;
    int mnb = 0;
    getbins(0.0f, bw, 5, &mmn, &mmx, &mnb, &mbw);

    p->angmn = atan2(-p->ry, -p->rx);
    if (p->angmn < 0.0)
        p->angmn += 2 * G_PI;
    const double sweep = 2 * (G_PI - fabs(atan2(p->rx, p->ry)));
    /* An empty or reversed range has no scale: the needle rests at the
     * start and no marks are drawn. */
    const gboolean scale = has_scale(gg);
    p->step = scale ? sweep / (float)(gg->xmax - gg->xmin) : 0.0;

    const double rin = (1.0 - p->pannel) * p->rx;
    const double rmid = (1.0 - p->pannel / 2.0) * p->rx;
    const double beta = atan2(p->ry, p->rx);
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_move_to(cr, p->ox + rin * cos(beta + G_PI / 2), p->oy + rin * sin(beta + G_PI / 2));
    cairo_line_to(cr, p->ox + p->rx * cos(beta + G_PI / 2), p->oy + p->rx * sin(beta + G_PI / 2));
    cairo_arc(cr, p->ox, p->oy, p->rx, beta + G_PI / 2, G_PI / 2 - beta);
    cairo_arc_negative(cr, p->ox, p->oy, rin, G_PI / 2 - beta, beta + G_PI / 2);
    cairo_close_path(cr);
    cairo_clip(cr);
    disc(cr, p, p->rx, &p->color);

    /* Marks run over an integer index, so that any range ends. */
    const int nmajor = scale ? hst_axis_tick_count(wmn, wmx, bw, HST_MAX_TICKS) : -1;
    const int nminor = hst_axis_tick_count(mmn, mmx, mbw, HST_MAX_TICKS);
    _hst_cairo_set_color(cr, fg);
    for (int i = 0; i <= nmajor; i++)
        radial_line(cr, p, phi_of(gg, wmn + i * (double)bw), rin, p->rx);
    cairo_stroke(cr);
    for (int i = 0; i < nmajor; i++)
        for (int j = 0; j < nminor; j++)
            radial_line(cr, p, phi_of(gg, wmn + i * (double)bw + mmn + j * (double)mbw), rin, rmid);
    cairo_stroke(cr);
    cairo_restore(cr);

    disc(cr, p, rin, bg);
    disc(cr, p, p->dot * p->rx, fg);

    _hst_cairo_set_color(cr, fg);
    const double R = rin - p->cdiag;
    for (int i = 0; i <= nmajor; i++) {
        const double x = wmn + i * (double)bw;
        const double phi = phi_of(gg, x);
        gchar* text = g_strdup_printf("%.1f", x / sx);
        PangoLayout* layout = _hst_markup_layout(GTK_WIDGET(gg), cr, text, p->font_family);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout, &w, &h);
        const double xo = R * cos(phi) - w / 2.0;
        double yo = R * sin(phi) + h / 2.0;
        if (fabs(phi - G_PI / 2) < TOP_LABEL_ANGLE)
            yo += h / 2.0;
        cairo_new_path(cr);
        cairo_move_to(cr, p->ox + xo, p->oy - yo);
        pango_cairo_show_layout(cr, layout);
        cairo_new_path(cr);
        g_object_unref(layout);
        g_free(text);
    }

    double pos = (int)p->cy;
    if (gg->title) {
        gchar* text = g_strdup_printf("<b>%s</b>", gg->title);
        stack_text(gg, text, p->ox, &pos);
        g_free(text);
    }
    p->ex = ex;
    if (sx != 1.0) {
        gchar* text = g_strdup_printf("x10<sup>%d</sup>", (int)ex);
        stack_text(gg, text, p->ox, &pos);
        g_free(text);
    }
}

/* Paints with cr, which it takes over, or on the off-screen surface. */
static void gauge_paint(HstGauge* gg, cairo_t* cr)
{
    g_return_if_fail(gg != NULL);
    HstGaugePrivate* p = gg->priv;
    GtkStyle* style = gtk_widget_get_style(GTK_WIDGET(gg));
    g_rec_mutex_lock(&p->mutex);
    if (!cr) {
        if (!p->surface) {
            g_rec_mutex_unlock(&p->mutex);
            return;
        }
        cr = cairo_create(p->surface);
    }
    p->cairo = cr;
    _hst_cairo_set_color(cr, &style->bg[GTK_STATE_NORMAL]);
    cairo_paint(cr);
    _hst_cairo_set_color(cr, &style->fg[GTK_STATE_NORMAL]);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);

    gauge_update_scale(gg);

    _hst_cairo_set_color(cr, &style->fg[GTK_STATE_NORMAL]);
    const double phi = phi_of(gg, gg->val);
    cairo_new_path(cr);
    cairo_move_to(cr, p->ox, p->oy);
    cairo_line_to(cr, p->ox + p->rx * cos(phi), p->oy - p->ry * sin(phi));
    cairo_stroke(cr);

    gchar* text = g_strdup_printf("%.1f", gg->val / pow(10.0, p->ex));
    PangoLayout* layout = _hst_markup_layout(GTK_WIDGET(gg), cr, text, "sans");
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    cairo_move_to(cr, p->ox - w / 2, p->oy + h / 2.0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    g_free(text);

    cairo_destroy(cr);
    p->cairo = NULL;
    g_rec_mutex_unlock(&p->mutex);
}

static gboolean gauge_expose(GtkWidget* widget, GdkEventExpose* event)
{
    g_return_val_if_fail(widget != NULL, FALSE);
    g_return_val_if_fail(HST_IS_GAUGE (widget), FALSE);
    cairo_t* cr = gdk_cairo_create(gtk_widget_get_window(widget));
    if (event) {
        gdk_cairo_rectangle(cr, &event->area);
        cairo_clip(cr);
    }
    gauge_paint(HST_GAUGE(widget), cr);
    return FALSE;
}

static void letter_size(GtkWidget* widget, int* w, int* h)
{
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, "X");
    pango_layout_get_pixel_size(layout, w, h);
    g_object_unref(layout);
}

static void gauge_size_request(GtkWidget* widget, GtkRequisition* req)
{
    if (!HST_IS_GAUGE(widget) || !req)
        return;
    int w = 0, h = 0;
    letter_size(widget, &w, &h);
    req->width = req->height = (int)(17.5 * w);
}

static void gauge_size_allocate(GtkWidget* widget, GtkAllocation* allocation)
{
    g_return_if_fail(widget != NULL);
    g_return_if_fail(HST_IS_GAUGE (widget));
    g_return_if_fail(allocation != NULL);
    GTK_WIDGET_CLASS(hst_gauge_parent_class)->size_allocate(widget, allocation);
    HstGauge* gg = HST_GAUGE(widget);
    HstGaugePrivate* p = gg->priv;

    g_rec_mutex_lock(&p->mutex);
    if (p->surface)
        cairo_surface_destroy(p->surface);
    p->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, MAX(allocation->width, 1),
                                            MAX(allocation->height, 1));
    int lw = 0, lh = 0;
    letter_size(widget, &lw, &lh);
    p->cdiag = sqrt((double)(lw * lw + lh * lh));
    p->cx = allocation->width;
    p->cy = allocation->height;
    double xoff = 0.0, yoff = 0.0;
    if (gg->squared) {
        if (p->cx > p->cy) {
            xoff = (p->cx - p->cy) / 2;
            p->cx = p->cy;
        } else {
            yoff = (p->cy - p->cx) / 2;
            p->cy = p->cx;
        }
    }
    p->ox = p->cx / 2 + xoff;
    p->oy = p->cy / 2 + yoff;
    p->rx = p->ry = MIN(p->cx, p->cy) / 2;
    g_rec_mutex_unlock(&p->mutex);

    if (gtk_widget_get_realized(widget))
        gauge_expose(widget, NULL);
}

/* ---- public operations ---- */

GtkWidget* hst_gauge_new(float xmin, float xmax)
{
    return GTK_WIDGET(g_object_new(HST_TYPE_GAUGE, "xmin", (double)xmin, "xmax", (double)xmax, NULL));
}

void hst_gauge_set_value(HstGauge* gg, float value)
{
    g_return_if_fail(HST_IS_GAUGE(gg));
    gg->val = value;
    hst_histogram_fill(HST_HISTOGRAM(gg->tracer), value, 1.0);
    gtk_widget_queue_draw(GTK_WIDGET(gg));
}

float hst_gauge_get_value(HstGauge* gg)
{
    g_return_val_if_fail(HST_IS_GAUGE(gg), 0.0f);
    return gg->val;
}

void hst_gauge_set_title(HstGauge* gg, const char* title)
{
    g_return_if_fail(HST_IS_GAUGE(gg));
    g_free(gg->title);
    gg->title = g_strdup(title);
    if (gtk_widget_get_realized(GTK_WIDGET(gg)))
        gtk_widget_queue_resize(GTK_WIDGET(gg));
}

const char* hst_gauge_get_title(HstGauge* gg)
{
    g_return_val_if_fail(HST_IS_GAUGE(gg), NULL);
    return gg->title;
}

void hst_gauge_set_range(HstGauge* gg, float xmin, float xmax)
{
    g_return_if_fail(HST_IS_GAUGE(gg));
    gg->xmin = xmin;
    gg->xmax = xmax;
    gtk_widget_queue_draw(GTK_WIDGET(gg));
}

void hst_gauge_set_color(HstGauge* gg, const char* name)
{
    g_return_if_fail(gg!=NULL);
    g_return_if_fail(HST_IS_GAUGE(gg));
    g_return_if_fail(name != NULL);
    GdkColor c;
    if (!gdk_color_parse(name, &c)) {
        fprintf(stderr, "Cannot get color %s\n", name);
        return;
    }
    g_free(gg->color);
    gg->color = g_strdup(name);
    gg->priv->color = c;
    GtkWidget* w = GTK_WIDGET(gg);
    if (gtk_widget_get_realized(w))
        gdk_colormap_alloc_color(gtk_widget_get_colormap(w), &gg->priv->color, FALSE, TRUE);
}

void hst_gauge_set_squared(HstGauge* gg, gboolean flag)
{
    g_return_if_fail(gg != NULL);
    g_return_if_fail(HST_IS_GAUGE (gg));
    gg->squared = flag;
    gtk_widget_queue_draw(GTK_WIDGET(gg));
}

HstTracer* hst_gauge_get_tracer(HstGauge* gg)
{
    g_return_val_if_fail(HST_IS_GAUGE(gg), NULL);
    return gg->tracer;
}

/* ---- object ---- */

static void gauge_set_property(GObject* object, guint prop_id, const GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_GAUGE(object));
    HstGauge* gg = HST_GAUGE(object);
    switch (prop_id) {
    case PROP_XMIN:
        gg->xmin = to_float(g_value_get_double(value));
        break;
    case PROP_XMAX:
        gg->xmax = to_float(g_value_get_double(value));
        break;
    case PROP_TITLE:
        hst_gauge_set_title(gg, g_value_get_string(value));
        break;
    case PROP_COLOR:
        hst_gauge_set_color(gg, g_value_get_string(value));
        break;
    case PROP_FONT:
        g_free(gg->priv->font_family);
        gg->priv->font_family = g_value_dup_string(value);
        break;
    case PROP_DEPTH:
        g_object_set(gg->tracer, "nx", g_value_get_int(value), NULL);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void gauge_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    g_return_if_fail(HST_IS_GAUGE(object));
    HstGauge* gg = HST_GAUGE(object);
    switch (prop_id) {
    case PROP_XMIN:
        g_value_set_double(value, gg->xmin);
        break;
    case PROP_XMAX:
        g_value_set_double(value, gg->xmax);
        break;
    case PROP_TITLE:
        g_value_set_string(value, gg->title);
        break;
    case PROP_COLOR:
        g_value_set_string(value, gg->color);
        break;
    case PROP_FONT:
        g_value_set_string(value, gg->priv->font_family);
        break;
    case PROP_DEPTH:
        g_value_set_int(value, hst_function_get_npts(HST_FUNCTION(gg->tracer)));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        break;
    }
}

static void hst_gauge_init(HstGauge* gg)
{
    gg->priv = hst_gauge_get_instance_private(gg);
    HstGaugePrivate* p = gg->priv;
    gg->val = 0.0f;
    gg->xmin = 0.0f;
    gg->xmax = 1.0f;
    p->pannel = 0.2;
    p->dot = 0.05;
    p->font_family = g_strdup("sans");
    g_rec_mutex_init(&p->mutex);
    gg->tracer = hst_tracer_new(128);
    hst_gauge_set_color(gg, "red");
}

static void gauge_finalize(GObject* obj)
{
    g_return_if_fail(obj != NULL);
    g_return_if_fail(HST_IS_GAUGE (obj));
    HstGauge* gg = HST_GAUGE(obj);
    HstGaugePrivate* p = gg->priv;
    g_object_unref(gg->tracer);
    if (p->surface)
        cairo_surface_destroy(p->surface);
    g_free(gg->title);
    g_free(gg->color);
    g_free(p->font_family);
    g_rec_mutex_clear(&p->mutex);
    G_OBJECT_CLASS(hst_gauge_parent_class)->finalize(obj);
}

static void hst_gauge_class_init(HstGaugeClass* klass)
{
    GObjectClass* oc = G_OBJECT_CLASS(klass);
    GtkWidgetClass* wc = GTK_WIDGET_CLASS(klass);
    oc->finalize = gauge_finalize;
    oc->set_property = gauge_set_property;
    oc->get_property = gauge_get_property;
    wc->size_request = gauge_size_request;
    wc->size_allocate = gauge_size_allocate;
    wc->expose_event = gauge_expose;

    const GParamFlags rw = G_PARAM_READWRITE;
    g_object_class_install_property(
        oc, PROP_XMIN, g_param_spec_double("xmin", "xmin", "Minimum value of X", -G_MAXDOUBLE, G_MAXDOUBLE, 0.0, rw));
    g_object_class_install_property(
        oc, PROP_XMAX, g_param_spec_double("xmax", "xmax", "Maximum value of X", -G_MAXDOUBLE, G_MAXDOUBLE, 1.0, rw));
    g_object_class_install_property(oc, PROP_TITLE,
                                    g_param_spec_string("title", "Graph Title", "Graph Title", "Title", rw));
    g_object_class_install_property(oc, PROP_COLOR,
                                    g_param_spec_string("color", "Graph Color", "Graph Color", "Color", rw));
    g_object_class_install_property(oc, PROP_FONT, g_param_spec_string("font", "Font", "Font", "Font", rw));
    g_object_class_install_property(
        oc, PROP_DEPTH, g_param_spec_int("depth", "depth", "the memory depth", 16, 999999, 128, rw));
}
