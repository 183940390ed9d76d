// The operator's window: run control and run length, trigger type, poll or
// interrupt readout, data logging, monitoring, scans and pedestal runs,
// counters and gauges, the module panels and the log view, refreshed once a
// second, with the menus of the configuration, the dialogs and the help.
#ifndef BRISKO_GUI_MAINWINDOW_H
#define BRISKO_GUI_MAINWINDOW_H

#include <functional>
#include <string>
#include <vector>

#include "daq/Scan.h"
#include "gui/GladeApp.h"
#include "daq/MainWindowView.h"
#include "gui/RunStateChanged.h"
#include "gui/WidgetHolder.h"

class GtkStreamViewer;
class TellumRunManager;
class module_gui;

// Built once by the program on the GTK main thread and used there only. The
// acquisition controller and the framework's threads reach it through idle
// records that carry its window id (RunStateChanged, the controller's
// module list), never through a pointer to it.
//
// The run manager "main" is looked up by its id whenever a control is used
// or the refresh runs: the window keeps no pointer to it, since a
// configuration load, a plug-in reload, a trigger-type change, a scan or a
// pedestal run replaces it.
class MainWindow : public GladeApp, public WidgetHolder, public MainWindowView {
public:
    MainWindow();
    ~MainWindow() override;

    void user_init() override;
    void auto_connect() override;
    void set_handlers() override;
    void process_text(const char* name, GtkWidget* widget) override;

    // The log stream shown in the log view; the window owns it from now on.
    void set_viewer(GtkStreamViewer* viewer);

    // The controller's calls; from another thread they are posted to the
    // GTK main thread with the ids by value.
    void set_module_list(std::vector<std::string> ids) override;
    void clear_modules() override;
    // Through the run-menu registry, so from any thread.
    void update_run_menu(const std::string& id, Ostrel::RunState::StatusType state) override;

    // After the acquisition was set up anew (at start, after a
    // configuration load, after a plug-in reload): the run manager "main"
    // follows every control again and the window observes its run state.
    void acquisition_set_up() override;

    // Replaces "main" by a run manager of the chosen trigger type that
    // follows every control, and logs where the old one was to log;
    // `set_up` gives it what its kind needs before anyone sees it. Null,
    // with "main" left as it was and a log line, when none of that type can
    // be made.
    TellumRunManager* CreateRunManager(const std::function<void(TellumRunManager*)>& set_up = {});
    // "doInterrupts" of "main": the flag, or without one whether the
    // interrupt readout is selected.
    void check_for_interrupts(const bool* flag = nullptr);
    // The run length entry to "main": events, or seconds. What does not
    // parse, and what is not positive, is no limit.
    void change_run_duration();
    // Sensitivity of every run setting: off while a run starts and runs.
    void set_active_widgets(bool sensitive);
    // The run state of "main", on the GTK main thread.
    void update_state(Ostrel::RunState::StatusType status);

    // Status refresh and main loop.
    void run();
    void start_timer() override;
    void stop_timer() override;
    bool timer_running() const { return update_tmout >= 0; }
    void load_new_configuration(const std::string& file);
    static gboolean onUpdate(gpointer window);
    // The process's size as "<n> kb", "<n> Mb" or "<n> Gb"; empty when it
    // cannot be read.
    static std::string get_proc_mem();
    static std::string format_memory(unsigned long long kilobytes);
    // What the scan label shows of a scan point.
    static std::string scan_text(const ScanPoint& point);
    // The log levels that the filter's check buttons (Fatal, Error,
    // Critical, Warning, Message, Info, Debug) let through.
    static unsigned short filter_mask(const bool active[7]);

    // The window's ids of the module panels, in order.
    const std::vector<std::string>& get_module_list() const { return module_list; }
    const std::vector<module_gui*>& get_panels() const { return module_ptr; }
    const std::string& trigger_type() const { return trg_type; }
    bool pedestal_running() const { return pedestal_timer != 0; }

    // Handlers, connected with the window as their data.
    static void onMonitor(GtkWidget* w, gpointer self);
    static void onTrgType(GtkWidget* w, gpointer self);
    static void onInterrupt(GtkWidget* w, gpointer self);
    static void onScan(GtkWidget* w, gpointer self);
    static void onPedestal(GtkWidget* w, gpointer self);
    static void onLogData(GtkWidget* w, gpointer self);
    static void on_count_events(GtkWidget* w, gpointer self);
    // The window's close and the menu's quit: the main loop ends, and the
    // window stays until the program has shut the acquisition down.
    static gboolean onQuit(GtkWidget* w, gpointer);
    static void onLoadConfig(GtkWidget* w, gpointer self);
    static void onSaveConfig(GtkWidget* w, gpointer self);
    static void onSaveAsConfig(GtkWidget* w, gpointer self);
    static void onPreferences(GtkWidget* w, gpointer self);
    static void onLoadPedestals(GtkWidget* w, gpointer self);
    static void onSavePedestals(GtkWidget* w, gpointer self);
    static void onFilterMessages(GtkWidget* w, gpointer self);
    static void onAbout(GtkWidget* w, gpointer self);
    static void onManual(GtkWidget* w, gpointer self);
    static void onCheckForUpdate(GtkWidget* w, gpointer self);
    static void on_plugins_activate(GtkWidget* w, gpointer self);

    // Custom widgets of the window.
    static GtkWidget* create_gauge_rate(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_gauge_eff(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_memory_monitor(GladeApp*, const char*, const char*, const char*, int, int);

private:
    static MainWindow* of(gpointer self);
    // Everything a new "main" takes from the window.
    void apply_controls(TellumRunManager* rm);
    // A run of it starts, goes, pauses or stops.
    static bool run_going(TellumRunManager* rm);
    // The logging switch and label say what "main" does.
    void show_logging(TellumRunManager* rm);
    void interrupts_selected(bool enabled);
    void rebuild_panels();
    void drop_panels();
    void refresh();
    void refresh_run_mode();
    void start_logging();
    void end_pedestal_run();
    // The sample size the pedestal run was lent goes back to the general
    // section.
    void give_back_sample_size();
    static gboolean pedestal_poll(gpointer self);
    static gboolean fix_size(gpointer self);
    // Minimum size, and largest width, of the window.
    void set_size_limits(int width, int height);
    void grow_to_fit();
    void save_config(const char* title);
    void open_pedestals(bool for_read);

    std::vector<std::string> module_list;
    std::vector<module_gui*> module_ptr;
    bool do_pedestal_update = true;
    bool doScan = false;
    int nScan = 100;
    ScanPoint scpoint;
    RunStateChanged<MainWindow> state;
    int update_tmout = -1;
    std::string trg_type = "data";
    unsigned nrun = 0;
    GtkStreamViewer* viewer = nullptr;

    // The pedestal run in progress: its poll of "main", and what it puts
    // back at its end.
    guint pedestal_timer = 0;
    int saved_min_sample = 0;
    unsigned long saved_max_events = 0;
    bool restore_interrupts = false;
    guint size_timer = 0;
    bool size_fixed = false;
};

#endif
