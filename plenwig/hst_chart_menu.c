/* What a user does with a chart: pointer read-out, zoom, value range, the
 * context menu and its dialogs, and the library's small dialogs (file
 * chooser, yes/no question). All of it runs in the GTK main thread. */
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hst_chart_private.h"
#include "hst_histogram.h"
#include "hst_profile.h"
#include "hst_tracer.h"

/* A drag shorter than this, in pixels, is a click and changes no range. */
#define MIN_DRAG 1.0

enum {
    MENU_FOREGROUND = 0,
    MENU_BACKGROUND,
    MENU_AXIS,
    MENU_CURVE,
    MENU_X_DOWN,
    MENU_X_TOP,
    MENU_X_MIDDLE,
    MENU_X_RANGE,
    MENU_X_NONE,
    MENU_Y_LEFT,
    MENU_Y_RIGHT,
    MENU_Y_MIDDLE,
    MENU_Y_RANGE,
    MENU_Y_NONE,
    MENU_FILLED,
    MENU_LOGY,
    MENU_LOGX,
    MENU_STATS,
    MENU_PRINT,
    MENU_TEXT,
    MENU_NCODES
};

/* The record each action item of a menu carries; the menu owns them. The
 * chart pointer is weak: it turns NULL should the chart go first. */
typedef struct {
    int code;
    HstChart1D* chart;
} MenuItemRecord;

/* ---- pointer ---- */

static void pointer_to_user(HstChart1D* chart, double px, double py, double* x, double* y)
{
    canvas_transform_inv(chart->cnvs, (int)px, (int)py, x, y);
}

gboolean chart1d_button_press(GtkWidget* w, GdkEventButton* ev, gpointer data)
{
    (void)data;
    HstChart1D* chart = HST_CHART1D(w);
    if (ev->type != GDK_BUTTON_PRESS)
        return FALSE;
    if (ev->button == 2) {
        if (chart->func) {
            chart->xmin = hst_function_get_xmin(chart->func);
            chart->xmax = hst_function_get_xmax(chart->func);
        }
        g_object_set(chart, "vmin", 0.0, "vmax", 0.0, NULL);
        gtk_widget_queue_draw(w);
    } else if (ev->button == 3) {
        GtkWidget* menu = _hst_chart1d_menu(chart);
        gtk_menu_popup(GTK_MENU(menu), NULL, NULL, NULL, NULL, ev->button, ev->time);
    }
    chart->evt->button |= HST_BUTTON_PRESS;
    chart->evt->x0 = chart->evt->x;
    chart->evt->y0 = chart->evt->y;
    chart->priv->press_px = chart->priv->motion_px;
    chart->priv->press_py = chart->priv->motion_py;
    return FALSE;
}

gboolean chart1d_button_release(GtkWidget* w, GdkEventButton* ev, gpointer data)
{
    (void)data;
    HstChart1D* chart = HST_CHART1D(w);
    HstChartEvent* e = chart->evt;
    e->button |= HST_BUTTON_RELEASE;
    e->button &= ~(guint32)HST_BUTTON_PRESS;
    if (ev->button != 1)
        return FALSE;
    double x, y;
    pointer_to_user(chart, ev->x, ev->y, &x, &y);
    const gboolean ctrl = (ev->state & GDK_CONTROL_MASK) != 0;
    const gboolean shift = (ev->state & GDK_SHIFT_MASK) != 0;
    /* A click without a drag would give an empty range. */
    if (ctrl && fabs(ev->x - chart->priv->press_px) >= MIN_DRAG) {
        chart->xmin = MIN(x, e->x0);
        chart->xmax = MAX(x, e->x0);
    }
    if (shift && fabs(ev->y - chart->priv->press_py) >= MIN_DRAG)
        g_object_set(chart, "vmin", MIN(y, e->y0), "vmax", MAX(y, e->y0), NULL);
    if (ctrl || shift)
        gtk_widget_queue_draw(w);
    return FALSE;
}

gboolean chart1d_motion_notify(GtkWidget* w, GdkEventMotion* ev, gpointer data)
{
    (void)data;
    HstChart1D* chart = HST_CHART1D(w);
    if (ev->state & GDK_CONTROL_MASK)
        return FALSE;
    pointer_to_user(chart, ev->x, ev->y, &chart->evt->x, &chart->evt->y);
    chart->priv->motion_px = (int)ev->x;
    chart->priv->motion_py = (int)ev->y;
    gtk_widget_queue_draw(w);
    return FALSE;
}

gboolean chart1d_key_press(GtkWidget* w, GdkEventKey* ev, gpointer data)
{
    (void)w;
    (void)data;
    printf("Key %d %x\n", ev->keyval, ev->keyval);
    return TRUE;
}

/* ---- small dialogs ---- */

