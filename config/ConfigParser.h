// The process-wide configuration document and its section handlers.
#ifndef BRISKO_CONFIG_CONFIGPARSER_H
#define BRISKO_CONFIG_CONFIGPARSER_H

#include <cmath>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "config/PathUtils.h"
#include "config/SectionParser.h"

class ModuleParser;

// Text forms of configuration values: booleans as "true"/"false", numbers as
// a default-formatted stream writes them.
namespace config_text {

template <class T>
std::string to_text(const T& value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}
inline std::string to_text(bool value) { return value ? "true" : "false"; }
inline std::string to_text(const std::string& value) { return value; }
inline std::string to_text(const char* value) { return value ? value : ""; }

// Quiet readers: false when the text does not read as the type. Numbers are
// read as a stream extracts them; a text is its first word; a boolean is
// "true" or "false" in any case.
bool read(const std::string& text, int& value);
bool read(const std::string& text, double& value);
bool read(const std::string& text, std::string& value);
bool read(const std::string& text, bool& value);

template <class T>
bool differs(const T& a, const T& b)
{
    return !(a == b);
}
// A NaN on either side always counts as a change.
inline bool differs(const double& a, const double& b)
{
    return std::isnan(a) || std::isnan(b) || a != b;
}

} // namespace config_text

class ConfigParser {
public:
    using HandlerMap = std::map<std::string, SectionParser*>;
    using IdHandler = std::map<int, ModuleParser*>;

    // The process-wide instance, created on the first call and kept until
    // the process ends.
    static ConfigParser* theConfig();

    ConfigParser(const ConfigParser&) = delete;
    ConfigParser& operator=(const ConfigParser&) = delete;
    ~ConfigParser();

    void add_config_path(const std::string& dir)
    {
        if (config_path.empty())
            config_path = dir;
        else
            config_path += ":" + dir;
    }
    void add_schema_path(const std::string& dir) { finder.add_path(dir); }
    void set_do_validate(bool flag) { do_validate = flag; }
    const std::string& get_config_path() const { return config_path; }
    void set_config_path(const std::string& path) { config_path = path; }

    // Held while the document is read in, saved or reset. Code that changes
    // the document from a thread of its own (a plug-in's network thread)
    // takes it too, and without waiting, so that it never blocks a thread
    // that is joining it.
    std::recursive_mutex& document_mutex() { return doc_mutex; }

    // Handlers ---------------------------------------------------------------
    // clean(), then the built-in section handlers "paths", "scans", "IO",
    // "general" and "plugins".
    void reset();
    // Forgets the plug-in hooks, deletes every handler and the document.
    void clean();
    // The configuration owns the handler from now on. A handler replaced
    // under the same name is not deleted here.
    void register_handler(const std::string& name, SectionParser* handler);
    void register_id_handler(int id, ModuleParser* handler);
    SectionParser* get_handler(const std::string& name) const;
    // The process configuration's handler of that name as the class the
    // caller expects; null when there is none or it is of another class.
    template <class T>
    static T* section(const std::string& name)
    {
        return dynamic_cast<T*>(theConfig()->get_handler(name));
    }
    // Whether the handler is registered under any name.
    bool has_handler(const SectionParser* handler) const;
    ModuleParser* get_id_handler(int id) const;

    // Reading ----------------------------------------------------------------
    // Reads the file (searched along the configuration path), or the built-in
    // document when `file` is null, and hands it to the handlers. 1 when the
    // document was read and processed, 0 when not. A ConfigException of a
    // section is reported and parsing goes on; anything else a plug-in's hook
    // throws, and the ConfigException of a document without a schema name
    // while validating, leave parse: its callers catch them, and must not let
    // them cross a GTK signal handler or any other C callback.
    int parse(const char* file);
    bool validate(const std::string& dir);
    void navigate(xmlNodePtr node);
    void process_node(xmlNodePtr element);
    void end_of_parse();

    // Writing ----------------------------------------------------------------
    // Lets every handler write its state, then saves the document. The bytes
    // written, or -1 (also when there is no document).
    int save_config(const char* file);

