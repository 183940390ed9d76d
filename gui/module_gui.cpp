#include "gui/module_gui.h"

#include <iostream>
#include <memory>
#include <vector>

#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/GenModule.h"
#include "daq/TellumRunManager.h"
#include "gui/GtkUtils.h"
#include "daq/IdleCall.h"
#include "gui/MonitorWindow.h"
#include "gui/UpdateLabelNtrig.h"
#include "gui/UpdateLabelRate.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/RunManager.h"

namespace {

// An image of the bundle; null, with the reason on standard output, when it
// cannot be read.
GtkWidget* bundle_image(const char* name)
{
    std::string error;
    GtkWidget* image = ::bundle_image(name, &error);
    if (!image)
        std::cout << error << std::endl;
    return image;
}

std::string local_name(const std::string& id)
{
    return "rm." + id;
}

void log_line(int level, const std::string& text)
{
    Ostrel::ostream log;
    log << Ostrel::loglevel(level) << text << std::endl;
}

} // namespace

module_gui::module_gui(const std::string& id) : WidgetUpdate(nullptr), module_id(id)
{
    Ostrel::Module* m = Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid(id));
    if (!m)
        log_line(Ostrel::LOG_ERROR, "module_gui: DAQmanager could not find module [" + id + "]");
    else if (!dynamic_cast<GenModule*>(m))
        log_line(Ostrel::LOG_ERROR, "module_gui: module id=" + id + " is not a GenModule");
    else
        has_module = true;
}

module_gui::~module_gui()
{
    close_windows();
    monitorUpdates.clear();
}

module_gui* module_gui::of(gpointer data)
{
    return static_cast<module_gui*>(static_cast<GladeApp*>(data));
}

GenModule* module_gui::get_module() const
{
    return has_module ? GenModule::find_module(Ostrel::DAQid(module_id)) : nullptr;
}

void module_gui::auto_connect()
{
    connect["on_btnConfig"] = G_CALLBACK(&module_gui::btn_config);
    connect["on_swLocal"] = G_CALLBACK(&module_gui::sw_local);
    connect["on_swMonitor"] = G_CALLBACK(&module_gui::sw_monitor);
}

void module_gui::user_init()
{
    GenModule* m = get_module();
    GtkWidget* label = get_widget("lblModuleID");
    if (!m) {
        if (label)
            gtk_label_set_markup(GTK_LABEL(label), "<b>Unknown</b>");
        return;
    }
    if (label) {
        gchar* markup = g_markup_printf_escaped("<b>%s</b>", module_id.c_str());
        gtk_label_set_markup(GTK_LABEL(label), markup);
        g_free(markup);
    }
    // Each updater lives as long as its label.
    if (GtkWidget* w = get_widget("lblNtrig"))
        addUpdate(new UpdateLabelNtrig(w));
    if (GtkWidget* w = get_widget("lblRate"))
        addUpdate(new UpdateLabelRate(w));

    if (GtkWidget* sw = get_widget("swLocal")) {
        if (GtkWidget* global = bundle_image("status_lock.png")) {
            g_object_set_data_full(G_OBJECT(sw), "global", global, g_object_unref);
            change_button_pixmap(sw, global);
        }
        if (GtkWidget* local = bundle_image("status_unlocked.png"))
            g_object_set_data_full(G_OBJECT(sw), "local", local, g_object_unref);
        // As a click would: the module goes where it says it is.
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sw), m->is_local());
        set_accessible_name(sw, "Local run of " + module_id);
    }
    if (GtkWidget* sw = get_widget("swMonitor")) {
        set_accessible_name(sw, "Monitor of " + module_id);
        if (GtkWidget* image = bundle_image("monitor.png")) {
            change_button_pixmap(sw, image);
            g_object_unref(image);
        }
    }
    // The main window puts the frame into its table.
    if (window) {
        if (GtkWidget* parent = gtk_widget_get_parent(window))
            gtk_container_remove(GTK_CONTAINER(parent), window);
    }
}

int module_gui::update(Update& u)
{
    updateAll(u);
    return 0;
}

