// The main window's once-a-second refresh and its menu commands.
#include "gui/MainWindow.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iomanip>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "daq/DAQcontroller.h"
#include "daq/RunManagers.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "gui/ConfigReload.h"
#include "gui/GtkStreamViewer.h"
#include "gui/GtkUtils.h"
#include "daq/IdleCall.h"
#include "gui/MessageBox.h"
#include "gui/dialogs/PedestalGui.h"
#include "gui/dialogs/PluginSettings.h"
#include "gui/dialogs/Preferences.h"
#include "gui/updatecheck/TellumCheckForUpdate.h"
#include "gui/Update.h"
#include "gui/updatecheck/Version.h"
#include "gui/module_gui.h"
#include "ostrel/Log.h"

namespace {

void log_line(int level, const std::string& text)
{
    Ostrel::ostream log;
    log << Ostrel::loglevel(level) << text << std::endl;
}

// The shift that turns a count of pages into kilobytes.
int page_k_shift()
{
    static const int shift = [] {
        long size = sysconf(_SC_PAGESIZE);
        int n = 0;
        while (size > 1024) {
            size >>= 1;
            ++n;
        }
        return n;
    }();
    return shift;
}

} // namespace

// ---- main loop and timer ---------------------------------------------------

void MainWindow::run()
{
    gtk_main();
    log_line(Ostrel::LOG_INFO, "Quitting GUI. Bye !!!");
    // Nothing of the window runs from here on: the program shuts the
    // acquisition down while the window still stands.
    stop_timer();
    if (pedestal_timer) {
        g_source_remove(pedestal_timer);
        pedestal_timer = 0;
        // The pedestal run ends with the others; the sample size it lent
        // the general section is given back before the configuration is
        // saved.
        give_back_sample_size();
    }
    TellumCheckForUpdate::cancel_all();
    DAQcontroller::instance()->set_main_window(nullptr);
}

void MainWindow::start_timer()
{
    if (update_tmout >= 0)
        return;
    update_tmout = static_cast<int>(g_timeout_add(1000, &MainWindow::onUpdate, this));
}

void MainWindow::stop_timer()
{
    if (update_tmout < 0)
        return;
    g_source_remove(static_cast<guint>(update_tmout));
    update_tmout = -1;
}

gboolean MainWindow::onUpdate(gpointer self)
{
    of(self)->refresh();
    return TRUE;
}

void MainWindow::refresh()
{
    std::vector<Update> rml;
    std::vector<Update> mdl;
    get_update(rml, mdl);
    for (Update& u : rml)
        if (u.id == "main") {
            updateAll(u);
            break;
        }
    for (module_gui* panel : module_ptr)
        for (Update& u : mdl)
            if (u.id == panel->id()) {
                panel->update(u);
                break;
            }
    show_logging(DAQcontroller::instance()->get_run_manager());
    refresh_run_mode();
    const std::string memory = get_proc_mem();
    if (!memory.empty())
        set_text("lblMemory", memory);
}

void MainWindow::refresh_run_mode()
{
    TellumRunManager* rm = DAQcontroller::instance()->get_run_manager();
    if (!rm)
        return;
    if (auto* scan = dynamic_cast<ScanRunManager*>(rm)) {
        set_text("lblRunMode", "Scan");
        // While it runs, the point it is at; otherwise the one the modules
        // were last set to (once the scan is past its last point, the
        // current one is its first again).
        ScanPoint point;
        if (scan->get_status().isRunning()) {
            point = scan->get_current();
        } else if (scan->has_par("scanpoint")) {
            auto* last = dynamic_cast<Ostrel::Par<ScanPoint>*>(scan->get_par("scanpoint"));
            if (last) {
                std::lock_guard<std::recursive_mutex> lock(last->mutex());
                point = last->get_value();
            }
        }
        if (point.nvar() > 0) {
            // The run manager's points are the grid of the variables, without
            // a name: the scan is the one this window gave it.
            if (point.get_name().empty())
                point.set_name(scpoint.get_name());
            set_text("lblScanInfo", scan_text(point));
        }
    } else if (dynamic_cast<IntTrgRunManager*>(rm)) {
        set_text("lblRunMode", "IntTrg");
        set_text("lblScanInfo", "<none>");
    } else if (dynamic_cast<DataRunManager*>(rm)) {
        set_text("lblRunMode", "Data");
        set_text("lblScanInfo", "<none>");
    }
}

std::string MainWindow::scan_text(const ScanPoint& point)
{
    std::ostringstream text;
    text << point.get_name() << ":> ";
    for (const ScanVar& var : point())
        text << ScanVar::get_name(var.type()) << ": " << std::fixed << std::setw(6) << std::setprecision(2)
             << var.value() << " ";
    return text.str();
}

