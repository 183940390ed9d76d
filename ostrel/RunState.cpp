#include "ostrel/RunState.h"

namespace Ostrel {

RunState::RunState(const std::string& name) : _name(name) {}

RunState::RunState(const RunState& other) : Observable()
{
    *this = other;
}

RunState& RunState::operator=(const RunState& other)
{
    if (this == &other)
        return *this;
    _name = other._name;
    _status = other._status.load();
    _ntrigger = other._ntrigger.load();
    _nwritten = other._nwritten.load();
    _nmonitored = other._nmonitored.load();
    _bytes = other._bytes.load();
    // Lock both clocks in a fixed order.
    std::unique_lock<std::mutex> a(this < &other ? _clock_mutex : other._clock_mutex);
    std::unique_lock<std::mutex> b(this < &other ? other._clock_mutex : _clock_mutex);
    _clock = other._clock;
    _last_time = other._last_time;
    _last_count = other._last_count;
    return *this;
}

const char* RunState::status_name(StatusType s)
{
    switch (s) {
    case NotDefined: return "NotDefined";
    case NotReady: return "NotReady";
    case GettingReady: return "GettingReady";
    case Ready: return "Ready";
    case Starting: return "Starting";
    case Paused: return "Paused";
    case Running: return "Running";
    case Stopping: return "Stopping";
    case Stopped: return "Stopped";
    case TimeOut: return "TimeOut";
    }
    return "Unknown";
}

void RunState::set_status(StatusType s, bool notify)
{
    _status = s;
    if (notify) {
        Arg<StatusType> arg(s);
        notifyObservers(&arg);
    }
}

bool RunState::isRunning() const
{
    const StatusType s = get_status();
    return s == Starting || s == Running || s == Paused || s == Stopping;
}

void RunState::reset()
{
    _ntrigger = 0;
    _nwritten = 0;
    _nmonitored = 0;
    _bytes = 0;
    std::lock_guard<std::mutex> lock(_clock_mutex);
    const bool was_running = _clock.running();
    _clock.reset();
    if (was_running)
        _clock.start();
    _last_time = 0.0;
    _last_count = 0;
}

void RunState::start()
{
    std::lock_guard<std::mutex> lock(_clock_mutex);
    _clock.start();
}

void RunState::stop()
{
    std::lock_guard<std::mutex> lock(_clock_mutex);
    _clock.stop();
}

double RunState::time() const
{
    std::lock_guard<std::mutex> lock(_clock_mutex);
    return _clock.elapsed();
}

double RunState::eff() const
{
    const unsigned long n = n_trigger();
    if (n == 0)
        return 0.0;
    return 100.0 * static_cast<double>(n_written()) / static_cast<double>(n);
}

double RunState::rate(bool instant)
{
    const double t = time();
    const unsigned long n = n_trigger();
    if (!instant)
        return t > 0 ? static_cast<double>(n) / t : 0.0;
    std::lock_guard<std::mutex> lock(_clock_mutex);
    const double dt = t - _last_time;
    const double r = dt > 0 && n >= _last_count ? static_cast<double>(n - _last_count) / dt : 0.0;
    _last_time = t;
    _last_count = n;
    return r;
}

double RunState::get_throughput() const
{
    return static_cast<double>(n_bytes());
}

} // namespace Ostrel
