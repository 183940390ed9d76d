#include "gui/MainWindow.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>

#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PathConfig.h"
#include "config/PluginParser.h"
#include "config/ScanConfig.h"
#include "daq/DAQcontroller.h"
#include "daq/GuiThread.h"
#include "daq/IdleCall.h"
#include "daq/RunManagers.h"
#include "daq/RunSettings.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "gui/DefaultMonitorGUI.h"
#include "gui/GtkStreamViewer.h"
#include "gui/GtkUtils.h"
#include "gui/MessageBox.h"
#include "gui/RunMenu.h"
#include "gui/UpdateGaugeEff.h"
#include "gui/UpdateGaugeRate.h"
#include "gui/UpdateLabelNtrig.h"
#include "gui/UpdateLabelTime.h"
#include "gui/UpdateThroughPut.h"
#include "gui/dialogs/ScanDialog.h"
#include "gui/module_gui.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_gauge.h"
#include "plenwig/hst_tracer.h"

namespace {

TellumRunManager* main_rm()
{
    return DAQcontroller::instance()->get_run_manager();
}

void log_line(int level, const std::string& text)
{
    Ostrel::ostream log;
    log << Ostrel::loglevel(level) << text << std::endl;
}

// A picture of the bundle in a referenced image; null, with the reason on
// the log, when it cannot be read.
GtkWidget* bundle_image(const char* name)
{
    std::string error;
    GtkWidget* image = ::bundle_image(name, &error);
    if (!image)
        log_line(Ostrel::LOG_INFO, error);
    return image;
}

const int panel_columns = 4;

} // namespace

MainWindow::MainWindow() : state(window_id())
{
    if (auto* io = ConfigParser::section<IOConfig>("IO"))
        nrun = static_cast<unsigned>(io->get_run_number());
    if (auto* scans = ConfigParser::section<ScanConfig>("scans")) {
        nScan = scans->get_nevts();
        // Scan points are kept in name order: the first is the default.
        const ScanList& list = scans->get_scan_list();
        if (list.begin() != list.end())
            scpoint = list.begin()->second;
    }
}

MainWindow::~MainWindow()
{
    stop_timer();
    if (pedestal_timer)
        g_source_remove(pedestal_timer);
    if (size_timer)
        g_source_remove(size_timer);
    if (DAQcontroller::instance()->get_main_window() == this)
        DAQcontroller::instance()->set_main_window(nullptr);
    drop_panels();
    // The log lines go on to the terminal only once the view is gone.
    if (viewer)
        viewer->set_text_view(nullptr);
    delete viewer;
}

MainWindow* MainWindow::of(gpointer self)
{
    return static_cast<MainWindow*>(static_cast<GladeApp*>(self));
}

void MainWindow::set_viewer(GtkStreamViewer* v)
{
    viewer = v;
}

void MainWindow::auto_connect()
{
    connect["onQuit"] = G_CALLBACK(&MainWindow::onQuit);
    connect["onLoadConfig"] = G_CALLBACK(&MainWindow::onLoadConfig);
    connect["onSaveConfig"] = G_CALLBACK(&MainWindow::onSaveConfig);
    connect["onSaveAsConfig"] = G_CALLBACK(&MainWindow::onSaveAsConfig);
    connect["onPreferences"] = G_CALLBACK(&MainWindow::onPreferences);
    connect["onLoadPedestals"] = G_CALLBACK(&MainWindow::onLoadPedestals);
    connect["onSavePedestals"] = G_CALLBACK(&MainWindow::onSavePedestals);
    connect["onFilterMessages"] = G_CALLBACK(&MainWindow::onFilterMessages);
    connect["onAbout"] = G_CALLBACK(&MainWindow::onAbout);
    connect["onManual"] = G_CALLBACK(&MainWindow::onManual);
    connect["onCheckForUpdate"] = G_CALLBACK(&MainWindow::onCheckForUpdate);
    connect["on_plugins_activate"] = G_CALLBACK(&MainWindow::on_plugins_activate);
    connect["onMonitor"] = G_CALLBACK(&MainWindow::onMonitor);
    connect["onTrgType"] = G_CALLBACK(&MainWindow::onTrgType);
    connect["onInterrupt"] = G_CALLBACK(&MainWindow::onInterrupt);
    connect["onScan"] = G_CALLBACK(&MainWindow::onScan);
    connect["onPedestal"] = G_CALLBACK(&MainWindow::onPedestal);
    connect["onLogData"] = G_CALLBACK(&MainWindow::onLogData);
    connect["on_count_events"] = G_CALLBACK(&MainWindow::on_count_events);
}

