/* Drawing of the 1D chart: sampling and Y range, layout, scales, curves,
 * legend, axes, pointer read-out and statistics box. The 2D chart reuses the
 * layout and the axes. Everything here runs under the canvas lock, with the
 * context of the draw in cnvs->cairo. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "hst_axis.h"
#include "hst_chart_private.h"
#include "hst_histogram.h"
#include "hst_private.h"
#include "hst_tracer.h"

/* Pixels far outside any picture but well inside cairo's fixed point. */
#define PIXEL_LIMIT 1e6

/* Lengths of the major and minor ticks, pixels. */
#define MAJOR_TICK 5
#define MINOR_TICK 2

static double log_or_zero(double v)
{
    return v > 0.0 ? log10(v) : 0.0;
}

static double clamp_pixel(double v, double fallback)
{
    if (isnan(v))
        return fallback;
    return CLAMP(v, -PIXEL_LIMIT, PIXEL_LIMIT);
}

/* A drawable range: not empty, finite. An empty one is widened around its
 * value so that the scale does not divide by zero. */
static void usable_range(double* lo, double* hi)
{
    if (!isfinite(*lo) || !isfinite(*hi)) {
        *lo = 0.0;
        *hi = 1.0;
    } else if (*lo == *hi) {
        const double d = *lo == 0.0 ? 0.5 : 0.5 * fabs(*lo) * 1e-6;
        *lo -= d;
        *hi += d;
    }
}

static void label_divisor(double lo, double hi, double* mantisa, double* exponent)
{
    double m = 0.0, e = 0.0;
    get_order_of_magnitude(MIN(lo, hi), MAX(lo, hi), 3.0, &m, &e);
    *exponent = e;
    *mantisa = e == 0.0 ? 1.0 : pow(10.0, e);
}

static gboolean shows_cells(HstChart1D* h)
{
    return HST_IS_CHART2D(h) && HST_IS_HISTOGRAM2D(h->func);
}

void _hst_cairo_set_color(cairo_t* cr, const GdkColor* c)
{
    cairo_set_source_rgb(cr, c->red / 65535.0, c->green / 65535.0, c->blue / 65535.0);
}

/* ---- text ---- */

PangoLayout* _hst_get_pango_layout(GtkWidget* widget, cairo_t* cr, const char* family)
{
    g_return_val_if_fail(GTK_IS_WIDGET(widget), NULL);
    PangoLayout* layout = cr ? pango_cairo_create_layout(cr) : gtk_widget_create_pango_layout(widget, NULL);
    GtkStyle* style = gtk_widget_get_style(widget);
    PangoFontDescription* fd = style && style->font_desc ? pango_font_description_copy(style->font_desc)
                                                          : pango_font_description_from_string("sans 10");
    if (family)
        pango_font_description_set_family(fd, family);
    pango_layout_set_font_description(layout, fd);
    pango_font_description_free(fd);
    return layout;
}

PangoLayout* _hst_markup_layout(GtkWidget* widget, cairo_t* cr, const char* markup, const char* family)
{
    PangoLayout* layout = _hst_get_pango_layout(widget, cr, family);
    if (layout)
        pango_layout_set_markup(layout, markup, -1);
    return layout;
}

static void show_layout_at(cairo_t* cr, PangoLayout* layout, double x, double y)
{
    cairo_new_path(cr);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    cairo_new_path(cr);
}

void _hst_draw_string(GtkWidget* widget, cairo_t* cr, int x, int y, const char* markup, const char* family)
{
    g_return_if_fail(cr != NULL && markup != NULL);
    PangoLayout* layout = _hst_markup_layout(widget, cr, markup, family);
    if (!layout)
        return;
    show_layout_at(cr, layout, x, y);
    g_object_unref(layout);
}

