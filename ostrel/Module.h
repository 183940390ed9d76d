// Acquisition modules: the sources of events.
#ifndef OSTREL_MODULE_H
#define OSTREL_MODULE_H

#include <string>

#include "ostrel/DAQObject.h"
#include "ostrel/ModuleData.h"

namespace Ostrel {

class RunCommand;

// A module registers with the DAQmanager when it is built and leaves it
// when it is destroyed. It takes part in the runs of the run manager whose
// run command it observes: the run manager's hooks reach it as commands
// (see RunCommand) and the run loop reads its events with hasData() and
// getData().
//
// Remove a module from its run manager (RunManager::deleteModule or
// DAQmanager::deleteModule) before deleting it while a run may be going on;
// the destructor unregisters as a last resort only.
class Module : public DAQObject {
public:
    explicit Module(const DAQid& id);
    ~Module() override;

    // Run-loop hooks, called on the run manager's thread.
    virtual int PrepareForRun() = 0;
    virtual int Start(int run_number) = 0;
    virtual int Stop(int run_number) = 0;
    virtual int Pause() = 0;
    virtual int Continue() = 0;
    virtual int Reset() = 0;
    virtual int GetReady() = 0;
    virtual int Trigger() = 0;
    virtual int flush() = 0;
    // True while getData() would deliver an event without waiting.
    virtual bool hasData() = 0;
    // The next event, with one reference for the caller; null when none.
    virtual ModuleData* getData() = 0;

    // The data-format text of the module's events; empty by default.
    virtual std::string get_data_format();
    // Turns an event block into rows of the data format; by default no rows
    // (rows null, result 0).
    virtual int interpret_data_format(const char* block, int size, char** rows);

    // Observes the run command and remembers it.
    void RegisterDAQ(RunCommand* command);
    // Stops observing the remembered command; forgets it when `forget`.
    void UnRegisterDAQ(bool forget);
    // Leaves the run command and marks the module local.
    void in_local();
    // Observes the given command, or the remembered one when none is given,
    // and clears the local mark.
    void in_global(RunCommand* command = nullptr);
    bool is_local() const { return _local; }
    bool is_global() const { return !_local; }
    RunCommand* get_run_command() const { return _command; }

    // Run commands reach the module here; other notices go to the holder.
    void update(Observable* o, Argument* arg) override;
    void observable_deleted(Observable* o) override;

private:
    RunCommand* _command = nullptr;
    bool _local = false;
};

} // namespace Ostrel

#endif
