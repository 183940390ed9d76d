#include "config/PathConfig.h"

#include <cerrno>
#include <iostream>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>

#include "config/ConfigParser.h"
#include "ostrel/Log.h"

namespace {

// Function-local so that code running before main may already ask.
struct DefaultFolders {
    std::string output;
    std::string config;
    std::string data;
    std::string lib;
    std::string glade;
    std::string schema;
};

DefaultFolders& folders()
{
    static DefaultFolders f;
    return f;
}

// The search lists that a `paths` element holds, by block name.
const struct {
    const char* name;
    PathConfig::PathType type;
} blocks[] = {
    {"libpaths", PathConfig::libpath},
    {"gladepaths", PathConfig::gladepath},
    {"configpaths", PathConfig::configpath},
    {"pythonpaths", PathConfig::pythonpath},
};

std::string build(const char* a, const char* b, const char* c = nullptr)
{
    gchar* p = g_build_filename(a, b, c, nullptr);
    std::string out(p);
    g_free(p);
    return out;
}

} // namespace

void PathConfig::create_default_folders()
{
    const char* app = g_get_application_name();
    if (!app || !*app)
        app = "brisko";
    // Without user-directory settings GLib knows no documents folder.
    const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
    if (!documents || !*documents)
        documents = g_get_home_dir();
    const char* config = g_get_user_config_dir();

    DefaultFolders& f = folders();
    const struct {
        std::string* dir;
        std::string path;
        const char* message;
    } table[] = {
        {&f.output, build(documents, app), "Cannot create output data folder: "},
        {&f.config, build(config, app), "Cannot create config folder: "},
        {&f.data, build(documents, app), "Cannot create data folder: "},
        {&f.lib, build(config, app, "lib"), "Cannot create default lib folder: "},
        {&f.glade, build(config, app, "glade"), "Cannot create default glade folder: "},
        {&f.schema, build(config, app, "config"), "Cannot create default schema folder: "},
    };
    for (const auto& entry : table) {
        *entry.dir = entry.path;
        if (g_mkdir_with_parents(entry.path.c_str(), 0755) != 0) {
            const int error = errno;
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << entry.message << g_strerror(error) << std::endl;
        }
    }
}

std::string PathConfig::get_default_output_dir()
{
    return folders().output;
}

std::string PathConfig::get_default_config_dir()
{
    return folders().config;
}

std::string PathConfig::get_default_data_dir()
{
    return folders().data;
}

std::string PathConfig::get_default_lib_dir()
{
    return folders().lib;
}

std::string PathConfig::get_default_glade_dir()
{
    return folders().glade;
}

std::string PathConfig::get_default_schema_dir()
{
    return folders().schema;
}

// The section ------------------------------------------------------------------

PathConfig::PathConfig()
{
    create_default_folders();
    for (PathType type : {libpath, gladepath, configpath})
        paths[type] = SearchPath();
    SearchPath& lib = paths[libpath];
    SearchPath& glade = paths[gladepath];

    if (const char* dir = g_getenv("TELLUM_GLADE_DIR"))
        glade.add_path(dir);
    const std::string program = PathUtils::get_program_path();
    if (!program.empty() && PathUtils::exists(program)) {
        const std::string bin = PathUtils::dir_name(program);
        const std::vector<std::string> glade_dir = {"..", "share", "brisko", "glade"};
        const std::vector<std::string> lib_dir = {"..", "lib"};
        glade.add_path(PathUtils::abspath(PathUtils::join(bin, glade_dir)));
        lib.add_path(PathUtils::abspath(PathUtils::join(bin, lib_dir)));
    }
    glade.add_path(get_default_glade_dir());
    if (const char* dir = g_getenv("TELLUM_LIB_DIR"))
        lib.add_path(dir);
    lib.add_path(get_default_lib_dir());

    for (PathType type : {libpath, gladepath, configpath})
        for (const std::string& dir : paths[type])
            auto_path.emplace(dir, type);
}

