/* HstChart1D: a GTK 2 widget that draws sampled functions (histograms,
 * tracers, profiles, graphs) as curves in a plot box with axes, legend and
 * statistics.
 *
 * The chart draws into an offscreen image surface of its own and copies it to
 * the window on expose; the same drawing code renders into any cairo context,
 * which is how the vector pictures (PDF, SVG, PostScript) are made. All of it
 * runs in the GTK main thread; the curves are filled by other threads under
 * their own locks.
 */
#ifndef PLENWIG_HST_CHART1D_H
#define PLENWIG_HST_CHART1D_H

#include "hst_function.h"
#include "hst_gtk.h"
#include "hst_stats.h"

G_BEGIN_DECLS

typedef enum {
    HST_COLOR_FOREGROUND = 0,
    HST_COLOR_BACKGROUND = 1,
    HST_COLOR_AXIS = 2,
    HST_COLOR_CURVE = 3,
    HST_NCOLORS = 4
} HstChartColors;

/* Axis positions. The X axis lives in bits 0-3 of drawaxis (LEFT is the
 * bottom edge, RIGHT the top), the Y axis in bits 4-7, the Z axis in 8-11. */
typedef enum {
    HST_AXIS_NONE = 0,
    HST_AXIS_LEFT = 1,
    HST_AXIS_MIDDLE = 2,
    HST_AXIS_RIGHT = 4,
    HST_AXIS_X_MASK = 0xF,
    HST_AXIS_Y_MASK = 0xF0,
    HST_AXIS_Z_MASK = 0xF00
} HstChartAxisPos;

typedef enum {
    HST_FILLED = 1,
    HST_LOGX = 2,
    HST_LOGY = 4,
    HST_STATS = 8
} HstChartAttr;

typedef enum {
    HST_X_AXIS = 0,
    HST_Y_AXIS = 1,
    HST_Z_AXIS = 2
} HstChartAxisType;

/* Bits of HstChartEvent.button. */
enum {
    HST_BUTTON_PRESS = 1,
    HST_BUTTON_RELEASE = 2,
    HST_KEY_PRESS = 4
};

GType hst_chart_colors_get_type(void) G_GNUC_CONST;
GType hst_chart_axis_pos_get_type(void) G_GNUC_CONST;
GType hst_chart_attr_get_type(void) G_GNUC_CONST;
GType hst_chart_axis_type(void) G_GNUC_CONST;

/* Drawing state of a chart. Sizes in pixels; ranges in user units (on log
 * axes lxmin and lymin are the decades of the lower edges). */
typedef struct _HstCanvas {
    int character_height;
    int character_width;
    int small_character_height;
    int small_character_width;
    int canvas_width;
    int canvas_height;
    int wx, wy, wz;
    int ox, oy, oz;
    int px0, px1, py0, py1, pz0, pz1;
    cairo_surface_t* surface;
    cairo_t* cairo;  /* set only while a draw runs */
    HstMutex mutex;  /* held for a whole draw */
    GdkRectangle cscale;
    gchar* text_font;
    gchar* axis_font;
    double line_width;
    gboolean fixed; /* a user Y range is in force */
    double xmin, xmax, ymin, ymax, zmin, zmax;
    double xstp, ystp, zstp;
    double mantisa_x, mantisa_y, mantisa_z;
    double exponent_x, exponent_y, exponent_z;
    gboolean logx, logy;
    double lxmin, lymin;
    GList* curve_colors; /* GdkColor*, owned */
    PangoLayout* legend;
    int leg_x, leg_y;
    gchar* color_names[HST_NCOLORS];
    HstStats* stats; /* statistics of a zoomed histogram */
} HstCanvas;

/* Pointer state: x, y the position of the last motion, x0, y0 that of the
 * last button press, both in user units. */
typedef struct _HstChartEvent {
    guint32 key;
    guint32 button;
    double x, y;
    double x0, y0;
} HstChartEvent;

#define HST_TYPE_CHART1D            (hst_chart1d_get_type())
#define HST_CHART1D(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_CHART1D, HstChart1D))
#define HST_CHART1D_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_CHART1D, HstChart1DClass))
#define HST_IS_CHART1D(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_CHART1D))
#define HST_IS_CHART1D_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_CHART1D))
#define HST_CHART1D_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_CHART1D, HstChart1DClass))

typedef struct _HstChart1D HstChart1D;
typedef struct _HstChart1DClass HstChart1DClass;
typedef struct _HstChart1DPrivate HstChart1DPrivate;

struct _HstChart1D {
    GtkDrawingArea obj;
    HstCanvas* cnvs;
    HstFunction* func; /* the main curve, also the head of curves */
    GdkColor colors[HST_NCOLORS];
    GList* curves; /* HstFunction*, one reference each */
    HstChartEvent* evt;
    HstTuple* xpt; /* one sampling per curve during a draw */
    char* xtitle;
    char* ytitle;
    int tmout;   /* redraw timer source, -1 when none */
    int sync_id; /* range handler on func, -1 when not following */
    unsigned long drawaxis;
    double xmin, xmax; /* X range shown */
    double ymin, ymax;
    double vmin, vmax; /* value range last set by the user */
    gboolean colors_changed;
    guint32 attr;
    HstChart1DPrivate* priv;
};