void MainWindow::set_handlers()
{
    handlers["create_gauge_rate"] = &MainWindow::create_gauge_rate;
    handlers["create_gauge_eff"] = &MainWindow::create_gauge_eff;
    handlers["create_memory_monitor"] = &MainWindow::create_memory_monitor;
}

// ---- custom widgets --------------------------------------------------------

GtkWidget* MainWindow::create_gauge_rate(GladeApp*, const char*, const char*, const char*, int, int)
{
    GtkWidget* gauge = hst_gauge_new(0, 10000);
    hst_gauge_set_color(HST_GAUGE(gauge), "#3BB273");
    hst_gauge_set_title(HST_GAUGE(gauge), "Rate (Hz)");
    g_object_set(gauge, "depth", 64, nullptr);
    return gauge;
}

GtkWidget* MainWindow::create_gauge_eff(GladeApp*, const char*, const char*, const char*, int, int)
{
    GtkWidget* gauge = hst_gauge_new(0, 100);
    hst_gauge_set_color(HST_GAUGE(gauge), "#E15554");
    hst_gauge_set_title(HST_GAUGE(gauge), "Efficiency");
    return gauge;
}

GtkWidget* MainWindow::create_memory_monitor(GladeApp*, const char*, const char*, const char*, int, int)
{
    HstTracer* tracer = hst_tracer_new(50);
    GtkWidget* chart = hst_chart1d_new(HST_FUNCTION(tracer));
    HstChart1D* h = HST_CHART1D(chart);
    hst_chart1d_draw_x_axis(h, HST_AXIS_NONE);
    hst_chart1d_draw_y_axis(h, HST_AXIS_MIDDLE);
    DefaultMonitorGUI::set_tracer_colors(chart);
    hst_chart1d_sync_range(h, TRUE);
    hst_chart1d_monitor_start(h, 1000);
    // The throughput updater fills the tracer it finds here.
    g_object_set_data_full(G_OBJECT(chart), "hst", tracer, g_object_unref);
    return chart;
}

// ---- construction ----------------------------------------------------------

void MainWindow::user_init()
{
    if (GtkWidget* log = get_widget("scrolledwindow"))
        gtk_widget_set_size_request(log, -1, 10 * 12);
    if (viewer)
        if (GtkWidget* view = get_widget("txtMessageLog"))
            viewer->set_text_view(GTK_TEXT_VIEW(view));
    if (GtkWidget* label = get_widget("lblDataFile"))
        gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_MIDDLE);
    // A scan point of many variables wraps onto more lines in a width of
    // its own: the frames beside the Status frame keep theirs.
    if (GtkWidget* label = get_widget("lblScanInfo")) {
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
        gtk_label_set_width_chars(GTK_LABEL(label), 16);
        gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_RIGHT);
    }

    if (GtkWidget* button = get_widget("toggleMonitor")) {
        if (GtkWidget* yes = bundle_image("monitor.png"))
            g_object_set_data_full(G_OBJECT(button), "monitor_yes", yes, g_object_unref);
        if (GtkWidget* no = bundle_image("no_monitor.png"))
            g_object_set_data_full(G_OBJECT(button), "monitor_no", no, g_object_unref);
        const bool on = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button));
        change_button_pixmap(button,
                             static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(button), on ? "monitor_yes" : "monitor_no")));
    }

    RunMenu::new_menu(Ostrel::DAQid("main"), get_widget("btnRunControl"), Ostrel::RunState::NotReady);

    // Each updater lives as long as its widget.
    if (GtkWidget* w = get_widget("lblRunDuration"))
        addUpdate(new UpdateLabelTime(w));
    if (GtkWidget* w = get_widget("lblNtrigger"))
        addUpdate(new UpdateLabelNtrig(w));
    if (GtkWidget* w = get_widget("gauge_rate"))
        addUpdate(new UpdateGaugeRate(w));
    if (GtkWidget* w = get_widget("gauge_eff"))
        addUpdate(new UpdateGaugeEff(w));
    if (GtkWidget* w = get_widget("memory-monitor"))
        addUpdate(new UpdateThroughPut(w));

    // "main" as the controls say.
    acquisition_set_up();
    start_timer();

    if (GTK_IS_WINDOW(window)) {
        gtk_window_set_title(GTK_WINDOW(window), "KorvaneTellum");
        gtk_window_set_resizable(GTK_WINDOW(window), TRUE);
        size_timer = g_timeout_add(1000, &MainWindow::fix_size, this);
    }
}

