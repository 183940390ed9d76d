// The program brisko: puts the process together, runs the acquisition with
// or without its window, and saves the configuration at exit.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib-unix.h>
#include <glib.h>
#include <glade/glade.h>
#include <gtk/gtk.h>

#include "bin/LogIntercept.h"
#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/PathConfig.h"
#include "config/PathUtils.h"
#include "config/PluginParser.h"
#include "daq/DAQcontroller.h"
#include "gui/GtkStreamViewer.h"
#include "gui/MainWindow.h"
#include "gui/ParamSlider.h"
#include "gui/RunMenu.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/Thread.h"
#include "ostrel/soap/OstrelSOAP.h"

namespace {

// The main loop of the program without its window; null with the window.
GMainLoop* loop = nullptr;

// A dialog waiting for its answer runs a loop of its own inside the
// window's: the window's loop ends only once that one has. Each is answered
// as its close button would answer it.
void answer_dialogs()
{
    GList* toplevels = gtk_window_list_toplevels();
    // An answer may destroy other dialogs than its own.
    for (GList* l = toplevels; l; l = l->next)
        g_object_ref(l->data);
    for (GList* l = toplevels; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (GTK_IS_DIALOG(w) && gtk_window_get_modal(GTK_WINDOW(w)) && gtk_widget_get_visible(w))
            gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_DELETE_EVENT);
    }
    for (GList* l = toplevels; l; l = l->next)
        g_object_unref(l->data);
    g_list_free(toplevels);
}

// SIGINT, SIGTERM and SIGHUP, delivered by GLib in the main loop rather than
// in a signal handler, so that quitting the loop is safe. Without the window
// each ends the program in order, runs stopped, files closed and the
// configuration saved. With the window the operator quits from it, and
// Ctrl-C only says so; SIGTERM and SIGHUP (a log-out, a kill) still end the
// program in order, whatever dialog is open.
gboolean quit(gpointer signal)
{
    // The program's own words at a signal, kept as they stand.
    std::printf("\nArrrgggg !!!!!\n");
    std::fflush(stdout);
    if (loop) {
        g_main_loop_quit(loop);
    } else if (GPOINTER_TO_INT(signal) != SIGINT && gtk_main_level() > 0) {
        answer_dialogs();
        gtk_main_quit();
    }
    return G_SOURCE_CONTINUE;
}

// Before the program saves over an existing default file, the user's file
// is kept as "brisko.xml.bak", whichever file the program was started with.
void keep_backup(const std::string& path, Ostrel::ostream& log)
{
    const std::string backup = path + ".bak";
    GFile* from = g_file_new_for_path(path.c_str());
    GFile* to = g_file_new_for_path(backup.c_str());
    GError* error = nullptr;
    if (g_file_copy(from, to, G_FILE_COPY_OVERWRITE, nullptr, nullptr, nullptr, &error))
        log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Keeping the previous " << path << " as "
            << backup << std::endl;
    else {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "Could not keep " << path << " as " << backup
            << ": " << error->message << std::endl;
        g_error_free(error);
    }
    g_object_unref(from);
    g_object_unref(to);
}

// What the command line asks for. The file to read, if any, is the first
// argument after the options (getopt's optind).
struct Options {
    bool validate = false;
    bool gui = true;
    bool use_default_file = true;
    int port = -1;   // none given: the configuration's, or 50000
    std::vector<std::string> config_paths;
};

// False when an option is refused: the program then ends before it reads or
// makes anything.
bool read_options(int argc, char** argv, const std::string& program, Options& options, Ostrel::ostream& log)
{
    ConfigParser* config = ConfigParser::theConfig();
    int ivalidate = 0;
    int igui = 1;
    int idefault = 1;
    static const struct option long_options[] = {
        {"validate", no_argument, &ivalidate, 1},
        {"schema-path", required_argument, nullptr, 's'},
        {"config-path", required_argument, nullptr, 'c'},
        {"ior", required_argument, nullptr, 'i'},
        {"gui", no_argument, &igui, 1},
        {"no-gui", no_argument, &igui, 0},
        {"no-cfg", no_argument, &idefault, 0},
        {"soap-port", required_argument, nullptr, 'p'},
        {nullptr, 0, nullptr, 0}};
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, "s:c:i:h", long_options, &index);
        if (c == -1)
            break;
        switch (c) {
        case 0:
            break;
        case 's':
            config->add_schema_path(optarg);
            break;
        case 'c':
            options.config_paths.push_back(optarg);
            break;
        case 'p': {
            // A text that is no port would otherwise serve on some port
            // nobody knows, or on none.
            guint64 value = 0;
            GError* error = nullptr;
            if (!g_ascii_string_to_unsigned(optarg, 10, 1, 65535, &value, &error)) {
                log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": --soap-port " << optarg
                    << " refused: " << error->message << "; a port is a number from 1 to 65535" << std::endl;
                g_error_free(error);
                return false;
            }
            options.port = static_cast<int>(value);
            break;
        }
        case '?': {
            // The option at fault: by its letter, or the word itself for an
            // option without one.
            const char* name = nullptr;
            for (const struct option* o = long_options; o->name; ++o)
                if (optopt != 0 && o->val == optopt && !o->flag)
                    name = o->name;
            const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            std::printf("A missing argument for %s\n", name ? name : word.c_str());
            break;
        }
        default:
            // The program's own words for an option it has no case for,
            // kept as they stand.
            std::printf("%d %s [Ughhhh !!!!]\n", optopt, optind < argc ? argv[optind] : "");
            break;
        }
    }
    options.validate = ivalidate != 0;
    options.gui = igui != 0;
    options.use_default_file = idefault != 0;
    return true;
}