// ---- configuration dialog --------------------------------------------------

void module_gui::on_btnConfig(GtkWidget*, module_gui* panel)
{
    if (panel->_config) {
        GtkWidget* top = gtk_widget_get_toplevel(panel->_config);
        if (top && GTK_IS_WINDOW(top))
            gtk_window_present(GTK_WINDOW(top));
        return;
    }
    if (!panel->get_module())
        return;
    ModuleParser* handler = ConfigParser::theConfig()->get_id_handler(Ostrel::DAQid(panel->module_id).to_int());
    if (!handler) {
        std::cout << "Module " << panel->module_id << " does not seem to exist" << std::endl;
        return;
    }
    GtkWidget* w = handler->config(panel->module_id);
    if (!w)
        return;
    panel->_config = w;
    panel->config_destroy = g_signal_connect(w, "destroy", G_CALLBACK(&module_gui::onConfig_destroy), panel);
}

void module_gui::onConfig_destroy(GtkWidget*, module_gui* panel)
{
    panel->_config = nullptr;
    panel->config_destroy = 0;
}

void module_gui::close_config()
{
    if (!_config)
        return;
    GtkWidget* w = _config;
    if (config_destroy && g_signal_handler_is_connected(w, config_destroy))
        g_signal_handler_disconnect(w, config_destroy);
    _config = nullptr;
    config_destroy = 0;
    gtk_widget_destroy(gtk_widget_get_toplevel(w));
}

// ---- local and global ------------------------------------------------------

void module_gui::show_local(bool local)
{
    GtkWidget* sw = get_widget("swLocal");
    if (!sw)
        return;
    if (auto* image = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(sw), local ? "local" : "global")))
        change_button_pixmap(sw, image);
}

void module_gui::go_local(GenModule* m)
{
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    const std::string name = local_name(module_id);
    Ostrel::RunManager* rm = mgr->find_runmanager(name);
    // A run of its own going on (the panel was rebuilt meanwhile): it stays
    // as it is.
    if (!(rm && rm->isActive() && m->is_local())) {
        if (rm && rm->isActive()) {
            log_line(Ostrel::LOG_WARNING, "Module " + module_id + ": the run manager " + name +
                                              " is running; the module cannot join it now");
            activate_button("swLocal", false);
            return;
        }
        m->in_local();
        // Replaces an existing one of that name, which hands its modules
        // over.
        rm = TellumRunManager::create_run_manager("data", name);
        if (!rm) {
            log_line(Ostrel::LOG_ERROR, "Module " + module_id + ": no run manager " + name + " could be made");
            if (Ostrel::RunManager* main = mgr->find_runmanager("main"))
                m->in_global(&(*main)());
            activate_button("swLocal", false);
            return;
        }
        if (Ostrel::RunManager* main = mgr->find_runmanager("main"))
            main->deleteModule(m);
        rm->addModule(m);
    }
    show_local(true);
    if (_monitor)
        _monitor->inLocal();
}

bool module_gui::go_global(GenModule* m)
{
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    const std::string name = local_name(module_id);
    Ostrel::RunManager* rm = mgr->find_runmanager(name);
    // Deleting a running manager would wait for its run to end, here.
    if (rm && rm->isActive()) {
        log_line(Ostrel::LOG_WARNING, "Module " + module_id + " stays local while " + name +
                                          " runs: stop its run first");
        return false;
    }
    show_local(false);
    if (rm) {
        rm->deleteModule(m);
        delete rm;
    }
    if (Ostrel::RunManager* main = mgr->find_runmanager("main")) {
        m->in_global(&(*main)());
        main->addModule(m);
    } else {
        m->in_global();
        log_line(Ostrel::LOG_WARNING, "Module " + module_id + " is global, but there is no run manager main");
    }
    if (_monitor)
        _monitor->inGlobal();
    return true;
}

void module_gui::on_swLocal(GtkWidget* w, module_gui* panel)
{
    GenModule* m = panel->get_module();
    if (!m)
        return;
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)))
        panel->go_local(m);
    else if (!panel->go_global(m))
        panel->activate_button("swLocal", true);
}

