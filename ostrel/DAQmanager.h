// The process-wide manager of modules and run managers.
#ifndef OSTREL_DAQMANAGER_H
#define OSTREL_DAQMANAGER_H

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <utility>

#include "ostrel/DAQid.h"
#include "ostrel/Observer.h"

namespace Ostrel {

class DAQObject;
class Module;
class RunManager;

// An external trigger: the run loop starts an event cycle only when it
// returns true. Each call should wait briefly (about a millisecond) rather
// than spin.
class DAQTrigger {
public:
    virtual ~DAQTrigger();
    virtual bool operator()() { return true; }
};

// Notices go to the observers as Arg<std::pair<msg, char*>>; the pointer is
// the DAQObject concerned (nothing for startDAQ and stopDAQ). A notice about
// a new object comes from the constructor of its framework base, and one
// about a removed object from its destructor: only the DAQObject part may
// be used.
class DAQmanager : public Observable {
public:
    enum msg {
        startDAQ = 0,
        stopDAQ = 1,
        nwModule = 2,
        nwRunManager = 3,
        rmModule = 4,
        rmRunManager = 5,
        acRunManager = 6,
        dcRunManager = 7
    };
    using Notice = std::pair<msg, char*>;
    using ModuleMapType = std::map<DAQid, Module*>;
    using RunManagerMapType = std::map<DAQid, RunManager*>;

    // The process-wide manager; never destroyed.
    static DAQmanager* theDAQmanager();

    Module* find_module(const DAQid& id) const;
    RunManager* find_runmanager(const DAQid& id) const;
    ModuleMapType ModuleMap() const;       // copies, in id order
    RunManagerMapType RunMmap() const;

    // The acquisition service: run managers may run while it is running.
    bool isRunning() const { return _running.load(); }
    void StartRun(int mode = 0);
    void StopRun();                         // asks every active run manager to stop

    void startRunManager(RunManager* rm);   // Activate
    void stopRunManager(RunManager* rm);    // PrepareToStop(true)
    int countActiveRunManager() const;

    // Removes the module from the map and from every run manager; the
    // caller deletes it.
    void deleteModule(Module* m);

    // Installs the trigger (null removes it). Returns once no run loop is
    // inside the previous trigger, so the caller may delete it then.
    void set_trigger(DAQTrigger* trigger);
    DAQTrigger* get_trigger() const { return _trigger.load(); }
    // Asks the installed trigger; true when there is none.
    bool fire_trigger();

    // The clean-up at exit: stops every run and joins every run thread.
    void cleanup();

    // A run manager that takes the place of another is seen only once it is
    // complete: while its name is held, one that registers under it is kept
    // aside (not found, listed or announced) and the one of that name stays;
    // release_name puts the one kept aside, if any, in its place.
    void hold_name(const DAQid& id);
    void release_name(const DAQid& id);

    // Used by the framework's own classes.
    void register_module(Module* m);
    void unregister_module(Module* m);
    void register_runmanager(RunManager* rm);
    void unregister_runmanager(RunManager* rm);
    void set_active(RunManager* rm, bool active);

private:
    DAQmanager() = default;
    void notice(msg kind, DAQObject* object);

    mutable std::mutex _mutex;
    ModuleMapType _modules;
    RunManagerMapType _runmanagers;
    std::set<DAQid> _held_names;
    RunManagerMapType _held;
    std::set<RunManager*> _active;
    std::atomic<bool> _running{false};
    std::atomic<DAQTrigger*> _trigger{nullptr};
    mutable std::shared_mutex _trigger_mutex;
};

} // namespace Ostrel

#endif
