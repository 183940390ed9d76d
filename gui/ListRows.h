// Rows of list views that the operator orders by hand (scan variables,
// search paths). GTK main thread only.
#ifndef BRISKO_GUI_LISTROWS_H
#define BRISKO_GUI_LISTROWS_H

#include <gtk/gtk.h>

// The selected row of a single-selection view over a list store; false
// without one.
bool selected_row(GtkWidget* view, GtkTreeIter* row);
// Swaps the selected row with the one before (up) or after it, when there
// is one; true when it moved.
bool move_selected_row(GtkWidget* view, bool up);

#endif
