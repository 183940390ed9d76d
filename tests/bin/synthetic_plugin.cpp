// A plug-in for the program's own tests: the module kind "synthetic", whose
// modules make events without hardware, and a data-logger factory that
// gives the native binary logger.
#include <string>

#include "common/SyntheticModule.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/TellumLogger.h"

namespace {

// <synthetic name="7" mode="trigger|timed" rate="1000" nchip="1" nchan="8"/>
class SyntheticSection : public ModuleParser {
public:
    void parse_node(xmlNodePtr element) override
    {
        ConfigParser* config = ConfigParser::theConfig();
        const std::string id = config->get_attribute<std::string>(element, "name");
        const std::string mode = config->get_attribute<std::string>(element, "mode", "trigger");
        const double rate = config->get_attribute<double>(element, "rate", 1000.0);
        const int nchip = config->get_attribute<int>(element, "nchip", 1);
        const int nchan = config->get_attribute<int>(element, "nchan", 8);
        set_id(id);
        if (!GenModule::find_module(id))
            new SyntheticModule(id, mode == "timed" ? SyntheticModule::Timed : SyntheticModule::OnTrigger,
                                rate, nchip, nchan);
    }
};

} // namespace

extern "C" SectionParser* synthetic_section()
{
    return new SyntheticSection;
}

extern "C" DataLogger* native_logger(bool compress, int max_size)
{
    return new TellumLogger(nullptr, compress, max_size > 0 ? static_cast<unsigned long>(max_size) : 0);
}
