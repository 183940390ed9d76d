#include "fenrow/HistoryPrompt.h"

#include <gtk/gtk.h>

std::string get_a_string_with_history(const std::string& title, const std::string& label,
                                      std::vector<std::string>& history)
{
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title.c_str(), nullptr, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), GTK_STOCK_OK,
        GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, nullptr);
    GtkWidget* box = gtk_vbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(box), 5);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), box, FALSE, FALSE, 0);
    GtkWidget* text = gtk_label_new(label.c_str());
    gtk_misc_set_alignment(GTK_MISC(text), 0.0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), text, FALSE, FALSE, 0);
    GtkWidget* combo = gtk_combo_box_entry_new_text();
    for (const std::string& line : history)
        gtk_combo_box_prepend_text(GTK_COMBO_BOX(combo), line.c_str());
    gtk_box_pack_start(GTK_BOX(box), combo, FALSE, FALSE, 0);
    gtk_widget_show_all(dialog);

    std::string result;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        result = gtk_entry_get_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(combo))));
        history.push_back(result);
    }
    gtk_widget_hide(dialog);
    gtk_widget_destroy(dialog);
    return result;
}
