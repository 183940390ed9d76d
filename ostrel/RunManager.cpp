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

const char* RunManager::request_name(Request r)
{
    switch (r) {
    case Request::GetReady: return "GetReady";
    case Request::Start: return "Start";
    case Request::Stop: return "Stop";
    case Request::Pause: return "Pause";
    case Request::Continue: return "Continue";
    case Request::Reset: return "Reset";
    }
    return "?";
}

RunState::StatusType RunManager::after(RunState::StatusType from, Request r)
{
    const bool run = from == RunState::Running || from == RunState::Paused;
    switch (r) {
    case Request::GetReady:
    case Request::Start:
        if (run)
            return RunState::NotDefined;
        return r == Request::Start ? RunState::Running : RunState::Ready;
    case Request::Stop: return run ? RunState::Ready : RunState::NotDefined;
    case Request::Pause: return from == RunState::Running ? RunState::Paused : RunState::NotDefined;
    case Request::Continue: return from == RunState::Paused ? RunState::Running : RunState::NotDefined;
    case Request::Reset: return RunState::NotReady;
    }
    return RunState::NotDefined;
}

namespace {

std::string refusal(RunState::StatusType planned, RunManager::Request r)
{
    using R = RunManager::Request;
    if (planned == RunState::Paused && r == R::Pause)
        return "the run is paused already";
    if (planned == RunState::Running && r == R::Continue)
        return "the run is not paused";
    if (planned == RunState::Running || planned == RunState::Paused)
        return "a run goes on";
    return "no run goes on";
}

} // namespace

bool RunManager::request(Request r, std::string* why, bool bounded)
{
    // A start may make the manager active, which the DAQmanager announces.
    std::unique_lock<std::mutex> active_lock(_active_mutex, std::defer_lock);
    if (r == Request::Start)
        active_lock.lock();
    bool now_active = false;
    {
        std::lock_guard<std::mutex> lock(_req_mutex);
        if (bounded && !_quit && _unfinished >= max_queued) {
            if (why)
                *why = get_id().str() + " refuses " + request_name(r) + ": " + std::to_string(_unfinished) +
                       " commands wait to be carried out, and it queues at most " + std::to_string(max_queued);
            return false;
        }
        const RunState::StatusType next = _quit ? RunState::NotDefined : after(_planned, r);
        if (next == RunState::NotDefined) {
            if (why) {
                *why = get_id().str() + " refuses " + request_name(r) + ": " +
                       (_quit ? std::string("it is shutting down") : refusal(_planned, r));
                if (!_quit && _unfinished == 1)
                    *why += " once the command before it is carried out";
                else if (!_quit && _unfinished > 1)
                    *why += " once the " + std::to_string(_unfinished) + " commands before it are carried out";
            }
            return false;
        }
        _planned = next;
        _queue.push_back(r);
        _wake = static_cast<int>(_queue.size());
        ++_unfinished;
        if (r == Request::Stop || r == Request::Reset)
            _stop_request = 1;
        if (r == Request::Start) {
            ++_queued_starts;
            now_active = !_active.exchange(true);
        }
        if (!_thread.joinable())
            _thread = std::thread(&RunManager::thread_main, this);
        _req_cond.notify_all();
    }
    if (now_active)
        DAQmanager::theDAQmanager()->set_active(this, true);
    return true;
}

bool RunManager::PrepareToStop(bool flag)
{
    if (flag)
        return request(Request::Stop);
    _stop_request = 0;
    return true;
}

int RunManager::pending() const
{
    std::lock_guard<std::mutex> lock(_req_mutex);
    return _unfinished;
}

bool RunManager::next_request(Request& r)
{
    std::unique_lock<std::mutex> lock(_req_mutex);
    _req_cond.wait(lock, [this] { return _quit || !_queue.empty(); });
    if (_quit)
        return false;
    r = _queue.front();
    _queue.pop_front();
    _wake = static_cast<int>(_queue.size());
    if (r == Request::Start)
        --_queued_starts;
    return true;
}

void RunManager::finish_request()
{
    std::lock_guard<std::mutex> lock(_req_mutex);
    if (_unfinished > 0)
        --_unfinished;
}

