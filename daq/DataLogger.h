// The base of every data logger: the framework's file manager, the run
// manager whose run it records, and the writers of the run's side records.
#ifndef BRISKO_DAQ_DATALOGGER_H
#define BRISKO_DAQ_DATALOGGER_H

#include <cstdint>
#include <ctime>
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

protected:
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
};

#endif
