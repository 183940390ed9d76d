// The run state of a module or run manager: status, run time and counters.
#ifndef OSTREL_RUNSTATE_H
#define OSTREL_RUNSTATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ostrel/Observer.h"
#include "ostrel/Thread.h"

namespace Ostrel {

// Observers are told of every status change with an Arg<StatusType>, on the
// thread that changes it. A copy (GetStatus) is a snapshot without observers.
class RunState : public Observable {
public:
    enum StatusType {
        NotDefined = 0,
        NotReady = 1,
        GettingReady = 2,
        Ready = 3,
        Starting = 4,
        Paused = 5,
        Running = 6,
        Stopping = 7,
        Stopped = 8,
        TimeOut = 9
    };

    explicit RunState(const std::string& name = std::string());
    RunState(const RunState& other);
    RunState& operator=(const RunState& other);

    const std::string& get_name() const { return _name; }
    void set_name(const std::string& name) { _name = name; }
    static const char* status_name(StatusType s);

    StatusType get_status() const { return _status.load(); }
    void set_status(StatusType s, bool notify = true);
    void set_status(int s, bool notify = true) { set_status(static_cast<StatusType>(s), notify); }

    // Starting, Paused, Running or Stopping.
    bool isRunning() const;
    bool isReady() const { return get_status() == Ready; }

    void reset();          // counters and run time back to zero
    void start();          // the run clock runs
    void stop();           // the run clock stops
    // Seconds of run time. Takes no lock: the threads of the data path read
    // it for every event.
    double time() const;
    // The calling thread reads the run time taken now from this state until
    // it holds another one or lets go: the run loop holds it for each event,
    // so that the hooks of one event read the clock once between them.
    void hold_time();
    static void let_go_time();

    void add_trigger(unsigned long n = 1) { _ntrigger += n; }
    void add_written(unsigned long n = 1) { _nwritten += n; }
    // The written events counted so far turn out to be `n` (a run file
    // lost some of them).
    void set_written(unsigned long n) { _nwritten = n; }
    void add_bytes(unsigned long n) { _bytes += n; }
    // Events of the run that a monitor queue handed to the analysis.
    void add_monitored(unsigned long n = 1) { _nmonitored += n; }
    unsigned long n_monitored() const { return _nmonitored.load(); }
    unsigned long n_trigger() const { return _ntrigger.load(); }
    unsigned long n_written() const { return _nwritten.load(); }
    unsigned long n_bytes() const { return _bytes.load(); }
    // Events of the run known to be missing from it: sent by a source but
    // never taken, or dropped on the way.
    void add_lost(unsigned long n) { _nlost += n; }
    unsigned long n_lost() const { return _nlost.load(); }

    // Percentage of events written (0 to 100; 0 before the first event).
    double eff() const;
    // Events per second: over the whole run, or (instant) since the previous
    // call with instant set.
    double rate(bool instant = false);
    // Bytes of event data taken since the run began: a counter, so that a
    // display can take its rate over whatever interval it refreshes at.
    double get_throughput() const;

private:
    std::string _name;
    std::atomic<StatusType> _status{NotDefined};
    std::atomic<unsigned long> _ntrigger{0};
    std::atomic<unsigned long> _nwritten{0};
    std::atomic<unsigned long> _nmonitored{0};
    std::atomic<unsigned long> _bytes{0};
    std::atomic<unsigned long> _nlost{0};
    // The run clock in one word: the steady clock's nanoseconds at run time
    // zero while it runs (lowest bit 1), else the run time in nanoseconds
    // (lowest bit 0). Changed under _clock_mutex, read without it.
    std::atomic<std::int64_t> _clock{0};
    mutable std::mutex _clock_mutex;
    double _last_time = 0.0;
    unsigned long _last_count = 0;
};

} // namespace Ostrel

#endif
