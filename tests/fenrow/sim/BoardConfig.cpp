#include "BoardConfig.h"

#include <iostream>
#include <vector>

#include <glib.h>
#include <libxml/xmlschemas.h>

#include "common/SetUpAcquisition.h"
#include "common/TestUtil.h"
#include "daq/DAQcontroller.h"
#include "ostrel/DAQmanager.h"

namespace fenrow_test {

FenrowTiming quick_timing()
{
    FenrowTiming t;
    t.knock_period = 0.2;
    t.check_period = 0.02;
    t.resend_after = 0.1;
    return t;
}

ConfigScope::ConfigScope() : config(ConfigParser::theConfig()), dir(testutil::make_temp_dir("boards"))
{
    config->set_config_path("");
    config->set_do_validate(false);
    config->reset();
}

ConfigScope::~ConfigScope()
{
    config->reset();
}

void ConfigScope::load(const std::string& element, SectionParser* handler, const std::string& modules)
{
    config->register_handler(element, handler);
    handler->set_name(element);
    const std::string path = dir + "/boards.xml";
    testutil::write_file(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                               "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
                               "<plugins/><modules>" +
                                   modules + "</modules><general/>\n</Sorbek>\n");
    config->parse(path.c_str());
}

Ostrel::RunManager* ConfigScope::make_main()
{
    testutil::set_up_acquisition();
    return Ostrel::DAQmanager::theDAQmanager()->find_runmanager("main");
}

bool ConfigScope::saved_document_is_valid(std::string* text)
{
    const std::string path = dir + "/saved.xml";
    if (config->save_config(path.c_str()) < 0)
        return false;
    if (text)
        *text = testutil::read_file(path);
    const std::string schema = std::string(BRISKO_SOURCE_DIR) + "/config/sorbek.xsd";
    bool valid = false;
    xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewParserCtxt(schema.c_str());
    if (xmlSchemaPtr s = xmlSchemaParse(pctxt)) {
        if (xmlSchemaValidCtxtPtr vctxt = xmlSchemaNewValidCtxt(s)) {
            valid = xmlSchemaValidateFile(vctxt, path.c_str(), 0) == 0;
            xmlSchemaFreeValidCtxt(vctxt);
        }
        xmlSchemaFree(s);
    }
    xmlSchemaFreeParserCtxt(pctxt);
    return valid;
}

xmlNodePtr ConfigScope::node(const std::string& xpath)
{
    std::vector<xmlNodePtr> nodes;
    return config->get_node(xpath, nodes) ? nodes.front() : nullptr;
}

int ConfigScope::count(const std::string& xpath)
{
    std::vector<xmlNodePtr> nodes;
    return config->get_node(xpath, nodes);
}

std::string ConfigScope::attribute(const std::string& xpath, const std::string& name)
{
    xmlNodePtr n = node(xpath);
    return n ? config->get_attribute<std::string>(n, name, "<none>") : "<no element>";
}

std::string ConfigScope::text(const std::string& xpath)
{
    xmlNodePtr n = node(xpath);
    return n ? config->get_node_value(n) : "<no element>";
}

bool pump_until(const std::function<bool()>& cond, double seconds)
{
    return testutil::wait_until(
        [&] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            return cond();
        },
        seconds);
}

ModuleNode* wait_registered(FenrowManager& manager, const std::string& ip, double seconds)
{
    testutil::wait_until(
        [&] {
            ModuleNode* n = manager.get_module(ip);
            return n && n->firmware() != 0;
        },
        seconds);
    // The manager registers a board while it holds the document's lock:
    // taking it here orders what the registration wrote before what the
    // test reads.
    std::lock_guard<std::recursive_mutex> lock(ConfigParser::theConfig()->document_mutex());
    return manager.get_module(ip);
}

} // namespace fenrow_test
