// Event queues between threads.
#ifndef OSTREL_DATAQUEUE_H
#define OSTREL_DATAQUEUE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "ostrel/ModuleData.h"

namespace Ostrel {

// A bounded FIFO of event blocks. Producers push_event(); a consumer either
// takes events with get_event(), or start() runs the queue's own thread,
// which hands every event to user_run() and then releases it.
//
// Queue policy: the capacity counts events, and a queue may also be bounded
// by the bytes of the blocks it holds. An event pushed onto a full or
// stopped queue is refused (push_event returns false and takes no
// reference) and counted in n_dropped().
//
// Producers and consumers meet on the queue's lock once per batch rather
// than once per event: push_events() queues many blocks under one lock, and
// get_event() moves everything waiting to its own side at once and hands it
// out from there. condition() takes no lock.
//
// A class that overrides user_run() must call stop() in its own destructor,
// so that the thread never calls into a half-destroyed object.
class DataQueue {
public:
    // max_bytes 0: no bound on the bytes held.
    explicit DataQueue(size_t capacity = 1024, size_t max_bytes = 0);
    DataQueue(const DataQueue&) = delete;
    DataQueue& operator=(const DataQueue&) = delete;
    virtual ~DataQueue();   // stops the thread and releases queued events

    // Queues the block, taking a reference of the queue's own.
    bool push_event(ModuleData* block);
    // Queues the (non-null) blocks in order, each with a reference of the
    // queue's own, as far as there is room; the rest are refused as
    // push_event refuses them. Returns how many were queued (the first ones).
    size_t push_events(ModuleData* const* blocks, size_t n);

    // Takes the oldest event; the caller receives the queue's reference.
    // milliseconds -1 waits without limit. Throws DataQueueTimeOut when
    // nothing came in time and DataQueueDie once the queue is shut down.
    ModuleData* get_event(int milliseconds = -1);

    bool condition() const;                  // true while events wait
    bool empty() const;                      // no event waits and none is being handled
    size_t count() const;
    size_t capacity() const { return _capacity; }
    size_t max_bytes() const { return _max_bytes; }
    double get_monitored() const;            // count / capacity, 0 to 1
    unsigned long n_dropped() const { return _dropped.load(); }
    void clear();                            // releases every waiting event

    // Runs the queue's thread (again after a stop); idempotent.
    void start();
    // A background queue's thread runs at a lower priority and takes a
    // small share of a processor at most: it takes the processor time that
    // the threads of the data path leave, and samples the events when they
    // come faster than it handles them. Before start().
    void set_background(bool flag) { _background = flag; }
    // Ends the thread after the events in hand (it takes them in batches);
    // events still waiting stay queued.
    void stop();
    bool is_running() const { return _running.load(); }

    // Wakes every get_event() waiter with DataQueueDie and refuses new
    // events until start() or revive().
    void shutdown();
    void revive();

    // Called on the queue's thread for every event; the block is released
    // after it returns. Returns 1 when the event was used.
    virtual int user_run(ModuleData* block);
    virtual void on_start() {}
    virtual void on_stop() {}

    // A counter raised by every accepted push in the process (but onto a
    // background queue), so that an idle run loop can sleep until any queue
    // receives data. A push wakes the sleepers once.
    static unsigned long data_generation();
    // With `streaming` (events came one after the other until a moment
    // ago), the time is waited out without asking the pushes to wake this
    // thread: more come within it, and a wake-up costs the pusher.
    static void wait_for_data(unsigned long since, double seconds, bool streaming = false);

private:
    void thread_main();
    // Under _mutex: how many of n blocks of these sizes fit.
    size_t room(ModuleData* const* blocks, size_t n) const;
    void taken(const std::deque<ModuleData*>& events);

    const size_t _capacity;
    const size_t _max_bytes;
    mutable std::mutex _mutex;
    std::condition_variable _cond;
    std::deque<ModuleData*> _events;
    // Events a get_event() caller has moved out of _events, oldest first;
    // under _take_mutex, which is taken before _mutex.
    std::mutex _take_mutex;
    std::deque<ModuleData*> _taken;
    std::atomic<size_t> _size{0};    // events in _events and _taken
    std::atomic<size_t> _bytes{0};   // their bytes
    bool _busy = false;
    int _sleepers = 0;   // get_event() callers waiting on _cond
    bool _consumer_sleeps = false;
    bool _dead = false;
    bool _stopping = false;
    std::atomic<bool> _running{false};
    std::atomic<bool> _background{false};
    std::atomic<unsigned long> _dropped{0};
    std::thread _thread;
};

} // namespace Ostrel

#endif
