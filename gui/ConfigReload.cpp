#include "gui/ConfigReload.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include "config/ConfigParser.h"
#include "config/PathUtils.h"
#include "daq/DAQcontroller.h"
#include "daq/MainWindowView.h"
#include "ostrel/Log.h"

ConfigReload::ConfigReload()
{
    gchar* made = g_build_filename(g_get_tmp_dir(), "tellum-XXXXXX", nullptr);
    if (g_mkdtemp(made))
        folder = made;
    else
        why = g_strerror(errno);
    g_free(made);
}

ConfigReload::~ConfigReload()
{
    if (folder.empty())
        return;
    bool empty = true;
    GDir* dir = g_dir_open(folder.c_str(), 0, nullptr);
    if (dir) {
        while (const char* name = g_dir_read_name(dir)) {
            const std::string file = PathUtils::join(folder, name);
            if (std::find(kept.begin(), kept.end(), file) == kept.end())
                g_unlink(file.c_str());
            else
                empty = false;
        }
        g_dir_close(dir);
    }
    if (empty)
        g_rmdir(folder.c_str());
}

std::string ConfigReload::path(const char* name) const
{
    return folder.empty() ? std::string() : PathUtils::join(folder, name);
}

bool ConfigReload::keep_previous()
{
    if (folder.empty())
        return false;
    previous = path("previous.xml");
    if (save_new(previous))
        return true;
    g_unlink(previous.c_str());
    previous.clear();
    return false;
}

bool ConfigReload::save_new(const std::string& file)
{
    if (file.empty())
        return false;
    const int fd = g_open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return ConfigParser::theConfig()->save_config(file.c_str()) >= 0;
}

bool ConfigReload::parse_file(const std::string& file)
{
    try {
        return ConfigParser::theConfig()->parse(file.c_str()) != 0;
    } catch (const std::exception& e) {
        std::cout << "Reading " << file << ": " << e.what() << std::endl;
    } catch (...) {
        std::cout << "Reading " << file << " failed" << std::endl;
    }
    return false;
}

void ConfigReload::stop(MainWindowView* window)
{
    DAQcontroller::instance()->stop_daq();
    if (window)
        window->stop_timer();
}

ConfigReload::Outcome ConfigReload::load(const std::string& file, MainWindowView* window)
{
    ConfigParser* config = ConfigParser::theConfig();
    config->reset();
    Outcome outcome = Loaded;
    if (file.empty() || !parse_file(file)) {
        Ostrel::ostream(Ostrel::LOG_ERROR) << "Could not load new configuration" << std::endl;
        config->reset();
        outcome = !previous.empty() && parse_file(previous) ? Restored : Empty;
        if (outcome == Empty) {
            config->reset();
            config->parse(nullptr);
        }
    }
    try {
        DAQcontroller::instance()->setup_daq(0, nullptr);
    } catch (const std::exception& e) {
        Ostrel::ostream(Ostrel::LOG_ERROR) << "Setting up the acquisition: " << e.what() << std::endl;
    }
    DAQcontroller::instance()->set_module_list();
    if (window) {
        window->acquisition_set_up();
        window->start_timer();
    }
    return outcome;
}