std::string MainWindow::format_memory(unsigned long long kilobytes)
{
    std::ostringstream text;
    text << std::setprecision(3);
    if (kilobytes > 1048576ULL)
        text << std::setw(7) << static_cast<double>(kilobytes) / 1048576.0 << " Gb";
    else if (kilobytes <= 1024ULL)
        text << std::setw(7) << kilobytes << " kb";
    else
        text << std::setw(7) << static_cast<double>(kilobytes) / 1024.0 << " Mb";
    return text.str();
}

std::string MainWindow::get_proc_mem()
{
    const int shift = page_k_shift();
    static char buffer[4096];
    const std::string path = "/proc/" + std::to_string(getpid()) + "/statm";
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        log_line(Ostrel::LOG_ERROR, "Could not open " + path + "\n");
        return std::string();
    }
    ssize_t n;
    do
        n = read(fd, buffer, sizeof buffer - 1);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0)
        return std::string();
    buffer[n] = '\0';
    unsigned long long pages = 0;
    if (std::sscanf(buffer, "%llu", &pages) != 1)
        return std::string();
    return format_memory(pages << shift);
}

// ---- configuration ---------------------------------------------------------

void MainWindow::load_new_configuration(const std::string& file)
{
    idle_call([window = window_id(), file] {
        auto* w = dynamic_cast<MainWindow*>(GladeApp::find_window(window));
        if (!w)
            return;
        log_line(Ostrel::LOG_INFO, "Uploading config. file " + file);
        // A file that does not read brings the configuration that ran back,
        // rather than leave the program with none (and save none at exit).
        ConfigReload reload;
        reload.keep_previous();
        ConfigReload::stop(w);
        const ConfigReload::Outcome outcome = reload.load(file, w);
        if (outcome == ConfigReload::Loaded) {
            log_line(Ostrel::LOG_INFO, "Loaded config file: " + file);
            return;
        }
        log_line(Ostrel::LOG_ERROR, "LoadFile: Problems parsing " + file);
        show_message(w->window, GTK_MESSAGE_ERROR,
                     "The configuration " + file + " could not be read" +
                         (outcome == ConfigReload::Restored ? ":\nthe previous one runs again."
                                                            : ",\nnor the previous one: the configuration is empty."));
    });
}

void MainWindow::onLoadConfig(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    w->stop_timer();
    static const char* const filters[] = {"Config Files|*.xml", "All|*", nullptr};
    const std::string file =
        ::get_file_name("Load config", a_OpenFile, PathConfig::get_default_config_dir().c_str(), filters);
    if (file.empty()) {
        w->start_timer();
        return;
    }
    // The load says whether the file was loaded.
    w->load_new_configuration(file);
}

void MainWindow::save_config(const char* title)
{
    static const char* const filters[] = {"Config files|*.xml", "All|*", nullptr};
    const std::string file = ::get_file_name(title, a_SaveFile, PathConfig::get_default_config_dir().c_str(), filters);
    if (file.empty())
        return;
    if (ConfigParser::theConfig()->save_config(file.c_str()) < 0) {
        log_line(Ostrel::LOG_ERROR, "Could not save the configuration in " + file);
        show_message(window, GTK_MESSAGE_ERROR, "The configuration could not be saved in " + file + ".");
        return;
    }
    log_line(Ostrel::LOG_INFO, "Saved config file: " + file);
}

void MainWindow::onSaveConfig(GtkWidget*, gpointer self)
{
    of(self)->save_config("Save config");
}

void MainWindow::onSaveAsConfig(GtkWidget*, gpointer self)
{
    of(self)->save_config("Save config");
}

// ---- dialogs ---------------------------------------------------------------

void MainWindow::onPreferences(GtkWidget*, gpointer self)
{
    // The dialog deletes itself when it closes.
    auto* d = new Preferences;
    if (of(self)->init_application(d, "Preferences") != 0)
        delete d;
}

void MainWindow::open_pedestals(bool for_read)
{
    auto* d = new PedestalGui(for_read, for_read ? "Load Pedestals" : "Save Pedestals");
    if (init_application(d, "Pedestals") != 0)
        delete d;
}

void MainWindow::onLoadPedestals(GtkWidget*, gpointer self)
{
    of(self)->open_pedestals(true);
}

void MainWindow::onSavePedestals(GtkWidget*, gpointer self)
{
    of(self)->open_pedestals(false);
}

void MainWindow::on_plugins_activate(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    PluginSettings::run(w, w);
}

void MainWindow::onCheckForUpdate(GtkWidget*, gpointer)
{
    TellumCheckForUpdate::run(true);
}

