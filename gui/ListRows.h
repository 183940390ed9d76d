// Rows of list views that the operator orders by hand (scan variables,
// search paths). GTK main thread only.
#ifndef BRISKO_GUI_LISTROWS_H
#define BRISKO_GUI_LISTROWS_H

#include <string>
#include <vector>

#include <gtk/gtk.h>

// The texts of one column of a model (a list, a combo box's rows), in
// order; an empty text for a row without one.
std::vector<std::string> column_texts(GtkTreeModel* model, int column = 0);

// The selected row of a single-selection view over a list store; false
// without one.
bool selected_row(GtkWidget* view, GtkTreeIter* row);
// Swaps the selected row with the one before (up) or after it, when there
// is one; true when it moved.
bool move_selected_row(GtkWidget* view, bool up);

#endif
