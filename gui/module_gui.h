// The small panel of one module in the main window: its name, trigger count
// and rate, its configuration dialog, the switch between the global run and
// a run manager of its own, and its monitor window.
#ifndef BRISKO_GUI_MODULE_GUI_H
#define BRISKO_GUI_MODULE_GUI_H

#include <set>
#include <string>

#include "gui/GladeApp.h"
#include "gui/WidgetHolder.h"
#include "gui/WidgetUpdate.h"

class GenModule;
class MonitorWindow;

// Built by the main window from the interface description with the root
// "dsp-frame" (init_application), which the panel detaches from its
// top-level so that the main window can put it in its table. The panel
// holds its own updaters and those of its monitor window, and feeds them the
// module's snapshot (update). GTK main thread only.
//
// The panel keeps the module's id, never the module: every handler looks it
// up and does nothing when it is gone. The configuration dialog and the
// monitor window come from the module's section handler (its `config` and
// `monitor` hooks); the panel owns the monitor window object.
//
// Before the main window deletes its panels it calls close_windows on each
// (the destructor does it too): the monitor window and the configuration
// dialog close and no handler of theirs reaches the panel afterwards.
class module_gui : public GladeApp, public WidgetUpdate, public WidgetHolder {
public:
    explicit module_gui(const std::string& id);
    ~module_gui() override;

    void user_init() override;
    void auto_connect() override;
    // The module's snapshot to the panel's counters and the monitor
    // window's displays. 0.
    int update(Update& u) override;

    // The module's id.
    const std::string& id() const { return module_id; }
    // The module now, or null when the framework holds no GenModule of
    // the id.
    GenModule* get_module() const;
    MonitorWindow* get_monitor() const { return _monitor; }
    GtkWidget* get_config() const { return _config; }

    // Closes the monitor window (deleting it) and destroys the
    // configuration dialog's window, their handlers disconnected first;
    // the monitor toggle goes back to inactive without reopening anything.
    void close_windows();

    static void on_btnConfig(GtkWidget* w, module_gui* panel);
    static void on_swLocal(GtkWidget* w, module_gui* panel);
    static void on_swMonitor(GtkWidget* w, module_gui* panel);
    static void onConfig_destroy(GtkWidget* w, module_gui* panel);
    static void onMonitor_destroy(GtkWidget* w, module_gui* panel);

    // A debugging aid: the widget's class and every property of it, on
    // standard output.
    static void list_w_properties(GtkWidget* w);

private:
    static module_gui* of(gpointer data);
    // Handlers connected as (widget, GladeApp*), the window base's way.
    static void btn_config(GtkWidget* w, gpointer data) { on_btnConfig(w, of(data)); }
    static void sw_local(GtkWidget* w, gpointer data) { on_swLocal(w, of(data)); }
    static void sw_monitor(GtkWidget* w, gpointer data) { on_swMonitor(w, of(data)); }

    void go_local(GenModule* m);
    // False when the module's own run manager is running: it stays local.
    bool go_global(GenModule* m);
    void show_local(bool local);
    // Takes the monitor window's updaters out of the holder (destroying
    // their widgets) and forgets the window's "destroy".
    void drop_monitor_updates();
    void close_monitor();
    void close_config();

    std::string module_id;
    bool has_module = false;
    MonitorWindow* _monitor = nullptr;
    std::set<WidgetUpdate*> monitorUpdates;
    bool ignoreMonBtn = false;
    GtkWidget* _config = nullptr;
    gulong monitor_destroy = 0;
    gulong config_destroy = 0;
};

#endif