gboolean MainWindow::fix_size(gpointer self)
{
    MainWindow* w = of(self);
    w->size_timer = 0;
    GtkWidget* top = w->window;
    if (GTK_IS_WINDOW(top) && gtk_widget_get_realized(top)) {
        int width = 0;
        int height = 0;
        gtk_window_get_size(GTK_WINDOW(top), &width, &height);
        w->set_size_limits(width, height);
    }
    return G_SOURCE_REMOVE;
}

void MainWindow::set_size_limits(int width, int height)
{
    GdkGeometry geometry{};
    geometry.min_width = width;
    geometry.min_height = height;
    geometry.max_width = width;
    geometry.max_height = gdk_screen_get_height(gtk_window_get_screen(GTK_WINDOW(window)));
    gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &geometry,
                                  GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
    size_fixed = true;
}

void MainWindow::grow_to_fit()
{
    // Once its size is fixed the window keeps it, and what came later (a
    // panel of a board defined or of a configuration loaded) would get
    // what is left: it grows to show that whole.
    if (!size_fixed || !GTK_IS_WINDOW(window))
        return;
    GtkRequisition need{};
    gtk_widget_size_request(window, &need);
    int width = 0;
    int height = 0;
    gtk_window_get_size(GTK_WINDOW(window), &width, &height);
    if (need.width <= width && need.height <= height)
        return;
    const int screen = gdk_screen_get_height(gtk_window_get_screen(GTK_WINDOW(window)));
    width = std::max(width, need.width);
    height = std::min(std::max(height, need.height), screen);
    set_size_limits(width, height);
    gtk_window_resize(GTK_WINDOW(window), width, height);
}

void MainWindow::process_text(const char* name, GtkWidget*)
{
    if (std::string(name) == "txtNoOfEvents")
        change_run_duration();
}

// ---- run state -------------------------------------------------------------

void MainWindow::update_state(Ostrel::RunState::StatusType status)
{
    if (status == Ostrel::RunState::Ready) {
        set_active_widgets(true);
        // A run that ended between two refreshes shows its last figures now.
        refresh();
    } else if (status == Ostrel::RunState::Starting) {
        TellumRunManager* rm = main_rm();
        if (rm && !rm->get_logger())
            set_text("lblDataFile", "Not Logging");
        set_active_widgets(false);
    }
    if (RunMenu* menu = RunMenu::find("main"))
        menu->update(RunMenu::translate(status));
}

void MainWindow::set_active_widgets(bool sensitive)
{
    for (const char* id : {"open_config", "txtNoOfEvents", "swLogData", "btnScan"})
        if (GtkWidget* w = get_widget(id))
            gtk_widget_set_sensitive(w, sensitive);
    // The pedestal run keeps its button off until it has ended.
    if (GtkWidget* w = get_widget("btnPedestal"))
        gtk_widget_set_sensitive(w, sensitive && !pedestal_timer);
    for (const char* id : {"btnEvts", "btnTime", "swTriggerType", "swInterrupt"})
        if (GtkWidget* w = get_widget(id))
            activate_group(w, sensitive);
    for (module_gui* panel : module_ptr)
        if (GtkWidget* w = panel->get_widget("swLocal"))
            gtk_widget_set_sensitive(w, sensitive);
}

// ---- the run manager "main" -------------------------------------------------

void MainWindow::acquisition_set_up()
{
    TellumRunManager* rm = main_rm();
    if (!rm)
        return;
    // The interrupt hooks belong to the plug-in section, which a new
    // configuration replaces: they are enabled again when selected.
    if (!btn_active("swInterrupt"))
        interrupts_selected(true);
    // A trigger type other than the default needs a run manager of its own
    // kind; CreateRunManager applies the controls to it.
    if (trg_type != "data" && CreateRunManager())
        return;
    apply_controls(rm);
}