void _hst_get_layout_extent(GtkWidget* widget, cairo_t* cr, const char* markup, PangoRectangle* rect,
                            const char* family)
{
    g_return_if_fail(rect != NULL && markup != NULL);
    memset(rect, 0, sizeof(*rect));
    PangoLayout* layout = _hst_markup_layout(widget, cr, markup, family);
    if (!layout)
        return;
    pango_layout_get_pixel_extents(layout, NULL, rect);
    g_object_unref(layout);
}

/* ---- coordinates ---- */

void canvas_transform(const HstCanvas* c, double x, double y, HstPoint* p)
{
    const double xv = c->logx ? log_or_zero(x) : x;
    const double yv = c->logy ? log_or_zero(y) : y;
    const double x0 = c->logx ? c->lxmin : c->xmin;
    const double y0 = c->logy ? c->lymin : c->ymin;
    p->x = clamp_pixel((xv - x0) * c->xstp + c->px0, c->px0);
    double py = c->py0 - (yv - y0) * c->ystp;
    if (isnan(py))
        py = c->py0;
    p->y = CLAMP(py, c->py1, c->py0);
}

void canvas_transform_inv(const HstCanvas* c, int px, int py, double* x, double* y)
{
    const double x0 = c->logx ? c->lxmin : c->xmin;
    const double y0 = c->logy ? c->lymin : c->ymin;
    double xv = c->xstp != 0.0 ? (px - c->px0) / c->xstp + x0 : x0;
    double yv = c->ystp != 0.0 ? y0 - (py - c->py0) / c->ystp : y0;
    if (c->logx)
        xv = pow(10.0, xv);
    if (c->logy)
        yv = pow(10.0, yv);
    if (x)
        *x = xv;
    if (y)
        *y = yv;
}

HstPoint* canvas_transform_tuple(const HstCanvas* c, const HstTuple* t)
{
    g_return_val_if_fail(c != NULL && t != NULL, NULL);
    if (t->n <= 0)
        return NULL;
    HstPoint* p = g_new(HstPoint, t->n);
    for (int i = 0; i < t->n; i++)
        canvas_transform(c, t->P[i].x, t->P[i].y, &p[i]);
    return p;
}

/* ---- the whole draw ---- */

void chart1d_draw_canvas(HstChart1D* hst, cairo_t* cr)
{
    g_return_if_fail(hst != NULL);
    g_return_if_fail(HST_IS_CHART1D (hst));
    HstChart1DClass* klass = HST_CHART1D_GET_CLASS(hst);
    HstCanvas* c = hst->cnvs;

    g_rec_mutex_lock(&c->mutex);
    _hst_chart_free_tuples(hst);
    _hst_chart_push_colors(hst);
    const gboolean own = cr == NULL;
    if (own) {
        if (!c->surface) {
            g_rec_mutex_unlock(&c->mutex);
            return;
        }
        cr = cairo_create(c->surface);
    } else {
        cairo_save(cr);
        cairo_new_path(cr);
    }
    c->cairo = cr;

    _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_BACKGROUND]);
    cairo_paint(cr);
    _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_FOREGROUND]);

    if (klass->draw_frame)
        klass->draw_frame(hst);
    canvas_set(hst);
    if (klass->draw_pixmap)
        klass->draw_pixmap(hst);
    if (c->legend) {
        show_layout_at(cr, c->legend, c->leg_x, c->leg_y);
        g_object_unref(c->legend);
        c->legend = NULL;
    }
    if (klass->draw_axis)
        klass->draw_axis(hst);
    if ((hst->attr & HST_STATS) && klass->draw_stats)
        klass->draw_stats(hst);

    if (own)
        cairo_destroy(cr);
    else
        cairo_restore(cr);
    c->cairo = NULL;
    g_rec_mutex_unlock(&c->mutex);
}

/* ---- sampling and Y range ---- */

/* Margins around the sampled values: 10 % of the span above, and below
 * unless the range starts at 0; a flat range is opened to 10. */