// What the window is built from, got before anything is read or saved: its
// description, compiled in, and the log view that collects the log lines
// until the window shows them.
struct WindowParts {
    GBytes* description = nullptr;
    GtkStreamViewer* viewer = nullptr;

    // A program that ends before the window is built.
    void drop()
    {
        delete viewer;
        viewer = nullptr;
        if (description)
            g_bytes_unref(description);
        description = nullptr;
    }
};

// A build without the description, or a window without a display, is an
// error.
bool prepare_window(bool have_display, const std::string& program, WindowParts& parts, Ostrel::ostream& log)
{
    if (!have_display) {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program
            << ": cannot open the window: no display (DISPLAY is not set or cannot be opened);"
            << " run it with --no-gui, or under xvfb-run" << std::endl;
        return false;
    }
    GError* error = nullptr;
    parts.description = g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade",
                                                G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (!parts.description) {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": " << error->message << std::endl;
        g_error_free(error);
        return false;
    }
    parts.viewer = new GtkStreamViewer(nullptr, 255);
    return true;
}

// The per-user folders are made, and lead the configuration search path,
// once the program knows it can run: a refused option or a missing display
// leaves the home as it was. The directories of "config-path" follow them.
void make_user_folders(const Options& options)
{
    ConfigParser* config = ConfigParser::theConfig();
    PathConfig::create_default_folders();
    config->add_config_path(PathConfig::get_default_config_dir());
    for (const std::string& dir : options.config_paths)
        config->add_config_path(dir);
}

std::string default_config_file()
{
    gchar* p = g_build_filename(PathConfig::get_default_config_dir().c_str(), "brisko.xml", nullptr);
    std::string s(p);
    g_free(p);
    return s;
}

// The file named on the command line, else the default file when there is
// one, else none (the configuration's defaults). False when it cannot be
// read: the program ends before the window is built.
bool read_configuration(int argc, char** argv, const Options& options, const std::string& default_path,
                        const std::string& program, Ostrel::ostream& log)
{
    ConfigParser* config = ConfigParser::theConfig();
    std::string file;
    bool have_file = false;
    if (optind < argc) {
        file = argv[optind];
        have_file = true;
    } else if (options.use_default_file) {
        GFile* f = g_file_new_for_path(default_path.c_str());
        if (g_file_query_exists(f, nullptr)) {
            file = default_path;
            have_file = true;
        } else {
            log << Ostrel::loglevel(Ostrel::LOG_WARNING) << "\n"
                << default_path << " not found.\n"
                << "I will need a configuration file.\n"
                << "usage:\n"
                << "\tbrisko [config_file]\n"
                << std::endl;
        }
        g_object_unref(f);
    }

    config->set_do_validate(options.validate);
    config->reset();
    try {
        int rc;
        if (have_file) {
            file = PathUtils::normpath(file);
            rc = config->parse(file.c_str());
        } else {
            rc = config->parse(nullptr);
        }
        if (rc != 1) {
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": Problems parsing " << file
                << "\n Quitting " << program << std::endl;
            return false;
        }
    } catch (const std::exception& e) {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": Problems parsing " << file
            << "\n..." << e.what() << std::endl;
        return false;
    }
    return true;
}

// Ctrl-C from here on ends the program in order: remote clients may send it
// as soon as the SOAP server answers, before the acquisition is set up, and
// it then takes effect once the main loop runs. Returns the signal sources.
std::vector<guint> catch_signals()
{
    loop = g_main_loop_new(nullptr, TRUE);
    std::vector<guint> sources;
    for (int signum : {SIGINT, SIGTERM, SIGHUP})
        sources.push_back(g_unix_signal_add(signum, quit, GINT_TO_POINTER(signum)));
    return sources;
}

// The port the server serves on is kept in the configuration; a server that
// could not start is logged and the program goes on without it.
void start_soap_server(Ostrel::OstrelSOAP& server, GeneralConfig* general, int port, Ostrel::ostream& log)
{
    // In the background, it returns once it listens or has failed.
    server.serve(true);
    if (server.is_running()) {
        if (general)
            general->set_soap_port(port);
    } else {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "**** Could not start the SOAP server ******"
            << std::endl;
        if (server.error())
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "\t" << server.strerror() << std::endl;
    }
}

