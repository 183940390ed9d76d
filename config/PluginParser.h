// Handler of the `plugins` section: opens plug-in libraries by name and keeps
// the functions the configuration names in them as hooks.
#ifndef BRISKO_CONFIG_PLUGINPARSER_H
#define BRISKO_CONFIG_PLUGINPARSER_H

#include <exception>
#include <map>
#include <set>
#include <string>

#include <gmodule.h>

#include "config/SectionParser.h"

namespace Ostrel {
class RunManager;
}
class DataLogger;

// The signatures of the functions a plug-in library exports; the caller owns
// what a factory returns.
typedef SectionParser* (*SectionHook)();
typedef Ostrel::RunManager* (*RunManagerFactory)(const std::string& type,
                                                  const std::string& name);
typedef DataLogger* (*DataLoggerFactory)(bool compress, int max_size);
typedef int (*InterruptEnableHook)();
typedef void (*InterruptHook)();

// Declared for plug-in code; the loader itself reports by messages.
class PluginException : public std::exception {
public:
    explicit PluginException(const std::string& message = std::string());
    ~PluginException() override;
    // The message; "PluginException" when it was built without one.
    const char* what() const noexcept override;

private:
    std::string _message;
};

// The address of one symbol of a plug-in library, null when it was not found.
class Hook {
public:
    explicit Hook(gpointer address = nullptr) : _address(address) {}

    explicit operator bool() const { return _address != nullptr; }
    bool operator!() const { return _address == nullptr; }

    operator SectionHook() const { return as<SectionHook>(); }
    operator RunManagerFactory() const { return as<RunManagerFactory>(); }
    operator DataLoggerFactory() const { return as<DataLoggerFactory>(); }
    operator InterruptEnableHook() const { return as<InterruptEnableHook>(); }
    operator InterruptHook() const { return as<InterruptHook>(); }

    // Calls it as a section hook; null for a null hook.
    SectionParser* operator()() const;

private:
    template <class F>
    F as() const
    {
        return reinterpret_cast<F>(_address);
    }

    gpointer _address;
};

class PluginParser : public SectionParser {
public:
    // Open libraries by the name they were asked for; "__main__" is the
    // program itself. A table of its own closes its handles when destroyed;
    // the process-wide one is never destroyed (see libraries()).
    class LibMap {
    public:
        LibMap() = default;
        LibMap(const LibMap&) = delete;
        LibMap& operator=(const LibMap&) = delete;
        virtual ~LibMap();

        GModule* find(const std::string& name) const;
        void insert(const std::string& name, GModule* handle);
        size_t size() const { return handles.size(); }

    private:
        std::map<std::string, GModule*> handles;
    };

    PluginParser();
    ~PluginParser() override;

    // Loads what the element's children name: `plugin` (a section hook whose
    // parser serves the elements named by the attribute `module`),
    // `interrupt`, `run_managers` and `data_logger`. A ConfigException from
    // a child (a missing required attribute or element, or one a plug-in's
    // hook throws) ends the section.
    void parse_node(xmlNodePtr element) override;
    // Back to the defaults: no factories, no data-logger factory, interrupt
    // hooks that do nothing. The data-logger switch and the open libraries
    // stay.
    void reset_plugins();

    // The open handle of the library, opened on first use (found with
    // PathConfig::find_library, else by the system loader); null after a
    // logged failure, which is tried again next time. An empty name is the
    // program itself.
    static GModule* load_library(const std::string& name);
    // The symbol of the library; a null hook after a message.
    static Hook load_symbol(const std::string& symbol, const std::string& library);
    // The table of open libraries: lives until the process ends.
    static LibMap& libraries();

    // The factory configured for the type, else the built-in one; null when
    // neither gives a manager.
    Ostrel::RunManager* create_run_manager(const std::string& type, const std::string& name);
    // Null without a configured factory or while the switch is off.
    DataLogger* create_logger(bool compress, int max_size);
    void enable_data_logger(bool flag) { logger_enabled = flag; }
    // The factory of the built-in run managers (null: none).
    static void set_builtin_factory(RunManagerFactory factory);

    // The configured hooks; without one enable gives -1 and the others do
    // nothing.
    int enable_interrupts();
    // Whether the configuration gave an enable hook.
    bool has_interrupt_hook() const;
    void disable_interrupts();
    void reset_interrupts();
    void start_interrupts();
    void stop_interrupts();

    // Edits of the document's `plugins` element for the settings dialog; they
    // take effect when the document is parsed again. An empty interrupt hook
    // removes its element.
    void set_interrups(const std::string& lib, const std::string& enable,
                       const std::string& disable, const std::string& start,
                       const std::string& stop, const std::string& reset);
    void set_data_logger(const std::string& lib, const std::string& hook,
                         const std::string& options);
    void set_runmanager(const std::string& type, const std::string& lib, const std::string& hook);
    void set_plugin(const std::string& name, const std::string& module, const std::string& lib,
                    const std::string& hook);

private:
    void parse_plugin(xmlNodePtr element);
    void parse_interrupt(xmlNodePtr element);
    void parse_run_managers(xmlNodePtr element);
    void parse_data_logger(xmlNodePtr element);
    // The child `name` of the document's `plugins` element, made when absent.
    static xmlNodePtr plugins_child(const std::string& name);

    std::map<std::string, RunManagerFactory> factories;
    InterruptEnableHook int_enable;
    InterruptHook int_disable;
    InterruptHook int_reset;
    InterruptHook int_start;
    InterruptHook int_stop;
    DataLoggerFactory logger_factory;
    bool logger_enabled;
    // The section parsers the plug-ins' hooks gave and this loader
    // registered.
    std::set<SectionParser*> loaded;

    static RunManagerFactory builtin_factory;
};

#endif
