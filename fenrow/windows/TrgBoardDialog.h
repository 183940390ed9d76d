// The settings dialog "TrgBoard" of one trigger board: the logic operation
// (AND, or OR with a majority) and the inputs masked away. It edits the
// board's configuration section; Apply puts the settings into the trigger
// module and sends them to the board.
//
// The dialog holds its section by the id the configuration registers it
// under, never by pointer: a reload of the configuration deletes sections,
// and the dialog then works on the section of that id, or does nothing.
#ifndef BRISKO_FENROW_WINDOWS_TRGBOARDDIALOG_H
#define BRISKO_FENROW_WINDOWS_TRGBOARDDIALOG_H

#include <gtk/gtk.h>

namespace trg_board_dialog {

// A new dialog, shown, for the section registered under the id; it shows
// the module's settings (the section's while no module is attached).
// GTK main thread.
GtkWidget* open(int section_id);

} // namespace trg_board_dialog

#endif