double chart1d_get_double(const char* text, double dflt)
{
    if (!text)
        return dflt;
    char* end = NULL;
    errno = 0;
    const double v = strtod(text, &end);
    if (end == text || errno == ERANGE || errno == EINVAL)
        return dflt;
    return v;
}

GtkFileFilter* _hst_file_filter_new(const char* spec)
{
    g_return_val_if_fail(spec != NULL, NULL);
    GtkFileFilter* filter = gtk_file_filter_new();
    const char* bar = strchr(spec, '|');
    if (bar) {
        gchar* name = g_strndup(spec, (gsize)(bar - spec));
        gtk_file_filter_set_name(filter, name);
        gtk_file_filter_add_pattern(filter, bar + 1);
        g_free(name);
    } else {
        gtk_file_filter_add_pattern(filter, spec);
    }
    return filter;
}

gchar* get_file_name(const char* title, gboolean open, const char** filters)
{
    GtkWidget* dlg = gtk_file_chooser_dialog_new(
        title, NULL, open ? GTK_FILE_CHOOSER_ACTION_OPEN : GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
        GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, NULL);
    for (const char** f = filters; f && *f; f++)
        gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dlg), _hst_file_filter_new(*f));
    gchar* name = NULL;
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT)
        name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dlg));
    gtk_widget_destroy(dlg);
    return name;
}

gchar* _hst_choose_file(const char* title, const char* dflt, const char** filters)
{
    gchar* name = get_file_name(title, FALSE, filters);
    return name ? name : g_strdup(dflt);
}

gint ask_a_yes_no_question(const char* title, const char* text)
{
    GtkWidget* dlg = gtk_dialog_new_with_buttons(title, NULL, GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT,
                                                 GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL,
                                                 GTK_RESPONSE_REJECT, NULL);
    gtk_window_set_type_hint(GTK_WINDOW(dlg), GDK_WINDOW_TYPE_HINT_DIALOG);
    GtkWidget* label = gtk_label_new(text);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), label, TRUE, TRUE, 10);
    gtk_widget_show_all(dlg);
    const gint response = gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_hide(dlg);
    gtk_widget_destroy(dlg);
    return response;
}

/* ---- colour dialog ---- */

static void color_dialog(MenuItemRecord* rec)
{
    static const char* const titles[] = {"Choose foreground color", "Choose background color",
                                         "Choose axis color", "Choose curve color"};
    static const char* const keys[] = {"foreground", "background", "axis", "curve"};
    HstChart1D* chart = rec->chart;
    GtkWidget* dlg = gtk_color_selection_dialog_new(titles[rec->code]);
    GtkColorSelection* sel =
        GTK_COLOR_SELECTION(gtk_color_selection_dialog_get_color_selection(GTK_COLOR_SELECTION_DIALOG(dlg)));
    gtk_color_selection_set_previous_color(sel, &chart->colors[rec->code]);
    gtk_color_selection_set_current_color(sel, &chart->colors[rec->code]);
    gtk_color_selection_set_has_palette(sel, TRUE);
    gtk_container_set_border_width(GTK_CONTAINER(sel), 10);
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_OK) {
        GdkColor c;
        gtk_color_selection_get_current_color(sel, &c);
        gchar* name = gdk_color_to_string(&c);
        hst_chart1d_set_colors(chart, keys[rec->code], name, NULL);
        g_free(name);
        gtk_widget_queue_draw(GTK_WIDGET(chart));
    }
    gtk_widget_destroy(dlg);
}

/* ---- axis range ---- */

gboolean _hst_chart_offers_rebin(HstChart1D* chart)
{
    /* Only a plain histogram has contents that a new binning can share out. */
    return g_list_length(chart->curves) == 1 && HST_IS_HISTOGRAM(chart->curves->data) &&
           !HST_IS_TRACER(chart->curves->data) && !HST_IS_PROFILE(chart->curves->data);
}

gboolean _hst_chart_set_range(HstChart1D* chart, int axis, const char* smin, const char* smax, const char* nbin)
{
    g_return_val_if_fail(HST_IS_CHART1D(chart), FALSE);
    double lo = chart1d_get_double(smin, 0.0);
    double hi = chart1d_get_double(smax, 0.0);
    if (!isfinite(lo) || !isfinite(hi))
        return FALSE;
    if (lo > hi) {
        const double t = lo;
        lo = hi;
        hi = t;
    }
    if (lo == hi)
        return FALSE;
    if (axis == 1) {
        g_object_set(chart, "hymin", lo, "hymax", hi, NULL);
        return TRUE;
    }
    g_rec_mutex_lock(&chart->cnvs->mutex);
    HstFunction* f = chart->func;
    if (f && nbin && HST_IS_HISTOGRAM(f)) {
        int n = atoi(nbin);
        /* A count that is not a number keeps the bins there are. */
        if (n < 1)
            n = hst_function_get_npts(f);
        printf("**New numnber of bins: %d\n", n);
        hst_histogram_rebin(HST_HISTOGRAM(f), n, lo, hi);
    } else if (f) {
        g_object_set(f, "xmin", lo, "xmax", hi, NULL);
    }
    g_rec_mutex_unlock(&chart->cnvs->mutex);
    g_object_set(chart, "hxmin", lo, "hxmax", hi, NULL);
    return TRUE;
}

