#include "ostrel/DataQueue.h"

#include <chrono>

#include "ostrel/Exception.h"

namespace Ostrel {

namespace {
std::mutex g_data_mutex;
std::condition_variable g_data_cond;
std::atomic<unsigned long> g_data_generation{0};
std::atomic<int> g_data_waiters{0};

void raise_data_generation()
{
    // Sequentially consistent on both sides: either a waiter sees the new
    // generation, or this sees the waiter and wakes it.
    ++g_data_generation;
    if (g_data_waiters.load() > 0) {
        std::lock_guard<std::mutex> lock(g_data_mutex);
        g_data_cond.notify_all();
    }
}
} // namespace

unsigned long DataQueue::data_generation()
{
    return g_data_generation.load();
}

void DataQueue::wait_for_data(unsigned long since, double seconds)
{
    ++g_data_waiters;
    {
        std::unique_lock<std::mutex> lock(g_data_mutex);
        g_data_cond.wait_for(lock, std::chrono::duration<double>(seconds),
                             [since] { return g_data_generation.load() != since; });
    }
    --g_data_waiters;
}

DataQueue::DataQueue(size_t capacity) : _capacity(capacity ? capacity : 1) {}

DataQueue::~DataQueue()
{
    stop();
    clear();
}

bool DataQueue::push_event(ModuleData* block)
{
    if (!block)
        return false;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_dead || _events.size() >= _capacity) {
            ++_dropped;
            return false;
        }
        block->inc_ref();
        _events.push_back(block);
        // Waking costs a system call. get_event() waiters are woken at once;
        // the queue's own thread looks every millisecond by itself and is
        // woken only when the queue fills up.
        wake = _sleepers > 0 || (_consumer_sleeps && _events.size() * 2 >= _capacity);
    }
    if (wake)
        _cond.notify_all();
    raise_data_generation();
    return true;
}

ModuleData* DataQueue::get_event(int milliseconds)
{
    std::unique_lock<std::mutex> lock(_mutex);
    auto ready = [this] { return _dead || !_events.empty(); };
    if (!ready()) {
        ++_sleepers;
        bool in_time = true;
        if (milliseconds < 0)
            _cond.wait(lock, ready);
        else
            in_time = _cond.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        --_sleepers;
        if (!in_time)
            throw DataQueueTimeOut();
    }
    if (_events.empty())
        throw DataQueueDie();
    ModuleData* d = _events.front();
    _events.pop_front();
    _cond.notify_all();
    return d;
}

bool DataQueue::condition() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return !_events.empty();
}

bool DataQueue::empty() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _events.empty() && !_busy;
}

size_t DataQueue::count() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _events.size();
}

double DataQueue::get_monitored() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<double>(_events.size()) / static_cast<double>(_capacity);
}

void DataQueue::clear()
{
    std::deque<ModuleData*> old;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        old.swap(_events);
    }
    for (ModuleData* d : old)
        d->dec_ref();
    _cond.notify_all();
}

void DataQueue::start()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_thread.joinable()) {
        if (_running)
            return;
        _thread.join();   // ended after a stop() from its own user_run
    }
    _dead = false;
    _stopping = false;
    _running = true;
    _thread = std::thread(&DataQueue::thread_main, this);
}

void DataQueue::stop()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_thread.joinable())
            return;
        _stopping = true;
    }
    _cond.notify_all();
    // Stopped from user_run itself: the thread ends after it returns and is
    // joined by the next stop() from another thread (or the destructor).
    if (_thread.get_id() == std::this_thread::get_id())
        return;
    _thread.join();
}

void DataQueue::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _dead = true;
    }
    _cond.notify_all();
}

void DataQueue::revive()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _dead = false;
}

int DataQueue::user_run(ModuleData*)
{
    return 0;
}

void DataQueue::thread_main()
{
    on_start();
    // Events are taken in batches, so that the producer and this thread
    // meet on the lock once per batch rather than once per event.
    std::deque<ModuleData*> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _busy = false;
            while (!_stopping && _events.empty()) {
                _consumer_sleeps = true;
                _cond.wait_for(lock, std::chrono::milliseconds(1));
                _consumer_sleeps = false;
            }
            if (_stopping)
                break;
            batch.swap(_events);
            _busy = true;
        }
        for (ModuleData* d : batch) {
            user_run(d);
            d->dec_ref();
        }
        batch.clear();
    }
    on_stop();
    _running = false;
}

} // namespace Ostrel