static void settle_range(double* lo, double* hi)
{
    double ymin = *lo, ymax = *hi;
    if (ymin == ymax)
        ymax = ymin + 10.0;
    double span = ymax - ymin;
    if (span < 0.1 * fabs(ymin))
        span = 0.1 * fabs(ymin);
    if (ymin != 0.0)
        ymin -= 0.1 * span;
    ymax += 0.1 * span;
    if (!(isfinite(ymin) && isfinite(ymax) && ymax > ymin)) {
        ymin = 0.0;
        ymax = 11.0;
    }
    *lo = ymin;
    *hi = ymax;
}

void chart1d_draw_frame(HstChart1D* hst)
{
    HstCanvas* c = hst->cnvs;
    c->xmin = hst->xmin;
    c->xmax = hst->xmax;

    double ymin = G_MAXDOUBLE, ymax = -G_MAXDOUBLE;
    gboolean any = FALSE;
    const int n = (int)g_list_length(hst->curves);
    hst->xpt = g_new0(HstTuple, MAX(n, 1));
    hst->priv->nxpt = n;
    int i = 0;
    for (GList* l = hst->curves; l; l = l->next, i++) {
        HstTuple* t = &hst->xpt[i];
        hst_function_get_array(HST_FUNCTION(l->data), t, hst->xmin, hst->xmax);
        /* An outline keeps its level at both ends instead of dropping to
         * the baseline. */
        if (!(hst->attr & HST_FILLED) && t->n >= 2) {
            t->P[0].y = t->P[1].y;
            t->P[t->n - 1].y = t->P[t->n - 2].y;
        }
        for (int k = 0; k < t->n; k++) {
            const double y = t->P[k].y;
            if (!isfinite(y))
                continue;
            any = TRUE;
            if (y < ymin)
                ymin = y;
            if (y > ymax)
                ymax = y;
        }
    }
    /* A strip chart spans the values it holds over the whole width: new
     * values come in at the right edge, and once the ring is full the trace
     * scrolls. A zoomed range stays as the operator chose it. */
    if (hst->func && HST_IS_TRACER(hst->func) && hst->xmin == hst_function_get_xmin(hst->func) &&
        hst->xmax == hst_function_get_xmax(hst->func)) {
        int held = 0;
        for (int k = 0; k < n; k++)
            held = MAX(held, hst->xpt[k].n);
        c->xmin = 0.0;
        c->xmax = MAX(held - 1, 1);
    }
    if (!c->fixed) {
        if (!any)
            ymin = ymax = 0.0;
        settle_range(&ymin, &ymax);
        c->ymin = ymin;
        c->ymax = ymax;
    }
}

/* ---- layout ---- */

typedef struct {
    const char* title;
    double ox, oy; /* origin in pixels */
    int length;
    double lo, hi;
    double stp;
    double divisor;
    gboolean horizontal;
} AxisGeometry;

/* Pixels per unit (per decade on a log axis) over a length. */
static double axis_scale(double lo, double hi, int length, gboolean log, double* lstart)
{
    if (!log)
        return length / (hi - lo);
    const double l1 = hi > 0.0 ? log10(hi) : 1.0;
    const double l2 = log_or_zero(lo);
    double d = rint(l1 - l2) + 1.0;
    if (!(d >= 1.0))
        d = 1.0;
    *lstart = l2;
    return length / d;
}

static void axis_label(GString* text, float t, const AxisGeometry* g, gboolean log, float bw);
static int y_divisions(const HstCanvas* c);

