// GTK helpers of every window: file choosers with filters written as short
// texts, the help viewer, modal prompts, radio-group sensitivity, button
// images and menu positions. GTK main thread only.
#ifndef BRISKO_GUI_GTKUTILS_H
#define BRISKO_GUI_GTKUTILS_H

#include <string>
#include <vector>

#include <gtk/gtk.h>

enum GetFileNameAction { a_OpenFile = 0, a_SaveFile = 1, a_OpenFolder = 2 };

// Modal file chooser; the chosen path, or empty when cancelled. Each filter
// is a name, "|" and patterns separated by "," ("HDF5 Files|*.h5,*.hdf");
// `filters` ends with a null. Saving over an existing file asks first.
std::string get_file_name(const char* title, GetFileNameAction action, const char* init_folder = nullptr,
                          const char* const* filters = nullptr);

// Opens the help folder named by TELLUM_HELPDIR; a message says where the
// manual was looked for when it is unset or cannot be shown. The link id
// does not change what is shown.
void gtk_help_display(const char* link_id);

// Modal prompt for one text; empty when cancelled.
std::string get_a_string(const char* title, const char* prompt);
// Modal prompt with one labelled entry per piece of the prompt between ":"
// or ";". Fills `values` on OK; returns their number (0 when cancelled).
int get_a_string_list(const char* title, const char* prompt, std::vector<std::string>& values);

// A modal dialog with OK and Cancel, and the box its prompts go in
// (`box`); prompt_label puts a label there.
GtkWidget* new_prompt_dialog(const char* title, GtkWidget** box);
void prompt_label(GtkWidget* box, const char* text);

// Runs the dialog modally until a response other than Help: its Help
// button does not end it (and the operator's edits with it).
int run_past_help(GtkWidget* dialog);

// The sensitivity of every button of a radio button's group.
void activate_group(GtkWidget* w, bool sensitive);
// Puts `image` in place of the image inside the button (also one inside
// boxes inside it). The caller keeps its own reference on both images.
void change_button_pixmap(GtkWidget* btn, GtkWidget* image);
// The name screen readers (and window tests) find the widget by, for
// widgets whose face shows no text of their own.
void set_accessible_name(GtkWidget* w, const std::string& name);
// Hides the top-level now and destroys it from the main loop, for a window
// that closes from a handler of one of its own buttons. The toolkit's
// accessibility layer goes on with a button it has clicked once the
// button's handlers have run, and holds no reference of its own: destroyed
// at once, the window would take the button with it.
void destroy_later(GtkWidget* toplevel);
// An image of a picture of the main library's bundle (its name below
// "/org/korvane/Tellum/glade/"), owned by the caller (one reference, not
// floating, shown); null, with *error set to why, when it cannot be read.
GtkWidget* bundle_image(const char* name, std::string* error);
// An image of a file on the interface search path, owned by the caller
// (one reference, not floating); null when the file is not found.
GtkWidget* create_pixmap(GtkWidget* widget, const char* filename);

// Position of the active item of an option menu's menu or of a menu; -1
// when there is none.
int gtk_option_menu_get_history(GtkWidget* option_menu);
int gtk_menu_get_history(GtkWidget* menu);

#endif
