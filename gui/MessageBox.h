// Messages of the windows to the operator. GTK main thread
// only.
#ifndef BRISKO_GUI_MESSAGEBOX_H
#define BRISKO_GUI_MESSAGEBOX_H

#include <string>

#include <gtk/gtk.h>

// A message window with a Close button over the parent (which may be null);
// it goes when closed. Returns at once.
GtkWidget* show_message(GtkWidget* parent, GtkMessageType type, const std::string& text);
// The same, modal, with a Close or another button: returns once the
// operator has closed it.
void run_message(GtkWidget* parent, GtkMessageType type, const std::string& text,
                 GtkButtonsType buttons = GTK_BUTTONS_CLOSE);

#endif