/* Width of the widest label of a linear Y axis, as the axis will write it. */
static int y_label_width(HstChart1D* hst)
{
    HstCanvas* c = hst->cnvs;
    AxisGeometry g = {0};
    g.lo = c->ymin;
    g.hi = c->ymax;
    usable_range(&g.lo, &g.hi);
    g.divisor = c->mantisa_y;
    float first = 0.0f, last = 0.0f, bw = 0.0f;
    int nb = 0;
    getbins((float)g.lo, (float)g.hi, y_divisions(c), &first, &last, &nb, &bw);
    GString* label = g_string_new(NULL);
    int widest = 0;
    const double ends[] = {first - bw, first, last, last + bw};
    for (unsigned i = 0; i < G_N_ELEMENTS(ends); i++) {
        axis_label(label, (float)ends[i], &g, FALSE, bw);
        PangoRectangle r;
        _hst_get_layout_extent(GTK_WIDGET(hst), c->cairo, label->str, &r, c->text_font);
        widest = MAX(widest, r.width);
    }
    g_string_free(label, TRUE);
    return widest;
}

void canvas_set(HstChart1D* hst)
{
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    GtkWidget* w = GTK_WIDGET(hst);
    const unsigned xpos = hst->drawaxis & 0xF;
    const unsigned ypos = (hst->drawaxis >> 4) & 0xF;
    HstChart2D* h2 = shows_cells(hst) ? HST_CHART2D(hst) : NULL;

    usable_range(&c->xmin, &c->xmax);
    usable_range(&c->ymin, &c->ymax);
    label_divisor(c->xmin, c->xmax, &c->mantisa_x, &c->exponent_x);
    label_divisor(c->ymin, c->ymax, &c->mantisa_y, &c->exponent_y);

    PangoRectangle r;
    _hst_get_layout_extent(w, cr, "X", &r, c->text_font);
    c->character_width = r.width;
    c->character_height = r.height;
    _hst_get_layout_extent(w, cr, "<span size=\"smaller\">X</span>", &r, c->text_font);
    c->small_character_width = r.width;
    c->small_character_height = r.height;
    _hst_chart_size(hst, &c->canvas_width, &c->canvas_height);
    const int cw = c->character_width;
    const int ch = c->character_height;

    c->oy = (xpos & HST_AXIS_LEFT) ? (int)(2 * ch + 0.5) : (int)(1.5 * ch);
    const int bottom = (xpos & HST_AXIS_LEFT) ? (int)((hst->xtitle ? 2.5 : 1.25) * ch) : ch;
    c->py0 = c->canvas_height - bottom;
    c->py1 = c->oy;
    if (c->py0 <= c->py1)
        c->py0 = c->py1 + 1;
    c->wy = c->py0 - c->py1;

    gchar* txt = g_strdup_printf("%+0.4g", ceil(c->ymax / c->mantisa_y));
    _hst_get_layout_extent(w, cr, txt, &r, c->text_font);
    g_free(txt);
    /* Labels that need more digits than that get the room they take. */
    const int lw = (ypos & HST_AXIS_LEFT) && !(hst->attr & HST_LOGY) ? MAX(r.width, y_label_width(hst)) : r.width;
    c->ox = (ypos & HST_AXIS_LEFT) ? lw + 3 * cw : cw;

    /* The Z range keeps what the frame found (a span of 0 paints no cell);
     * only its scale and axis use a drawable copy. */
    double zlo = c->zmin, zhi = c->zmax;
    usable_range(&zlo, &zhi);
    if (h2) {
        label_divisor(zlo, zhi, &c->mantisa_z, &c->exponent_z);
        c->cscale.width = (int)(3.5 * cw);
        c->wz = (int)(3.5 * cw) + c->cscale.width;
    } else {
        c->wz = c->ox;
    }
    c->wx = MAX(c->canvas_width - c->ox - c->wz, 1);
    c->px0 = c->ox;
    c->px1 = c->ox + c->wx;
    if (h2 && h2->squared) {
        if (c->wx > c->wy) {
            c->wx = c->wy;
            c->px1 = c->px0 + c->wx;
        } else if (c->wy > c->wx) {
            c->wy = c->wx;
            c->py0 = c->py1 + c->wy;
        }
    }

    if (c->legend)
        g_object_unref(c->legend);
    c->legend = NULL;
    gchar* legend = _hst_chart_legend_markup(hst);
    if (legend) {
        c->legend = _hst_markup_layout(w, cr, legend, c->text_font);
        g_free(legend);
        int lgw = 0, lgh = 0;
        pango_layout_get_pixel_size(c->legend, &lgw, &lgh);
        c->wx = MAX(c->wx - lgw, 1);
        c->leg_x = c->ox + c->wx + (int)(lgw * 0.25 / 2);
        c->leg_y = c->py1 + (c->wy - lgh) / 2;
    }

    if (h2) {
        c->cscale.x = c->px1 + cw;
        c->cscale.y = c->py1;
        c->cscale.height = c->wy;
        c->wz = c->wy;
        c->pz0 = c->py0;
        c->pz1 = c->py1;
        c->oz = c->cscale.x + c->cscale.width;
        c->zstp = c->wz / (zhi - zlo);
    }

    c->logx = (hst->attr & HST_LOGX) != 0;
    c->xstp = axis_scale(c->xmin, c->xmax, c->wx, c->logx, &c->lxmin);
    c->logy = (hst->attr & HST_LOGY) != 0;
    c->ystp = axis_scale(c->ymin, c->ymax, c->py0 - c->py1, c->logy, &c->lymin);
}

