// The base through which a module panel opens, feeds and closes the monitor
// window of any module family.
#ifndef BRISKO_GUI_MONITORWINDOW_H
#define BRISKO_GUI_MONITORWINDOW_H

#include <list>

#include <gtk/gtk.h>

class WidgetUpdate;

// Holds the window's top widget (one reference) and the updaters that the
// panel feeds with the module's run-state snapshot once a second. A module
// family's section handler makes one in its `monitor` hook; the panel owns
// it from then on. GTK main thread only.
class MonitorWindow {
public:
    explicit MonitorWindow(GtkWidget* w);
    MonitorWindow(const MonitorWindow&) = delete;
    MonitorWindow& operator=(const MonitorWindow&) = delete;
    // Hides the widget and drops the reference (unless a Python wrapper owns
    // the widget); the updaters live as long as their widgets.
    virtual ~MonitorWindow();

    // The module moved to its own run manager, or back to "main".
    virtual void inLocal() {}
    virtual void inGlobal() {}

    GtkWidget* widget() const { return _widget; }
    std::list<WidgetUpdate*>& updates() { return _updates; }

protected:
    std::list<WidgetUpdate*> _updates;
    GtkWidget* _widget;
};

// Nothing: the program calls gui_force_load at start-up so that the library
// with the monitor windows' widget creators is loaded before any window is
// built.
void load_monitor_window();
void gui_force_load();

#endif
