#include "ostrel/DAQmanager.h"

#include <vector>

#include "ostrel/Module.h"
#include "ostrel/RunManager.h"

namespace Ostrel {

DAQTrigger::~DAQTrigger() = default;

DAQmanager* DAQmanager::theDAQmanager()
{
    // Never destroyed: objects of other libraries may leave it during exit.
    static DAQmanager* the_manager = new DAQmanager();
    return the_manager;
}

void DAQmanager::notice(msg kind, DAQObject* object)
{
    Arg<Notice> arg(Notice(kind, reinterpret_cast<char*>(object)));
    notifyObservers(&arg);
}

Module* DAQmanager::find_module(const DAQid& id) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _modules.find(id);
    return it == _modules.end() ? nullptr : it->second;
}

RunManager* DAQmanager::find_runmanager(const DAQid& id) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _runmanagers.find(id);
    return it == _runmanagers.end() ? nullptr : it->second;
}

DAQmanager::ModuleMapType DAQmanager::ModuleMap() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _modules;
}

DAQmanager::RunManagerMapType DAQmanager::RunMmap() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _runmanagers;
}

void DAQmanager::StartRun(int)
{
    if (!_running.exchange(true))
        notice(startDAQ, nullptr);
}

void DAQmanager::StopRun()
{
    std::vector<RunManager*> active;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        active.assign(_active.begin(), _active.end());
    }
    for (RunManager* rm : active)
        rm->PrepareToStop(true);
    if (_running.exchange(false))
        notice(stopDAQ, nullptr);
}

void DAQmanager::startRunManager(RunManager* rm)
{
    if (rm)
        rm->Activate();
}

void DAQmanager::stopRunManager(RunManager* rm)
{
    if (rm)
        rm->PrepareToStop(true);
}

int DAQmanager::countActiveRunManager() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<int>(_active.size());
}

void DAQmanager::deleteModule(Module* m)
{
    if (!m)
        return;
    std::vector<RunManager*> rms;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto it = _modules.begin(); it != _modules.end();) {
            if (it->second == m)
                it = _modules.erase(it);
            else
                ++it;
        }
        for (auto& kv : _runmanagers)
            rms.push_back(kv.second);
    }
    for (RunManager* rm : rms)
        rm->deleteModule(m);
    notice(rmModule, m);
}

void DAQmanager::set_trigger(DAQTrigger* trigger)
{
    std::unique_lock<std::shared_mutex> lock(_trigger_mutex);
    _trigger = trigger;
}

bool DAQmanager::fire_trigger()
{
    std::shared_lock<std::shared_mutex> lock(_trigger_mutex);
    DAQTrigger* t = _trigger.load();
    return t ? (*t)() : true;
}

void DAQmanager::cleanup()
{
    StopRun();
    for (auto& kv : RunMmap())
        kv.second->shutdown();
    set_trigger(nullptr);
}

void DAQmanager::register_module(Module* m)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _modules[m->get_id()] = m;
    }
    notice(nwModule, m);
}

void DAQmanager::unregister_module(Module* m)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _modules.find(m->get_id());
        if (it != _modules.end() && it->second == m) {
            _modules.erase(it);
            found = true;
        }
    }
    if (found)
        notice(rmModule, m);
}

void DAQmanager::register_runmanager(RunManager* rm)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_held_names.count(rm->get_id())) {
            _held[rm->get_id()] = rm;
            return;
        }
        _runmanagers[rm->get_id()] = rm;
    }
    notice(nwRunManager, rm);
}

void DAQmanager::hold_name(const DAQid& id)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _held_names.insert(id);
}

void DAQmanager::release_name(const DAQid& id)
{
    RunManager* kept = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _held_names.erase(id);
        auto it = _held.find(id);
        if (it == _held.end())
            return;
        kept = it->second;
        _held.erase(it);
        _runmanagers[id] = kept;
    }
    notice(nwRunManager, kept);
}

void DAQmanager::unregister_runmanager(RunManager* rm)
{
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _active.erase(rm);
        auto held = _held.find(rm->get_id());
        if (held != _held.end() && held->second == rm)
            _held.erase(held);   // never seen, so never announced gone
        auto it = _runmanagers.find(rm->get_id());
        if (it != _runmanagers.end() && it->second == rm) {
            _runmanagers.erase(it);
            found = true;
        }
    }
    if (found)
        notice(rmRunManager, rm);
}

void DAQmanager::set_active(RunManager* rm, bool active)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (active)
            _active.insert(rm);
        else
            _active.erase(rm);
    }
    notice(active ? acRunManager : dcRunManager, rm);
}

} // namespace Ostrel
