/* Internals shared by the chart widgets. Not installed.
 *
 * The functions without G_GNUC_INTERNAL stay visible so that the test suite
 * can drive the drawing arithmetic and the dialog logic without a user. */
#ifndef PLENWIG_HST_CHART_PRIVATE_H
#define PLENWIG_HST_CHART_PRIVATE_H

#include "hst_chart1d.h"
#include "hst_chart2d.h"
#include "hst_gauge.h"

G_BEGIN_DECLS

struct _HstChart1DPrivate {
    int nxpt;             /* tuples in xpt */
    HstFunction* synced;  /* the function the range handler is connected to */
    double motion_px;     /* pixel position of the last motion... */
    double motion_py;
    double press_px;      /* ...and of the last button press */
    double press_py;
    guint retry;          /* the redraw after one whose curves were busy */
    gboolean resize_pending; /* a curve has not had the plot's size yet */
    gboolean range_pending;  /* the function's range is still to be shown */
    GPtrArray* labels[3]; /* tick label texts of the last draw, per axis */
};

/* Fields of HstChart2D that are not part of its public layout. */
struct _HstChart2DPrivate {
    double* dval; /* contents of the cells in dindex, read once per frame */
    int dval_size;
    int nx;       /* X bins and steps of the histogram at that frame */
    double xstep;
    double ystep;
};

struct _HstGaugePrivate {
    double ox, oy;
    double rx, ry;
    double cx, cy;
    double cdiag;
    double pannel;
    double angmn;
    double step;
    double dot;
    double ex;
    cairo_t* cairo;
    cairo_surface_t* surface;
    gchar* font_family;
    GdkColor color;
    HstMutex mutex;
};

/* Largest number of ticks an axis or a dial draws; more means a range the
 * tick routine could not divide. */
#define HST_MAX_TICKS 10000

/* ---- drawing ---- */

/* Draws the whole chart into cr, or into the chart's own surface when cr is
 * NULL. A given context is left to the caller in the state it came in. */
void chart1d_draw_canvas(HstChart1D* hst, cairo_t* cr);

/* Data values to pixels and back. On a logarithmic axis both take and give
 * data values (the decades are the canvas's business); a value that is not
 * above 0 sits at decade 0 there, as in the drawing. */
void canvas_transform(const HstCanvas* c, double x, double y, HstPoint* p);
void canvas_transform_inv(const HstCanvas* c, int px, int py, double* x, double* y);
/* New array of t->n pixel points; the caller frees it. */
HstPoint* canvas_transform_tuple(const HstCanvas* c, const HstTuple* t);

/* The value a tick label shows, written as "%.3g" into text when given. */
double get_value_for_label(float v, double divisor, gboolean log, GString* text);

/* The tick labels the last draw wrote on the axis (HstChartAxisType), in
 * order; owned by the chart, rewritten by every draw of that axis. */
GPtrArray* _hst_chart_axis_labels(HstChart1D* h, int type);

/* Size the chart is drawn at: its surface, else its allocation. */
G_GNUC_INTERNAL void _hst_chart_size(HstChart1D* h, int* width, int* height);
/* The i-th curve colour (wrapping), or NULL when the list is empty. */
const GdkColor* _hst_chart_curve_color(HstChart1D* h, int i);
/* The legend markup of the curves; NULL with fewer than two. */
gchar* _hst_chart_legend_markup(HstChart1D* h);
G_GNUC_INTERNAL void _hst_chart_free_tuples(HstChart1D* h);
/* Before a draw, with the canvas lock held: the background of the style when
 * none was chosen, and changed colours pushed to the style and colour map. */
G_GNUC_INTERNAL void _hst_chart_push_colors(HstChart1D* h);
G_GNUC_INTERNAL void _hst_cairo_set_color(cairo_t* cr, const GdkColor* c);
/* A layout holding the markup, as _hst_get_pango_layout makes it. */
G_GNUC_INTERNAL PangoLayout* _hst_markup_layout(GtkWidget* widget, cairo_t* cr, const char* markup,
                                                const char* family);

G_GNUC_INTERNAL void chart1d_draw_frame(HstChart1D* hst);
G_GNUC_INTERNAL void chart1d_draw_pixmap(HstChart1D* hst);
G_GNUC_INTERNAL void chart1d_draw_axis(HstChart1D* hst);
G_GNUC_INTERNAL void chart1d_draw_stats(HstChart1D* hst);
G_GNUC_INTERNAL void canvas_set(HstChart1D* hst);

/* ---- interaction ---- */

G_GNUC_INTERNAL gboolean chart1d_button_press(GtkWidget* w, GdkEventButton* ev, gpointer data);
G_GNUC_INTERNAL gboolean chart1d_button_release(GtkWidget* w, GdkEventButton* ev, gpointer data);
G_GNUC_INTERNAL gboolean chart1d_motion_notify(GtkWidget* w, GdkEventMotion* ev, gpointer data);
G_GNUC_INTERNAL gboolean chart1d_key_press(GtkWidget* w, GdkEventKey* ev, gpointer data);

/* The context menu of the chart, built anew each time. */
GtkWidget* _hst_chart1d_menu(HstChart1D* chart);

/* strtod with errno checked: the value when at least one character was
 * converted without a range error, else dflt. */
double chart1d_get_double(const char* text, double dflt);

/* What the axis range dialog does on accept; axis 0 is X, 1 is Y; nbin is
 * the text of the bin count entry or NULL. TRUE when a range was set. */
gboolean _hst_chart_set_range(HstChart1D* chart, int axis, const char* smin, const char* smax,
                              const char* nbin);
/* Whether the range dialog of the X axis offers a new bin count. */
gboolean _hst_chart_offers_rebin(HstChart1D* chart);

/* A file filter from "name|pattern" or a bare pattern. */
GtkFileFilter* _hst_file_filter_new(const char* spec);
G_GNUC_INTERNAL gint ask_a_yes_no_question(const char* title, const char* text);
/* The chooser's file, or a copy of dflt when it was cancelled. */
G_GNUC_INTERNAL gchar* _hst_choose_file(const char* title, const char* dflt, const char** filters);

/* ---- export ---- */

typedef GString* (*HstPictureProducer)(HstChart1D*);
/* The producer of a picture format ("png", "jpeg", "pdf", "svg", "eps"), or
 * NULL for any other name. */
G_GNUC_INTERNAL HstPictureProducer _hst_picture_producer(const char* name);

/* Which question the image dialog asks before saving: 0 none, 1 the file
 * has no suffix, 2 it has a wrong one. */
int _hst_image_suffix_question(const char* name, const char* type);
/* The name with the suffix of the type added. */
gchar* _hst_image_add_suffix(const char* name, const char* type);
/* The text the text dialog writes: the 2D form of a 2D main function, the
 * list form of all curves otherwise; NULL when there is none. */
GString* _hst_chart_text(HstChart1D* chart);
/* What the text dialog does on accept. 0, or -1 when nothing was written
 * (no text, or the file could not be opened). */
int _hst_chart1d_save_text(HstChart1D* chart, const char* fname);
G_GNUC_INTERNAL void _hst_chart1d_image_dialog(HstChart1D* chart);
G_GNUC_INTERNAL void _hst_chart1d_text_dialog(HstChart1D* chart);

/* ---- 2D chart ---- */

/* One channel of the colour table: 16-bit value at x for the offset. */
guint16 color_factor(double x, int offset);

/* ---- gauge ---- */

/* The needle angle of a value, in radians, counter-clockwise from +x. */
double gauge_get_phi(HstGauge* gg, float value);

G_END_DECLS

#endif
