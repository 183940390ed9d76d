#include "daq/RunSupport.h"

#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PluginParser.h"
#include "daq/TellumData.h"
#include "ostrel/Log.h"

namespace run_support {

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

} // namespace

bool ped_update()
{
    return general().get_ped_update();
}

int ped_period()
{
    return general().get_ped_period();
}

int ped_method()
{
    return general().get_ped_method();
}

int monitor_buffer()
{
    return general().get_monitor_buffer();
}

bool compression()
{
    return io().get_compression();
}

unsigned long max_size()
{
    return io().get_max_size();
}

PluginParser* plugins()
{
    return dynamic_cast<PluginParser*>(ConfigParser::theConfig()->get_handler("plugins"));
}

void stamp_event(Ostrel::ModuleData* data, unsigned long event_number)
{
    if (TellumData* record = TellumData::from(data)) {
        record->data_type = TellumData::EVENT_RECORD;
        record->event_counter = static_cast<uint32_t>(event_number);
    }
}

void log(int level, const std::string& text)
{
    Ostrel::ostream os;
    os << Ostrel::loglevel(level) << text << std::endl;
}

void log_destroying(const char* class_name, const Ostrel::DAQid& id)
{
    log(Ostrel::LOG_INFO, std::string("...destroying ") + class_name + " " + id.str());
}

} // namespace run_support
