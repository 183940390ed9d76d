#include "daq/DataLogger.h"

#include <mutex>

#include "daq/GenModule.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "data/HstData.h"
#include "data/PadMap.h"

DataLogger::DataLogger(TellumRunManager* rm, bool compress, unsigned long max_size)
    : Ostrel::FileIOManager(compress, max_size), run_manager(rm)
{
}

DataLogger::~DataLogger() = default;

double DataLogger::run_time() const
{
    return run_manager ? run_manager->get_status().time() : 0.0;
}

std::time_t DataLogger::wall_time() const
{
    return std::time(nullptr);
}

std::vector<GenModule*> DataLogger::run_modules() const
{
    std::vector<GenModule*> out;
    if (!run_manager)
        return out;
    for (Ostrel::Module* m : run_manager->modules()) {
        if (GenModule* g = dynamic_cast<GenModule*>(m))
            out.push_back(g);
    }
    return out;
}

ScanRunManager* DataLogger::scan_manager() const
{
    return dynamic_cast<ScanRunManager*>(run_manager);
}

std::vector<uint32_t> DataLogger::pad_words(const HstData& data, uint32_t& shape)
{
    std::vector<uint32_t> words;
    shape = 0;
    // The analysis replaces its map under this lock.
    std::lock_guard<Ostrel::Mutex> lock(data.get_lock());
    const PadMap* map = data.get_map();
    if (!map)
        return words;
    shape = static_cast<uint32_t>(map->nx()) << 16 | (static_cast<uint32_t>(map->ny()) & 0xFFFF);
    const int ntot = data.Ntot();
    words.reserve(static_cast<size_t>(ntot + 1) / 2);
    for (int i = 0; i < ntot; i += 2) {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        map->pad(i, x0, y0);
        map->pad(i + 1 < ntot ? i + 1 : -1, x1, y1);
        words.push_back((static_cast<uint32_t>(x0) & 0xFF) << 24 | (static_cast<uint32_t>(y0) & 0xFF) << 16 |
                        (static_cast<uint32_t>(x1) & 0xFF) << 8 | (static_cast<uint32_t>(y1) & 0xFF));
    }
    return words;
}
