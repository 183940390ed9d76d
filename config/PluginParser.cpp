#include "config/PluginParser.h"

#include <iostream>

#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "ostrel/Log.h"

namespace {

int no_enable()
{
    return -1;
}

void no_op() {}

bool is_element(xmlNodePtr n, const char* name)
{
    return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST name);
}

// The handlers that the configuration registers itself. A plug-in parser
// taking one of these names would replace a handler that other code reaches
// by name and expects to be of its own class.
bool is_builtin_section(const std::string& name)
{
    for (const char* builtin : {"paths", "scans", "IO", "general", "plugins"})
        if (name == builtin)
            return true;
    return false;
}

// The class names under which the built-in run managers are asked for.
const char* alias_of(const std::string& type)
{
    static const struct {
        const char* type;
        const char* alias;
    } aliases[] = {
        {"data", "DataRunManager"},     {"int_trg", "IntTrgRunManager"},
        {"pedestal", "PedestalRunManager"}, {"pulse", "PulseRunManager"},
        {"scan", "ScanRunManager"},
    };
    for (const auto& a : aliases)
        if (type == a.type)
            return a.alias;
    return nullptr;
}

} // namespace

PluginException::PluginException(const std::string& message) : _message(message) {}

PluginException::~PluginException() = default;

const char* PluginException::what() const noexcept
{
    return _message.empty() ? "PluginException" : _message.c_str();
}

SectionParser* Hook::operator()() const
{
    SectionHook hook = as<SectionHook>();
    return hook ? hook() : nullptr;
}

// Libraries --------------------------------------------------------------------

PluginParser::LibMap::~LibMap()
{
    for (const auto& entry : handles)
        g_module_close(entry.second);
}

GModule* PluginParser::LibMap::find(const std::string& name) const
{
    auto it = handles.find(name);
    return it == handles.end() ? nullptr : it->second;
}

void PluginParser::LibMap::insert(const std::string& name, GModule* handle)
{
    handles[name] = handle;
}

PluginParser::LibMap& PluginParser::libraries()
{
    // Deliberately never destroyed, so the libraries are never closed. Hooks,
    // parsers, modules and run managers made by plug-in code may still be
    // reached while the process exits (by static objects of other libraries
    // or of the framework); unmapping a library from a destructor of ours
    // could come before them. The loader runs the libraries' own exit code
    // when the process ends.
    static LibMap* const map = new LibMap;
    return *map;
}

GModule* PluginParser::load_library(const std::string& requested)
{
    const std::string name = requested.empty() ? "__main__" : requested;
    LibMap& libs = libraries();
    if (GModule* handle = libs.find(name))
        return handle;

    GModule* handle = nullptr;
    if (name == "__main__") {
        handle = g_module_open(nullptr, G_MODULE_BIND_LAZY);
    } else {
        const std::string path = PathConfig::find_library(name);
        handle = g_module_open(path.empty() ? name.c_str() : path.c_str(), G_MODULE_BIND_LAZY);
    }
    if (!handle) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Could not load library " << name << "\n" << std::endl;
        return nullptr;
    }
    libs.insert(name, handle);
    return handle;
}

Hook PluginParser::load_symbol(const std::string& symbol, const std::string& library)
{
    GModule* handle = load_library(library);
    if (!handle)
        return Hook();
    gpointer address = nullptr;
    if (!g_module_symbol(handle, symbol.c_str(), &address) || !address) {
        std::cout << "Could not find symbol " << symbol << " in library " << library << std::endl;
        return Hook();
    }
    return Hook(address);
}

// The section ------------------------------------------------------------------

RunManagerFactory PluginParser::builtin_factory = nullptr;

PluginParser::PluginParser()
    : int_enable(no_enable),
      int_disable(no_op),
      int_reset(no_op),
      int_start(no_op),
      int_stop(no_op),
      logger_factory(nullptr),
      logger_enabled(true)
{
}

PluginParser::~PluginParser() = default;

void PluginParser::reset_plugins()
{
    int_enable = no_enable;
    int_disable = no_op;
    int_reset = no_op;
    int_start = no_op;
    int_stop = no_op;
    logger_factory = nullptr;
    factories.clear();
}

void PluginParser::parse_node(xmlNodePtr element)
{
    node = element;
    for (xmlNodePtr n = element ? element->children : nullptr; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (is_element(n, "plugin"))
            parse_plugin(n);
        else if (is_element(n, "interrupt"))
            parse_interrupt(n);
        else if (is_element(n, "run_managers"))
            parse_run_managers(n);
        else if (is_element(n, "data_logger"))
            parse_data_logger(n);
        else
            std::cout << "Wrong element " << reinterpret_cast<const char*>(n->name) << " in plugins"
                      << std::endl;
    }
}

void PluginParser::parse_plugin(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    const std::string name = config->get_attribute<std::string>(element, "name");
    const std::string module = config->get_attribute<std::string>(element, "module");
    if (!config->find_element(element, "lib")) {
        std::cout << "ConfigParser: plugin " << name << " does not have the 'lib' element"
                  << std::endl;
        return;
    }
    if (!config->find_element(element, "hook")) {
        std::cout << "ConfigParser: plugin " << name << " does not have the 'hook' element"
                  << std::endl;
        return;
    }
    const std::string lib = config->get_value<std::string>(element, "lib");
    const std::string hook_name = config->get_value<std::string>(element, "hook");
    const std::string lang = downcase(config->get_attribute<std::string>(element, "lang", "c++"));
    if (lang != "c++") {
        std::cout << "Python modules not allowed" << std::endl;
        return;
    }

    Hook hook = load_symbol(hook_name, lib);
    if (!hook)
        return;
    SectionParser* parser = hook();
    if (!parser)
        return;
    if (is_builtin_section(module)) {
        std::cout << "ConfigParser: plugin " << name << " cannot serve <" << module
                  << ">: the name belongs to a built-in section" << std::endl;
        // Ours to delete, unless the plug-in handed out a parser that already
        // serves another element.
        if (!config->has_handler(parser))
            delete parser;
        return;
    }
    SectionParser* replaced = config->get_handler(module);
    config->register_handler(module, parser);
    parser->set_name(module);
    // A module named by two plug-in elements: the earlier parser, which this
    // loader made and nothing else holds now, would outlive every reset.
    if (replaced && replaced != parser && loaded.count(replaced) && !config->has_handler(replaced)) {
        loaded.erase(replaced);
        delete replaced;
    }
    loaded.insert(parser);
}

