/* Pictures of a chart (pixbuf, PNG, JPEG, PDF, SVG, PostScript), its curves
 * as text, and the dialogs that save them. Every picture is drawn anew by
 * the one drawing pipeline; files are opened only once there is something
 * to write, so a failure never leaves a file truncated. */
#include <stdio.h>
#include <string.h>

#include <cairo-pdf.h>
#include <cairo-ps.h>
#include <cairo-svg.h>

#include "hst_chart_private.h"
#include "hst_function2d.h"

cairo_status_t _hst_img_to_gstring(void* closure, const unsigned char* data, unsigned int length)
{
    g_string_append_len((GString*)closure, (const gchar*)data, (gssize)length);
    return CAIRO_STATUS_SUCCESS;
}

/* ---- raster ---- */

static guint8 unpremultiply(guint32 v, guint32 a)
{
    return a == 0 ? 0 : (guint8)MIN(255u, (v * 255u + a / 2) / a);
}

GdkPixbuf* _hst_get_pixbuf(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    chart1d_draw_canvas(h, NULL);
    HstCanvas* c = h->cnvs;
    g_rec_mutex_lock(&c->mutex);
    GdkPixbuf* pb = NULL;
    if (c->surface) {
        cairo_surface_flush(c->surface);
        const int w = cairo_image_surface_get_width(c->surface);
        const int ht = cairo_image_surface_get_height(c->surface);
        const int sstride = cairo_image_surface_get_stride(c->surface);
        const unsigned char* src = cairo_image_surface_get_data(c->surface);
        pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, ht);
        const int dstride = gdk_pixbuf_get_rowstride(pb);
        guchar* dst = gdk_pixbuf_get_pixels(pb);
        for (int y = 0; y < ht; y++) {
            const guint32* s = (const guint32*)(src + (gsize)y * sstride);
            guchar* d = dst + (gsize)y * dstride;
            for (int x = 0; x < w; x++) {
                const guint32 p = s[x];
                const guint32 a = p >> 24;
                d[4 * x + 0] = unpremultiply((p >> 16) & 0xff, a);
                d[4 * x + 1] = unpremultiply((p >> 8) & 0xff, a);
                d[4 * x + 2] = unpremultiply(p & 0xff, a);
                d[4 * x + 3] = (guchar)a;
            }
        }
    }
    g_rec_mutex_unlock(&c->mutex);
    return pb;
}

GString* _hst_get_png(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    GString* s = g_string_new(NULL);
    chart1d_draw_canvas(h, NULL);
    g_rec_mutex_lock(&h->cnvs->mutex);
    if (h->cnvs->surface &&
        cairo_surface_write_to_png_stream(h->cnvs->surface, _hst_img_to_gstring, s) != CAIRO_STATUS_SUCCESS)
        g_string_truncate(s, 0);
    g_rec_mutex_unlock(&h->cnvs->mutex);
    return s;
}

GString* _hst_get_jpeg(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    GString* s = g_string_new(NULL);
    GdkPixbuf* pb = _hst_get_pixbuf(h);
    if (!pb)
        return s;
    gchar* buf = NULL;
    gsize len = 0;
    GError* err = NULL;
    if (gdk_pixbuf_save_to_buffer(pb, &buf, &len, "jpeg", &err, NULL)) {
        g_string_append_len(s, buf, (gssize)len);
    } else {
        printf("Error creating jpeg: %s\n", err ? err->message : "unknown error");
        g_clear_error(&err);
    }
    g_free(buf);
    g_object_unref(pb);
    return s;
}

/* ---- vector ---- */

typedef cairo_surface_t* (*VectorSurfaceNew)(cairo_write_func_t, void*, double, double);