void MainWindow::onManual(GtkWidget*, gpointer)
{
    gtk_help_display(nullptr);
}

gboolean MainWindow::onQuit(GtkWidget*, gpointer)
{
    gtk_main_quit();
    // The window's close does not destroy it: the program does, once the
    // acquisition is down.
    return TRUE;
}

// ---- log filter ------------------------------------------------------------

namespace {

const struct {
    const char* label;
    unsigned short bit;
} filter_levels[7] = {{"Fatal", 2}, {"Error", 4}, {"Critical", 8}, {"Warning", 16},
                      {"Message", 32}, {"Info", 64}, {"Debug", 128}};

} // namespace

unsigned short MainWindow::filter_mask(const bool active[7])
{
    unsigned short mask = 0;
    for (int i = 0; i < 7; ++i)
        if (active[i])
            mask = static_cast<unsigned short>(mask | filter_levels[i].bit);
    return mask;
}

void MainWindow::onFilterMessages(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        "Filter Log. Messages", GTK_IS_WINDOW(w->window) ? GTK_WINDOW(w->window) : nullptr,
        GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), "gtk-ok", GTK_RESPONSE_OK, "gtk-cancel",
        GTK_RESPONSE_CANCEL, nullptr);
    GtkWidget* box = gtk_vbox_new(TRUE, 5);
    const unsigned short mask = w->viewer ? w->viewer->get_mask() : 0;
    GtkWidget* checks[7];
    for (int i = 0; i < 7; ++i) {
        checks[i] = gtk_check_button_new_with_label(filter_levels[i].label);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checks[i]), (mask & filter_levels[i].bit) != 0);
        gtk_box_pack_start(GTK_BOX(box), checks[i], FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), box, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK) {
        bool active[7];
        for (int i = 0; i < 7; ++i)
            active[i] = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checks[i]));
        if (w->viewer)
            w->viewer->set_mask(filter_mask(active));
    }
    gtk_widget_destroy(dialog);
}

// ---- About -----------------------------------------------------------------

void MainWindow::onAbout(GtkWidget*, gpointer self)
{
    MainWindow* w = of(self);
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        "Korvane Systems", GTK_IS_WINDOW(w->window) ? GTK_WINDOW(w->window) : nullptr,
        GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), "gtk-ok", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_window_set_type_hint(GTK_WINDOW(dialog), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    GtkWidget* box = GTK_DIALOG(dialog)->vbox;

    const int logo_width = 300;
    GError* error = nullptr;
    GdkPixbuf* logo = gdk_pixbuf_new_from_resource_at_scale("/org/korvane/Tellum/korvane-logo.svg", logo_width, -1,
                                                            TRUE, &error);
    if (logo) {
        gtk_box_pack_start(GTK_BOX(box), gtk_image_new_from_pixbuf(logo), TRUE, TRUE, 0);
        g_object_unref(logo);
    } else {
        std::printf("Cannot load korvane-logo.svg\n%s\n", error->message);
        g_clear_error(&error);
    }
    GdkPixbuf* icon = gdk_pixbuf_new_from_resource("/org/korvane/Tellum/tellum-icon.svg", &error);
    if (icon) {
        const double scale = 0.4 * logo_width / gdk_pixbuf_get_width(icon);
        GdkPixbuf* scaled = gdk_pixbuf_scale_simple(icon, int(gdk_pixbuf_get_width(icon) * scale),
                                                    int(gdk_pixbuf_get_height(icon) * scale), GDK_INTERP_BILINEAR);
        gtk_box_pack_start(GTK_BOX(box), gtk_image_new_from_pixbuf(scaled), FALSE, FALSE, 10);
        g_object_unref(scaled);
        g_object_unref(icon);
    } else {
        std::printf("Cannot load tellum-icon.svg\n%s\n", error->message);
        g_clear_error(&error);
    }

    gchar* version = g_strdup_printf("<b><big><big>%d.%d.%d-%d</big></big></b>", tellum_version::major,
                                     tellum_version::minor, tellum_version::micro, tellum_version::release);
    GtkWidget* label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(label), version);
    g_free(version);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 10);

    label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(label),
                         "<b>Tellum</b> is the graphical user interface of the Ostrel data acquisition package");
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);

    gchar* built = g_strdup_printf("<small>\n(Using Gtk+ %d.%d.%d-%d and GLib2 %d.%d.%d-%d)</small>", GTK_MAJOR_VERSION,
                                   GTK_MINOR_VERSION, GTK_MICRO_VERSION, GTK_INTERFACE_AGE, GLIB_MAJOR_VERSION,
                                   GLIB_MINOR_VERSION, GLIB_MICRO_VERSION, int(glib_interface_age));
    label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(label), built);
    g_free(built);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);

    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
