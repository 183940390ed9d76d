// Reading the configuration anew while the program runs: the main window's
// "Load config" and the plug-in settings' OK.
#ifndef BRISKO_GUI_CONFIGRELOAD_H
#define BRISKO_GUI_CONFIGRELOAD_H

#include <string>
#include <vector>

class MainWindowView;

// The configuration as it runs is saved first, in a folder that only this
// user can write in (made with mkdtemp), so that a file that cannot be read
// brings the previous configuration back rather than an empty one. The
// folder and its files go with the object, but for those kept. GTK main
// thread only.
class ConfigReload {
public:
    enum Outcome { Loaded, Restored, Empty };

    ConfigReload();
    ~ConfigReload();
    ConfigReload(const ConfigReload&) = delete;
    ConfigReload& operator=(const ConfigReload&) = delete;

    // Why the folder could not be made; empty when it was.
    const std::string& error() const { return why; }
    // A file in the folder.
    std::string path(const char* name) const;
    // Saves the running configuration to come back to; false when it
    // cannot be saved.
    bool keep_previous();
    // The file stays when the object goes.
    void keep(const std::string& file) { kept.push_back(file); }

    // Saves the configuration into a file that did not exist, made for this
    // user only; false when it existed or could not be written.
    static bool save_new(const std::string& file);
    // Reads a configuration file; false, with the reason on standard
    // output, when it does not parse.
    static bool parse_file(const std::string& file);
    // The acquisition ends and the window's refresh stops, before the
    // configuration is touched.
    static void stop(MainWindowView* window);

    // After stop(): reads `file` (none when empty) in place of the
    // configuration: when it cannot be read, the configuration kept by
    // keep_previous, else an empty one. Then the acquisition is set up
    // again and the window shows it: its panels, its observer of "main" and
    // its controls, its refresh.
    Outcome load(const std::string& file, MainWindowView* window);

private:
    std::string folder;
    std::string previous;
    std::string why;
    std::vector<std::string> kept;
};

#endif