void PluginParser::parse_interrupt(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->find_element(element, "lib"))
        return;
    const std::string lib = config->get_value<std::string>(element, "lib");

    const auto load = [&](const char* child) -> Hook {
        if (!config->find_element(element, child))
            return Hook();
        return load_symbol(config->get_value<std::string>(element, child), lib);
    };
    if (Hook h = load("enable"))
        int_enable = h;
    if (Hook h = load("disable"))
        int_disable = h;
    if (Hook h = load("reset"))
        int_reset = h;
    if (Hook h = load("start"))
        int_start = h;
    if (Hook h = load("stop"))
        int_stop = h;
}

void PluginParser::parse_run_managers(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    for (xmlNodePtr n = element->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        const std::string type = reinterpret_cast<const char*>(n->name);
        const std::string lib = config->get_value<std::string>(n, "lib");
        const std::string hook_name = config->get_value<std::string>(n, "hook");
        Hook hook = load_symbol(hook_name, lib);
        if (!hook) {
            std::cout << "*** Problems loading hook for RunManager " << type << std::endl;
            continue;
        }
        factories[type] = hook;
        if (const char* alias = alias_of(type))
            factories[alias] = hook;
        else
            std::cout << "*** RunManager of type: " << type << " cannot be handled ***"
                      << std::endl;
    }
}

void PluginParser::parse_data_logger(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    for (const char* child : {"lib", "hook"}) {
        if (!config->find_element(element, child)) {
            std::cout << "ConfigParser: data_logger " << " does not have the '" << child
                      << "' element" << std::endl;
            return;
        }
    }
    Hook hook = load_symbol(config->get_value<std::string>(element, "hook"),
                            config->get_value<std::string>(element, "lib"));
    if (hook)
        logger_factory = hook;
}

// Use --------------------------------------------------------------------------

void PluginParser::set_builtin_factory(RunManagerFactory factory)
{
    builtin_factory = factory;
}

Ostrel::RunManager* PluginParser::create_run_manager(const std::string& type,
                                                     const std::string& name)
{
    auto it = factories.find(type);
    if (it != factories.end())
        return it->second(type, name);
    return builtin_factory ? builtin_factory(type, name) : nullptr;
}

DataLogger* PluginParser::create_logger(bool compress, int max_size)
{
    if (!logger_factory || !logger_enabled)
        return nullptr;
    return logger_factory(compress, max_size);
}

int PluginParser::enable_interrupts()
{
    return int_enable();
}

bool PluginParser::has_interrupt_hook() const
{
    return int_enable != InterruptEnableHook(no_enable);
}

void PluginParser::disable_interrupts()
{
    int_disable();
}

void PluginParser::reset_interrupts()
{
    int_reset();
}

void PluginParser::start_interrupts()
{
    int_start();
}

void PluginParser::stop_interrupts()
{
    int_stop();
}

// Write-back -------------------------------------------------------------------

xmlNodePtr PluginParser::plugins_child(const std::string& name)
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->root())
        return nullptr;
    xmlNodePtr plugins = config->get_plugins_node();
    if (!plugins)
        plugins = config->create_section("plugins");
    xmlNodePtr child = config->find_element(plugins, name);
    return child ? child : config->create_element(plugins, name);
}

void PluginParser::set_interrups(const std::string& lib, const std::string& enable,
                                 const std::string& disable, const std::string& start,
                                 const std::string& stop, const std::string& reset)
{
    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr irq = plugins_child("interrupt");
    if (!irq)
        return;
    const std::pair<const char*, const std::string*> values[] = {
        {"lib", &lib},   {"enable", &enable}, {"disable", &disable},
        {"start", &start}, {"stop", &stop},     {"reset", &reset},
    };
    for (const auto& v : values) {
        if (v.second->empty())
            config->remove_child(irq, v.first);
        else
            config->set_value<std::string>(irq, v.first, *v.second);
    }
}

void PluginParser::set_data_logger(const std::string& lib, const std::string& hook,
                                   const std::string& options)
{
    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr logger = plugins_child("data_logger");
    if (!logger)
        return;
    config->set_value<std::string>(logger, "lib", lib);
    config->set_value<std::string>(logger, "hook", hook);
    config->set_value<std::string>(logger, "options", options);
}

void PluginParser::set_runmanager(const std::string& type, const std::string& lib,
                                  const std::string& hook)
{
    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr managers = plugins_child("run_managers");
    if (!managers)
        return;
    xmlNodePtr entry = config->find_element(managers, type);
    if (!entry)
        entry = config->create_element(managers, type);
    config->set_value<std::string>(entry, "lib", lib);
    config->set_value<std::string>(entry, "hook", hook);
}

void PluginParser::set_plugin(const std::string&, const std::string&, const std::string&,
                              const std::string&)
{
}
