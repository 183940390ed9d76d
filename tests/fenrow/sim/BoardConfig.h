// Set-up of the tests that run the board managers as the program does: a
// configuration document read by the managers' sections, the run manager
// "main", the GLib main loop that configures new boards, and the schema the
// written document must follow.
#ifndef BRISKO_TESTS_FENROW_BOARDCONFIG_H
#define BRISKO_TESTS_FENROW_BOARDCONFIG_H

#include <functional>
#include <string>

#include "FenrowNet.h"
#include "config/ConfigParser.h"
#include "fenrow/Fenrow.h"

namespace Ostrel {
class RunManager;
}

namespace fenrow_test {

// Timing short enough that a missed knock is answered again at once.
FenrowTiming quick_timing();

// A clean configuration while it lives; the configuration is reset again at
// the end, which deletes the run managers, the modules and the handlers.
class ConfigScope {
public:
    ConfigScope();
    ~ConfigScope();

    // Registers the handler under the element name (the configuration owns
    // it from now on), then reads a document whose `modules` section holds
    // the text.
    void load(const std::string& element, SectionParser* handler, const std::string& modules);
    // The run manager "main", made as the program makes it.
    Ostrel::RunManager* make_main();
    // Saves the document; true when it follows the schema (the reasons are
    // printed otherwise).
    bool saved_document_is_valid(std::string* text = nullptr);

    xmlNodePtr node(const std::string& xpath);
    int count(const std::string& xpath);
    std::string attribute(const std::string& xpath, const std::string& name);
    std::string text(const std::string& xpath);

    ConfigParser* config;
    std::string dir;
};

// Runs the GLib main loop's pending work until cond holds or the time is up.
bool pump_until(const std::function<bool()>& cond, double seconds);

// The node of the board at ip once its registration is complete (its
// modules are made before the firmware of its knock reply is stored), or
// null after the time.
ModuleNode* wait_registered(FenrowManager& manager, const std::string& ip, double seconds = 5.0);

} // namespace fenrow_test

#endif
