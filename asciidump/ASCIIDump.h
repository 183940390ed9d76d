// The text logger plug-in: a run manager that writes each event as one line
// of decimal numbers, and the data logger of those lines.
//
// The event payload it reads (16-bit words in host byte order, counted from
// the start of the event record, whose first 16 bytes are its header):
//
//     word 11      n, the number of values
//     word 12      layout: 1 is a plain list of the n values from word 13;
//                  any other layout has a leading value in word 13 and the
//                  n values after it
//     word 13 ...  the values
//
// A line holds the values in decimal, one blank between two, and ends with
// a newline. A module that describes its events with a data-format
// descriptor (a board stream) lays them out its own way: its events are not
// written, and neither is an event too short for the values it announces.
// The log says so once per module and run, and how many at the run's end.
#ifndef BRISKO_ASCIIDUMP_ASCIIDUMP_H
#define BRISKO_ASCIIDUMP_ASCIIDUMP_H

#include <map>
#include <mutex>
#include <string>

#include "daq/DataLogger.h"
#include "daq/RunManagers.h"

// The data run manager whose run file is text.
class ASCIIDumpManager : public DataRunManager {
public:
    explicit ASCIIDumpManager(const Ostrel::DAQid& id);
    ~ASCIIDumpManager() override;

    // The event's line into the run file: 1 with logging off (nothing
    // written; 0 when logging ended because a write failed), 0 for a module
    // the framework does not know and for an event not in the text layout
    // (dropped), -1 when the file refused the line (logging ends then),
    // else the line's length in bytes.
    int writeData(const Ostrel::DAQid& module, Ostrel::ModuleData* data) override;

    // The event's line; false for a block too short for what it announces.
    static bool format_line(const Ostrel::ModuleData* data, std::string& line);

    void Start() override;
    void Stop() override;

private:
    // A module's events in this run, as far as the text layout goes.
    struct ModuleLayout {
        bool own_layout = false;     // it has a data-format descriptor
        unsigned long skipped = 0;   // events not in the text layout
    };

    // Whether the module's events are taken as in the text layout (false
    // for a module with a layout of its own); the first look of a run asks
    // the module.
    bool in_text_layout(const Ostrel::DAQid& id, Ostrel::Module* module);
    // Counts an event of the module that is not written; the first of the
    // run is said.
    void skip(const Ostrel::DAQid& id);

    // The run thread writes, a caller of writeData may too.
    std::mutex layouts_mutex;
    std::map<Ostrel::DAQid, ModuleLayout> layouts;
};

// Writes what it is given and no side records; the run file's extension is
// "txt". Compression is never used.
class ASCIILogger : public DataLogger {
public:
    ASCIILogger(TellumRunManager* rm, unsigned long max_size);
    ~ASCIILogger() override;

    void writePedestals() override;
    void writeMaps() override;
    void writeScanDefinition() override;
    void writeScanPoint() override;
    void writeConfig() override;
};

#endif
