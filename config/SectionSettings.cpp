#include "config/SectionSettings.h"

#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PluginParser.h"
#include "daq/RunSettings.h"
#include "data/Analysis.h"

namespace {

template <class Section>
const Section& section(const char* name)
{
    if (const Section* s = dynamic_cast<const Section*>(ConfigParser::theConfig()->get_handler(name)))
        return *s;
    static const Section* defaults = new Section;
    return *defaults;
}

const GeneralConfig& general()
{
    return section<GeneralConfig>("general");
}

const IOConfig& io()
{
    return section<IOConfig>("IO");
}

PluginParser* plugins()
{
    return dynamic_cast<PluginParser*>(ConfigParser::theConfig()->get_handler("plugins"));
}

class FromSections : public RunSettings {
public:
    bool ped_update() const override { return general().get_ped_update(); }
    int ped_period() const override { return general().get_ped_period(); }
    int monitor_buffer() const override { return general().get_monitor_buffer(); }
    bool compression() const override { return io().get_compression(); }
    unsigned long max_size() const override { return io().get_max_size(); }

    Ostrel::RunManager* create_run_manager(const std::string& type,
                                           const std::string& name) const override
    {
        if (PluginParser* p = plugins())
            return p->create_run_manager(type, name);
        return RunSettings::create_run_manager(type, name);
    }
    DataLogger* create_logger(bool compress, int max_size) const override
    {
        PluginParser* p = plugins();
        return p ? p->create_logger(compress, max_size) : nullptr;
    }
    void reset_interrupts() const override
    {
        if (PluginParser* p = plugins())
            p->reset_interrupts();
    }
};

Analysis::PedestalSettings pedestal_settings()
{
    const GeneralConfig& g = general();
    return {g.get_ped_min_sample(), g.get_ped_method() == GeneralConfig::normal};
}

} // namespace

namespace SectionSettings {

void hand_in()
{
    // Never destroyed: run threads may still read it while the process exits.
    static const FromSections* const from_sections = new FromSections;
    RunSettings::hand_in(from_sections);
    Analysis::set_pedestal_source(&pedestal_settings);
}

} // namespace SectionSettings