static GString* vector_picture(HstChart1D* h, VectorSurfaceNew make)
{
    GString* s = g_string_new(NULL);
    GtkAllocation a;
    gtk_widget_get_allocation(GTK_WIDGET(h), &a);
    if (a.width < 2 || a.height < 2)
        return s; /* never given a size: nothing sensible to draw */
    cairo_surface_t* surface = make(_hst_img_to_gstring, s, a.width, a.height);
    cairo_t* cr = cairo_create(surface);
    chart1d_draw_canvas(h, cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        g_string_truncate(s, 0);
    return s;
}

GString* _hst_get_pdf(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    return vector_picture(h, cairo_pdf_surface_create_for_stream);
}

GString* _hst_get_svg(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    return vector_picture(h, cairo_svg_surface_create_for_stream);
}

GString* _hst_get_eps(HstChart1D* h)
{
    g_return_val_if_fail(HST_IS_CHART1D(h), NULL);
    return vector_picture(h, cairo_ps_surface_create_for_stream);
}

/* ---- files ---- */

typedef enum { WRITE_OK = 0, WRITE_CANNOT_OPEN = -1, WRITE_FAILED = -2 } WriteResult;

/* Writes the bytes whole. Called only with something to write, so that no
 * failure upstream leaves a file truncated. */
static WriteResult write_file(const char* name, const char* mode, const GString* data)
{
    FILE* fp = fopen(name, mode);
    if (!fp)
        return WRITE_CANNOT_OPEN;
    const gboolean written = fwrite(data->str, 1, data->len, fp) == data->len;
    const gboolean closed = fclose(fp) == 0;
    return written && closed ? WRITE_OK : WRITE_FAILED;
}

static const struct {
    const char* name;
    HstPictureProducer produce;
} picture_formats[] = {
    {"png", _hst_get_png}, {"jpeg", _hst_get_jpeg}, {"pdf", _hst_get_pdf},
    {"svg", _hst_get_svg}, {"eps", _hst_get_eps},
};

HstPictureProducer _hst_picture_producer(const char* name)
{
    for (size_t i = 0; name && i < G_N_ELEMENTS(picture_formats); i++)
        if (strcmp(name, picture_formats[i].name) == 0)
            return picture_formats[i].produce;
    return NULL;
}

int hst_chart1d_print(HstChart1D* h, const char* fname, const char* prop)
{
    g_return_val_if_fail(h!=NULL, -1);
    g_return_val_if_fail(HST_IS_CHART1D(h), -1);
    g_return_val_if_fail(fname != NULL, -1);
    /* The picture is made before the file is touched, so that a format we
     * do not know or a failed rendering leaves any existing file alone. */
    HstPictureProducer produce = _hst_picture_producer(prop);
    GString* pic = produce ? produce(h) : NULL;
    int rc = -1;
    if (!pic || pic->len == 0) {
        printf("Error. Very likely invalid picture format: %s\n", prop ? prop : "(null)");
    } else {
        switch (write_file(fname, "wb", pic)) {
        case WRITE_OK: rc = 0; break;
        case WRITE_CANNOT_OPEN: printf("Cannot open %s for writing\n", fname); break;
        case WRITE_FAILED: printf("Cannot write %s\n", fname); break;
        }
    }
    if (pic)
        g_string_free(pic, TRUE);
    return rc;
}

/* ---- file names ---- */

int _hst_image_suffix_question(const char* name, const char* type)
{
    g_return_val_if_fail(name != NULL && type != NULL, 1);
    const char* dot = strrchr(name, '.');
    if (!dot)
        return 1;
    gchar* suffix = g_ascii_strdown(dot + 1, -1);
    const gboolean ok = strstr(suffix, type) != NULL || strstr(suffix, "jpg") != NULL;
    g_free(suffix);
    return ok ? 0 : 2;
}

gchar* _hst_image_add_suffix(const char* name, const char* type)
{
    g_return_val_if_fail(name != NULL && type != NULL, NULL);
    if (strstr(type, "jpeg"))
        return g_strconcat(name, ".jpg", NULL);
    return g_strconcat(name, ".", type, NULL);
}

/* ---- text ---- */

GString* _hst_chart_text(HstChart1D* chart)
{
    g_return_val_if_fail(HST_IS_CHART1D(chart), NULL);
    if (HST_IS_FUNCTION2D(chart->func))
        return hst_function_print(chart->func);
    return hst_function_print_list(chart->curves);
}

int _hst_chart1d_save_text(HstChart1D* chart, const char* fname)
{
    g_return_val_if_fail(HST_IS_CHART1D(chart), -1);
    g_return_val_if_fail(fname != NULL, -1);
    GString* text = _hst_chart_text(chart);
    if (!text || text->len == 0) {
        /* Curves of different binnings have no common text form. */
        g_warning("No text form of the chart to write to %s", fname);
        if (text)
            g_string_free(text, TRUE);
        return -1;
    }
    const WriteResult rc = write_file(fname, "w", text);
    g_string_free(text, TRUE);
    if (rc == WRITE_CANNOT_OPEN)
        g_warning("Could not open output file %s\n", fname);
    else if (rc == WRITE_FAILED)
        g_warning("Could not write output file %s", fname);
    return rc == WRITE_OK ? 0 : -1;
}

/* ---- dialogs ---- */

static void on_browse_image(GtkButton* button, GtkEntry* entry)
{
    (void)button;
    static const char* filters[] = {"PNG files|*.png", "JPEG Files|*.jpg", "JPEG Files|*.jpeg", "PDF Files|*.pdf",
                                    "PS Files|*.eps",  "SVG Files|*.svg",  "All|*",           NULL};
    gchar* name = _hst_choose_file("Open file", "histogram.png", filters);
    gtk_entry_set_text(entry, name);
    g_free(name);
}

static void on_browse_text(GtkButton* button, GtkEntry* entry)
{
    (void)button;
    static const char* filters[] = {"*.txt", "*.*", NULL};
    gchar* name = _hst_choose_file("Output text file", "data.txt", filters);
    gtk_entry_set_text(entry, name);
    g_free(name);
}

/* The common frame of the two dialogs: a file name entry with its browse
 * button in a vertical box. */
static GtkWidget* save_dialog(const char* title, GCallback browse, GtkWidget** entry, GtkWidget** vbox)
{
    GtkWidget* dlg = gtk_dialog_new_with_buttons(title, NULL, GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT,
                                                 GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL,
                                                 GTK_RESPONSE_REJECT, NULL);
    gtk_window_set_type_hint(GTK_WINDOW(dlg), GDK_WINDOW_TYPE_HINT_DIALOG);
    *vbox = gtk_vbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), *vbox, TRUE, TRUE, 0);
    GtkWidget* label = gtk_label_new("File name");
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(*vbox), label, FALSE, FALSE, 0);
    GtkWidget* row = gtk_hbox_new(FALSE, 0);
    *entry = gtk_entry_new();
    gtk_box_pack_start(GTK_BOX(row), *entry, TRUE, TRUE, 0);
    GtkWidget* button = gtk_button_new_from_stock(GTK_STOCK_OPEN);
    g_signal_connect(button, "clicked", browse, *entry);
    gtk_box_pack_start(GTK_BOX(row), button, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(*vbox), row, FALSE, FALSE, 0);
    return dlg;
}

