#include "gui/GtkUtils.h"

#include <cstdio>
#include <iostream>

#include "config/PathUtils.h"
#include "gui/GladeApp.h"
#include "gui/MessageBox.h"

namespace {

GtkFileFilter* make_filter(const std::string& text)
{
    GtkFileFilter* filter = gtk_file_filter_new();
    const std::string::size_type bar = text.find('|');
    std::vector<std::string> pieces;
    stringtok(pieces, text, ",");
    for (const std::string& piece : pieces) {
        const std::string::size_type at = piece.find('|');
        if (at == std::string::npos) {
            gtk_file_filter_add_pattern(filter, piece.c_str());
            continue;
        }
        gtk_file_filter_set_name(filter, text.substr(0, bar).c_str());
        gtk_file_filter_add_pattern(filter, piece.substr(at + 1).c_str());
    }
    return filter;
}

// A modal dialog with OK and Cancel over a box of labelled entries, one per
// prompt; the entries' texts on OK.
bool ask_strings(const char* title, const std::vector<std::string>& prompts, std::vector<std::string>& out)
{
    GtkWidget* box = nullptr;
    GtkWidget* dialog = new_prompt_dialog(title, &box);
    std::vector<GtkWidget*> entries;
    // Return in an entry answers OK.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    for (const std::string& prompt : prompts) {
        prompt_label(box, prompt.c_str());
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);
        entries.push_back(entry);
    }
    gtk_widget_show_all(dialog);
    const bool ok = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT;
    if (ok)
        for (GtkWidget* entry : entries)
            out.emplace_back(gtk_entry_get_text(GTK_ENTRY(entry)));
    gtk_widget_hide(dialog);
    gtk_widget_destroy(dialog);
    return ok;
}

} // namespace

GtkWidget* new_prompt_dialog(const char* title, GtkWidget** box)
{
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title, nullptr, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), GTK_STOCK_OK,
        GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, nullptr);
    *box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(*box), 5);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), *box, FALSE, FALSE, 0);
    return dialog;
}

void prompt_label(GtkWidget* box, const char* text)
{
    GtkWidget* label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
}

std::string get_file_name(const char* title, GetFileNameAction action, const char* init_folder,
                          const char* const* filters)
{
    GtkFileChooserAction mode = GTK_FILE_CHOOSER_ACTION_OPEN;
    if (action == a_SaveFile)
        mode = GTK_FILE_CHOOSER_ACTION_SAVE;
    else if (action == a_OpenFolder)
        mode = GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
    GtkWidget* dialog = gtk_file_chooser_dialog_new(title, nullptr, mode, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
                                                    GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    if (init_folder)
        gtk_file_chooser_set_current_folder(chooser, init_folder);
    for (const char* const* f = filters; f && *f; ++f)
        gtk_file_chooser_add_filter(chooser, make_filter(*f));

    std::string chosen;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(chooser)) {
            chosen = name;
            g_free(name);
        }
    }
    gtk_widget_destroy(dialog);
    return chosen;
}

namespace {

// Over the dialog that asked for help, which may hold the input while it
// runs: the message takes the input then.
void help_message(GtkMessageType type, const std::string& text)
{
    GtkWidget* asking = gtk_grab_get_current();
    GtkWidget* box = show_message(asking, type, text);
    if (asking)
        gtk_window_set_modal(GTK_WINDOW(box), TRUE);
}

} // namespace

void gtk_help_display(const char*)
{
    // Whatever keeps the manual from showing is said where the operator
    // asked for it.
    const char* dir = g_getenv("TELLUM_HELPDIR");
    if (!dir) {
        help_message(GTK_MESSAGE_INFO, "No manual to show: it is looked for in the folder that TELLUM_HELPDIR "
                                       "names, and TELLUM_HELPDIR is not set.");
        return;
    }
    GError* error = nullptr;
    if (gchar* uri = g_filename_to_uri(dir, nullptr, &error)) {
        gtk_show_uri(gdk_screen_get_default(), uri, gtk_get_current_event_time(), &error);
        g_free(uri);
    }
    if (error) {
        std::printf("Error opening help file: %s\n", error->message);
        std::fflush(stdout);
        help_message(GTK_MESSAGE_ERROR,
                     std::string("The manual in ") + dir + " (TELLUM_HELPDIR) could not be shown: " + error->message);
        g_error_free(error);
    }
}

std::string get_a_string(const char* title, const char* prompt)
{
    std::vector<std::string> out;
    return ask_strings(title, {prompt ? prompt : ""}, out) ? out.front() : std::string();
}

int get_a_string_list(const char* title, const char* prompt, std::vector<std::string>& values)
{
    values.clear();
    std::vector<std::string> prompts;
    stringtok(prompts, prompt ? prompt : "", ":;");
    ask_strings(title, prompts, values);
    return static_cast<int>(values.size());
}

