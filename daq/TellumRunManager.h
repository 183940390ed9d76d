// The base of the program's run managers: a text command parameter, the data
// logger of the run file, one stream descriptor per module, the monitor
// queue, the run type handed to the modules, and the factories that build the
// run-manager kinds by type name.
#ifndef BRISKO_DAQ_TELLUMRUNMANAGER_H
#define BRISKO_DAQ_TELLUMRUNMANAGER_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "daq/GenModule.h"
#include "ostrel/FileIOManager.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunManager.h"

class DataLogger;

class TellumRunManager : public Ostrel::RunManager,
                         public Ostrel::ParameterCollection<TellumRunManager> {
public:
    using FileIODescriptor = Ostrel::FileIOManager::FileIODescriptor;

    TellumRunManager(const Ostrel::DAQid& id, Ostrel::RunCommand* command = nullptr);
    ~TellumRunManager() override;

    RunType get_run_type() const { return run_type; }
    DataLogger* get_logger() const { return logger.load(); }

    void PrepareForRun() override;
    void Start() override;
    void Stop() override;
    int EndOfEvent() override;
    // Keeps the run file on disk: called in every cycle of the run loop,
    // with or without events, it syncs the file once a second. False.
    bool CheckEndOfRun() override;
    // The event into the run file. The block's size; 0 when the file took
    // nothing of it, and once a write of the run file has failed (the run is
    // then no longer logged). Without a run file, the block's size.
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override;
    // The "command" parameter's texts; only "logData" is understood, and it
    // never waits. Without a run going on it opens the file at once; during
    // a run the file belongs to the next run, which opens it as it starts
    // (a later "logData" takes its place; no next run, no file). Throws
    // Ostrel::ParameterRefused for a max_size that is no whole number of
    // bytes, and std::runtime_error when the file's folder does not exist or
    // cannot take new files, and when the file cannot be opened.
    void set_command(const std::string& text) override;

    // The object id of the module's stream descriptor (the HDF5 logger keeps
    // its stream objects there). 0.
    int updateOID(const Ostrel::DAQid& id, long oid);
    // Starts writing a run file named after `file` with the logger's
    // extension; a file still open is closed first. Nothing for a null or
    // empty file name. True when the file is open; false, with an error
    // line, when it could not be opened. max_size: the bytes after which the
    // logger goes on in a new file; 0 for no limit.
    bool log_data(const char* file, bool compress, unsigned long max_size);
    void stop_logging();
    // A new monitor queue of the "general" section's size takes the events
    // to the analyses from now on.
    void new_monitor();
    // A write of this run's file failed: the run is no longer logged.
    bool logging_failed() const { return log_failed.load(); }
    // What a display shows of the run file: its name and how far it is
    // towards its largest size (0 to 1). 1 with a file, 0 without one, and
    // -1 while the run thread writes through the logger: a display keeps
    // what it showed rather than wait for the write.
    int peek_log_file(std::string& name, double& fraction) const;
    // A plug-in's logger when one is configured, else the HDF5 logger.
    DataLogger* create_logger(bool compress, unsigned long max_size);
    // Takes every module off the run command and returns them; the modules
    // forget this manager's run command.
    std::list<Ostrel::Module*> deplete_run_manager();

    // The built-in kinds by type name: "data", "pedestal", "int_trg",
    // "pulse", "scan"; null for any other.
    static TellumRunManager* new_manager(const std::string& type, const Ostrel::DAQid& id);
    // Replaces the run manager of that name by one of the type, which takes
    // over its modules (a run of the old one ends first) and its settings:
    // run number, event and time limits, the parameters others added to it,
    // and a run file open for the next run, which the new one opens again
    // (after `set_up`, which gives it what its kind needs, such as a scan's
    // points; a pedestal manager writes none and takes none). Others see
    // the new one under the name only then. The new one comes from the run
    // settings in force (a configured factory, else the built-in kinds).
    // When none can be made the old one stays as it is, modules and all,
    // and the result is null.
    static TellumRunManager* create_run_manager(const std::string& type, const std::string& name,
                                                const std::function<void(TellumRunManager*)>& set_up = {});

protected:
    // Ends any run, joins the run thread, lets a "logData" command that
    // waits for the run's end return without effect and closes the run file.
    // Every destructor of a run manager class calls it first thing, so that
    // no hook, command or logger runs on a half-destroyed manager.
    void retire();

    // Polls until the monitor queue has handled every event it was given,
    // or 5 s have passed, or (with `until_stop`) a stop of the run is
    // requested. Nothing without a monitor queue.
    void wait_for_monitor(bool until_stop);

    // Calls f(logger) while no other thread can replace or close the active
    // logger; false, without calling f, when no logger is active. A logger
    // whose writing failed meanwhile is closed and let go.
    template <class F>
    bool with_logger(F f)
    {
        std::lock_guard<std::recursive_mutex> lock(log_mutex);
        DataLogger* active = logger.load();
        if (!active)
            return false;
        f(active);
        drop_if_failed(active);
        return true;
    }

    RunType run_type;

private:
    struct LogRequest {
        std::string file;
        bool compress;
        unsigned long max_size;
    };

    // Sees the run state change on the thread that changes it.
    class RunWatch : public Ostrel::Observer {
    public:
        explicit RunWatch(TellumRunManager* rm) : rm(rm) {}
        void update(Ostrel::Observable* observable, Ostrel::Argument* argument) override;

    private:
        TellumRunManager* rm;
    };

    bool open_log(const LogRequest& request, std::string& error);
    // The file open at the start of a run lists the run's modules.
    void file_of_run_modules();
    // Gives the next manager of the name this one's settings; closes a file
    // open for the next run and returns it, for the next manager to open.
    std::optional<LogRequest> hand_over(TellumRunManager& next);
    // Closes the run file open without a run, which holds none yet, and
    // removes it to be made again under its name; what to open it with.
    // The log mutex is held.
    LogRequest close_to_make_again(const DataLogger& active);
    void drop_if_failed(DataLogger* active);
    // After a failed write: the run's written events are those in its files.
    void keep_written_count();
    void run_paused();

    // Guards the logger and the descriptors: the run thread writes through
    // them while "logData" (another thread) or the destructor replaces them.
    // Recursive: the logger calls updateOID while it writes.
    mutable std::recursive_mutex log_mutex;
    std::atomic<DataLogger*> logger;
    std::vector<FileIODescriptor> descriptors;
    std::map<Ostrel::DAQid, FileIODescriptor> descriptor_map;
    std::atomic<bool> log_failed{false};
    // The events the run's files hold once their writing failed; -1 before.
    std::atomic<long> written_in_file{-1};
    long long next_sync = 0;   // monotonic microseconds; run thread only
    unsigned cycles = 0;
    // The parameter "doInterrupts" as last looked up; run thread only.
    unsigned long interrupts_generation = ~0ul;
    Ostrel::Par<bool>* interrupts_par = nullptr;

    // "logData" commands being handled, and the one for the next run.
    std::mutex command_mutex;
    std::condition_variable command_cond;
    int commands_in_flight = 0;
    std::optional<LogRequest> pending;
    bool retiring = false;
    RunWatch run_watch{this};
};

#endif