void MainWindow::apply_controls(TellumRunManager* rm)
{
    rm->get_status().addObserver(&state);
    onMonitor(get_widget("toggleMonitor"), static_cast<GladeApp*>(this));
    check_for_interrupts();
    change_run_duration();
    show_logging(rm);
    set_active_widgets(!run_going(rm));
    if (RunMenu* menu = RunMenu::find("main"))
        menu->update(RunMenu::translate(rm->get_status().get_status()));
}

bool MainWindow::run_going(TellumRunManager* rm)
{
    const Ostrel::RunState::StatusType status = rm->get_status().get_status();
    return status == Ostrel::RunState::Starting || status == Ostrel::RunState::Running ||
           status == Ostrel::RunState::Paused || status == Ostrel::RunState::Stopping;
}

TellumRunManager* MainWindow::CreateRunManager(const std::function<void(TellumRunManager*)>& set_up)
{
    log_line(Ostrel::LOG_INFO, "Creating a " + trg_type + " RunManager");
    std::string logged;
    double fraction = 0;
    if (TellumRunManager* old = main_rm())
        old->peek_log_file(logged, fraction);
    TellumRunManager* rm = TellumRunManager::create_run_manager(trg_type, "main", set_up);
    if (rm && !logged.empty() && !rm->get_logger())
        show_message(window, GTK_MESSAGE_ERROR,
                     "The next run is not logged: the run file " + logged +
                         " could not be opened again for the new run manager. The log says why.");
    if (!rm) {
        log_line(Ostrel::LOG_ERROR, "Could not create a " + trg_type + " RunManager: main stays as it was");
        return nullptr;
    }
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    log_line(Ostrel::LOG_INFO, "...done");
    log_line(Ostrel::LOG_INFO, "Active RMs: " + std::to_string(mgr->countActiveRunManager()));
    log_line(Ostrel::LOG_INFO, std::string("is  active ? ") + (rm->isActive() ? "yes" : "no"));
    log_line(Ostrel::LOG_INFO, "Registering to the new RunState");
    apply_controls(rm);
    return rm;
}

void MainWindow::check_for_interrupts(const bool* flag)
{
    bool value = false;
    if (flag) {
        value = *flag;
    } else if (GtkWidget* poll = get_widget("swInterrupt")) {
        value = !gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(poll));
    }
    TellumRunManager* rm = main_rm();
    if (!rm)
        return;
    if (rm->has_par("doInterrupts"))
        rm->set_par<bool>("doInterrupts", value, true);
    else
        rm->add_par("doInterrupts", new Ostrel::Par<bool>(value));
}

void MainWindow::change_run_duration()
{
    TellumRunManager* rm = main_rm();
    if (!rm)
        return;
    const std::string text = get_text("txtNoOfEvents");
    // The run ends by the unit chosen only: a limit in the other one,
    // entered before, is dropped.
    if (btn_active("btnEvts")) {
        // What does not parse, and what is not positive, runs without end.
        const int events = get_int(text.c_str(), -1);
        rm->set_max_events(events > 0 ? static_cast<unsigned long>(events) : 0);
        rm->set_run_duration(0);
    } else {
        const double seconds = get_double(text.c_str(), 0);
        rm->set_run_duration(std::isfinite(seconds) && seconds > 0 ? seconds : 0);
        rm->set_max_events(0);
    }
}

void MainWindow::on_count_events(GtkWidget*, gpointer self)
{
    of(self)->change_run_duration();
}

void MainWindow::onTrgType(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    const std::string type = w->btn_active("swTriggerType") ? "data" : "int_trg";
    const std::string previous = w->trg_type;
    w->trg_type = type;
    if (!w->CreateRunManager())
        w->trg_type = previous;
}

void MainWindow::interrupts_selected(bool enabled)
{
    if (enabled) {
        PluginParser* plugins = ConfigParser::section<PluginParser>("plugins");
        std::string why;
        if (!plugins || !plugins->has_interrupt_hook())
            why = "no interrupt hook is configured (Plug-ins..., interrupt enable)";
        else if (const int rc = plugins->enable_interrupts())
            why = "the interrupt enable hook failed (it gave " + std::to_string(rc) + ")";
        if (!why.empty()) {
            enabled = false;
            // The switch says what the run does: it polls.
            activate_button("swInterrupt", true);
            const std::string text = "Interrupts are not enabled: " + why + ". The runs poll.";
            log_line(Ostrel::LOG_WARNING, text);
            show_message(window, GTK_MESSAGE_WARNING, text);
        }
    } else if (PluginParser* plugins = ConfigParser::section<PluginParser>("plugins")) {
        plugins->disable_interrupts();
    }
    log_line(Ostrel::LOG_INFO, std::string("Interrupts enabled: ") + (enabled ? "1" : "0"));
    check_for_interrupts(&enabled);
}