/* ---- curves ---- */

void chart1d_draw_pixmap(HstChart1D* hst)
{
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    cairo_save(cr);
    cairo_set_line_width(cr, c->line_width);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    /* Bins that reach past a zoomed range stay inside the plot box. */
    const double m = ceil(c->line_width / 2.0) + 1.0;
    cairo_rectangle(cr, c->px0 - m, c->py1 - m, c->wx + 2 * m, c->wy + 2 * m);
    cairo_clip(cr);
    cairo_new_path(cr);

    int i = 0;
    for (GList* l = hst->curves; l && i < hst->priv->nxpt; l = l->next, i++) {
        const HstTuple* t = &hst->xpt[i];
        if (t->n <= 0)
            continue;
        HstPoint* p = canvas_transform_tuple(c, t);
        const GdkColor* col = _hst_chart_curve_color(hst, i);
        _hst_cairo_set_color(cr, col ? col : &hst->colors[HST_COLOR_CURVE]);
        cairo_move_to(cr, p[0].x, p[0].y);
        for (int k = 1; k < t->n; k++)
            cairo_line_to(cr, p[k].x, p[k].y);
        if (hst->attr & HST_FILLED)
            cairo_fill_preserve(cr);
        cairo_stroke(cr);
        g_free(p);
    }
    cairo_restore(cr);
}

/* ---- axes ---- */

double get_value_for_label(float v, double divisor, gboolean log, GString* text)
{
    float value = (float)(v / divisor);
    if (fabsf(value) < 1e-5f)
        value = 0.0f;
    double shown = value;
    if (log)
        shown = pow(10.0, value);
    if (text)
        g_string_printf(text, "%.3g", shown);
    return shown;
}


static void axis_geometry(HstChart1D* hst, HstChartAxisType type, unsigned pos, gboolean log, AxisGeometry* g)
{
    HstCanvas* c = hst->cnvs;
    switch (type) {
    case HST_X_AXIS:
        g->title = hst->xtitle ? hst->xtitle : " ";
        g->ox = c->px0;
        g->oy = (pos & HST_AXIS_LEFT) ? c->py0 : (pos & HST_AXIS_MIDDLE) ? c->py0 - c->wy / 2 : c->py1;
        g->length = c->wx;
        g->lo = c->xmin;
        g->hi = c->xmax;
        g->stp = c->xstp;
        g->divisor = log ? 1.0 : c->mantisa_x;
        g->horizontal = TRUE;
        break;
    case HST_Y_AXIS:
        g->title = hst->ytitle ? hst->ytitle : " ";
        g->oy = c->py0;
        g->ox = (pos & HST_AXIS_LEFT) ? c->px0 : (pos & HST_AXIS_MIDDLE) ? c->px0 + c->wx / 2 : c->px1;
        g->length = c->wy;
        g->lo = c->ymin;
        g->hi = c->ymax;
        g->stp = c->ystp;
        g->divisor = log ? 1.0 : c->mantisa_y;
        g->horizontal = FALSE;
        break;
    default:
        g->title = NULL;
        g->ox = c->oz;
        g->oy = c->py0;
        g->length = c->wz;
        g->lo = c->zmin;
        g->hi = c->zmax;
        g->stp = c->zstp;
        g->divisor = c->mantisa_z;
        g->horizontal = FALSE;
        break;
    }
}

