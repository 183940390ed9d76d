#include "gui/updatecheck/TellumCheckForUpdate.h"

#include <iostream>
#include <set>
#include <string>

#include "gui/GtkUtils.h"
#include "gui/updatecheck/TellumDownloadProgess.h"

namespace {

// The checkers that run made; GTK main thread only.
std::set<TellumCheckForUpdate*>& live()
{
    static std::set<TellumCheckForUpdate*> checkers;
    return checkers;
}

void remove_source(guint& id)
{
    if (id)
        g_source_remove(id);
    id = 0;
}

GtkWidget* left_label(const std::string& text)
{
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.5);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_LEFT);
    return label;
}

// A failure's sentence names a server, a path or a file: it wraps rather
// than widen the window past the screen.
void wrap(GtkWidget* label)
{
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_widget_set_size_request(label, 360, -1);
}

} // namespace

TellumCheckForUpdate::TellumCheckForUpdate(AppDownloadProgress* P)
    : AppUpdateCheck(P), cb_data(g_new0(callback_data, 1))
{
    cb_data->chk = this;
    if (!P) {
        own_sink = new TellumDownloadProgess(nullptr);
        set_progress_obj(own_sink);
    }
}

TellumCheckForUpdate::~TellumCheckForUpdate()
{
    // The thread reports to the sink and the window: it ends first.
    cancel_download();
    join();
    remove_source(check_source);
    remove_source(start_source);
    remove_source(end_source);
    remove_source(close_source);
    if (dialog) {
        g_signal_handlers_disconnect_matched(dialog, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        gtk_widget_destroy(dialog);
    }
    set_progress_obj(nullptr);
    delete own_sink;
    g_free(cb_data);
}

// ---- the menu's check -------------------------------------------------------

void TellumCheckForUpdate::run(bool show_no_update)
{
    auto* chk = new TellumCheckForUpdate(nullptr);
    live().insert(chk);
    chk->show_no_update = show_no_update;
    chk->check_for_update_async();
    chk->check_source = g_timeout_add(100, &TellumCheckForUpdate::check_done, chk);
}

gboolean TellumCheckForUpdate::check_done(gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    if (!chk->finished())
        return G_SOURCE_CONTINUE;
    chk->check_source = 0;
    chk->join();
    if (!chk->create_window(chk->show_no_update)) {
        discard(chk);
        return G_SOURCE_REMOVE;
    }
    gtk_window_set_modal(GTK_WINDOW(chk->dialog), TRUE);
    g_signal_connect(chk->dialog, "response", G_CALLBACK(&TellumCheckForUpdate::on_response), chk);
    return G_SOURCE_REMOVE;
}

void TellumCheckForUpdate::on_response(GtkDialog*, gint response, gpointer data)
{
    if (response == GTK_RESPONSE_CANCEL || response == GTK_RESPONSE_DELETE_EVENT)
        static_cast<TellumCheckForUpdate*>(data)->close();
}

void TellumCheckForUpdate::close()
{
    if (dialog)
        gtk_widget_hide(dialog);
    cancel_download();
    if (!close_source)
        close_source = g_timeout_add(50, &TellumCheckForUpdate::closed_done, this);
}

gboolean TellumCheckForUpdate::closed_done(gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    if (!chk->finished() || chk->asking)
        return G_SOURCE_CONTINUE;
    chk->close_source = 0;
    discard(chk);
    return G_SOURCE_REMOVE;
}

void TellumCheckForUpdate::discard(TellumCheckForUpdate* chk)
{
    live().erase(chk);
    delete chk;
}

void TellumCheckForUpdate::cancel_all()
{
    const std::set<TellumCheckForUpdate*> all = live();
    for (TellumCheckForUpdate* chk : all)
        chk->cancel_download();
    for (TellumCheckForUpdate* chk : all)
        discard(chk);
}

int TellumCheckForUpdate::count()
{
    return static_cast<int>(live().size());
}

// ---- the window -------------------------------------------------------------

GtkWidget* TellumCheckForUpdate::create_window(bool show_no_update_window)
{
    const bool newer = newer_release() == 1;
    if (!newer && !show_no_update_window)
        return nullptr;
    if (dialog)
        return dialog;
    const std::string app = get_application_name();
    dialog = gtk_dialog_new_with_buttons(app.c_str(), nullptr, GtkDialogFlags(0), GTK_STOCK_QUIT,
                                         GTK_RESPONSE_CANCEL, nullptr);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    g_signal_connect(dialog, "destroy", G_CALLBACK(&TellumCheckForUpdate::on_destroy), this);

    GtkWidget* hbox = gtk_hbox_new(FALSE, 10);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), hbox, TRUE, TRUE, 0);
    GtkWidget* left = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), left, FALSE, FALSE, 0);
    GError* error = nullptr;
    if (GdkPixbuf* icon = gdk_pixbuf_new_from_resource_at_scale("/org/korvane/Tellum/tellum-icon.svg", 75, 75,
                                                                TRUE, &error)) {
        gtk_box_pack_start(GTK_BOX(left), gtk_image_new_from_pixbuf(icon), FALSE, FALSE, 0);
        g_object_unref(icon);
    } else {
        std::cout << "Cannot load tellum-icon.svg: " << (error ? error->message : "") << std::endl;
        g_clear_error(&error);
    }
    gtk_box_pack_start(GTK_BOX(left), gtk_label_new(""), TRUE, TRUE, 0);
    GtkWidget* right = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), right, TRUE, TRUE, 0);

    if (!newer) {
        // A list that could not be had says nothing about the version.
        GtkWidget* label = failure().empty() ? gtk_label_new(("\nYou have the latest version of \n" + app + "\n").c_str())
                                             : left_label("\n" + failure() + "\n");
        if (!failure().empty())
            wrap(label);
        gtk_box_pack_start(GTK_BOX(right), label, FALSE, FALSE, 0);
        gtk_widget_show_all(dialog);
        return dialog;
    }

    const std::string file = get_filename();
    gtk_box_pack_start(GTK_BOX(right),
                       gtk_label_new(("\nNew version of " + app + "\n" + file + "\nis ready for download.\n\n").c_str()),
                       FALSE, FALSE, 0);
    cb_data->labelQ = left_label("Do you want to download and install ?\n");
    gtk_box_pack_start(GTK_BOX(right), cb_data->labelQ, FALSE, FALSE, 0);

    cb_data->box = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(right), cb_data->box, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(cb_data->box), gtk_label_new(("Downloading " + file + "\n").c_str()), FALSE, FALSE,
                       0);
    GtkWidget* bar = gtk_progress_bar_new();
    gtk_box_pack_start(GTK_BOX(cb_data->box), bar, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(cb_data->box), gtk_label_new("\n"), FALSE, FALSE, 0);
    if (auto* sink = dynamic_cast<TellumDownloadProgess*>(get_progress_obj()))
        sink->set_progress_bar(GTK_PROGRESS_BAR(bar));

    cb_data->labelE = left_label("Download Finished\n");
    wrap(cb_data->labelE);
    gtk_box_pack_start(GTK_BOX(right), cb_data->labelE, FALSE, FALSE, 0);

    ok_button = gtk_button_new_from_stock(GTK_STOCK_OK);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->action_area), ok_button, FALSE, FALSE, 0);
    ok_handler = g_signal_connect(ok_button, "clicked", G_CALLBACK(&TellumCheckForUpdate::on_ok), this);

    gtk_widget_show_all(dialog);
    gtk_widget_queue_resize(dialog);
    gtk_widget_hide(cb_data->box);
    gtk_widget_hide(cb_data->labelE);
    return dialog;
}

