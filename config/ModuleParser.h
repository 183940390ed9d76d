// Base of the handlers of module elements, the children of `modules`. The
// configuration registers such a handler under each numeric module
// identifier it serves.
#ifndef BRISKO_CONFIG_MODULEPARSER_H
#define BRISKO_CONFIG_MODULEPARSER_H

#include <string>
#include <vector>

#include "config/SectionParser.h"

class Analysis;
class GenModule;
class MonitorWindow;
class PadMap;
class module_gui;
struct _GtkWidget;
typedef struct _GtkWidget GtkWidget;

// Reads and writes what every module element shares: the monitoring
// histogram settings (`monitor`), the pad map (`padmap`), the pedestal and
// noise lists and the name of a pedestal file, for the module (a GenModule
// known to the framework's manager) whose identifier is the handler's id.
// A subclass reads the rest of its element and calls parse_common and
// save_common.
class ModuleParser : public SectionParser {
public:
    ModuleParser();
    ~ModuleParser() override;

    // The module kind's configuration dialog and monitor window; none here.
    virtual GtkWidget* config(const std::string& name);
    virtual MonitorWindow* monitor(const std::string& name, module_gui* data);

    // path: where the module kind's elements are, such as "//modules/board";
    // the element is the one whose attribute `name` is id.
    virtual void parse_monitor(const std::string& path, const std::string& id, Analysis* analysis);
    virtual void parse_map(const std::string& path, const std::string& id, Analysis* analysis);
    virtual void parse_common(const std::string& path, const std::string& id);
    virtual void save_common();

    void forget_nodes(xmlNodePtr subtree) override;

    void save_map();
    // Replaces the pad map. Sizes below 1 raise ConfigException.
    void create_map(int nx, int ny, int ntot);
    PadMap* get_map() const { return map; }
    const std::string& get_pedestal_file() const { return pedestal_file; }
    void set_pedestal_file(const std::string& file) { pedestal_file = file; }
    // Loads a pedestal file (pedestal and noise per channel) into the
    // module's parameters; a full set goes on to the analysis and is
    // trusted there.
    void parse_pedestal_file(const std::string& file, GenModule* module);

protected:
    // The XPath of the module element: path[@name="id"].
    static std::string element_path(const std::string& path, const std::string& id);
    // The module element: the handler's own when its name is id, else the
    // first that path[@name="id"] selects; null without one.
    xmlNodePtr module_element(const std::string& path, const std::string& id);
    // The module element's children of that name.
    std::vector<xmlNodePtr> module_children(const std::string& path, const std::string& id, const char* name);

    std::string pedestal_file;
    PadMap* map;
    xmlNodePtr monitor_node;
};

#endif
