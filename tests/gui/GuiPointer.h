// Pointer actions beyond the harness's clicks: a drag with a button held, as
// a person selects a range, and a click on a widget the pointer may already
// rest on.
#ifndef BRISKO_TEST_GUI_GUI_POINTER_H
#define BRISKO_TEST_GUI_GUI_POINTER_H

#include <gtk/gtk.h>

namespace guitest {

// The button pressed at (x0, y0) and released at (x1, y1), in screen
// coordinates, the pointer moving in between (real X input).
bool drag(int x0, int y0, int x1, int y1, int button = 1);

// A click near the widget's centre: a pixel beside it when the pointer is
// there already (a move to where the pointer is would never be seen).
bool click_widget(GtkWidget* widget, int button = 1);

} // namespace guitest

#endif
