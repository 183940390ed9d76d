// What the run managers take from the configuration: the settings of its
// general and IO sections and the factories and hooks of its plug-ins.
#ifndef BRISKO_DAQ_RUNSETTINGS_H
#define BRISKO_DAQ_RUNSETTINGS_H

#include <string>

namespace Ostrel {
class RunManager;
}
class DataLogger;

// The configuration hands its own in as it registers its sections. Until
// then, and in a program without one, this base's values hold: those of the
// sections before anything is read, the built-in run managers, the
// program's own data logger and no interrupt hooks. Read on any thread.
class RunSettings {
public:
    virtual ~RunSettings();

    virtual bool ped_update() const;
    // Seconds between pedestal runs; 0, none.
    virtual int ped_period() const;
    virtual int monitor_buffer() const;
    virtual bool compression() const;
    // The run file's size limit in bytes; 0, no limit.
    virtual unsigned long max_size() const;

    // A run manager of the type under the name: a configured factory's,
    // else a built-in one; null when none is made. The caller owns it.
    virtual Ostrel::RunManager* create_run_manager(const std::string& type,
                                                   const std::string& name) const;
    // A plug-in's data logger, owned by the caller; null for the program's
    // own.
    virtual DataLogger* create_logger(bool compress, int max_size) const;
    // After every event of a run with interrupts on.
    virtual void reset_interrupts() const;

    // `settings` lives for as long as it is in force; null brings the
    // defaults back.
    static void hand_in(const RunSettings* settings);
    static const RunSettings& current();
};

#endif