/* Major divisions of a vertical axis: half as many where ten would crowd. */
static int y_divisions(const HstCanvas* c)
{
    return (int)(c->character_height * 10 * 1.2) > c->wy ? 5 : 10;
}

/* The label of tick t, with the digits that tell it from its neighbours a
 * step bw away. */
static void axis_label(GString* text, float t, const AxisGeometry* g, gboolean log, float bw)
{
    const double shown = get_value_for_label(t, g->divisor, log, NULL);
    const int digits = log ? 3 : hst_axis_label_digits(g->lo / g->divisor, g->hi / g->divisor, bw / g->divisor);
    g_string_printf(text, "%.*g", digits, shown);
}

/* Pixel of a position t along the axis. */
static void axis_point(const AxisGeometry* g, double t, double* x, double* y)
{
    const double d = clamp_pixel((t - g->lo) * g->stp, 0.0);
    *x = g->horizontal ? g->ox + d : g->ox;
    *y = g->horizontal ? g->oy : g->oy - d;
}

static void draw_tick(cairo_t* cr, const AxisGeometry* g, double t, int len)
{
    double x, y;
    axis_point(g, t, &x, &y);
    cairo_move_to(cr, x, y);
    if (g->horizontal)
        cairo_line_to(cr, x, y - len);
    else
        cairo_line_to(cr, x + len, y);
}

