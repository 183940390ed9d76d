// Combo boxes that show one column of texts, whatever model the interface
// description gave them: the dialogs keep module ids and scan names in
// them, and look the objects up by that text when they need them.
#ifndef BRISKO_GUI_TEXTCOMBO_H
#define BRISKO_GUI_TEXTCOMBO_H

#include <string>
#include <vector>

#include <gtk/gtk.h>

// Gives the combo a new model with one row per text (and a text cell when
// it has none), and makes the row equal to `active` the active one; with
// no such row, none is active. Returns the active row's position or -1.
int set_combo_texts(GtkWidget* combo, const std::vector<std::string>& texts,
                    const std::string& active = std::string());
// The text of the active row; empty when none is active.
std::string combo_active_text(GtkWidget* combo);

// The ids of the acquisition modules (those that are a GenModule), in the
// framework manager's order, with the first active.
void set_combo_modules(GtkWidget* combo);

#endif
