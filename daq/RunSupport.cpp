#include "daq/RunSupport.h"

#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

namespace run_support {

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