static void draw_axis(HstChart1D* hst, HstChartAxisType type, unsigned pos, gboolean log)
{
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    GtkWidget* w = GTK_WIDGET(hst);
    AxisGeometry g;
    axis_geometry(hst, type, pos, log, &g);
    usable_range(&g.lo, &g.hi);
    if (log) {
        g.lo = log_or_zero(g.lo);
        g.hi = g.hi > 0.0 ? rint(log10(g.hi) + 0.5) : rint(0.5);
    }
    if (!isfinite(g.lo) || !isfinite(g.hi))
        return;
    const double eps = fabs(g.hi - g.lo) * 1e-5;
    if (log10(eps) > 3.0)
        return;

    GString* label = g_string_new(NULL);
    int ndiv = 10;
    float first = 0.0f, last = 0.0f, bw = 0.0f;
    int nb = 0;
    if (type == HST_X_AXIS) {
        getbins((float)g.lo, (float)g.hi, ndiv, &first, &last, &nb, &bw);
        axis_label(label, (float)c->xmax, &g, log, bw);
        if (c->character_width * 10 * (int)label->len > c->wx)
            ndiv = 5;
    } else {
        ndiv = y_divisions(c);
    }
    getbins((float)g.lo, (float)g.hi, ndiv, &first, &last, &nb, &bw);
    GPtrArray* drawn = _hst_chart_axis_labels(hst, type);
    g_ptr_array_set_size(drawn, 0);
    double tfirst = first, tlast = last;
    if (fabs(tfirst - g.lo) > eps)
        tfirst -= bw;
    if (fabs(tlast - g.hi) > eps)
        tlast += bw;
    float mfirst = 0.0f, mlast = 0.0f, mw = 0.0f;
    int mn = 0;
    getbins(0.0f, log ? (float)pow(10.0, bw) : bw, 5, &mfirst, &mlast, &mn, &mw);

    cairo_new_path(cr);
    cairo_move_to(cr, g.ox, g.oy);
    if (g.horizontal)
        cairo_line_to(cr, g.ox + g.length, g.oy);
    else
        cairo_line_to(cr, g.ox, g.oy - g.length);
    cairo_stroke(cr);

    /* Ticks run over an integer index: a step that vanishes against a large
     * value in single precision cannot stall the loop. */
    const int nt = hst_axis_tick_count(tfirst, tlast, bw, HST_MAX_TICKS);
    const int nm = hst_axis_tick_count(mfirst, mlast, mw, HST_MAX_TICKS);
    for (int i = 0; i <= nt; i++) {
        const double t = tfirst + i * (double)bw;
        if (t >= g.lo - eps && t <= g.hi + eps) {
            draw_tick(cr, &g, t, MAJOR_TICK);
            cairo_stroke(cr);
            axis_label(label, (float)t, &g, log, bw);
            g_ptr_array_add(drawn, g_strdup(label->str));
            if (label->len > 0) {
                PangoLayout* layout = _hst_markup_layout(w, cr, label->str, c->text_font);
                int lw = 0, lh = 0;
                pango_layout_get_pixel_size(layout, &lw, &lh);
                double tx, ty;
                axis_point(&g, t, &tx, &ty);
                if (g.horizontal)
                    show_layout_at(cr, layout, tx - lw / 2.0, ty + 0.2 * lh);
                else
                    show_layout_at(cr, layout, tx - lw - 4, ty - lh / 2.0);
                g_object_unref(layout);
            }
        }
        for (int j = 1; j <= nm; j++) {
            const double m = mfirst + j * (double)mw;
            if (log && !(m > 0.0))
                continue;
            const double mpos = log ? t + log10(m) : t + m;
            if (mpos > g.lo && mpos < g.hi)
                draw_tick(cr, &g, mpos, MINOR_TICK);
        }
        cairo_stroke(cr);
    }

    gchar* title;
    if (g.divisor == 1.0) {
        title = g_strdup_printf("<b>%s</b>", g.title ? g.title : " ");
    } else {
        const int e = (int)lround(log10(g.divisor));
        title = g.title ? g_strdup_printf("<b>%s</b>  x10<sup>%d</sup>", g.title, e)
                        : g_strdup_printf("x10<sup>%d</sup>", e);
    }
    PangoLayout* layout = _hst_markup_layout(w, cr, title, c->text_font);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(layout, &tw, &th);
    if (g.horizontal)
        show_layout_at(cr, layout, g.ox + g.length - tw, c->canvas_height - th);
    else
        show_layout_at(cr, layout, g.ox - c->character_height, g.oy - g.length - th);
    g_object_unref(layout);
    g_free(title);
    g_string_free(label, TRUE);
}

void chart1d_draw_axis(HstChart1D* hst)
{
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    if (hst->drawaxis)
        _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_AXIS]);
    const unsigned ypos = (hst->drawaxis >> 4) & 0xF;
    const unsigned xpos = hst->drawaxis & 0xF;
    if (ypos)
        draw_axis(hst, HST_Y_AXIS, ypos, (hst->attr & HST_LOGY) != 0);
    if (xpos)
        draw_axis(hst, HST_X_AXIS, xpos, (hst->attr & HST_LOGX) != 0);
    if (shows_cells(hst))
        draw_axis(hst, HST_Z_AXIS, HST_AXIS_LEFT, FALSE);
    _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_FOREGROUND]);

    const HstChartEvent* e = hst->evt;
    gchar* text;
    if (e->button & HST_BUTTON_PRESS) {
        const double dx = e->x - e->x0;
        const double dy = e->y - e->y0;
        gchar* ratio = dy != 0.0 ? g_strdup_printf("%.3g", dx / dy) : g_strdup("-");
        text = g_strdup_printf("<span size=\"smaller\">X0: %.3g Y0: %.3g X1 %.3g Y1 %.3g DX %.3g DY %.3g dx/dy %s</span>",
                               e->x0, e->y0, e->x, e->y, dx, dy, ratio);
        g_free(ratio);
    } else {
        text = g_strdup_printf("<span size=\"smaller\">X: %.3g Y: %3g</span>", e->x, e->y);
    }
    _hst_draw_string(GTK_WIDGET(hst), cr, 0, 0, text, c->text_font);
    g_free(text);
}

