#include "ostrel/DataQueue.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include <pthread.h>

#include "ostrel/Exception.h"
#include "ostrel/Thread.h"

namespace Ostrel {

namespace {
using Clock = std::chrono::steady_clock;

std::mutex g_data_mutex;
std::condition_variable g_data_cond;
std::atomic<unsigned long> g_data_generation{0};
std::atomic<int> g_data_waiters{0};

// A background queue's thread gets about a tenth of a processor that a
// thread of normal priority wants too. Beyond a few thousand events a
// second it takes no more than a fortieth of one however idle the machine:
// it rests after each batch, and what comes meanwhile waits, up to the
// queue's capacity, or is refused. So a monitor sees every event at the
// rates an operator follows by eye and samples faster streams (tens of
// thousands a second), and costs no more on an idle machine than on a busy
// one.
constexpr int background_nice = 10;
constexpr double background_share = 0.025;
constexpr unsigned long background_floor = 2000;   // events a second

std::chrono::nanoseconds thread_cpu_time()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void raise_data_generation()
{
    // Sequentially consistent on both sides: either a waiter sees the new
    // generation, or this sees the waiter. The first push after a waiter
    // came wakes it; later ones cost nothing until it waits again.
    ++g_data_generation;
    if (g_data_waiters.load() > 0 && g_data_waiters.exchange(0) > 0) {
        std::lock_guard<std::mutex> lock(g_data_mutex);
        g_data_cond.notify_all();
    }
}
} // namespace

unsigned long DataQueue::data_generation()
{
    return g_data_generation.load();
}

void DataQueue::wait_for_data(unsigned long since, double seconds, bool streaming)
{
    // No looking again before sleeping: producers hand events over in
    // batches, and a thread that spins between them burns a processor.
    if (streaming) {
        if (g_data_generation.load() == since)
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return;
    }
    {
        std::unique_lock<std::mutex> lock(g_data_mutex);
        ++g_data_waiters;
        g_data_cond.wait_for(lock, std::chrono::duration<double>(seconds),
                             [since] { return g_data_generation.load() != since; });
    }
    // Withdrawn, unless a push has cleared the waiters already (it woke
    // this one with the others). Taking another waiter's place instead
    // costs that one at most its time-out.
    int w = g_data_waiters.load();
    while (w > 0 && !g_data_waiters.compare_exchange_weak(w, w - 1)) {
    }
}

DataQueue::DataQueue(size_t capacity, size_t max_bytes) : _capacity(capacity ? capacity : 1), _max_bytes(max_bytes) {}

DataQueue::~DataQueue()
{
    stop();
    clear();
}

size_t DataQueue::room(ModuleData* const* blocks, size_t n) const
{
    if (_dead)
        return 0;
    const size_t size = _size.load();
    size_t fit = size >= _capacity ? 0 : std::min(n, _capacity - size);
    if (_max_bytes) {
        size_t bytes = _bytes.load();
        for (size_t i = 0; i < fit; ++i) {
            bytes += blocks[i]->size();
            if (bytes > _max_bytes) {
                fit = i;
                break;
            }
        }
    }
    return fit;
}

bool DataQueue::push_event(ModuleData* block)
{
    if (!block)
        return false;
    return push_events(&block, 1) == 1;
}

size_t DataQueue::push_events(ModuleData* const* blocks, size_t n)
{
    size_t queued = 0;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        queued = room(blocks, n);
        size_t bytes = 0;
        for (size_t i = 0; i < queued; ++i) {
            blocks[i]->inc_ref();
            bytes += blocks[i]->size();
            _events.push_back(blocks[i]);
        }
        _bytes += bytes;
        _size += queued;
        _dropped += n - queued;
        // Waking costs a system call. get_event() waiters are woken at once;
        // the queue's own thread looks every millisecond by itself and is
        // woken only when the queue fills up.
        if (queued)
            wake = _sleepers > 0 || (_consumer_sleeps && _size.load() * 2 >= _capacity);
    }
    if (wake)
        _cond.notify_all();
    // A background queue's events are for its own thread, not for a run
    // loop waiting for data.
    if (queued && !_background.load(std::memory_order_relaxed))
        raise_data_generation();
    return queued;
}

void DataQueue::taken(const std::deque<ModuleData*>& events)
{
    size_t bytes = 0;
    for (ModuleData* d : events)
        bytes += d->size();
    _bytes -= bytes;
    _size -= events.size();
}