int run_past_help(GtkWidget* dialog)
{
    int response = GTK_RESPONSE_HELP;
    while (response == GTK_RESPONSE_HELP)
        response = gtk_dialog_run(GTK_DIALOG(dialog));
    return response;
}

GtkWidget* bundle_image(const char* name, std::string* why)
{
    const std::string path = std::string("/org/korvane/Tellum/glade/") + name;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_resource(path.c_str(), &error);
    if (!pixbuf) {
        if (why)
            *why = error->message;
        g_error_free(error);
        return nullptr;
    }
    GtkWidget* image = gtk_image_new_from_pixbuf(pixbuf);
    g_object_unref(pixbuf);
    gtk_widget_show(image);
    return GTK_WIDGET(g_object_ref_sink(image));
}

void activate_group(GtkWidget* w, bool sensitive)
{
    g_return_if_fail(GTK_IS_RADIO_BUTTON (w));
    for (GSList* l = gtk_radio_button_get_group(GTK_RADIO_BUTTON(w)); l; l = l->next)
        gtk_widget_set_sensitive(GTK_WIDGET(l->data), sensitive);
}

void set_accessible_name(GtkWidget* w, const std::string& name)
{
    g_return_if_fail(GTK_IS_WIDGET(w));
    if (AtkObject* a = gtk_widget_get_accessible(w))
        atk_object_set_name(a, name.c_str());
}

void destroy_later(GtkWidget* toplevel)
{
    g_return_if_fail(GTK_IS_WIDGET(toplevel));
    gtk_widget_hide(toplevel);
    // The GUI thread's own idle, set by the thread that just hid the widget:
    // it may hold the widget, by a reference, as nothing crosses threads.
    g_idle_add(
        [](gpointer w) -> gboolean {
            // Unless it went meanwhile (with its parent, or its owner).
            GList* live = gtk_window_list_toplevels();
            if (g_list_find(live, w))
                gtk_widget_destroy(GTK_WIDGET(w));
            g_list_free(live);
            g_object_unref(w);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(toplevel));
}

void change_button_pixmap(GtkWidget* btn, GtkWidget* image)
{
    g_return_if_fail(GTK_IS_BUTTON(btn));
    if (!image)
        return;
    // Down through the first container at each level, to the level that
    // holds an image.
    GtkWidget* level = btn;
    GtkWidget* old = nullptr;
    while (level && GTK_IS_CONTAINER(level) && !old) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(level));
        GtkWidget* next = nullptr;
        for (GList* l = children; l; l = l->next) {
            if (GTK_IS_IMAGE(l->data) && !old)
                old = GTK_WIDGET(l->data);
            else if (GTK_IS_CONTAINER(l->data) && !next)
                next = GTK_WIDGET(l->data);
        }
        g_list_free(children);
        if (!old)
            level = next;
    }
    if (!old || old == image)
        return;
    GtkContainer* parent = GTK_CONTAINER(level);
    if (GTK_IS_BOX(parent)) {
        // In the old image's place, packed as it was.
        gboolean expand, fill;
        guint padding;
        GtkPackType pack;
        gtk_box_query_child_packing(GTK_BOX(parent), old, &expand, &fill, &padding, &pack);
        int position = 0;
        gtk_container_child_get(parent, old, "position", &position, nullptr);
        gtk_container_remove(parent, old);
        if (pack == GTK_PACK_START)
            gtk_box_pack_start(GTK_BOX(parent), image, expand, fill, padding);
        else
            gtk_box_pack_end(GTK_BOX(parent), image, expand, fill, padding);
        gtk_box_reorder_child(GTK_BOX(parent), image, position);
    } else {
        gtk_container_remove(parent, old);
        gtk_container_add(parent, image);
    }
    gtk_widget_show_all(btn);
}

GtkWidget* create_pixmap(GtkWidget*, const char* filename)
{
    const std::string path = GladeApp::find_file(filename ? filename : "");
    if (path.empty()) {
        std::cout << "Could not find " << (filename ? filename : "") << std::endl;
        return nullptr;
    }
    // The image holds the picture; nothing else keeps a reference.
    return GTK_WIDGET(g_object_ref_sink(gtk_image_new_from_file(path.c_str())));
}

namespace {

int active_position(GtkMenu* menu)
{
    GtkWidget* active = gtk_menu_get_active(menu);
    if (!active)
        return -1;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    const int position = g_list_index(children, active);
    g_list_free(children);
    return position;
}

} // namespace

int gtk_option_menu_get_history(GtkWidget* option_menu)
{
    g_return_val_if_fail(GTK_IS_OPTION_MENU(option_menu), -1);
    GtkWidget* menu = gtk_option_menu_get_menu(GTK_OPTION_MENU(option_menu));
    return menu ? active_position(GTK_MENU(menu)) : -1;
}

int gtk_menu_get_history(GtkWidget* menu)
{
    g_return_val_if_fail(GTK_IS_MENU(menu), -1);
    return active_position(GTK_MENU(menu));
}
