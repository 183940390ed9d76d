#include "fenrow/windows/HistoryPrompt.h"

#include <gtk/gtk.h>

#include "gui/GtkUtils.h"

std::string get_a_string_with_history(const std::string& title, const std::string& label,
                                      std::vector<std::string>& history)
{
    GtkWidget* box = nullptr;
    GtkWidget* dialog = new_prompt_dialog(title.c_str(), &box);
    prompt_label(box, label.c_str());
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
