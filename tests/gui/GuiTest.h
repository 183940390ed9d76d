// Window tests as a person uses the windows: real X input through xdotool,
// a window manager's close, screenshots. Every test case runs on an X server
// of its own (own_display.sh), so windows open at the screen's origin and
// nothing else takes the focus or the pointer. A GLib critical during a case
// fails it, unless the case catches it on purpose (GlibLog.h).
#ifndef BRISKO_TEST_GUI_GUI_TEST_H
#define BRISKO_TEST_GUI_GUI_TEST_H

#include <functional>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <gtest/gtest.h>

namespace guitest {

// GTK initialised on the display; false without one.
bool display_ok();

// Handles what is pending in the GTK main loop.
void pump();
// Keeps the main loop running for that long.
void pump_for(int ms);
// Keeps the main loop running until cond holds or the time has passed.
bool pump_until(const std::function<bool()>& cond, double seconds);

// Runs a program from an argument list (no shell) while the main loop keeps
// running, so that the windows it acts on stay alive. Returns its exit
// status, or -1 when it could not start or did not end in time (it is then
// killed). Its standard output goes to *out when given.
int run_pumping(const std::vector<std::string>& argv, double timeout = 10, std::string* out = nullptr);

// Shows the window and waits until it is mapped and drawn.
void show_and_wait(GtkWidget* toplevel);

// The widget's rectangle in screen coordinates.
GdkRectangle screen_rect(GtkWidget* widget);
unsigned long xid(GtkWidget* toplevel);

// Pointer to the widget's centre (or a point), then a click of the button.
bool click(GtkWidget* widget, int button = 1);
bool click_at(int x, int y, int button = 1);
// The button pressed at (x0, y0) and released at (x1, y1), in screen
// coordinates, the pointer moving in between.
bool drag(int x0, int y0, int x1, int y1, int button = 1);
// The X input focus to the widget's window (there is no window manager to
// give it), then keys as typed.
bool focus(GtkWidget* widget);
bool type_text(GtkWidget* widget, const std::string& text);
// A key by its name, such as "Tab", "Return" or "ctrl+a".
bool key(GtkWidget* widget, const std::string& keys);

// Loads the toolkit's accessibility layer (once): widgets made from then on
// can be clicked as a screen reader clicks them.
void load_accessibility();
// The button clicked as a screen reader clicks it, through that layer,
// which goes on using the button after its handlers have run. False when
// the button has no action there (it was made before the layer came).
bool click_for_screen_reader(GtkWidget* button);

// WM_DELETE_WINDOW to the window, as a window manager sends it when its
// close button is pressed.
void wm_delete(unsigned long window);
void wm_delete(GtkWidget* toplevel);

// The window as the X server shows it (import -window); null on failure.
// The caller unrefs the picture.
GdkPixbuf* screenshot(GtkWidget* toplevel);
// Number of distinct colours of a picture.
int count_colours(GdkPixbuf* picture);

// The toolkit's file chooser leaks a little when it writes its settings
// file for the first time: the private home gets one beforehand.
void give_chooser_settings();

} // namespace guitest

// Fixture of window tests: skips without a display and handles the main
// loop's pending work at the end of every case.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!guitest::display_ok())
            GTEST_SKIP() << "no display: window tests run on their own X server";
    }
    void TearDown() override
    {
        if (guitest::display_ok())
            guitest::pump();
    }
};

#endif
