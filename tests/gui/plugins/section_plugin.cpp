// A module family for the plug-in settings dialog's tests: every
// <gadget name="ID" address="0x10"/> makes a module, and a new element gets
// the family's default content. Interrupt and factory hooks that do nothing.
#include <cstdlib>
#include <string>

#include "common/TestModule.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"

class DataLogger;

namespace {

class GadgetSection : public ModuleParser {
public:
    void parse_node(xmlNodePtr element) override
    {
        ConfigParser* config = ConfigParser::theConfig();
        const std::string id = config->get_attribute<std::string>(element, "name");
        const std::string address = config->get_attribute<std::string>(element, "address", "0");
        set_id(id);
        if (!GenModule::find_module(id))
            new TestModule(id, nullptr, std::strtoul(address.c_str(), nullptr, 0));
    }
    void save_config_node(xmlNodePtr node) override { ConfigParser::theConfig()->create_child<int>(node, "channels", 8); }
};

} // namespace

extern "C" {

SectionParser* create_gadgets()
{
    return new GadgetSection;
}

int irq_enable()
{
    return 0;
}

void irq_stop() {}

DataLogger* make_logger(bool, int)
{
    return nullptr;
}

} // extern "C"