ModuleData* DataQueue::get_event(int milliseconds)
{
    // The clock is read only when there is a wait: most calls find an
    // event, and a clock read per event is a share of the run thread's time.
    Clock::time_point deadline = Clock::time_point::min();
    for (;;) {
        {
            std::lock_guard<std::mutex> take(_take_mutex);
            if (_taken.empty()) {
                std::lock_guard<std::mutex> lock(_mutex);
                _taken.swap(_events);
            }
            if (!_taken.empty()) {
                ModuleData* d = _taken.front();
                _taken.pop_front();
                // The next block was written on the server's processor:
                // its lines travel while this one is handled.
                if (!_taken.empty()) {
                    const char* next = reinterpret_cast<const char*>(_taken.front());
                    for (int line = 0; line < 6; ++line)
                        __builtin_prefetch(next + 64 * line);
                }
                _bytes -= d->size();
                --_size;
                return d;
            }
        }
        std::unique_lock<std::mutex> lock(_mutex);
        auto ready = [this] { return _dead || !_events.empty(); };
        if (!ready()) {
            ++_sleepers;
            bool in_time = true;
            if (milliseconds < 0) {
                _cond.wait(lock, ready);
            } else {
                if (deadline == Clock::time_point::min())
                    deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
                in_time = _cond.wait_until(lock, deadline, ready);
            }
            --_sleepers;
            if (!in_time)
                throw DataQueueTimeOut();
        }
        if (_events.empty())
            throw DataQueueDie();
    }
}

bool DataQueue::condition() const
{
    return _size.load() > 0;
}

bool DataQueue::empty() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _size.load() == 0 && !_busy;
}

size_t DataQueue::count() const
{
    return _size.load();
}

double DataQueue::get_monitored() const
{
    return static_cast<double>(_size.load()) / static_cast<double>(_capacity);
}

void DataQueue::clear()
{
    std::deque<ModuleData*> old;
    std::deque<ModuleData*> waiting;
    {
        std::lock_guard<std::mutex> take(_take_mutex);
        std::lock_guard<std::mutex> lock(_mutex);
        old.swap(_taken);
        waiting.swap(_events);
        taken(old);
        taken(waiting);
    }
    for (ModuleData* d : old)
        d->dec_ref();
    for (ModuleData* d : waiting)
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
    if (_background) {
        set_thread_nice(background_nice);
        pthread_setname_np(pthread_self(), "monitor");
    } else {
        pthread_setname_np(pthread_self(), "DataQueue");
    }
    on_start();
    // Events are taken in batches, so that the producer and this thread
    // meet on the lock once per batch rather than once per event.
    std::deque<ModuleData*> batch;
    Clock::duration rest{0};
    Clock::time_point second = Clock::now();
    unsigned long this_second = 0;   // events handled since `second`
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _busy = false;
            if (rest.count() > 0)
                _cond.wait_for(lock, rest, [this] { return _stopping; });
            // A background thread looks less often by itself: it does not
            // keep anyone waiting.
            const auto look = _background ? std::chrono::milliseconds(10) : std::chrono::milliseconds(1);
            while (!_stopping && _events.empty()) {
                _consumer_sleeps = true;
                _cond.wait_for(lock, look);
                _consumer_sleeps = false;
            }
            if (_stopping)
                break;
            batch.swap(_events);
            taken(batch);
            _busy = true;
        }
        const std::chrono::nanoseconds start = _background ? thread_cpu_time() : std::chrono::nanoseconds{0};
        const unsigned long handled = batch.size();
        for (ModuleData* d : batch) {
            user_run(d);
            d->dec_ref();
        }
        batch.clear();
        if (_background) {
            const Clock::time_point now = Clock::now();
            if (now - second >= std::chrono::seconds(1)) {
                second = now;
                this_second = 0;
            }
            this_second += handled;
            // The processor time it took, not the time it lasted: on a busy
            // machine the thread waits for a processor meanwhile.
            const std::chrono::nanoseconds busy = thread_cpu_time() - start;
            rest = this_second <= background_floor
                       ? Clock::duration{0}
                       : std::chrono::duration_cast<Clock::duration>(busy * ((1.0 - background_share) / background_share));
        }
    }
    on_stop();
    _running = false;
}

} // namespace Ostrel