// Builds the window, shows it and runs its loop until the operator quits.
// The window is returned in `window` for the shut-down, also when it could
// not be built (status 1).
int run_window(WindowParts& parts, const std::string& program, MainWindow*& window, Ostrel::ostream& log)
{
    // The window's loop is GTK's own: the plain loop is for running without
    // it, and tells the signals which loop to end.
    g_main_loop_unref(loop);
    loop = nullptr;
    g_object_set(gtk_settings_get_default(), "gtk-button-images", TRUE, nullptr);
    window = new MainWindow;
    window->set_viewer(parts.viewer);
    parts.viewer = nullptr;
    int status = 0;
    gsize size = 0;
    const auto* bytes = static_cast<const char*>(g_bytes_get_data(parts.description, &size));
    if (window->init(bytes, static_cast<int>(size), "brisko") != 0 || !GTK_IS_WINDOW(window->get_main_window())) {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program
            << ": the main window cannot be built from its description" << std::endl;
        status = 1;
    } else {
        GtkIconTheme* theme = gtk_icon_theme_get_default();
        if (!gtk_icon_theme_has_icon(theme, "Tellum")) {
            GdkPixbuf* icon =
                gdk_pixbuf_new_from_resource_at_scale("/org/korvane/Tellum/tellum-icon.svg", 128, -1, TRUE, nullptr);
            if (icon) {
                gtk_icon_theme_add_builtin_icon("Tellum", 128, icon);
                g_object_unref(icon);
            }
        }
        gtk_window_set_icon_name(GTK_WINDOW(window->get_main_window()), "Tellum");
        gtk_widget_show(window->get_main_window());
        DAQcontroller::instance()->set_main_window(window);
        window->run();
    }
    parts.drop();
    return status;
}

// The user's previous default file is kept beside it.
void save_configuration(const std::string& default_path, Ostrel::ostream& log)
{
    log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Saving current configuration in " << default_path << std::endl;
    if (g_file_test(default_path.c_str(), G_FILE_TEST_EXISTS))
        keep_backup(default_path, log);
    if (ConfigParser::theConfig()->save_config(default_path.c_str()) < 0)
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "Could not save the configuration in " << default_path
            << std::endl;
}

// Every run ends, its end done: its file closed and complete, and what the
// run set for itself (a pedestal run's trigger type, readout mode and
// placeholder pedestals) given back or replaced by what it measured.
void stop_runs()
{
    Ostrel::DAQmanager* manager = Ostrel::DAQmanager::theDAQmanager();
    manager->StopRun();
    for (int i = 0; i < 1000 && manager->countActiveRunManager() > 0; ++i)
        Ostrel::wait(0.01);
}

// The runs end, and remote operations waiting for them return before the
// server goes; a run a client started meanwhile ends too. Only then is the
// configuration saved, so that it holds the settings as the operator left
// them, never those a run forced.
void end_runs(Ostrel::OstrelSOAP& server)
{
    stop_runs();
    server.stop();
    stop_runs();
}

// The acquisition, the window and the configuration go, in that order.
void shut_down(MainWindow* window, bool gui, const std::vector<guint>& signal_sources)
{
    Ostrel::DAQmanager* manager = Ostrel::DAQmanager::theDAQmanager();
    DAQcontroller::instance()->stop_daq();
    if (gui) {
        ParamSlider::delete_all();
        RunMenu::delete_all();
        // Its panels and monitor windows go with it, the log view last.
        delete window;
    }
    ConfigParser::theConfig()->reset();
    manager->cleanup();

    for (guint source : signal_sources)
        g_source_remove(source);
    if (loop)
        g_main_loop_unref(loop);
    loop = nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    Ostrel::ostream log;

    PathUtils::set_program_path(argv[0]);
    const std::string program = PathUtils::base_name(argv[0]);
    // A run type that the configuration gives no factory for is one of the
    // program's own kinds.
    PluginParser::set_builtin_factory(&DAQcontroller::builtin_factory);

    // Without a display the window cannot be built; --no-gui needs none.
    const bool have_display = gtk_init_check(&argc, &argv);
    if (have_display)
        glade_init();
    g_set_application_name("Tellum");
    setup_log_intercept();

    Options options;
    if (!read_options(argc, argv, program, options, log))
        return 1;
    WindowParts window_parts;
    if (options.gui && !prepare_window(have_display, program, window_parts, log))
        return 1;
    make_user_folders(options);

    log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Starting " << program << std::endl;
    const std::string default_path = default_config_file();
    if (!read_configuration(argc, argv, options, default_path, program, log)) {
        window_parts.drop();
        return 1;
    }
    GeneralConfig* general = dynamic_cast<GeneralConfig*>(ConfigParser::theConfig()->get_handler("general"));
    const int port = options.port >= 0 ? options.port : general ? general->get_soap_port() : 50000;

    const std::vector<guint> signal_sources = catch_signals();
    Ostrel::OstrelSOAP soap_server(port);
    start_soap_server(soap_server, general, port, log);
    DAQcontroller::instance()->setup_daq(argc, argv);

    MainWindow* window = nullptr;
    int status = 0;
    if (options.gui)
        status = run_window(window_parts, program, window, log);
    else
        g_main_loop_run(loop);

    end_runs(soap_server);
    // A window that could not be built saves nothing.
    if (status == 0)
        save_configuration(default_path, log);
    shut_down(window, options.gui, signal_sources);
    log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Done" << std::endl;
    return status;
}