struct _HstChart1DClass {
    GtkDrawingAreaClass parent_class;

    void (*draw_pixmap)(HstChart1D* chart);
    void (*draw_frame)(HstChart1D* chart);
    void (*draw_stats)(HstChart1D* chart);
    void (*draw_axis)(HstChart1D* chart);
    void (*mouse)(HstChart1D* chart);
    void (*xtra_menu)(HstChart1D* chart, GtkWidget* menu);
};

GType hst_chart1d_get_type(void) G_GNUC_CONST;

GtkWidget* hst_chart1d_new(HstFunction* ff);
void hst_chart1d_set_func(HstChart1D* h, HstFunction* f);
void hst_chart1d_add_curve(HstChart1D* h, HstFunction* f);
HstFunction* hst_chart1d_get_func(HstChart1D* h, int n);
int hst_chart1d_get_n_func(HstChart1D* h);
void hst_chart1d_remove_curves(HstChart1D* h);

void hst_chart1d_draw_x_axis(HstChart1D* h, HstChartAxisPos pos);
void hst_chart1d_draw_y_axis(HstChart1D* h, HstChartAxisPos pos);

void hst_chart1d_filled(HstChart1D* h, gboolean flag);
gboolean hst_chart1d_is_filled(HstChart1D* h);
void hst_chart1d_logx(HstChart1D* h, gboolean flag);
gboolean hst_chart1d_is_logx(HstChart1D* h);
void hst_chart1d_logy(HstChart1D* h, gboolean flag);
gboolean hst_chart1d_is_logy(HstChart1D* h);
void hst_chart1d_show_stats(HstChart1D* h, gboolean flag);
gboolean hst_chart1d_stats(HstChart1D* h);

void hst_chart1d_set_xtitle(HstChart1D* h, const char* title);
void hst_chart1d_set_ytitle(HstChart1D* h, const char* title);
const char* hst_chart1d_get_xtitle(HstChart1D* h);
const char* hst_chart1d_get_ytitle(HstChart1D* h);

/* Whether the chart follows "range-changed" of its main curve. The handler
 * runs where the range changes: change ranges in the GTK main thread. */
void hst_chart1d_sync_range(HstChart1D* h, gboolean flag);
void hst_chart1d_monitor_start(HstChart1D* h, int period_ms);
void hst_chart1d_monitor_stop(HstChart1D* h);

/* Pairs of key ("foreground", "background", "axis", "curve") and colour
 * name, ended by NULL. */
void hst_chart1d_set_colors(HstChart1D* h, ...) G_GNUC_NULL_TERMINATED;
void hst_chart1d_set_curve_colors(HstChart1D* h, ...) G_GNUC_NULL_TERMINATED;
void hst_chart1d_add_curve_color(HstChart1D* h, const char* name);

/* Writes the picture named by prop ("png", "jpeg", "pdf", "svg" or "eps") to
 * the file. 0 on success; -1 for a bad chart, an unknown format, an empty
 * picture or a file that cannot be written, in which case an existing file
 * is left as it was. */
int hst_chart1d_print(HstChart1D* h, const char* fname, const char* prop);

/* Text routines shared by the widgets: a layout of the widget whose font is
 * the style's font with the family replaced; drawing a marked-up text with
 * its top-left corner at (x, y); its logical extent. */
PangoLayout* _hst_get_pango_layout(GtkWidget* widget, cairo_t* cr, const char* family);
void _hst_draw_string(GtkWidget* widget, cairo_t* cr, int x, int y, const char* markup, const char* family);
void _hst_get_layout_extent(GtkWidget* widget, cairo_t* cr, const char* markup, PangoRectangle* rect,
                            const char* family);

/* File chooser: filters is a NULL-terminated list of "name|pattern" or bare
 * patterns, or NULL. A new file name, or NULL when cancelled. */
gchar* get_file_name(const char* title, gboolean open, const char** filters);

/* The picture producers behind the image properties; each result belongs to
 * the caller. The raster ones give NULL or an empty string before the chart
 * has been given a size. */
cairo_status_t _hst_img_to_gstring(void* closure, const unsigned char* data, unsigned int length);
GdkPixbuf* _hst_get_pixbuf(HstChart1D* h);
GString* _hst_get_png(HstChart1D* h);
GString* _hst_get_jpeg(HstChart1D* h);
GString* _hst_get_pdf(HstChart1D* h);
GString* _hst_get_svg(HstChart1D* h);
GString* _hst_get_eps(HstChart1D* h);

G_END_DECLS

#endif