    // Nodes ------------------------------------------------------------------
    xmlNodePtr root() const;
    // Whether the element lies inside the element of a section (an element
    // whose name has a handler): it is then that section's content, and is
    // never read or remembered as a section of its own, whatever its name.
    // Sections inside elements without a handler still count.
    bool is_section_content(const xmlNode* element) const;
    xmlNodePtr get_paths_node() const;
    xmlNodePtr get_io_node() const;
    xmlNodePtr get_general_node() const;
    xmlNodePtr get_scans_node() const;
    xmlNodePtr get_plugins_node();
    xmlNodePtr get_module_node();
    xmlNodePtr create_section(const std::string& name);
    xmlNodePtr create_element(xmlNodePtr parent, const std::string& name);
    // `parent` may also be a document cast to a node.
    xmlNodePtr find_element(xmlNodePtr parent, const std::string& name) const;
    // The nodes the XPath expression selects, in document order; their count.
    int get_node(const std::string& xpath, std::vector<xmlNodePtr>& nodes);
    int get_node(const std::string& xpath, xmlNodePtr context, std::vector<xmlNodePtr>& nodes);
    // The text of the node's children, entities substituted.
    std::string get_node_value(xmlNodePtr node) const;
    void remove_child(xmlNodePtr node);
    int remove_child(xmlNodePtr parent, const std::string& name);
    xmlNodePtr find_plugin(const std::string& name);
    int remove_plugin(const std::string& name);
    xmlNodePtr find_module(const std::string& element, const std::string& id);
    int remove_module(const std::string& element, const std::string& id);

    // Typed access -----------------------------------------------------------
    // Types: bool, int, double, std::string. A missing element or attribute
    // raises ConfigException.

    // The element's own text.
    template <class T>
    T get_value(xmlNodePtr node)
    {
        T value{};
        read_element(node, value);
        return value;
    }
    // The first node that `path` selects from `node`.
    template <class T>
    T get_value(xmlNodePtr node, const std::string& path)
    {
        return get_value<T>(select_first(node, path));
    }
    // `def` when nothing is selected or its text does not read as T.
    template <class T>
    T get_value(xmlNodePtr node, const std::string& path, const T& def)
    {
        xmlNodePtr n = find_first(node, path);
        T value{};
        if (!n || !config_text::read(get_node_value(n), value))
            return def;
        return value;
    }

    // get_value<T>(node, path), or `def` when nothing is selected: how
    // sections read their optional settings. Unlike the form above, a text
    // that does not read as T gives what the typed reading gives.
    template <class T>
    T get_optional(xmlNodePtr node, const std::string& path, const T& def)
    {
        xmlNodePtr n = find_first(node, path);
        return n ? get_value<T>(n) : def;
    }

    template <class T>
    void set_value(xmlNodePtr node, const T& value)
    {
        set_text(node, config_text::to_text(value));
    }
    // Creates the child `path` when nothing is selected.
    template <class T>
    void set_value(xmlNodePtr node, const std::string& path, const T& value)
    {
        if (xmlNodePtr n = find_first(node, path))
            set_value(n, value);
        else
            create_child(node, path, value);
    }

    template <class T>
    xmlNodePtr create_child(xmlNodePtr node, const std::string& name, const T& value)
    {
        return new_text_child(node, name, config_text::to_text(value));
    }

    // Writes only when the stored value differs or is missing.
    template <class T>
    void check_value(xmlNodePtr node, const std::string& path, const T& value)
    {
        bool write = false;
        try {
            write = config_text::differs(get_value<T>(node, path), value);
        } catch (const ConfigException&) {
            write = true;
        }
        if (write)
            set_value<T>(node, path, value);
    }

