#include "daq/DataLogger.h"

#include <mutex>

#include <sys/stat.h>

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

long DataLogger::write_record(const char* buffer, unsigned long size)
{
    const long n = write(buffer, size);
    if (n > 0)
        took_event(this->size());
    return n;
}

long DataLogger::do_write(const FileIODescriptor&, const char* buffer, unsigned long size)
{
    return DataLogger::write_record(buffer, size);
}

void DataLogger::took_event()
{
    // The run manager's event number is the cycle's while it writes.
    const unsigned long cycle = run_manager ? run_manager->get_event_number() : logged;
    if (took_any && run_manager && cycle == last_cycle)
        return;
    took_any = true;
    last_cycle = cycle;
    ++logged;
}

void DataLogger::took_event(unsigned long end)
{
    const unsigned long before = logged;
    took_event();
    if (logged != before)
        unsynced.emplace_back(end, logged);
    else if (!unsynced.empty())
        unsynced.back().first = end;   // the cycle is in the file once its last block is
}

void DataLogger::all_kept()
{
    keep(logged);
}

void DataLogger::keep(unsigned long events)
{
    kept = kept_at_sync = events;
    unsynced.clear();
}

int DataLogger::do_sync()
{
    const int rc = Ostrel::FileIOManager::do_sync();
    if (rc == 0 && !failed())
        all_kept();
    return rc;
}

int DataLogger::do_close()
{
    const int rc = Ostrel::FileIOManager::do_close();
    // A failed file has been cut after its last whole write by now.
    if (failed())
        keep_what_reached();
    else
        all_kept();
    return rc;
}

void DataLogger::keep_what_reached()
{
    struct stat st;
    const std::string name = get_file_name();
    const unsigned long on_disk = ::stat(name.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_size) : 0;
    kept = kept_at_sync;
    for (const auto& taken : unsynced) {
        if (taken.first > on_disk)
            break;
        kept = taken.second;
    }
}

std::string DataLogger::failure_note()
{
    keep_what_reached();
    return ": " + std::to_string(logged - kept) + " of the " + std::to_string(logged) +
           " events logged so far are in no file";
}

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