PathConfig::~PathConfig() = default;

void PathConfig::parse_node(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    for (xmlNodePtr block = element ? element->children : nullptr; block; block = block->next) {
        if (block->type != XML_ELEMENT_NODE)
            continue;
        const std::string name = reinterpret_cast<const char*>(block->name);
        PathType type = none;
        for (const auto& b : blocks)
            if (name == b.name)
                type = b.type;
        if (type == none) {
            std::cout << "Element " << name << " is invalid in <paths> section" << std::endl;
            continue;
        }
        for (xmlNodePtr p = block->children; p; p = p->next) {
            if (p->type != XML_ELEMENT_NODE || !xmlStrEqual(p->name, BAD_CAST "path"))
                continue;
            const std::string text = config->get_value<std::string>(p);
            add_path(type, text);
            std::vector<std::string> dirs;
            stringtok(dirs, text, ":", true);
            configured[type].insert(dirs.begin(), dirs.end());
        }
    }
}

bool PathConfig::is_saved(PathType type, const std::string& dir) const
{
    if (dir.empty() || dir == ".")
        return false;
    auto conf = configured.find(type);
    if (conf != configured.end() && conf->second.count(dir))
        return true;
    return auto_path.count(dir) == 0;
}

void PathConfig::save_config()
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->root())
        return;
    xmlNodePtr section = config->get_paths_node();
    if (!section)
        section = config->create_section("paths");
    for (const auto& b : blocks) {
        std::vector<xmlNodePtr> old;
        config->get_node(std::string("//paths/") + b.name, old);
        // Blocks of a paths element inside a section's content (inside this
        // section's own blocks too) are content, not blocks.
        std::vector<xmlNodePtr> blocks_of_sections;
        for (xmlNodePtr n : old)
            if (!config->is_section_content(n->parent))
                blocks_of_sections.push_back(n);
        for (xmlNodePtr n : blocks_of_sections)
            config->remove_child(n);
        xmlNodePtr block = config->create_element(section, b.name);
        for (const std::string& dir : get_path(b.type))
            if (is_saved(b.type, dir))
                config->create_child<std::string>(block, "path", dir);
    }
}

void PathConfig::add_path(PathType type, const std::string& text)
{
    SearchPath& list = paths[type];
    if (!list.has_path(text))
        list.add_path(text);
}

void PathConfig::add_path(PathType type, const SearchPath& list)
{
    paths[type].add_path(list);
}

void PathConfig::set_path(PathType type, const SearchPath& list)
{
    paths[type] = list;
}

SearchPath PathConfig::get_path(PathType type) const
{
    auto it = paths.find(type);
    return it == paths.end() ? SearchPath() : it->second;
}

void PathConfig::cpy(const PathConfig& other)
{
    for (PathType type : {libpath, gladepath, configpath})
        paths[type] = other.get_path(type);
}

// Searches ---------------------------------------------------------------------

SearchPath PathConfig::handler_path(PathType type)
{
    SectionParser* handler = ConfigParser::theConfig()->get_handler("paths");
    if (const PathConfig* self = dynamic_cast<const PathConfig*>(handler))
        return self->get_path(type);
    return SearchPath();
}

std::string PathConfig::find_library(const std::string& name)
{
    // Joined with every directory, an empty name would find the directory.
    if (name.empty())
        return std::string();
    SearchPath list = handler_path(libpath);
    list.add_path(BRISKO_LIB_DIR);
    if (const char* dirs = g_getenv("LD_LIBRARY_PATH"))
        list.add_path(dirs);
    return list.find_file(name);
}

std::string PathConfig::find_glade_file(const std::string& name)
{
    if (name.empty())
        return std::string();
    SearchPath list = handler_path(gladepath);
    list.add_path(BRISKO_DATA_DIR "/glade");
    return list.find_file(name);
}
