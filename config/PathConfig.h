// Handler of the `paths` section and keeper of the per-user folders.
#ifndef BRISKO_CONFIG_PATHCONFIG_H
#define BRISKO_CONFIG_PATHCONFIG_H

#include <map>
#include <set>
#include <string>

#include "config/PathUtils.h"
#include "config/SectionParser.h"

// One search list per kind of file, seeded from the environment, the
// program's location and the per-user folders; the configuration adds its
// own directories after those. Only directories that did not come from the
// seeding are saved.
class PathConfig : public SectionParser {
public:
    enum PathType {
        libpath = 0,
        gladepath = 1,
        configpath = 2,
        pythonpath = 3,
        datapath = 4,
        schemapath = 5,
        outputpath = 6,
        none = 7
    };

    PathConfig();
    ~PathConfig() override;

    void parse_node(xmlNodePtr element) override;
    void save_config() override;

    // Appends the colon-separated directories the list does not hold yet.
    void add_path(PathType type, const std::string& text);
    void add_path(PathType type, const SearchPath& list);
    void set_path(PathType type, const SearchPath& list);
    // A list never set is ("", ".").
    SearchPath get_path(PathType type) const;
    // Takes over the library, interface and configuration lists.
    void cpy(const PathConfig& other);

    // Creates the per-user folders, named after the application name, with
    // their parents, and records their paths. Failures are logged and the
    // paths recorded all the same.
    static void create_default_folders();

    // Empty until create_default_folders has run.
    static std::string get_default_output_dir();
    static std::string get_default_config_dir();
    static std::string get_default_data_dir();
    static std::string get_default_lib_dir();
    static std::string get_default_glade_dir();
    static std::string get_default_schema_dir();

    // Full path of a shared library or an interface description along the
    // lists of the "paths" handler and the installation folders; empty when
    // none holds it.
    static std::string find_library(const std::string& name);
    static std::string find_glade_file(const std::string& name);

private:
    // The list of the "paths" handler, or a fresh one without a handler.
    static SearchPath handler_path(PathType type);
    bool is_saved(PathType type, const std::string& dir) const;

    std::map<PathType, SearchPath> paths;
    // Directories the constructor put into the lists.
    std::map<std::string, PathType> auto_path;
    // Directories named by the configuration, saved even when the seeding
    // happens to hold them too (an environment variable set in this session
    // only must not drop them from the file).
    std::map<PathType, std::set<std::string>> configured;
};

#endif