/* ---- statistics ---- */

/* The statistics of the bins shown, each entered at its centre. */
static void visible_stats(HstChart1D* hst, HstHistogram* h, HstStats* s)
{
    HstCanvas* c = hst->cnvs;
    HstFunction* f = HST_FUNCTION(h);
    hst_stats_reset(s);
    hst_function_lock(f);
    const int ib1 = CLAMP(_hst_find_bin(f, c->xmin), 0, f->nbin - 1);
    const int ib2 = CLAMP(_hst_find_bin(f, c->xmax), 0, f->nbin - 1);
    for (int ib = ib1; ib <= ib2; ib++)
        hst_stats_add(s, _hst_bin_center(f, ib), 0.0, h->y[ib]);
    hst_function_unlock(f);
}

static void draw_tracer_band(HstChart1D* hst, HstHistogram* h)
{
    HstCanvas* c = hst->cnvs;
    cairo_t* cr = c->cairo;
    const double m = hst_histogram_mean(h);
    const double s = sqrt(fabs(hst_histogram_rms(h)));
    HstPoint pm, ps;
    canvas_transform(c, 0.0, m, &pm);
    canvas_transform(c, 0.0, m + s, &ps);
    const int ym = (int)pm.y;
    const int d = MAX((int)fabs(ps.y - pm.y), 4);
    const unsigned ypos = (hst->drawaxis >> 4) & 0xF;
    const int bx = (ypos & HST_AXIS_LEFT) ? c->px0 : (ypos & HST_AXIS_RIGHT) ? c->px1 : c->px0 + c->wx / 2;
    const int x0 = bx + 2, x1 = bx + 6;
    const int pts[8][2] = {{x0, ym - d}, {x1, ym - d}, {x1, ym - 4}, {x0, ym},
                           {x1, ym + 4}, {x1, ym + d}, {x0, ym + d}, {x0, ym - d}};
    cairo_new_path(cr);
    cairo_move_to(cr, pts[0][0], pts[0][1]);
    for (int i = 1; i < 8; i++)
        cairo_line_to(cr, pts[i][0], pts[i][1]);
    cairo_close_path(cr);
    _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_AXIS]);
    cairo_fill_preserve(cr);
    cairo_stroke(cr);
    _hst_cairo_set_color(cr, &hst->colors[HST_COLOR_FOREGROUND]);
}

void chart1d_draw_stats(HstChart1D* hst)
{
    if (!HST_IS_HISTOGRAM(hst->func))
        return;
    HstHistogram* h = HST_HISTOGRAM(hst->func);
    HstCanvas* c = hst->cnvs;
    HstStats* s = c->stats;
    if (hst->xmin != hst_function_get_xmin(hst->func) || hst->xmax != hst_function_get_xmax(hst->func))
        visible_stats(hst, h, s);
    else
        hst_histogram_get_stats(h, s);

    gchar* text = g_strdup_printf(
        "<span size=\"smaller\">Entries : % .4e\nMean   : %.4e\nRMS    : %.4e</span>", hst_stats_get_nc(s),
        hst_stats_get_mean(s, 0), hst_stats_get_stdev(s, 0));
    PangoRectangle r;
    _hst_get_layout_extent(GTK_WIDGET(hst), c->cairo, text, &r, "sans");
    _hst_draw_string(GTK_WIDGET(hst), c->cairo, c->canvas_width - r.width, c->character_height, text, "sans");
    g_free(text);

    if (HST_IS_TRACER(h))
        draw_tracer_band(hst, h);
}
