#include "gui/MessageBox.h"

#include "gui/GtkUtils.h"

namespace {

GtkWidget* new_message(GtkWidget* parent, GtkDialogFlags flags, GtkMessageType type, const std::string& text,
                       GtkButtonsType buttons = GTK_BUTTONS_CLOSE)
{
    GtkWindow* over = parent ? GTK_WINDOW(gtk_widget_get_toplevel(parent)) : nullptr;
    // The text is shown as it is, never read as a format.
    return gtk_message_dialog_new(over, flags, type, buttons, "%s", text.c_str());
}

} // namespace

GtkWidget* show_message(GtkWidget* parent, GtkMessageType type, const std::string& text)
{
    GtkWidget* box = new_message(parent, GTK_DIALOG_DESTROY_WITH_PARENT, type, text);
    // Closed by its own button.
    g_signal_connect(box, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer) { destroy_later(GTK_WIDGET(d)); }),
                     nullptr);
    gtk_widget_show(box);
    return box;
}

void run_message(GtkWidget* parent, GtkMessageType type, const std::string& text, GtkButtonsType buttons)
{
    GtkWidget* box =
        new_message(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type, text, buttons);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}
