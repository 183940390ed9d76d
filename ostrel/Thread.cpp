#include "ostrel/Thread.h"

#include <thread>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Ostrel {

void wait(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

int processors()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
}

bool set_thread_nice(int nice)
{
    // A thread goes before the others only where the process has another
    // processor for them: on one it would take that processor from every
    // other thread whenever it is busy.
    if (nice < 0 && processors() < 2)
        return false;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice) == 0;
}

Condition::~Condition() = default;

int Condition::wait(int milliseconds)
{
    std::unique_lock<std::mutex> lock(_mutex);
    auto holds = [this] { return predicate(); };
    if (milliseconds < 0) {
        _cond.wait(lock, holds);
        return 0;
    }
    return _cond.wait_for(lock, std::chrono::milliseconds(milliseconds), holds) ? 0 : -1;
}

void Condition::notify_all()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _signalled = true;
        exec();
    }
    _cond.notify_all();
}

void Condition::notify_one()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _signalled = true;
        exec();
    }
    _cond.notify_one();
}

void Condition::reset()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _signalled = false;
}

void DAQTimer::start()
{
    if (!_running) {
        _since = Clock::now();
        _running = true;
    }
}

void DAQTimer::stop()
{
    if (_running) {
        _accumulated += std::chrono::duration<double>(Clock::now() - _since).count();
        _running = false;
    }
}

void DAQTimer::reset()
{
    _accumulated = 0.0;
    _running = false;
}

double DAQTimer::elapsed() const
{
    if (_running)
        return _accumulated + std::chrono::duration<double>(Clock::now() - _since).count();
    return _accumulated;
}

} // namespace Ostrel
