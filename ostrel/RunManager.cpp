#include "ostrel/RunManager.h"

#include <pthread.h>

#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/Thread.h"

namespace Ostrel {

namespace {

// Events handed to the monitor queue at once: its locks are taken once for
// them all.
constexpr std::size_t monitor_batch = 64;

constexpr int run_nice = -10;

// Events between two waits from which on they are taken to stream in, and
// the wait then: the producers hand them over every few milliseconds.
constexpr unsigned long streaming_events = 16;
constexpr double streaming_wait = 0.004;

} // namespace

RunCommand::~RunCommand() = default;

void RunCommand::send(int code)
{
    Arg<int> arg(code);
    notifyObservers(&arg);
}

std::vector<Module*> RunCommand::modules() const
{
    std::vector<Module*> out;
    for (Observer* o : observers())
        if (Module* m = dynamic_cast<Module*>(o))
            out.push_back(m);
    return out;
}

RunManager::RunManager(const DAQid& id, RunCommand* command)
    : DAQObject(id), _command(command ? command : new RunCommand())
{
    get_status().set_status(RunState::NotReady, false);
    DAQmanager::theDAQmanager()->register_runmanager(this);
}

RunManager::~RunManager()
{
    shutdown();
    for (Module* m : _command->modules())
        m->UnRegisterDAQ(true);
    for (ModuleData* d : _for_monitor)
        d->dec_ref();
    _for_monitor.clear();
    set_monitor(nullptr);
    DAQmanager::theDAQmanager()->unregister_runmanager(this);
    delete _command;
}

void RunManager::addModule(Module* m)
{
    if (m)
        m->RegisterDAQ(_command);
}

void RunManager::deleteModule(Module* m)
{
    if (m && m->get_run_command() == _command)
        m->UnRegisterDAQ(true);
    else if (m)
        _command->removeObserver(m);
}

int RunManager::countModules() const
{
    return static_cast<int>(_command->modules().size());
}

std::vector<Module*> RunManager::modules() const
{
    return _command->modules();
}

void RunManager::set_run_duration(double seconds)
{
    _duration = seconds > 0 ? seconds : 0.0;
}

double RunManager::get_run_duration() const
{
    return _duration.load();
}

// ---- monitor queue -------------------------------------------------------

void RunManager::set_monitor(DataQueue* queue)
{
    // Monitoring samples the events; it must not slow down their way to the
    // file when processors are short.
    if (queue)
        queue->set_background(true);
    DataQueue* old;
    {
        std::lock_guard<std::mutex> lock(_monitor_mutex);
        old = _monitor;
        _monitor = queue;
    }
    if (old && old != queue)
        delete old;
}

DataQueue* RunManager::get_monitor() const
{
    std::lock_guard<std::mutex> lock(_monitor_mutex);
    return _monitor;
}

void RunManager::start_monitor()
{
    std::lock_guard<std::mutex> lock(_monitor_mutex);
    if (_monitor)
        _monitor->start();
}

void RunManager::stop_monitor()
{
    std::lock_guard<std::mutex> lock(_monitor_mutex);
    if (_monitor)
        _monitor->stop();
}

// ---- requests ------------------------------------------------------------

bool RunManager::post(int request)
{
    std::lock_guard<std::mutex> lock(_req_mutex);
    if (_requests & ReqQuit)
        return false;
    _requests |= request;
    if (!_thread.joinable())
        _thread = std::thread(&RunManager::thread_main, this);
    _req_cond.notify_all();
    return true;
}

void RunManager::GetReady()
{
    post(ReqGetReady);
}

void RunManager::Activate()
{
    bool expected = false;
    if (!_active.compare_exchange_strong(expected, true))
        return;
    _stop_request = 0;
    DAQmanager::theDAQmanager()->set_active(this, true);
    if (!post(ReqRun) && _active.exchange(false))
        DAQmanager::theDAQmanager()->set_active(this, false);
}

void RunManager::deActivate()
{
    _stop_request = 1;
    post(ReqReset);
}

void RunManager::PrepareToStop(bool flag)
{
    _stop_request = flag ? 1 : 0;
    std::lock_guard<std::mutex> lock(_req_mutex);
    _req_cond.notify_all();   // a paused run wakes up to stop
}

void RunManager::Pause()
{
    if (_active)
        _pause = true;
}

void RunManager::Continue()
{
    _pause = false;
    std::lock_guard<std::mutex> lock(_req_mutex);
    _req_cond.notify_all();
}

void RunManager::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(_req_mutex);
        _requests |= ReqQuit;
        _stop_request = 1;
        _pause = false;
        _req_cond.notify_all();
        if (!_thread.joinable())
            return;
    }
    if (_thread.get_id() == std::this_thread::get_id())
        return;   // cannot join itself; the loop ends after this hook
    _thread.join();
}

void RunManager::thread_main()
{
    // Named, so that a reading of each thread's processor time tells them
    // apart (15 characters at most).
    pthread_setname_np(pthread_self(), ("run " + get_id().str()).substr(0, 15).c_str());
    // Events wait for this thread in memory, a bounded amount: where the
    // program may (CAP_SYS_NICE) it goes before the threads of normal
    // priority when processors are short, as the board server's threads
    // do.
    set_thread_nice(run_nice);
    for (;;) {
        int req;
        {
            std::unique_lock<std::mutex> lock(_req_mutex);
            _req_cond.wait(lock, [this] { return _requests != 0; });
            req = _requests;
            _requests = (_requests & ReqQuit);
            if (req & ReqQuit) {
                // A run requested before the quit is not started.
                if (_active.exchange(false))
                    DAQmanager::theDAQmanager()->set_active(this, false);
                return;
            }
        }
        if (req & ReqGetReady)
            do_get_ready();
        if (req & ReqRun)
            do_run();
        if (req & ReqReset)
            do_reset();
    }
}