// ---- monitor window --------------------------------------------------------

void module_gui::on_swMonitor(GtkWidget* w, module_gui* panel)
{
    if (panel->ignoreMonBtn) {
        panel->ignoreMonBtn = false;
        return;
    }
    const bool active = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
    // Closing works also when the module has gone meanwhile.
    if (!active) {
        panel->close_monitor();
        panel->ignoreMonBtn = false;
        return;
    }
    if (panel->_monitor || !panel->get_module())
        return;
    ModuleParser* handler = ConfigParser::theConfig()->get_id_handler(Ostrel::DAQid(panel->module_id).to_int());
    if (!handler) {
        std::cout << "Module " << panel->module_id << " does not seem to exist" << std::endl;
        return;
    }
    MonitorWindow* mw = handler->monitor(panel->module_id, panel);
    if (!mw || !mw->widget()) {
        delete mw;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), FALSE);
        std::cout << "It seems the module does not define a monitor window widget" << std::endl;
        return;
    }
    panel->monitor_destroy =
        g_signal_connect(mw->widget(), "destroy", G_CALLBACK(&module_gui::onMonitor_destroy), panel);
    for (WidgetUpdate* u : mw->updates()) {
        panel->addUpdate(u);
        panel->monitorUpdates.insert(u);
    }
    if (panel->btn_active("swLocal"))
        mw->inLocal();
    else
        mw->inGlobal();
    panel->_monitor = mw;
}

void module_gui::drop_monitor_updates()
{
    // Taken out first: destroying one widget may delete other updaters.
    const std::vector<WidgetUpdate*> held(monitorUpdates.begin(), monitorUpdates.end());
    monitorUpdates.clear();
    for (WidgetUpdate* u : held)
        if (updates.count(u))
            deleteUpdate(u);
}

void module_gui::onMonitor_destroy(GtkWidget* w, module_gui* panel)
{
    // The window closed itself: its displays are no longer fed.
    if (panel->monitor_destroy && g_signal_handler_is_connected(w, panel->monitor_destroy))
        g_signal_handler_disconnect(w, panel->monitor_destroy);
    panel->monitor_destroy = 0;
    panel->drop_monitor_updates();
    // The window object goes once the destruction under way is over.
    if (MonitorWindow* mw = panel->_monitor) {
        panel->_monitor = nullptr;
        idle_call([owned = std::shared_ptr<MonitorWindow>(mw)]() mutable { owned.reset(); });
    }
    GtkWidget* sw = panel->get_widget("swMonitor");
    if (sw && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(sw))) {
        panel->ignoreMonBtn = true;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(sw), FALSE);
    }
}

void module_gui::close_monitor()
{
    MonitorWindow* mw = _monitor;
    if (!mw)
        return;
    if (monitor_destroy && mw->widget() && g_signal_handler_is_connected(mw->widget(), monitor_destroy))
        g_signal_handler_disconnect(mw->widget(), monitor_destroy);
    monitor_destroy = 0;
    drop_monitor_updates();
    _monitor = nullptr;
    delete mw;
}

void module_gui::close_windows()
{
    close_monitor();
    close_config();
    activate_button("swMonitor", false);
    ignoreMonBtn = false;
}

void module_gui::list_w_properties(GtkWidget* w)
{
    if (!w || !GTK_IS_WIDGET(w))
        return;
    std::cout << "Widget: " << gtk_widget_get_name(w) << " class: " << G_OBJECT_TYPE_NAME(w) << std::endl;
    guint n = 0;
    GParamSpec** props = g_object_class_list_properties(G_OBJECT_GET_CLASS(w), &n);
    for (guint i = 0; i < n; ++i) {
        const char* nick = g_param_spec_get_nick(props[i]);
        const char* blurb = g_param_spec_get_blurb(props[i]);
        std::cout << "name: " << g_param_spec_get_name(props[i]) << " [nick: " << (nick ? nick : "")
                  << " blurb: " << (blurb ? blurb : "") << "]" << std::endl;
    }
    g_free(props);
}