void MainWindow::onInterrupt(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    w->interrupts_selected(!w->btn_active("swInterrupt"));
}

void MainWindow::onMonitor(GtkWidget* button, gpointer)
{
    if (!button)
        return;
    const bool on = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button));
    if (TellumRunManager* rm = main_rm()) {
        if (on) {
            if (!rm->get_monitor()) {
                rm->new_monitor();
                rm->start_monitor();
            }
        } else if (rm->get_monitor()) {
            log_line(Ostrel::LOG_INFO, "...1) Stopping current monitor...");
            rm->stop_monitor();
            log_line(Ostrel::LOG_INFO, "...2) deleting current monitor");
            rm->set_monitor(nullptr);
            log_line(Ostrel::LOG_INFO, "...-- done");
        }
    }
    change_button_pixmap(button, static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(button), on ? "monitor_yes" : "monitor_no")));
}

// ---- data logging ----------------------------------------------------------

void MainWindow::onLogData(GtkWidget* button, gpointer self)
{
    MainWindow* w = of(self);
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button))) {
        w->start_logging();
        return;
    }
    w->set_text("lblDataFile", "Not logging");
    if (TellumRunManager* rm = main_rm())
        rm->stop_logging();
}

void MainWindow::start_logging()
{
    // The refresh would otherwise find no logger yet and switch logging
    // off while the chooser is open.
    const bool ticking = timer_running();
    stop_timer();
    static const char* const filters[] = {"HDF5 Files|*.h5,*.hdf,*.hdf5", "All|*", nullptr};
    const std::string file =
        ::get_file_name("Output Data File", a_SaveFile, PathConfig::get_default_data_dir().c_str(), filters);
    if (ticking)
        start_timer();

    std::string label;
    TellumRunManager* rm = main_rm();
    if (rm && !file.empty()) {
        auto* io = ConfigParser::section<IOConfig>("IO");
        const unsigned next = nrun + 1;
        if (io)
            io->set_run_number(static_cast<int>(next));
        rm->set_run_number(io ? io->get_run_number() : static_cast<int>(next));
        log_line(Ostrel::LOG_INFO, "Adding a data logger to " + rm->get_id().str());
        const bool compress = io ? io->get_compression() : RunSettings::current().compression();
        const unsigned long max_size = RunSettings::current().max_size();
        if (rm->log_data(file.c_str(), compress, max_size)) {
            nrun = next;
            double fraction = 0;
            rm->peek_log_file(label, fraction);
        } else {
            // The run number is counted only for a file that was opened.
            if (io)
                io->set_run_number(static_cast<int>(nrun));
            rm->set_run_number(static_cast<int>(nrun));
            show_message(window, GTK_MESSAGE_ERROR, "Cannot write the run file " + file + ": the log says why.");
        }
    }
    // Without a file the next refresh switches logging off again.
    set_text("lblDataFile", label);
}

void MainWindow::show_logging(TellumRunManager* rm)
{
    std::string name;
    double fraction = 0;
    const int logging = rm ? rm->peek_log_file(name, fraction) : 0;
    if (logging < 0)
        return;
    if (logging > 0) {
        // Logging switched on elsewhere (a remote client) shows here too.
        if (!btn_active("swLogData"))
            activate_button("swLogData", true);
        set_text("lblDataFile", name);
        if (GtkWidget* label = get_widget("lblDataFile"))
            gtk_widget_set_tooltip_text(label, name.c_str());
        if (GtkWidget* bar = get_widget("progressbar"))
            gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
    } else if (btn_active("swLogData")) {
        // The handler says "Not logging".
        if (GtkWidget* sw = get_widget("swLogData"))
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sw), FALSE);
    }
}

// ---- scans -----------------------------------------------------------------

