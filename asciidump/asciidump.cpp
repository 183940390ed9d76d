// The text logger plug-in: its run manager, its logger, and the factory
// functions the configuration names.
#include "asciidump/ASCIIDump.h"

#include <cstdint>
#include <cstring>
#include <sstream>

#include <glib.h>

#include "daq/RunSupport.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"

namespace {

const char* const version = "0.3.2-1";

// Where the words of the payload lie, in 16-bit words from the record's start.
constexpr size_t count_word = 11;
constexpr size_t layout_word = 12;
constexpr size_t first_value_word = 13;
constexpr uint16_t plain_list = 1;

uint16_t word(const char* block, size_t index)
{
    uint16_t w = 0;
    std::memcpy(&w, block + 2 * index, sizeof w);
    return w;
}

} // namespace

// ---- run manager -------------------------------------------------------------

ASCIIDumpManager::ASCIIDumpManager(const Ostrel::DAQid& id) : DataRunManager(id)
{
    run_support::log(Ostrel::LOG_MESSAGE, "Creating ASCIIDumpManager : " + id.str());
}

ASCIIDumpManager::~ASCIIDumpManager()
{
    // Before this class goes: the run's last events are still written as
    // lines, and the file is closed complete.
    retire();
}

bool ASCIIDumpManager::format_line(const Ostrel::ModuleData* data, std::string& line)
{
    const size_t bytes = data ? data->size() : 0;
    if (bytes < 2 * first_value_word)
        return false;
    const char* block = data->data();
    const size_t n = word(block, count_word);
    // A layout other than the plain list has its leading value first.
    const size_t values = word(block, layout_word) == plain_list ? n : n + 1;
    if (bytes < 2 * (first_value_word + values))
        return false;
    std::ostringstream os;
    for (size_t i = 0; i < values; ++i) {
        if (i)
            os << ' ';
        os << word(block, first_value_word + i);
    }
    os << '\n';
    line = os.str();
    return true;
}

bool ASCIIDumpManager::in_text_layout(const Ostrel::DAQid& id, Ostrel::Module* module)
{
    {
        std::lock_guard<std::mutex> lock(layouts_mutex);
        auto it = layouts.find(id);
        if (it != layouts.end())
            return !it->second.own_layout;
    }
    // Asked outside the lock: a module may take locks of its own for it.
    const bool own = !module->get_data_format().empty();
    std::lock_guard<std::mutex> lock(layouts_mutex);
    layouts[id].own_layout = own;
    return !own;
}

void ASCIIDumpManager::skip(const Ostrel::DAQid& id)
{
    bool first;
    {
        std::lock_guard<std::mutex> lock(layouts_mutex);
        first = layouts[id].skipped++ == 0;
    }
    if (first)
        run_support::log(Ostrel::LOG_WARNING, "ASCIIDumpManager: events of module " + id.str() +
                                                  " are not in the text layout: not written");
}

void ASCIIDumpManager::Start()
{
    {
        std::lock_guard<std::mutex> lock(layouts_mutex);
        layouts.clear();
    }
    DataRunManager::Start();
}

void ASCIIDumpManager::Stop()
{
    // The run's last events are written (or not) in the base's Stop.
    DataRunManager::Stop();
    std::map<Ostrel::DAQid, ModuleLayout> seen;
    {
        std::lock_guard<std::mutex> lock(layouts_mutex);
        seen.swap(layouts);
    }
    for (const auto& entry : seen)
        if (entry.second.skipped)
            run_support::log(Ostrel::LOG_WARNING, "ASCIIDumpManager: " + std::to_string(entry.second.skipped) +
                                                      " events of module " + entry.first.str() +
                                                      " not in the text layout, not written");
}

int ASCIIDumpManager::writeData(const Ostrel::DAQid& module, Ostrel::ModuleData* data)
{
    // After a failed write of the run file its events are not written.
    const int logging_off = logging_failed() ? 0 : 1;
    if (!get_logger())
        return logging_off;
    Ostrel::Module* m = Ostrel::DAQmanager::theDAQmanager()->find_module(module);
    if (!m)
        return 0;
    std::string line;
    if (!in_text_layout(module, m) || !format_line(data, line)) {
        skip(module);
        return 0;
    }
    long written = 0;
    // Logging may have stopped meanwhile: then the event is not logged.
    // A write that fails says so itself and ends the logging.
    if (!with_logger([&](DataLogger* logger) { written = logger->write_record(line.data(), line.size()); }))
        return logging_off;
    return written < 0 ? -1 : static_cast<int>(line.size());
}

// ---- logger ------------------------------------------------------------------

ASCIILogger::ASCIILogger(TellumRunManager* rm, unsigned long max_size) : DataLogger(rm, false, max_size)
{
    set_extension("txt");
}

ASCIILogger::~ASCIILogger()
{
    close();
}

void ASCIILogger::writePedestals() {}

void ASCIILogger::writeMaps() {}

void ASCIILogger::writeScanDefinition() {}

void ASCIILogger::writeScanPoint() {}

void ASCIILogger::writeConfig() {}

// ---- plug-in entry points ------------------------------------------------------

extern "C" Ostrel::RunManager* create_run_manager(const std::string& /*type*/, const std::string& name)
{
    Ostrel::RunManager* rm = new ASCIIDumpManager(Ostrel::DAQid(name));
    g_log("Tellum", G_LOG_LEVEL_WARNING, "Creating ASCIIDumpManager");
    return rm;
}

extern "C" DataLogger* create_ascii_logger(bool /*compress*/, int max_size)
{
    g_log("Tellum", G_LOG_LEVEL_WARNING, "Creating an ASCII Logger");
    // No size limit for a negative size, as for the other loggers.
    return new ASCIILogger(nullptr, max_size > 0 ? static_cast<unsigned long>(max_size) : 0);
}

// ---- loading -------------------------------------------------------------------

__attribute__((constructor)) static void __init__lib__()
{
    run_support::log(Ostrel::LOG_INFO, std::string("### Loading ASCIIDump module version ") + version +
                                           " (" + __DATE__ + " " + __TIME__ + ")");
}

__attribute__((destructor)) static void __close__lib__()
{
    run_support::log(Ostrel::LOG_INFO, "### Unloading ASCIIDump...");
}