RunManager::RunStep RunManager::run_step()
{
    std::lock_guard<std::mutex> lock(_req_mutex);
    if (_quit)
        return RunStep::End;
    if (_queue.empty())
        return RunStep::Go;
    // Pause, Stop or Reset: nothing else is accepted while a run goes on.
    const Request head = _queue.front();
    if (head != Request::Pause && head != Request::Stop)
        return RunStep::End;   // carried out once the run has ended
    _queue.pop_front();
    _wake = static_cast<int>(_queue.size());
    _stop_taken = head == Request::Stop;
    return _stop_taken ? RunStep::End : RunStep::Pause;
}

void RunManager::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(_req_mutex);
        _quit = true;
        _stop_request = 1;
        _wake = static_cast<int>(_queue.size()) + 1;
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
    Request r;
    while (next_request(r)) {
        switch (r) {
        case Request::GetReady: do_get_ready(); break;
        case Request::Start: do_run(); continue;   // it carries its run's requests out itself
        case Request::Reset: do_reset(); break;
        default: break;   // meant for a run that has ended by itself
        }
        finish_request();
    }
    // A run requested before the quit is not started.
    std::lock_guard<std::mutex> active_lock(_active_mutex);
    bool was_active;
    {
        std::lock_guard<std::mutex> lock(_req_mutex);
        _queue.clear();
        _unfinished = 0;
        _queued_starts = 0;
        was_active = _active.exchange(false);
    }
    if (was_active)
        DAQmanager::theDAQmanager()->set_active(this, false);
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
    while (!_wake.load()) {
        if (!mgr->get_trigger())
            return true;
        if (mgr->fire_trigger())
            return true;
    }
    return false;
}

bool RunManager::handle_pause()
{
    RunState::let_go_time();
    flush_monitor();
    RunState& st = get_status();
    _command->send(RunCommand::Pause);
    st.set_status(RunState::Paused);
    finish_request();
    bool goes_on = false;
    {
        std::unique_lock<std::mutex> lock(_req_mutex);
        _req_cond.wait(lock, [this] { return _quit || !_queue.empty(); });
        // Continue, Stop or Reset: nothing else is accepted while paused.
        const Request head = _quit ? Request::Reset : _queue.front();
        if (head == Request::Continue || head == Request::Stop) {
            goes_on = head == Request::Continue;
            _stop_taken = !goes_on;
            _queue.pop_front();
            _wake = static_cast<int>(_queue.size());
        }
    }
    // The modules go on before they stop, as a stop while running finds them.
    _command->send(RunCommand::Continue);
    st.set_status(RunState::Running);
    if (goes_on)
        finish_request();
    return goes_on;
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
    finish_request();
    unsigned long since_wait = 0;   // events since the loop last waited
    bool by_request = false;

    for (;;) {
        if (_wake.load()) {
            const RunStep step = run_step();
            if (step == RunStep::End || (step == RunStep::Pause && !handle_pause())) {
                by_request = true;
                break;
            }
            if (step == RunStep::Pause)
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
    end_run(by_request);
}

void RunManager::end_run(bool by_request)
{
    RunState::let_go_time();
    RunState& st = get_status();
    st.set_status(RunState::Stopping);
    EndOfRun();
    Stop();
    st.stop();
    for (Module* m : _command->modules())
        m->get_status().stop();
    st.set_status(RunState::Stopped);
    st.set_status(RunState::Ready);
    _stop_request = 0;

    std::lock_guard<std::mutex> active_lock(_active_mutex);
    bool inactive = false;
    {
        std::lock_guard<std::mutex> lock(_req_mutex);
        if (!by_request) {
            // What was queued for this run finds it ended, and does nothing.
            RunState::StatusType planned = RunState::Ready;
            for (Request r : _queue) {
                const RunState::StatusType next = after(planned, r);
                if (next != RunState::NotDefined)
                    planned = next;
            }
            _planned = planned;
        }
        if (_stop_taken) {
            _stop_taken = false;
            if (_unfinished > 0)
                --_unfinished;
        }
        if (_queued_starts == 0)
            inactive = _active.exchange(false);
    }
    if (inactive)
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
