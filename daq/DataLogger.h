// The base of every data logger: the framework's file manager, the run
// manager whose run it records, and the writers of the run's side records.
#ifndef BRISKO_DAQ_DATALOGGER_H
#define BRISKO_DAQ_DATALOGGER_H

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/FileIOManager.h"

class GenModule;
class HstData;
class ScanRunManager;
class TellumRunManager;

class DataLogger : public Ostrel::FileIOManager {
public:
    // max_size: the bytes after which the file manager goes on in a new
    // file (0: no limit).
    DataLogger(TellumRunManager* rm, bool compress, unsigned long max_size);
    ~DataLogger() override;

    TellumRunManager* get_run_manager() const { return run_manager; }
    void set_run_manager(TellumRunManager* rm) { run_manager = rm; }

    // Side records of the run: at the start of each file, and when the run
    // managers ask (periodic pedestals, each scan point).
    virtual void writePedestals() = 0;
    virtual void writeMaps() = 0;
    virtual void writeScanDefinition() = 0;
    virtual void writeScanPoint() = 0;
    virtual void writeConfig() = 0;

    // A sync for the run's periodic one: a logger that prepares rows on
    // other threads puts on disk what is ready, without waiting for them.
    virtual int sync_ready() { return sync(); }

    // An event block that comes without a stream descriptor (the
    // internal-trigger run's whole records, the text logger's lines): what
    // it put in the file (bytes, or rows), 0 for nothing, -1 once the
    // writing has failed. By default the file manager's plain write.
    virtual long write_record(const char* buffer, unsigned long size);

    // The events the logger took into its files, counted as the run counts
    // its written events: the run loop's cycles, each once however many of
    // its blocks (one at most per module) went in. And of those, the ones
    // the files hold for sure: all but those taken since the last sync, and
    // once a write has failed, those that had reached the file before.
    unsigned long events_logged() const { return logged; }
    unsigned long events_kept() const { return kept; }

protected:
    // An event's data went into the file: a new cycle counts once. `end`,
    // for a file of bytes: where the event's bytes end in the current file.
    void took_event();
    void took_event(unsigned long end);
    // What was taken is in the file; or the first `events` of it.
    void all_kept();
    void keep(unsigned long events);

    // Loggers of byte files: the event's block through the file manager's
    // plain write, counted; the syncs and the close keep what they wrote.
    long do_write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size) override;
    int do_sync() override;
    int do_close() override;
    // How many of the events taken are in no file.
    std::string failure_note() override;

    // Seconds since the run started (the run state's clock) and the time of
    // day for the run records; tests replace them with clocks of their own.
    virtual double run_time() const;
    virtual std::time_t wall_time() const;

    // The run manager's modules that take part in the logging, in the run
    // command's order; modules of the framework that are not ours cannot
    // describe themselves and are left out.
    std::vector<GenModule*> run_modules() const;
    // The run manager when it runs a scan, else null.
    ScanRunManager* scan_manager() const;
    // The pad-map words of the histogram set, one per pair of channels:
    // x(i) << 24 | y(i) << 16 | x(i+1) << 8 | y(i+1), a channel without a
    // pad (or past the last) at (255, 255). Empty without a map.
    static std::vector<uint32_t> pad_words(const HstData& data, uint32_t& shape);

    TellumRunManager* run_manager;

private:
    // After a failed write: the events whose bytes had reached the file.
    void keep_what_reached();

    unsigned long logged = 0;
    unsigned long kept = 0;
    unsigned long kept_at_sync = 0;
    bool took_any = false;
    unsigned long last_cycle = 0;
    // The events taken since the last sync: where each ends in the current
    // file, and the count of events taken with it.
    std::vector<std::pair<unsigned long, unsigned long>> unsynced;
};

#endif