static GtkWidget* add_labelled_entry(GtkWidget* box, const char* label, const char* text)
{
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(label), FALSE, FALSE, 0);
    GtkWidget* entry = gtk_entry_new();
    if (text)
        gtk_entry_set_text(GTK_ENTRY(entry), text);
    gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);
    return entry;
}

static void range_dialog(HstChart1D* chart, int axis)
{
    GtkWidget* dlg = gtk_dialog_new_with_buttons(axis == 0 ? "Set the X axis range" : "Set the Y axis range", NULL,
                                                 GTK_DIALOG_MODAL, GTK_STOCK_OK, GTK_RESPONSE_ACCEPT,
                                                 GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    gtk_window_set_type_hint(GTK_WINDOW(dlg), GDK_WINDOW_TYPE_HINT_DIALOG);
    GtkWidget* box = gtk_dialog_get_content_area(GTK_DIALOG(dlg));
    GtkWidget* nbin = NULL;
    if (axis == 0 && _hst_chart_offers_rebin(chart)) {
        gchar* n = g_strdup_printf("%d", hst_function_get_npts(HST_FUNCTION(chart->curves->data)));
        nbin = add_labelled_entry(box, "N. bin", n);
        g_free(n);
    }
    GtkWidget* emin = add_labelled_entry(box, axis == 0 ? "X min" : "Y min", NULL);
    GtkWidget* emax = add_labelled_entry(box, axis == 0 ? "X max" : "Y max", NULL);
    gtk_widget_show_all(dlg);
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT)
        _hst_chart_set_range(chart, axis, gtk_entry_get_text(GTK_ENTRY(emin)), gtk_entry_get_text(GTK_ENTRY(emax)),
                             nbin ? gtk_entry_get_text(GTK_ENTRY(nbin)) : NULL);
    gtk_widget_hide(dlg);
    gtk_widget_destroy(dlg);
}

/* ---- menu ---- */

static void menu_activate(GtkMenuItem* item, MenuItemRecord* rec)
{
    HstChart1D* chart = rec->chart;
    if (!chart)
        return;
    const gboolean active = GTK_IS_CHECK_MENU_ITEM(item) && gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item));
    switch (rec->code) {
    case MENU_FOREGROUND:
    case MENU_BACKGROUND:
    case MENU_AXIS:
    case MENU_CURVE:
        color_dialog(rec);
        return;
    case MENU_X_DOWN: hst_chart1d_draw_x_axis(chart, HST_AXIS_LEFT); break;
    case MENU_X_TOP: hst_chart1d_draw_x_axis(chart, HST_AXIS_RIGHT); break;
    case MENU_X_MIDDLE: hst_chart1d_draw_x_axis(chart, HST_AXIS_MIDDLE); break;
    case MENU_X_RANGE: range_dialog(chart, 0); break;
    case MENU_X_NONE: hst_chart1d_draw_x_axis(chart, HST_AXIS_NONE); break;
    case MENU_Y_LEFT: hst_chart1d_draw_y_axis(chart, HST_AXIS_LEFT); break;
    case MENU_Y_RIGHT: hst_chart1d_draw_y_axis(chart, HST_AXIS_RIGHT); break;
    case MENU_Y_MIDDLE: hst_chart1d_draw_y_axis(chart, HST_AXIS_MIDDLE); break;
    case MENU_Y_RANGE: range_dialog(chart, 1); break;
    case MENU_Y_NONE: hst_chart1d_draw_y_axis(chart, HST_AXIS_NONE); break;
    case MENU_FILLED: hst_chart1d_filled(chart, active); break;
    case MENU_LOGY: hst_chart1d_logy(chart, active); break;
    case MENU_LOGX: hst_chart1d_logx(chart, active); break;
    case MENU_STATS: hst_chart1d_show_stats(chart, active); break;
    case MENU_PRINT: _hst_chart1d_image_dialog(chart); return;
    case MENU_TEXT: _hst_chart1d_text_dialog(chart); return;
    default: return;
    }
    gtk_widget_queue_draw(GTK_WIDGET(chart));
}

static void add_separator(GtkWidget* menu)
{
    GtkWidget* sep = gtk_separator_menu_item_new();
    gtk_widget_set_sensitive(sep, FALSE);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), sep);
}

