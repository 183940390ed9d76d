// A plug-in for the program's own tests: the module kind "synthetic", whose
// modules make events without hardware, and a data-logger factory that
// gives the native binary logger.
#include <cstdint>
#include <cstring>
#include <string>

#include "common/SyntheticModule.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/TellumLogger.h"

namespace {

// Its events in the text logger's layout instead: the sequence number, as
// the one value of a plain list (16-bit words 11, 12 and 13 of the record).
class TextSyntheticModule : public SyntheticModule {
public:
    using SyntheticModule::SyntheticModule;

    std::string get_data_format() override { return std::string(); }
    Ostrel::ModuleData* getData() override
    {
        Ostrel::ModuleData* block = SyntheticModule::getData();
        if (!block)
            return nullptr;
        const TellumData* made = TellumData::from(block);
        SyntheticPayload head;
        std::memcpy(&head, made->data, sizeof head);
        const uint16_t words[] = {1, 1, static_cast<uint16_t>(head.sequence)};
        Ostrel::ModuleData* text = TellumData::create_packet(TellumData::EVENT_RECORD, made->mod_id, 12);
        TellumData* record = TellumData::from(text);
        record->event_counter = made->event_counter;
        std::memcpy(record->data + 6, words, sizeof words);
        block->dec_ref();
        return text;
    }
};

// <synthetic name="7" mode="trigger|timed" rate="1000" nchip="1" nchan="8"
//            layout="synthetic|text"/>
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
        const std::string layout = config->get_attribute<std::string>(element, "layout", "synthetic");
        set_id(id);
        const SyntheticModule::Mode kind = mode == "timed" ? SyntheticModule::Timed : SyntheticModule::OnTrigger;
        if (GenModule::find_module(id))
            return;
        if (layout == "text")
            new TextSyntheticModule(id, kind, rate, nchip, nchan);
        else
            new SyntheticModule(id, kind, rate, nchip, nchan);
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
