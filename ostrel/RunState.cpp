#include "ostrel/RunState.h"

#include <chrono>

namespace Ostrel {

namespace {

std::int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool clock_runs(std::int64_t word)
{
    return (word & 1) != 0;
}

// Nanoseconds of run time the clock word stands for.
std::int64_t run_ns(std::int64_t word)
{
    return clock_runs(word) ? steady_ns() - (word >> 1) : word >> 1;
}

std::int64_t running_word(std::int64_t elapsed_ns)
{
    return ((steady_ns() - elapsed_ns) << 1) | 1;
}

std::int64_t stopped_word(std::int64_t elapsed_ns)
{
    return elapsed_ns << 1;
}

thread_local const RunState* t_held = nullptr;
thread_local double t_held_time = 0.0;

} // namespace

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
    _nlost = other._nlost.load();
    // Lock both clocks in a fixed order.
    std::unique_lock<std::mutex> a(this < &other ? _clock_mutex : other._clock_mutex);
    std::unique_lock<std::mutex> b(this < &other ? other._clock_mutex : _clock_mutex);
    _clock = other._clock.load();
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
    _nlost = 0;
    std::lock_guard<std::mutex> lock(_clock_mutex);
    _clock = clock_runs(_clock.load()) ? running_word(0) : stopped_word(0);
    _last_time = 0.0;
    _last_count = 0;
}

void RunState::start()
{
    std::lock_guard<std::mutex> lock(_clock_mutex);
    const std::int64_t word = _clock.load();
    if (!clock_runs(word))
        _clock = running_word(run_ns(word));
}

void RunState::stop()
{
    std::lock_guard<std::mutex> lock(_clock_mutex);
    const std::int64_t word = _clock.load();
    if (clock_runs(word))
        _clock = stopped_word(run_ns(word));
}

double RunState::time() const
{
    if (t_held == this)
        return t_held_time;
    return static_cast<double>(run_ns(_clock.load(std::memory_order_acquire))) * 1e-9;
}

void RunState::hold_time()
{
    t_held = nullptr;
    t_held_time = time();
    t_held = this;
}

void RunState::let_go_time()
{
    t_held = nullptr;
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