static void add_action(GtkWidget* menu, const char* label, MenuItemRecord* recs, int code)
{
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    g_signal_connect(item, "activate", G_CALLBACK(menu_activate), &recs[code]);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
}

static void add_check(GtkWidget* menu, const char* label, MenuItemRecord* recs, int code, gboolean active)
{
    GtkWidget* item = gtk_check_menu_item_new_with_mnemonic(label);
    /* Set before connecting: setting the state activates the item. */
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), active);
    g_signal_connect(item, "activate", G_CALLBACK(menu_activate), &recs[code]);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
}

static GtkWidget* add_submenu(GtkWidget* menu, const char* label)
{
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    GtkWidget* sub = gtk_menu_new();
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), sub);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return sub;
}

typedef struct {
    const char* label;
    int code;
} MenuEntry;

static const MenuEntry x_axis_entries[] = {
    {"down", MENU_X_DOWN}, {"middle", MENU_X_MIDDLE}, {"top", MENU_X_TOP}, {"none", MENU_X_NONE}};
static const MenuEntry y_axis_entries[] = {
    {"left", MENU_Y_LEFT}, {"middle", MENU_Y_MIDDLE}, {"right", MENU_Y_RIGHT}, {"none", MENU_Y_NONE}};

/* An axis submenu: the four positions, then the range dialog. */
static void add_axis_menu(GtkWidget* menu, const char* label, const MenuEntry entries[4], MenuItemRecord* recs,
                          int range_code)
{
    GtkWidget* sub = add_submenu(menu, label);
    for (int i = 0; i < 4; i++)
        add_action(sub, entries[i].label, recs, entries[i].code);
    add_separator(sub);
    add_action(sub, "Change range...", recs, range_code);
}

static void free_records(gpointer data)
{
    MenuItemRecord* recs = data;
    for (int i = 0; i < MENU_NCODES; i++)
        if (recs[i].chart)
            g_object_remove_weak_pointer(G_OBJECT(recs[i].chart), (gpointer*)&recs[i].chart);
    g_free(recs);
}

static gboolean destroy_menu_idle(gpointer menu)
{
    gtk_widget_destroy(GTK_WIDGET(menu));
    g_object_unref(menu);
    return FALSE;
}

/* The menu goes once it closes; an item's action has run by the time the
 * idle call comes. */
static void menu_deactivated(GtkMenuShell* menu, gpointer data)
{
    (void)data;
    g_idle_add(destroy_menu_idle, g_object_ref(menu));
}

GtkWidget* _hst_chart1d_menu(HstChart1D* chart)
{
    g_return_val_if_fail(HST_IS_CHART1D(chart), NULL);
    GtkWidget* menu = gtk_menu_new();
    MenuItemRecord* recs = g_new(MenuItemRecord, MENU_NCODES);
    for (int i = 0; i < MENU_NCODES; i++) {
        recs[i].code = i;
        recs[i].chart = chart;
        g_object_add_weak_pointer(G_OBJECT(chart), (gpointer*)&recs[i].chart);
    }
    g_object_set_data_full(G_OBJECT(menu), "hst-menu-records", recs, free_records);
    g_signal_connect(menu, "deactivate", G_CALLBACK(menu_deactivated), NULL);

    add_action(menu, "Print...", recs, MENU_PRINT);
    add_action(menu, "Save as text...", recs, MENU_TEXT);
    add_separator(menu);

    GtkWidget* sub = add_submenu(menu, "colors");
    add_action(sub, "Foreground...", recs, MENU_FOREGROUND);
    add_action(sub, "Background...", recs, MENU_BACKGROUND);
    add_action(sub, "Axis...", recs, MENU_AXIS);
    add_action(sub, "Curve...", recs, MENU_CURVE);
    add_separator(menu);

    add_axis_menu(menu, "X axis...", x_axis_entries, recs, MENU_X_RANGE);
    add_axis_menu(menu, "Y axis...", y_axis_entries, recs, MENU_Y_RANGE);
    add_separator(menu);

    add_check(menu, "Show stats", recs, MENU_STATS, (chart->attr & HST_STATS) != 0);
    add_check(menu, "filled", recs, MENU_FILLED, (chart->attr & HST_FILLED) != 0);
    add_check(menu, "log(x)", recs, MENU_LOGX, (chart->attr & HST_LOGX) != 0);
    add_check(menu, "log(y)", recs, MENU_LOGY, (chart->attr & HST_LOGY) != 0);

    HstChart1DClass* klass = HST_CHART1D_GET_CLASS(chart);
    if (klass->xtra_menu)
        klass->xtra_menu(chart, menu);
    gtk_widget_show_all(menu);
    return menu;
}
