// The base class of every acquisition module of the program.
#ifndef BRISKO_DAQ_GENMODULE_H
#define BRISKO_DAQ_GENMODULE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/Module.h"
#include "ostrel/Parameter.h"

class Analysis;
class ScanPoint;

// The kind of run a run manager performs and hands to its modules.
enum class RunType : int { None = 0, Data = 1, Pedestal = 2, IntTrg = 3, Scan = 4, Pulse = 5 };

// What the run managers, loggers and windows need of any module on top of the
// framework's: an analysis with its histograms, the parameters "pedestal" and
// "noise" (one value per channel, empty at first) and "command" (a text that
// reaches parse_command), a lookup by identifier, the compressed monitoring
// data and the module's records of the native binary run file.
//
// An analysis given to set_analysis is the module's: a later one replaces
// and deletes it. The last one the class that set it deletes (or hands to
// its owner) in its own destructor, while what that class runs around the
// analysis still exists; this base's destructor leaves it alone.
class GenModule : public Ostrel::Module {
public:
    GenModule(const Ostrel::DAQid& id, unsigned long address);
    ~GenModule() override;

    // The live module entered under the identifier's text, or null.
    static GenModule* find_module(const Ostrel::DAQid& id);

    Analysis* get_analysis() const { return ana; }
    // Deletes the analysis held before.
    void set_analysis(Analysis* analysis);
    // Hands the analysis over to the caller, who owns it from now on; the
    // module has none. For analyses that the module shares with an owner of
    // their own.
    Analysis* release_analysis();
    unsigned long get_address() const { return static_cast<unsigned long>(_add); }

    // The module's own event counter, kept in 24 bits.
    void reset_evt_counter() { ievt = 0; }
    void increase_evt_counter();
    unsigned long get_evt_counter() const { return static_cast<unsigned long>(ievt.load()); }

    RunType get_run_type() const { return run_type.load(); }
    void set_run_type(RunType type) { run_type = type; }
    // Hands the text to parse_command; the "command" parameter calls it.
    void set_command(const std::string& text);

    // The analysis's pedestals and noise into the parameters "pedestal" and
    // "noise", which take one value per channel.
    void update_pedestals();
    // The parameters into the analysis's pedestals and noise, as far as they
    // go; when every channel got a non-zero pedestal and noise the analysis
    // takes them as valid (no pre-sampling).
    void copy_pedestals();
    // A copy of a list parameter ("pedestal", "noise") taken under its lock.
    // Raises the framework's ParameterNonExistent or
    // ParameterTypeDoesNotMatch.
    std::vector<double> copy_list(const std::string& name) const;

    // The histogram set's monitoring stream, compressed with zlib. The caller
    // frees *data with delete[]. 1, or 0 with no data.
    int get_monitor_data(int& size, char** data) override;
    // Empties the histograms and puts the parameters' pedestals back.
    void reset_monitor_data() override;

    // The analysis's chip count and channels per chip; 0 without analysis.
    virtual int get_n_chips();
    virtual int get_n_chan();
    virtual void EndOfEvent();
    virtual void set_scan_point(ScanPoint& point);
    virtual int get_data_type() = 0;
    // The bytes of each row that interpret_data_format hands out (in one
    // array allocated with new[], which the caller deletes); 0 (the default)
    // when the rows are laid out as get_data_format describes. Loggers read
    // no further into a row than this.
    virtual int get_data_row_size() { return 0; }
    // Where the rows of an event block lie in the block itself, laid out as
    // get_data_format describes, so that a logger may read them there rather
    // than from a copy (one per event): their start, their count in nrows
    // and the bytes behind the start in bytes. Null (the default) when the
    // rows must be made with interpret_data_format. Loggers read nothing
    // outside the block; what the block lacks of the rows reads as zeros.
    virtual const char* rows_in_place(const char* block, int size, int& nrows, std::size_t& bytes)
    {
        (void)block;
        (void)size;
        nrows = 0;
        bytes = 0;
        return nullptr;
    }
    // While a run file is open with the module's rows, their layout stays
    // the one the file was opened with: a setting that would change what
    // get_data_format gives is refused (refuse_format_change). The run
    // manager that opens a file takes the format here, for itself as the
    // holder and with the file's name for the reason, and lets go of every
    // module's format when the file closes. A module of the same identifier
    // made meanwhile is held as well: the file holds its rows too.
    std::string hold_data_format(const void* holder, const std::string& file);
    static void release_data_formats(const void* holder);
    // The name of the file the holder opened, once it is known.
    static void name_held_file(const void* holder, const std::string& file);
    // Why a file that holds the module's rows refuses the change of
    // `setting` to a state whose data format is `format`; "" when none
    // does. refuse_format_change refuses it (refuse). Check, and make the
    // change, under data_format_lock().
    std::string format_refusal(const std::string& format, const std::string& setting) const;
    void refuse_format_change(const std::string& format, const std::string& setting);
    // Held while the format is read for a file and while a change of it is
    // checked and made. A module whose format depends on state under a lock
    // of its own gives that lock.
    virtual std::recursive_mutex& data_format_lock() { return format_mutex; }
    // The reason in the log ("Module <id>: <reason>"), then ParameterRefused
    // with it: how a module's parameter observer refuses a value.
    [[noreturn]] void refuse(const std::string& reason) const;

    // The module's word in the native run file header.
    virtual void set_header_description(unsigned int& word);
    // The pedestal record of the native run file: an array of nwords words
    // that the caller frees with delete[].
    virtual unsigned int* write_pedestals(int& nwords);
    // The configuration record; none here (nwords 0, null).
    virtual unsigned int* write_config(int& nwords);
    virtual void parse_command(const std::string& text);

private:
    Analysis* ana;
    uint64_t _add;
    std::atomic<uint64_t> ievt;
    Ostrel::Par<std::vector<double>>* pedestal;
    Ostrel::Par<std::vector<double>>* noise;
    Ostrel::ParameterObserver<std::string, GenModule>* observer;
    std::atomic<RunType> run_type;
    std::recursive_mutex format_mutex;
};

#endif
