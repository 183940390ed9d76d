#include "config/ConfigParser.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include <glib.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>
#include <libxml/xmlversion.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/MarkupCheck.h"
#include "config/ModuleParser.h"
#include "config/PathConfig.h"
#include "config/PluginParser.h"
#include "config/ScanConfig.h"
#include "config/SectionSettings.h"
#include "daq/DAQcontroller.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Module.h"
#include "ostrel/Parameter.h"

ConfigParser* ConfigParser::the_parser = nullptr;

namespace {

// The document used when no file is given.
const char builtin_document[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "        <Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
    "            xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
    "            <plugins/><paths/><scans/><IO compress=\"true\"/><modules/><general/>\n"
    "</Sorbek>\n";
const char builtin_name[] = "brisko.xml";

// Blank text nodes are dropped so that a saved file is indented afresh.
const int read_options = XML_PARSE_NOBLANKS;

const xmlChar* xml(const std::string& s)
{
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

bool named(const xmlNode* n, const char* name)
{
    return n && n->name && std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string name_of(const xmlNode* n)
{
    return n && n->name ? reinterpret_cast<const char*>(n->name) : "<null>";
}

// The file's document, read from the bytes that were checked; null, with
// the reason printed, for a file that is not read.
xmlDocPtr read_document(const std::string& path, const char* file)
{
    GMappedFile* mapped = g_mapped_file_new(path.c_str(), FALSE, nullptr);
    if (!mapped)
        return nullptr;
    const char* data = g_mapped_file_get_contents(mapped);
    const gsize size = g_mapped_file_get_length(mapped);
    std::string why;
    if (size > static_cast<gsize>(INT_MAX))
        why = "larger than " + std::to_string(INT_MAX) + " bytes";
    else if (data)
        why = markup_check::refusal(data, size);
    xmlDocPtr doc = nullptr;
    if (!why.empty())
        std::cout << "ConfigParser::parse: " << file << ": " << why << std::endl;
    else if (data)
        doc = xmlReadMemory(data, static_cast<int>(size), path.c_str(), nullptr, read_options);
    g_mapped_file_unref(mapped);
    return doc;
}

// Why a document whose elements are in a namespace is not read: the
// sections are found by their plain names, so such a file would run on
// defaults and gain a second set of sections at every save. "" when no
// element is in one.
std::string namespace_refusal(xmlNodePtr root)
{
    for (xmlNodePtr n = root; n;) {
        if (n->type == XML_ELEMENT_NODE && n->ns) {
            const char* uri = n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "";
            return "line " + std::to_string(xmlGetLineNo(n)) + ": element " + name_of(n) +
                   " is in the namespace \"" + uri + "\"; configuration elements are in none";
        }
        if (n->children && n->type == XML_ELEMENT_NODE) {
            n = n->children;
            continue;
        }
        while (n && n != root && !n->next)
            n = n->parent;
        n = n && n != root ? n->next : nullptr;
    }
    return std::string();
}

// Blank text beside elements: the saver indents only elements without any
// text, so a blank line left in an element of a hand-written file would
// keep all that is added to it on one line, and the next reading, which
// drops such blanks, would save it indented.
void drop_blank_text(xmlNodePtr root)
{
    std::vector<xmlNodePtr> stack{root};
    while (!stack.empty()) {
        xmlNodePtr e = stack.back();
        stack.pop_back();
        bool elements = false;
        for (xmlNodePtr c = e->children; c; c = c->next)
            if (c->type == XML_ELEMENT_NODE) {
                elements = true;
                stack.push_back(c);
            }
        if (!elements)
            continue;
        for (xmlNodePtr c = e->children; c;) {
            xmlNodePtr next = c->next;
            if (c->type == XML_TEXT_NODE && xmlIsBlankNode(c)) {
                xmlUnlinkNode(c);
                xmlFreeNode(c);
            }
            c = next;
        }
    }
}

bool is_regular_file(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Schema parser and validation messages go to standard error.
void schema_message(void*, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace

ConfigParser* ConfigParser::theConfig()
{
    if (!the_parser)
        the_parser = new ConfigParser;
    return the_parser;
}

ConfigParser::ConfigParser()
    : doc(nullptr), root_node(nullptr), do_validate(false)
{
    xmlCheckVersion(20903);
    xmlInitParser();
}

ConfigParser::~ConfigParser()
{
    clean();
}

// Handlers -------------------------------------------------------------------

void ConfigParser::reset()
{
    clean();
    register_handler("paths", new PathConfig);
    register_handler("scans", new ScanConfig);
    register_handler("IO", new IOConfig);
    register_handler("general", new GeneralConfig);
    register_handler("plugins", new PluginParser);
    SectionSettings::hand_in();
}

void ConfigParser::clean()
{
    std::lock_guard<std::recursive_mutex> lock(doc_mutex);
    // The run managers and modules read the handlers (and the plug-ins'
    // hooks) while they run: they go first.
    DAQcontroller::instance()->reset_daq();

    // The hooks point into libraries that stay open; the factories must not
    // outlive the configuration that named them.
    if (PluginParser* plugins = dynamic_cast<PluginParser*>(get_handler("plugins")))
        plugins->reset_plugins();

    // A plug-in may hand out one object for several names: delete it once.
    std::set<SectionParser*> owned;
    for (const auto& entry : handlers)
        if (entry.second)
            owned.insert(entry.second);
    handlers.clear();
    id_handler.clear();
    for (SectionParser* h : owned)
        delete h;

    if (doc)
        xmlFreeDoc(doc);
    doc = nullptr;
    root_node = nullptr;
    for (xmlDocPtr d : retired)
        xmlFreeDoc(d);
    retired.clear();
}

void ConfigParser::register_handler(const std::string& name, SectionParser* handler)
{
    handlers[name] = handler;
}

void ConfigParser::register_id_handler(int id, ModuleParser* handler)
{
    id_handler[id] = handler;
}

SectionParser* ConfigParser::get_handler(const std::string& name) const
{
    auto it = handlers.find(name);
    return it == handlers.end() ? nullptr : it->second;
}

bool ConfigParser::has_handler(const SectionParser* handler) const
{
    for (const auto& entry : handlers)
        if (entry.second == handler)
            return true;
    return false;
}

ModuleParser* ConfigParser::get_id_handler(int id) const
{
    auto it = id_handler.find(id);
    return it == id_handler.end() ? nullptr : it->second;
}

// Reading --------------------------------------------------------------------

std::string ConfigParser::find_config_file(const std::string& name) const
{
    if (PathUtils::isabs(name))
        return PathUtils::abspath(name);
    if (is_regular_file(name))
        return name;

    std::vector<std::string> dirs;
    stringtok(dirs, config_path, ":");
    if (dirs.empty())
        dirs.push_back(".");
    std::string candidate;
    for (const std::string& dir : dirs) {
        candidate = dir + "/" + name;
        if (is_regular_file(candidate))
            return candidate;
    }
    return candidate;
}

void ConfigParser::retire_document()
{
    if (doc)
        retired.push_back(doc);
    doc = nullptr;
    root_node = nullptr;
}

int ConfigParser::parse(const char* file)
{
    std::lock_guard<std::recursive_mutex> lock(doc_mutex);
    retire_document();

    if (!file) {
        doc = xmlReadMemory(builtin_document, sizeof builtin_document - 1, builtin_name, nullptr,
                            read_options);
        root_node = doc ? xmlDocGetRootElement(doc) : nullptr;
        return process(builtin_name);
    }

    const std::string path = find_config_file(file);
    doc = read_document(path, file);
    if (doc) {
        for (xmlNodePtr n = doc->children; n; n = n->next) {
            if (n->type == XML_ELEMENT_NODE && named(n, "Sorbek")) {
                root_node = n;
                break;
            }
        }
        if (root_node) {
            const std::string why = namespace_refusal(root_node);
            if (!why.empty()) {
                std::cout << "ConfigParser::parse: " << file << ": " << why << std::endl;
                root_node = nullptr;
            }
        }
        // Every handler expects a Sorbek root: anything else is not ours.
        if (!root_node) {
            xmlFreeDoc(doc);
            doc = nullptr;
        }
    }
    if (!doc) {
        std::cout << "ConfigParser::parse: Could not parse " << file << std::endl;
        return 0;
    }

    if (do_validate) {
        std::string dir = PathUtils::dir_name(path);
        if (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        bool valid = false;
        try {
            valid = validate(dir);
        } catch (...) {
            xmlFreeDoc(doc);
            doc = nullptr;
            root_node = nullptr;
            throw;
        }
        if (!valid) {
            std::cout << "ConfigParser::parse -> error validating " << file << std::endl;
            xmlFreeDoc(doc);
            doc = nullptr;
            root_node = nullptr;
            return 0;
        }
    }
    return process(file);
}

int ConfigParser::process(const std::string& file)
{
    // The paths come first, so that the plug-ins are found; the plug-ins
    // register the handlers of module elements before `modules` is read.
    static const char* const first[] = {"//paths", "//general", "//plugins"};
    for (const char* xpath : first) {
        std::vector<xmlNodePtr> nodes;
        get_node(xpath, nodes);
        // Told apart before any is read: reading one may rewrite content
        // (a repaired boolean), freeing what lies in it.
        std::vector<xmlNodePtr> sections;
        for (xmlNodePtr n : nodes)
            if (!is_section_content(n))
                sections.push_back(n);
        for (xmlNodePtr n : sections)
            process_node(n);
    }
    try {
        navigate(doc ? xmlDocGetRootElement(doc) : nullptr);
        end_of_parse();
    } catch (const ConfigException& e) {
        std::cout << "**** Error parsing " << file << std::endl;
        std::cout << e.what() << std::endl;
    }
    return 1;
}

bool ConfigParser::validate(const std::string& dir)
{
    if (!doc || !root_node)
        return false;
    const std::string schema = get_attribute<std::string>(root_node, "noNamespaceSchemaLocation");
    const std::string path = finder.find_schema(schema, dir);
    if (path.empty() || ::access(path.c_str(), F_OK) != 0) {
        std::cout << "Could not find schema: " << schema << std::endl;
        return false;
    }
    std::cout << "Using schema: " << path << std::endl;

    bool valid = false;
    xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewParserCtxt(path.c_str());
    if (pctxt) {
        xmlSchemaSetParserErrors(pctxt, schema_message, schema_message, nullptr);
        if (xmlSchemaPtr s = xmlSchemaParse(pctxt)) {
            if (xmlSchemaValidCtxtPtr vctxt = xmlSchemaNewValidCtxt(s)) {
                xmlSchemaSetValidErrors(vctxt, schema_message, schema_message, nullptr);
                valid = xmlSchemaValidateDoc(vctxt, doc) == 0;
                xmlSchemaFreeValidCtxt(vctxt);
            }
            xmlSchemaFree(s);
        }
        xmlSchemaFreeParserCtxt(pctxt);
    }
    return valid;
}

void ConfigParser::navigate(xmlNodePtr node)
{
    for (xmlNodePtr n = node; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (named(n, "paths") || named(n, "general") || named(n, "plugins"))
            continue;
        process_node(n);
    }
}

void ConfigParser::process_node(xmlNodePtr element)
{
    const std::string element_name = name_of(element);
    SectionParser* handler = get_handler(element_name);
    if (!handler) {
        navigate(element->children);
        return;
    }
    try {
        handler->set_node(element);
        handler->parse_node(element);
        if (ModuleParser* module_handler = dynamic_cast<ModuleParser*>(handler)) {
            const std::string text = get_attribute<std::string>(element, "name");
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(text.c_str(), &end, 0);
            // A number out of the int range would alias another module.
            if (*end == '\0' && errno == 0 && value >= INT_MIN && value <= INT_MAX)
                register_id_handler(static_cast<int>(value), module_handler);

            Ostrel::Module* module =
                Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid(text));
            if (module)
                module->add_par("__section_name__", new Ostrel::Par<std::string>(element_name));
        }
    } catch (const ConfigException& e) {
        std::cout << "ConfigParser: node " << element_name
                  << " gives and error while parsing at line " << xmlGetLineNo(element) << " : "
                  << std::endl;
        std::cout << e.what() << std::endl;
    }
}

void ConfigParser::end_of_parse()
{
    xmlNodePtr modules = get_module_node();
    if (!modules)
        return;
    for (xmlNodePtr n = modules->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (SectionParser* handler = get_handler(name_of(n)))
            handler->section_parsed();
    }
}

// Writing --------------------------------------------------------------------

int ConfigParser::save_config(const char* file)
{
    std::lock_guard<std::recursive_mutex> lock(doc_mutex);
    if (!doc || !file)
        return -1;
    for (const auto& entry : handlers) {
        SectionParser* handler = entry.second;
        if (!handler)
            continue;
        try {
            handler->save_config();
        } catch (const ConfigException& e) {
            std::cout << "*** ConfigParser: saving node " << handler->node_name()
                      << " gives and error: " << std::endl;
            std::cout << "*** " << e.what() << std::endl;
        }
    }
    if (root_node)
        drop_blank_text(root_node);
    return xmlSaveFormatFileEnc(file, doc, "UTF-8", 1);
}

// Nodes ----------------------------------------------------------------------

xmlNodePtr ConfigParser::root() const
{
    return doc ? root_node : nullptr;
}

xmlNodePtr ConfigParser::get_paths_node() const
{
    return find_element(root(), "paths");
}

xmlNodePtr ConfigParser::get_io_node() const
{
    return find_element(root(), "IO");
}

xmlNodePtr ConfigParser::get_general_node() const
{
    return find_element(root(), "general");
}

xmlNodePtr ConfigParser::get_scans_node() const
{
    return find_element(root(), "scans");
}

bool ConfigParser::is_section_content(const xmlNode* element) const
{
    for (const xmlNode* p = element ? element->parent : nullptr; p && p->type == XML_ELEMENT_NODE;
         p = p->parent) {
        if (p != root_node && get_handler(name_of(p)))
            return true;
    }
    return false;
}

xmlNodePtr ConfigParser::first_section(const std::string& xpath)
{
    std::vector<xmlNodePtr> nodes;
    get_node(xpath, nodes);
    for (xmlNodePtr n : nodes)
        if (!is_section_content(n))
            return n;
    return nullptr;
}

xmlNodePtr ConfigParser::get_plugins_node()
{
    return first_section("//plugins");
}

xmlNodePtr ConfigParser::get_module_node()
{
    return first_section("//modules");
}

xmlNodePtr ConfigParser::create_section(const std::string& name)
{
    return create_element(root(), name);
}

xmlNodePtr ConfigParser::create_element(xmlNodePtr parent, const std::string& name)
{
    if (!parent)
        return nullptr;
    return xmlNewChild(parent, nullptr, xml(name), nullptr);
}

xmlNodePtr ConfigParser::find_element(xmlNodePtr parent, const std::string& name) const
{
    if (!parent)
        return nullptr;
    for (xmlNodePtr n = parent->children; n; n = n->next) {
        if (n->type == XML_ELEMENT_NODE && named(n, name.c_str()))
            return n;
    }
    return nullptr;
}

int ConfigParser::get_node(const std::string& xpath, std::vector<xmlNodePtr>& nodes)
{
    return get_node(xpath, nullptr, nodes);
}

int ConfigParser::get_node(const std::string& xpath, xmlNodePtr context,
                           std::vector<xmlNodePtr>& nodes)
{
    nodes.clear();
    // A context node carries its own document, which is the one to search.
    xmlDocPtr d = context ? context->doc : doc;
    if (!d)
        return 0;
    xmlXPathContextPtr ctxt = xmlXPathNewContext(d);
    if (!ctxt)
        return 0;
    if (context)
        ctxt->node = context;
    xmlXPathObjectPtr result = xmlXPathEvalExpression(xml(xpath), ctxt);
    if (result && result->type == XPATH_NODESET && result->nodesetval) {
        xmlNodeSetPtr set = result->nodesetval;
        xmlXPathNodeSetSort(set);
        for (int i = 0; i < set->nodeNr; ++i)
            nodes.push_back(set->nodeTab[i]);
    }
    if (result)
        xmlXPathFreeObject(result);
    xmlXPathFreeContext(ctxt);
    return static_cast<int>(nodes.size());
}

std::string ConfigParser::get_node_value(xmlNodePtr node) const
{
    if (!node)
        return std::string();
    xmlChar* text = xmlNodeListGetString(node->doc, node->children, 1);
    if (!text)
        return std::string();
    std::string out(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return out;
}

void ConfigParser::remove_child(xmlNodePtr node)
{
    if (!node)
        return;
    forget_subtree(node);
    xmlUnlinkNode(node);
    xmlFreeNode(node);
}

void ConfigParser::forget_subtree(xmlNodePtr subtree)
{
    // A plug-in may hand out one object for several names and identifiers.
    std::set<SectionParser*> told;
    for (const auto& entry : handlers)
        if (entry.second && told.insert(entry.second).second)
            entry.second->forget_nodes(subtree);
    for (const auto& entry : id_handler)
        if (entry.second && told.insert(entry.second).second)
            entry.second->forget_nodes(subtree);
}

int ConfigParser::remove_child(xmlNodePtr parent, const std::string& name)
{
    if (!parent)
        return 0;
    for (xmlNodePtr n = parent->children; n; n = n->next) {
        if (named(n, name.c_str())) {
            remove_child(n);
            return 1;
        }
    }
    return 0;
}

xmlNodePtr ConfigParser::find_plugin(const std::string& name)
{
    xmlNodePtr plugins = get_plugins_node();
    if (!plugins)
        return nullptr;
    for (xmlNodePtr n = plugins->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE || !named(n, "plugin"))
            continue;
        if (get_attribute_value(n, "name", true) == name)
            return n;
    }
    return nullptr;
}

int ConfigParser::remove_plugin(const std::string& name)
{
    xmlNodePtr n = find_plugin(name);
    if (!n)
        return -1;
    remove_child(n);
    return 0;
}

xmlNodePtr ConfigParser::find_module(const std::string& element, const std::string& id)
{
    xmlNodePtr modules = get_module_node();
    if (!modules)
        return nullptr;
    for (xmlNodePtr n = modules->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE || !named(n, element.c_str()))
            continue;
        if (has_attribute(n, "name") && get_attribute_value(n, "name", true) == id)
            return n;
    }
    return nullptr;
}

int ConfigParser::remove_module(const std::string& element, const std::string& id)
{
    xmlNodePtr n = find_module(element, id);
    if (!n)
        return -1;
    remove_child(n);
    return 0;
}