static void finish_dialog(GtkWidget* dlg)
{
    gtk_widget_hide(dlg);
    gtk_widget_destroy(dlg);
}

void _hst_chart1d_image_dialog(HstChart1D* chart)
{
    GtkWidget *entry, *vbox;
    GtkWidget* dlg = save_dialog("Save Histogram image", G_CALLBACK(on_browse_image), &entry, &vbox);
    GtkWidget* combo = gtk_combo_box_new_text();
    static const char* const types[] = {"png", "jpeg", "pdf", "svg", "eps"};
    for (size_t i = 0; i < G_N_ELEMENTS(types); i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(combo), types[i]);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    gtk_box_pack_start(GTK_BOX(vbox), combo, FALSE, FALSE, 0);
    gtk_widget_show_all(dlg);

    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        gchar* name = g_strdup(gtk_entry_get_text(GTK_ENTRY(entry)));
        gchar* type = gtk_combo_box_get_active_text(GTK_COMBO_BOX(combo));
        if (!type)
            type = g_strdup("png");
        gint answer = GTK_RESPONSE_REJECT;
        switch (_hst_image_suffix_question(name, type)) {
        case 1:
            answer = ask_a_yes_no_question("No file suffix",
                                           "The file does not have a suffix.\nDo you want me to add the right one ?");
            break;
        case 2:
            answer = ask_a_yes_no_question(
                "No or wrong file suffix",
                "The file does not have or have the wrong\nsuffix. Do you want me to add the right one ?");
            break;
        default:
            break;
        }
        if (answer == GTK_RESPONSE_ACCEPT) {
            gchar* full = _hst_image_add_suffix(name, type);
            g_free(name);
            name = full;
        }
        hst_chart1d_print(chart, name, type);
        g_free(type);
        g_free(name);
    }
    finish_dialog(dlg);
}

void _hst_chart1d_text_dialog(HstChart1D* chart)
{
    GtkWidget *entry, *vbox;
    GtkWidget* dlg = save_dialog("Save Histogram as text", G_CALLBACK(on_browse_text), &entry, &vbox);
    gtk_widget_show_all(dlg);
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT)
        _hst_chart1d_save_text(chart, gtk_entry_get_text(GTK_ENTRY(entry)));
    finish_dialog(dlg);
}