void RunManager::do_get_ready()
{
    RunState& st = get_status();
    st.set_status(RunState::GettingReady);
    _command->send(RunCommand::GetReady);
    st.set_status(RunState::Ready);
}

void RunManager::do_reset()
{
    _command->send(RunCommand::Reset);
    get_status().set_status(RunState::NotReady);
}

bool RunManager::wait_trigger()
{
    DAQmanager* mgr = DAQmanager::theDAQmanager();
    while (!_stop_request.load() && !_pause.load()) {
        if (!mgr->get_trigger())
            return true;
        if (mgr->fire_trigger())
            return true;
    }
    return false;
}

void RunManager::handle_pause()
{
    RunState::let_go_time();
    flush_monitor();
    RunState& st = get_status();
    _command->send(RunCommand::Pause);
    st.set_status(RunState::Paused);
    {
        std::unique_lock<std::mutex> lock(_req_mutex);
        _req_cond.wait(lock, [this] { return !_pause.load() || _stop_request.load() || (_requests & ReqQuit); });
    }
    _pause = false;
    _command->send(RunCommand::Continue);
    st.set_status(RunState::Running);
}

void RunManager::count_event(int blocks, bool written)
{
    if (blocks <= 0)
        return;
    RunState& st = get_status();
    st.add_trigger();
    if (written)
        st.add_written();
    ++_event_number;
}

bool RunManager::max_events_reached() const
{
    const unsigned long max = _max_events.load();
    return max > 0 && _event_number.load() >= max;
}

int RunManager::read_modules(bool& written)
{
    // The module list is taken again only when the run command's observers
    // have changed: this runs once per event.
    const unsigned long generation = _command->generation();
    if (generation != _modules_generation || !_modules_valid) {
        _cycle_modules = _command->modules();
        _modules_generation = generation;
        _modules_valid = true;
    }
    int got = 0;
    for (Module* m : _cycle_modules) {
        if (!m->hasData())
            continue;
        ModuleData* d = m->getData();
        if (!d)
            continue;
        ++got;
        const unsigned long bytes = d->size();
        RunState& ms = m->get_status();
        ms.add_trigger();
        if (writeData(m->get_id(), d) > 0) {
            written = true;
            ms.add_written();
        }
        get_status().add_bytes(bytes);
        _for_monitor.push_back(d);   // the run loop's reference goes with it
    }
    if (_for_monitor.size() >= monitor_batch)
        flush_monitor();
    return got;
}

void RunManager::flush_monitor()
{
    if (_for_monitor.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(_monitor_mutex);
        if (_monitor)
            _monitor->push_events(_for_monitor.data(), _for_monitor.size());
    }
    for (ModuleData* d : _for_monitor)
        d->dec_ref();
    _for_monitor.clear();
}

void RunManager::do_run()
{
    RunState& st = get_status();
    st.reset();
    st.start();
    st.set_status(RunState::Starting);
    _event_number = 0;
    {
        std::lock_guard<std::mutex> lock(_monitor_mutex);
        if (_monitor)
            _monitor->start();
    }
    for (Module* m : _command->modules()) {
        m->get_status().reset();
        m->get_status().start();
    }

    PrepareForRun();
    Start();
    st.set_status(RunState::Running);
    unsigned long since_wait = 0;   // events since the loop last waited

    for (;;) {
        if (_stop_request.load())
            break;
        if (_pause.load()) {
            handle_pause();
            continue;
        }
        if (!wait_trigger())
            continue;
        const unsigned long generation = DataQueue::data_generation();
        st.hold_time();
        Trigger();
        bool written = false;
        const int got = read_modules(written);
        if (got > 0) {
            count_event(got, written);
            EndOfEvent();
            ++since_wait;
        } else {
            flush_monitor();
            if (!DAQmanager::theDAQmanager()->get_trigger()) {
                const bool streaming = since_wait >= streaming_events;
                DataQueue::wait_for_data(generation, streaming ? streaming_wait : 0.001, streaming);
            }
            since_wait = 0;
        }
        if (max_events_reached())
            break;
        const double duration = _duration.load();
        if (duration > 0 && st.time() >= duration)
            break;
        if (CheckEndOfRun())
            break;
    }
    RunState::let_go_time();

    st.set_status(RunState::Stopping);
    EndOfRun();
    Stop();
    st.stop();
    for (Module* m : _command->modules())
        m->get_status().stop();
    st.set_status(RunState::Stopped);
    st.set_status(RunState::Ready);
    _stop_request = 0;
    _pause = false;
    if (_active.exchange(false))
        DAQmanager::theDAQmanager()->set_active(this, false);
}

// ---- hooks ---------------------------------------------------------------

void RunManager::PrepareForRun()
{
    _command->send(RunCommand::PrepareForRun);
}

void RunManager::Start()
{
    _command->send(RunCommand::Start);
}

void RunManager::Stop()
{
    _command->send(RunCommand::Stop);
    _command->send(RunCommand::Flush);
    // Events that were waiting when the modules stopped still belong to the
    // run: write them before the run's files close, up to the event limit.
    while (!max_events_reached()) {
        bool written = false;
        const int got = read_modules(written);
        if (got == 0)
            break;
        count_event(got, written);
    }
    flush_monitor();
}

void RunManager::Trigger()
{
    _command->send(RunCommand::Trigger);
}

int RunManager::writeData(const DAQid&, ModuleData* data)
{
    return data ? static_cast<int>(data->size()) : 0;
}

int RunManager::EndOfEvent()
{
    return 0;
}

bool RunManager::CheckEndOfRun()
{
    return false;
}

void RunManager::EndOfRun() {}

void RunManager::set_command(const std::string&) {}

} // namespace Ostrel