void TellumCheckForUpdate::on_destroy(GtkWidget*, gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    chk->dialog = nullptr;
    chk->ok_button = nullptr;
    chk->cb_data->labelQ = chk->cb_data->labelE = chk->cb_data->box = nullptr;
    if (auto* sink = dynamic_cast<TellumDownloadProgess*>(chk->get_progress_obj()))
        sink->set_progress_bar(nullptr);
    // Destroyed from elsewhere (not by the checker): nothing is left to
    // show the download, which stops.
    if (live().count(chk))
        chk->close();
}

void TellumCheckForUpdate::on_ok(GtkButton* button, gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    // A name that is refused fails the download with its reason.
    if (plain_file_name(chk->get_filename()) && chk->download_folder().empty()) {
        // No download folder is named: the operator says where, or nothing
        // is downloaded (and the question stays).
        // The window may be closed meanwhile: the checker stays until the
        // chooser has returned.
        chk->asking = true;
        const std::string folder = get_file_name("Download folder", a_OpenFolder, g_get_home_dir());
        chk->asking = false;
        if (!chk->dialog || chk->close_source || folder.empty())
            return;
        chk->set_download_folder(folder);
    }
    gtk_widget_hide(chk->cb_data->labelQ);
    gtk_widget_show(chk->cb_data->box);
    gtk_widget_hide(chk->cb_data->labelE);
    // The download starts once.
    g_signal_handler_block(button, chk->ok_handler);
    gtk_widget_set_sensitive(GTK_WIDGET(button), FALSE);
    chk->start_source = g_timeout_add(100, &TellumCheckForUpdate::start_download, chk);
}

gboolean TellumCheckForUpdate::start_download(gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    chk->start_source = 0;
    chk->download_update_async();
    chk->end_source = g_timeout_add(100, &TellumCheckForUpdate::download_done, chk);
    return G_SOURCE_REMOVE;
}

gboolean TellumCheckForUpdate::download_done(gpointer data)
{
    auto* chk = static_cast<TellumCheckForUpdate*>(data);
    if (!chk->finished())
        return G_SOURCE_CONTINUE;
    chk->end_source = 0;
    const bool cancelled = chk->have_to_stop();
    const int rc = chk->join();
    std::string text;
    if (rc == 0)
        text = "Download finished.\n" + chk->get_file_path() + "\nis ready.\n";
    else if (cancelled)
        text = "Download cancelled.\n";
    else
        text = "Download failed.\n" + chk->failure() + "\n";
    if (chk->cb_data->labelE) {
        gtk_label_set_text(GTK_LABEL(chk->cb_data->labelE), text.c_str());
        gtk_widget_hide(chk->cb_data->box);
        gtk_widget_show(chk->cb_data->labelE);
    }
    return G_SOURCE_REMOVE;
}