void MainWindow::onScan(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    auto* scans = ConfigParser::section<ScanConfig>("scans");
    if (!scans) {
        log_line(Ostrel::LOG_ERROR, "No scans section: scans cannot be defined");
        return;
    }
    ScanDialog d(w->nScan, scans->get_scan_list());
    d.scan(w->doScan);
    if (!w->scpoint.get_name().empty()) {
        d.set_scan_point(w->scpoint.get_name());
        d.delay(scans->delay());
        d.burst(scans->burst());
        d.is_time(scans->is_time());
        d.rate(scans->rate());
    }
    if (w->init_application(&d, "ScanDialog") != 0 || !GTK_IS_DIALOG(d.get_main_window()))
        return;
    if (run_past_help(d.get_main_window()) != GTK_RESPONSE_OK)
        return;
    if (d.get_n_var() == 0) {
        run_message(w->window, GTK_MESSAGE_ERROR, "No variables defined in the scan. Falling back to default run type.",
                    GTK_BUTTONS_OK);
        return;
    }
    d.copy_scan_point(w->scpoint);
    ScanList list;
    d.copy_scan_list(list);
    scans->set_scan_list(list);
    w->doScan = d.scan();
    w->nScan = d.get_nevts();
    scans->burst(d.burst());
    scans->is_time(d.is_time());
    scans->delay(d.delay());
    scans->rate(d.rate());

    if (!w->doScan) {
        w->CreateRunManager();
        return;
    }
    const std::string previous = w->trg_type;
    w->trg_type = "scan";
    // The scan is set before the run file is opened again: the file holds
    // its definition from the start.
    TellumRunManager* rm = w->CreateRunManager([w, scans](TellumRunManager* made) {
        auto* scan = dynamic_cast<ScanRunManager*>(made);
        if (!scan)
            return;
        scan->set_scan_list(w->nScan, w->scpoint());
        scan->delay(scans->delay());
        scan->burst(scans->burst());
        scan->rate(scans->rate());
        scan->is_time(scans->is_time());
    });
    w->trg_type = previous;
    if (rm && !dynamic_cast<ScanRunManager*>(rm))
        log_line(Ostrel::LOG_ERROR, "The run manager main is no scan run manager: no scan is set");
}

// ---- pedestal run ----------------------------------------------------------
//
// The run goes in the framework's run thread; the window polls "main" every
// half second from the main loop until the run has ended, so nothing but
// the GTK main thread replaces "main" or touches the controls, and nothing
// is left to join when the program ends.

void MainWindow::onPedestal(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    if (w->pedestal_timer)
        return;
    auto* general = ConfigParser::section<GeneralConfig>("general");
    w->saved_min_sample = general ? general->get_ped_min_sample() : 0;
    w->restore_interrupts = false;
    if (!w->btn_active("swInterrupt")) {
        log_line(Ostrel::LOG_ERROR,
                 "...found that we are running with interrupt trigger\n...changing to Poll trigger. It will be restored at the end.");
        if (GtkWidget* poll = w->get_widget("swInterrupt"))
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(poll), TRUE);
        w->restore_interrupts = true;
    }
    TellumRunManager* old = main_rm();
    TellumRunManager* rm = nullptr;
    if (!old) {
        log_line(Ostrel::LOG_ERROR, "*************************\n* Non existing main RunManager.\n* This should not happen.\n**************************");
    } else {
        w->saved_max_events = old->get_max_events();
        rm = TellumRunManager::create_run_manager("pedestal", "main");
        if (!rm)
            log_line(Ostrel::LOG_ERROR, "Could not create a pedestal RunManager: no pedestal run");
    }
    if (!rm) {
        if (w->restore_interrupts)
            if (GtkWidget* irq = w->get_widget("swInterruptInt"))
                gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(irq), TRUE);
        w->restore_interrupts = false;
        return;
    }
    rm->get_status().addObserver(&w->state);
    const int nevts = general ? general->get_ped_nevts() : 0;
    rm->set_max_events(nevts > 0 ? static_cast<unsigned long>(nevts) : 0);
    if (general)
        general->set_ped_min_sample(nevts);
    log_line(Ostrel::LOG_MESSAGE, "Starting Pedestal Run");
    rm->set_monitor(nullptr);
    Ostrel::DAQmanager::theDAQmanager()->startRunManager(rm);
    if (!rm->isActive())
        rm->Activate();
    w->pedestal_timer = g_timeout_add(500, &MainWindow::pedestal_poll, w);
    if (GtkWidget* b = w->get_widget("btnPedestal"))
        gtk_widget_set_sensitive(b, FALSE);
}