    template <class T>
    T get_attribute(xmlNodePtr node, const std::string& name)
    {
        T value{};
        read_attribute(node, name, value);
        return value;
    }
    // `def` when the attribute is missing.
    template <class T>
    T get_attribute(xmlNodePtr node, const std::string& name, const T& def)
    {
        if (!has_attribute(node, name))
            return def;
        return get_attribute<T>(node, name);
    }
    template <class T>
    void set_attribute(xmlNodePtr node, const std::string& name, const T& value)
    {
        set_attribute_text(node, name, config_text::to_text(value));
    }
    template <class T>
    void check_attribute(xmlNodePtr node, const std::string& name, const T& value)
    {
        if (!has_attribute(node, name) ||
            config_text::differs(get_attribute<T>(node, name), value))
            set_attribute<T>(node, name, value);
    }

    // Numbers read one after another from the element's text until one does
    // not read.
    template <class T>
    void get_array(xmlNodePtr node, std::vector<T>& values)
    {
        values.clear();
        std::istringstream is(get_node_value(node));
        T v{};
        while (is >> v)
            values.push_back(v);
    }
    // The same from the child element `name`; empty without one.
    template <class T>
    void get_element_value_array(xmlNodePtr node, const std::string& name, std::vector<T>& values)
    {
        values.clear();
        if (xmlNodePtr child = find_element(node, name))
            get_array(child, values);
    }
    // Every value followed by one blank.
    template <class V>
    void set_array_value(xmlNodePtr node, const std::string& path, const V& values)
    {
        std::string text;
        for (const auto& v : values)
            text += config_text::to_text(v) + " ";
        set_value<std::string>(node, path, text);
    }

    // Bit masks in hexadecimal text, the first digit giving entries 0 to 3.
    // 0, or -1 after a character that is not a hexadecimal digit.
    int get_bit_array(xmlNodePtr node, const std::string& name, int nx, std::vector<int>& bits);
    int get_bit_array(xmlNodePtr node, int nx, std::vector<int>& bits);

private:
    ConfigParser();

    // The element selected by `path` from `node`, or null.
    xmlNodePtr find_first(xmlNodePtr node, const std::string& path);
    // The same, raising the missing-element exception.
    xmlNodePtr select_first(xmlNodePtr node, const std::string& path);
    static bool has_attribute(xmlNodePtr node, const std::string& name);
    static std::string attribute_text(xmlNodePtr node, const std::string& name);

    void read_element(xmlNodePtr node, bool& value);
    void read_element(xmlNodePtr node, int& value);
    void read_element(xmlNodePtr node, double& value);
    void read_element(xmlNodePtr node, std::string& value);
    void read_attribute(xmlNodePtr node, const std::string& name, bool& value);
    void read_attribute(xmlNodePtr node, const std::string& name, int& value);
    void read_attribute(xmlNodePtr node, const std::string& name, double& value);
    void read_attribute(xmlNodePtr node, const std::string& name, std::string& value);

    void set_text(xmlNodePtr node, const std::string& text);
    xmlNodePtr new_text_child(xmlNodePtr node, const std::string& name, const std::string& text);
    void set_attribute_text(xmlNodePtr node, const std::string& name, const std::string& text);

    std::string find_config_file(const std::string& name) const;
    int process(const std::string& file);
    // Tells every handler that the subtree is about to be freed.
    void forget_subtree(xmlNodePtr subtree);
    // The first node the expression selects that is no section's content.
    xmlNodePtr first_section(const std::string& xpath);
    // Handlers may still point into a document that a new parse replaces:
    // it is kept until the handlers go.
    void retire_document();

    xmlDocPtr doc;
    xmlNodePtr root_node;
    std::string config_path;
    SchemaPath finder;
    bool do_validate;
    HandlerMap handlers;
    IdHandler id_handler;
    std::vector<xmlDocPtr> retired;
    std::recursive_mutex doc_mutex;

    static ConfigParser* the_parser;
};

// Attribute look-ups for the plug-in and module searches. A missing
// attribute raises ConfigException.
std::string get_attribute_value(xmlNodePtr node, const std::string& name, bool lower);
bool get_bool(xmlNodePtr node, const std::string& name);
// strtol in base 0: decimal, "0x" hexadecimal, leading-"0" octal.
int get_int(xmlNodePtr node, const std::string& name);
double get_double(xmlNodePtr node, const std::string& name);

#endif
