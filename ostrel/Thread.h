// Waiting, timing and locking of the framework.
#ifndef OSTREL_THREAD_H
#define OSTREL_THREAD_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Ostrel {

// Sleeps the calling thread for the given seconds (nothing for 0 or less).
void wait(double seconds);

// The processors the calling thread may run on (its affinity); 1 when it
// cannot be told.
int processors();

// Sets the niceness of the calling thread alone (Linux keeps one per
// thread, and threads it starts inherit it). False when refused, as a
// niceness below 0 is without CAP_SYS_NICE, or where the process may run
// on one processor only: the thread stays as it is.
bool set_thread_nice(int nice);

// A plain, non-recursive mutex; usable with std::lock_guard.
class Mutex {
public:
    void lock() { _m.lock(); }
    void unlock() { _m.unlock(); }
    bool try_lock() { return _m.try_lock(); }
    bool trylock() { return _m.try_lock(); }

private:
    std::mutex _m;
};

// A condition with a predicate. wait() returns as soon as predicate() holds
// (checked with the condition's lock held, before the first wait and after
// every notification). The default predicate is a flag that notify_all()
// raises and reset() lowers, so a plain Condition behaves as an event.
// Derived classes change the state their predicate reads between lock() and
// unlock(), or in exec(), which notify_all() calls with the lock held.
class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    virtual ~Condition();

    // Waits until the predicate holds or the time (milliseconds, -1 for no
    // limit) has passed. Returns 0 when the predicate holds, -1 on time-out.
    int wait(int milliseconds = -1);
    void notify_all();
    void notify_one();

    void lock() { _mutex.lock(); }
    void unlock() { _mutex.unlock(); }
    void reset();

protected:
    virtual bool predicate() { return _signalled; }
    virtual void exec() {}

private:
    std::mutex _mutex;
    std::condition_variable _cond;
    bool _signalled = false;
};

// A stopwatch in seconds. Built at zero and stopped.
class DAQTimer {
public:
    DAQTimer() = default;
    void start();       // starts or resumes
    void stop();        // freezes the elapsed time
    void reset();       // back to zero, stopped
    bool running() const { return _running; }
    double elapsed() const;
    double operator()() const { return elapsed(); }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point _since{};
    double _accumulated = 0.0;
    bool _running = false;
};

} // namespace Ostrel

#endif