gboolean MainWindow::pedestal_poll(gpointer self)
{
    MainWindow* w = of(self);
    TellumRunManager* rm = main_rm();
    if (rm && rm->isActive())
        return G_SOURCE_CONTINUE;
    w->pedestal_timer = 0;
    w->end_pedestal_run();
    return G_SOURCE_REMOVE;
}

void MainWindow::give_back_sample_size()
{
    if (auto* general = ConfigParser::section<GeneralConfig>("general"))
        general->set_ped_min_sample(saved_min_sample);
}

void MainWindow::end_pedestal_run()
{
    log_line(Ostrel::LOG_MESSAGE, "...done pedestal run");
    give_back_sample_size();
    if (restore_interrupts) {
        log_line(Ostrel::LOG_MESSAGE, "...Restoring Interrupt trigger");
        if (GtkWidget* irq = get_widget("swInterruptInt"))
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(irq), TRUE);
        restore_interrupts = false;
    }
    // The controls, the pedestal button among them, follow the new "main".
    if (TellumRunManager* rm = CreateRunManager())
        rm->set_max_events(saved_max_events);
}

// ---- module panels ---------------------------------------------------------

void MainWindow::set_module_list(std::vector<std::string> ids)
{
    if (!on_gui_thread()) {
        idle_call([window = window_id(), ids = std::move(ids)]() mutable {
            if (auto* w = dynamic_cast<MainWindow*>(GladeApp::find_window(window)))
                w->set_module_list(std::move(ids));
        });
        return;
    }
    module_list = std::move(ids);
    rebuild_panels();
}

void MainWindow::clear_modules()
{
    if (!on_gui_thread()) {
        idle_call([window = window_id()] {
            if (auto* w = dynamic_cast<MainWindow*>(GladeApp::find_window(window)))
                w->clear_modules();
        });
        return;
    }
    module_list.clear();
    drop_panels();
}

void MainWindow::update_run_menu(const std::string& id, Ostrel::RunState::StatusType state)
{
    RunMenu::post_update(id, state);
}

void MainWindow::drop_panels()
{
    // Their windows first, so that no handler of theirs reaches a panel
    // that is gone.
    for (module_gui* panel : module_ptr)
        panel->close_windows();
    for (module_gui* panel : module_ptr)
        delete panel;
    module_ptr.clear();
    if (GtkWidget* table = get_widget("module-table")) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(table));
        for (GList* l = children; l; l = l->next) {
            gtk_widget_hide(GTK_WIDGET(l->data));
            gtk_widget_destroy(GTK_WIDGET(l->data));
        }
        g_list_free(children);
    }
}

void MainWindow::rebuild_panels()
{
    drop_panels();
    GtkWidget* table = get_widget("module-table");
    if (module_list.empty() || !table)
        return;
    const int n = static_cast<int>(module_list.size());
    const int rows = (n + panel_columns - 1) / panel_columns;
    gtk_table_resize(GTK_TABLE(table), static_cast<guint>(rows), panel_columns);
    GtkRequisition first{};
    for (int i = 0; i < n; ++i) {
        auto* panel = new module_gui(module_list[static_cast<size_t>(i)]);
        if (init_application(panel, "dsp-frame") != 0 || !panel->get_main_window()) {
            delete panel;
            continue;
        }
        module_ptr.push_back(panel);
        GtkWidget* root = panel->get_main_window();
        const guint column = static_cast<guint>(i % panel_columns);
        const guint row = static_cast<guint>(i / panel_columns);
        gtk_table_attach(GTK_TABLE(table), root, column, column + 1, row, row + 1, GtkAttachOptions(0),
                         GtkAttachOptions(0), 0, 0);
        gtk_widget_show(root);
        if (module_ptr.size() == 1)
            gtk_widget_size_request(root, &first);
    }
    if (GtkWidget* viewport = get_widget("viewport-module-table"))
        gtk_widget_set_size_request(viewport, (first.width + 2) * panel_columns, first.height + 2);
    if (GtkWidget* list = get_widget("quarno_list"))
        gtk_widget_queue_resize(list);
    if (window)
        gtk_widget_queue_resize(window);
    grow_to_fit();
    // A run going on keeps the panels' switches locked too.
    TellumRunManager* rm = main_rm();
    if (rm && run_going(rm))
        for (module_gui* panel : module_ptr)
            if (GtkWidget* w = panel->get_widget("swLocal"))
                gtk_widget_set_sensitive(w, FALSE);
}
