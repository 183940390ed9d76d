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
// Queue policy: the capacity counts events. An event pushed onto a full or
// stopped queue is refused (push_event returns false and takes no
// reference) and counted in n_dropped().
//
// A class that overrides user_run() must call stop() in its own destructor,
// so that the thread never calls into a half-destroyed object.
class DataQueue {
public:
    explicit DataQueue(size_t capacity = 1024);
    DataQueue(const DataQueue&) = delete;
    DataQueue& operator=(const DataQueue&) = delete;
    virtual ~DataQueue();   // stops the thread and releases queued events

    // Queues the block, taking a reference of the queue's own.
    bool push_event(ModuleData* block);

    // Takes the oldest event; the caller receives the queue's reference.
    // milliseconds -1 waits without limit. Throws DataQueueTimeOut when
    // nothing came in time and DataQueueDie once the queue is shut down.
    ModuleData* get_event(int milliseconds = -1);

    bool condition() const;                  // true while events wait
    bool empty() const;                      // no event waits and none is being handled
    size_t count() const;
    size_t capacity() const { return _capacity; }
    double get_monitored() const;            // count / capacity, 0 to 1
    unsigned long n_dropped() const { return _dropped.load(); }
    void clear();                            // releases every waiting event

    // Runs the queue's thread (again after a stop); idempotent.
    void start();
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

    // A counter raised by every accepted push in the process, so that an
    // idle run loop can sleep until any queue receives data.
    static unsigned long data_generation();
    static void wait_for_data(unsigned long since, double seconds);

private:
    void thread_main();

    const size_t _capacity;
    mutable std::mutex _mutex;
    std::condition_variable _cond;
    std::deque<ModuleData*> _events;
    bool _busy = false;
    int _sleepers = 0;   // get_event() callers waiting on _cond
    bool _consumer_sleeps = false;
    bool _dead = false;
    bool _stopping = false;
    std::atomic<bool> _running{false};
    std::atomic<unsigned long> _dropped{0};
    std::thread _thread;
};

} // namespace Ostrel

#endif
