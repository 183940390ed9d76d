// The program brisko: puts the process together, runs the acquisition with
// or without its window, and saves the configuration at exit.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::string base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
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

} // namespace

int main(int argc, char** argv)
{
    Ostrel::ostream log;

    PathUtils::set_program_path(argv[0]);
    const std::string program = base_name(argv[0]);

    // Without a display the window cannot be built; --no-gui needs none.
    const bool have_display = gtk_init_check(&argc, &argv);
    if (have_display)
        glade_init();
    g_set_application_name("Tellum");
    setup_log_intercept();

    // The per-user folders are made, and lead the configuration search
    // path, once the program knows it can run: a refused option or a
    // missing display leaves the home as it was. The directories of
    // "config-path" follow them.
    ConfigParser* config = ConfigParser::theConfig();
    std::vector<std::string> config_paths;

    int ivalidate = 0;
    int igui = 1;
    int idefault = 1;
    int iport = -1;
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
            config_paths.push_back(optarg);
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
                return 1;
            }
            iport = static_cast<int>(value);
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
            std::printf("%d %s [Ughhhh !!!!]\n", optopt, optind < argc ? argv[optind] : "");
            break;
        }
    }

    // The window's description is compiled in: a build without it, or a
    // window without a display, is an error, before anything is read or
    // saved.
    GBytes* description = nullptr;
    GtkStreamViewer* viewer = nullptr;
    if (igui) {
        if (!have_display) {
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program
                << ": cannot open the window: no display (DISPLAY is not set or cannot be opened);"
                << " run it with --no-gui, or under xvfb-run" << std::endl;
            return 1;
        }
        GError* error = nullptr;
        description = g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade", G_RESOURCE_LOOKUP_FLAGS_NONE,
                                              &error);
        if (!description) {
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": " << error->message << std::endl;
            g_error_free(error);
            return 1;
        }
        // It collects the log lines until the window shows them.
        viewer = new GtkStreamViewer(nullptr, 255);
    }
    PathConfig::create_default_folders();
    config->add_config_path(PathConfig::get_default_config_dir());
    for (const std::string& dir : config_paths)
        config->add_config_path(dir);
    // A configuration that cannot be read ends the program before the
    // window is built.
    auto drop_gui = [&] {
        delete viewer;
        if (description)
            g_bytes_unref(description);
    };

    log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Starting " << program << std::endl;

    const std::string default_config_path = [] {
        gchar* p = g_build_filename(PathConfig::get_default_config_dir().c_str(), "brisko.xml", nullptr);
        std::string s(p);
        g_free(p);
        return s;
    }();

    std::string file;
    bool have_file = false;
    if (optind < argc) {
        file = argv[optind];
        have_file = true;
    } else if (idefault) {
        GFile* f = g_file_new_for_path(default_config_path.c_str());
        if (g_file_query_exists(f, nullptr)) {
            file = default_config_path;
            have_file = true;
        } else {
            log << Ostrel::loglevel(Ostrel::LOG_WARNING) << "\n"
                << default_config_path << " not found.\n"
                << "I will need a configuration file.\n"
                << "usage:\n"
                << "\tbrisko [config_file]\n"
                << std::endl;
        }
        g_object_unref(f);
    }

    config->set_do_validate(ivalidate != 0);
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
            drop_gui();
            return 1;
        }
    } catch (const std::exception& e) {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << program << ": Problems parsing " << file
            << "\n..." << e.what() << std::endl;
        drop_gui();
        return 1;
    }

    GeneralConfig* general = dynamic_cast<GeneralConfig*>(config->get_handler("general"));
    if (iport < 0)
        iport = general ? general->get_soap_port() : 50000;

    // Ctrl-C from here on ends the program in order: remote clients may
    // send it as soon as the SOAP server answers, before the acquisition is
    // set up, and it then takes effect once the main loop runs.
    loop = g_main_loop_new(nullptr, TRUE);
    std::vector<guint> signal_sources;
    for (int signum : {SIGINT, SIGTERM, SIGHUP})
        signal_sources.push_back(g_unix_signal_add(signum, quit, GINT_TO_POINTER(signum)));

    Ostrel::OstrelSOAP the_soap_server(iport);
    the_soap_server.serve(true);
    Ostrel::wait(0.1);
    if (the_soap_server.is_running()) {
        if (general)
            general->set_soap_port(iport);
    } else {
        log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "**** Could not start the SOAP server ******"
            << std::endl;
        if (the_soap_server.error())
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "\t" << the_soap_server.strerror() << std::endl;
    }

    DAQcontroller::instance()->setup_daq(argc, argv);

    MainWindow* window = nullptr;
    int status = 0;
    if (igui) {
        // The window's loop is GTK's own: the plain loop is for running
        // without it, and tells the signals which loop to end.
        g_main_loop_unref(loop);
        loop = nullptr;
        g_object_set(gtk_settings_get_default(), "gtk-button-images", TRUE, nullptr);
        window = new MainWindow;
        window->set_viewer(viewer);
        gsize size = 0;
        const auto* bytes = static_cast<const char*>(g_bytes_get_data(description, &size));
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
        g_bytes_unref(description);
    } else {
        g_main_loop_run(loop);
    }

    // Shut-down. The configuration is saved first, then every run ends, so
    // that every run file is closed and complete, and remote operations
    // waiting for them return before the acquisition goes away. A window
    // that could not be built saves nothing.
    if (status == 0) {
        log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Saving current configuration in "
            << default_config_path << std::endl;
        if (g_file_test(default_config_path.c_str(), G_FILE_TEST_EXISTS))
            keep_backup(default_config_path, log);
        if (config->save_config(default_config_path.c_str()) < 0)
            log << Ostrel::loglevel(Ostrel::LOG_ERROR) << "Could not save the configuration in "
                << default_config_path << std::endl;
    }

    Ostrel::DAQmanager* manager = Ostrel::DAQmanager::theDAQmanager();
    manager->StopRun();
    for (int i = 0; i < 1000 && manager->countActiveRunManager() > 0; ++i)
        Ostrel::wait(0.01);
    the_soap_server.stop();

    DAQcontroller::instance()->stop_daq();
    if (igui) {
        ParamSlider::delete_all();
        RunMenu::delete_all();
        // Its panels and monitor windows go with it, the log view last.
        delete window;
    }
    config->reset();
    manager->cleanup();

    for (guint source : signal_sources)
        g_source_remove(source);
    if (loop)
        g_main_loop_unref(loop);
    loop = nullptr;
    log << Ostrel::loglevel(Ostrel::LOG_INFO) << "Done" << std::endl;
    return status;
}
