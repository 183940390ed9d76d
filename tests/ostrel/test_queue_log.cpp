// Event blocks, queues, conditions, timers, the log and output files.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/LogLines.h"
#include "common/TestUtil.h"
#include "ostrel/Ostrel.h"

using namespace Ostrel;

namespace {


} // namespace

TEST(ModuleData, ReferencesAndViews)
{
    const char src[] = "0123456789";
    ModuleData* d = ModuleData::new_block(10, src);
    EXPECT_EQ(d->size(), 10u);
    EXPECT_EQ(std::memcmp(d->data(), src, 10), 0);
    d->set_offset(4);
    EXPECT_EQ(d->size(), 6u);
    EXPECT_EQ(d->data()[0], '4');
    d->set_offset(0);

    ModuleData* view = ModuleData::new_block(3, d->data() + 2, d);
    EXPECT_EQ(d->ref_count(), 2);
    EXPECT_EQ(std::string(view->data(), 3), "234");
    EXPECT_EQ(d->dec_ref(), 1);   // the view keeps the parent alive
    EXPECT_EQ(std::string(view->data(), 3), "234");
    EXPECT_EQ(view->dec_ref(), 0);

    ModuleData* z = ModuleData::new_block(4);
    EXPECT_EQ(std::string(z->data(), 4), std::string(4, '\0'));
    z->dec_ref();
}

TEST(DataQueue, OrderCapacityTimeOutAndDie)
{
    DataQueue q(2);
    ModuleData* a = ModuleData::new_block(1);
    ModuleData* b = ModuleData::new_block(1);
    ModuleData* c = ModuleData::new_block(1);
    EXPECT_TRUE(q.push_event(a));
    EXPECT_TRUE(q.push_event(b));
    EXPECT_FALSE(q.push_event(c));   // full: refused, no reference taken
    EXPECT_EQ(c->ref_count(), 1);
    EXPECT_EQ(q.n_dropped(), 1u);
    EXPECT_DOUBLE_EQ(q.get_monitored(), 1.0);
    EXPECT_EQ(a->ref_count(), 2);
    EXPECT_TRUE(q.condition());

    ModuleData* first = q.get_event(0);
    EXPECT_EQ(first, a);
    first->dec_ref();
    EXPECT_EQ(q.get_event(-1), b);
    b->dec_ref();
    EXPECT_FALSE(q.condition());
    EXPECT_TRUE(q.empty());
    EXPECT_THROW(q.get_event(20), DataQueueTimeOut);

    // A waiter is woken by a shutdown with DataQueueDie.
    std::atomic<bool> died{false};
    std::thread waiter([&] {
        try {
            q.get_event(-1);
        } catch (const DataQueueDie&) {
            died = true;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.shutdown();
    waiter.join();
    EXPECT_TRUE(died);
    EXPECT_FALSE(q.push_event(c));
    q.revive();
    EXPECT_TRUE(q.push_event(c));
    a->dec_ref();
    b->dec_ref();
    c->dec_ref();   // the queue still holds c and releases it when destroyed
}

TEST(DataQueue, ConsumerThreadSeesEveryEventAndReleasesIt)
{
    struct Consumer : DataQueue {
        Consumer() : DataQueue(100000) {}
        ~Consumer() override { stop(); }
        int user_run(ModuleData* d) override
        {
            unsigned v;
            std::memcpy(&v, d->data(), 4);
            if (v != expected++)
                ++wrong;
            return 1;
        }
        unsigned expected = 0;
        std::atomic<int> wrong{0};
    };
    Consumer q;
    q.start();
    EXPECT_TRUE(q.is_running());
    std::vector<ModuleData*> kept;
    const unsigned n = 20000;
    for (unsigned i = 0; i < n; ++i) {
        ModuleData* d = ModuleData::new_block(4, reinterpret_cast<const char*>(&i));
        ASSERT_TRUE(q.push_event(d));
        if (i % 1000 == 0) {
            kept.push_back(d);   // keep a few to check their references
        } else {
            d->dec_ref();
        }
    }
    ASSERT_TRUE(testutil::wait_until([&] { return q.empty(); }, 10));
    EXPECT_EQ(q.expected, n);
    EXPECT_EQ(q.wrong.load(), 0);
    for (ModuleData* d : kept) {
        EXPECT_EQ(d->ref_count(), 1);
        d->dec_ref();
    }
    q.stop();
    EXPECT_FALSE(q.is_running());
    // Restartable.
    q.start();
    unsigned v = n;
    ModuleData* d = ModuleData::new_block(4, reinterpret_cast<const char*>(&v));
    q.push_event(d);
    d->dec_ref();
    EXPECT_TRUE(testutil::wait_until([&] { return q.empty(); }, 5));
    EXPECT_EQ(q.expected, n + 1);
}

TEST(DataQueue, BatchesRaceAConsumerWithoutLossOrReorderAndBoundsHoldInBytes)
{
    // A producer pushing batches of any size while a consumer takes events
    // one by one: every event once, in order.
    DataQueue q(1 << 20);
    const unsigned n = 200000;
    std::thread producer([&] {
        std::vector<ModuleData*> batch;
        unsigned next = 0;
        while (next < n) {
            batch.clear();
            for (unsigned k = 0; k < 1 + next % 61 && next < n; ++k, ++next)
                batch.push_back(ModuleData::new_block(4, reinterpret_cast<const char*>(&next)));
            EXPECT_EQ(q.push_events(batch.data(), batch.size()), batch.size());
            for (ModuleData* d : batch)
                d->dec_ref();
        }
    });
    unsigned expected = 0;
    unsigned wrong = 0;
    while (expected < n) {
        if (!q.condition())
            continue;
        ModuleData* d = q.get_event(1000);
        unsigned v;
        std::memcpy(&v, d->data(), 4);
        wrong += v != expected++;
        d->dec_ref();
    }
    producer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.count(), 0u);

    // Bounded by bytes: the first blocks that fit are queued, the rest
    // refused without a reference taken; what is taken out makes room.
    DataQueue bytes(100, 1000);
    std::vector<ModuleData*> big;
    for (int i = 0; i < 5; ++i)
        big.push_back(ModuleData::new_block(300));
    EXPECT_EQ(bytes.push_events(big.data(), big.size()), 3u);
    EXPECT_EQ(bytes.n_dropped(), 2u);
    EXPECT_EQ(big[3]->ref_count(), 1);
    ModuleData* first = bytes.get_event(0);
    EXPECT_EQ(first, big[0]);
    first->dec_ref();
    EXPECT_TRUE(bytes.push_event(big[3]));
    EXPECT_FALSE(bytes.push_event(big[4]));
    bytes.clear();
    EXPECT_EQ(bytes.count(), 0u);
    for (ModuleData* d : big)
        EXPECT_EQ(d->dec_ref(), 0);
}

TEST(DataQueue, BackgroundThreadRunsAtLowerPriority)
{
    struct Niceness : DataQueue {
        ~Niceness() override { stop(); }
        void on_start() override
        {
            errno = 0;
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
            started = true;
        }
        std::atomic<int> nice{0};
        std::atomic<bool> started{false};
    };
    const int own = getpriority(PRIO_PROCESS, 0);
    Niceness q;
    q.set_background(true);
    q.start();
    ASSERT_TRUE(testutil::wait_until([&] { return q.started.load(); }, 5));
    EXPECT_GT(q.nice.load(), own);
}

TEST(Threads, AThreadIsRaisedOnlyWhereTheProcessHasAnotherProcessor)
{
    // On one processor a raised thread would take it from every other one
    // whenever it is busy.
    const auto raised = [](bool pinned) {
        int nice = 0;
        bool done = false;
        std::thread([&] {
            std::optional<testutil::OneProcessor> one;
            if (pinned)
                one.emplace();
            done = Ostrel::set_thread_nice(-5);
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        }).join();
        return std::make_pair(done, nice);
    };
    const int own = getpriority(PRIO_PROCESS, 0);
    EXPECT_EQ(raised(true), std::make_pair(false, own));
    if (Ostrel::processors() > 1 && geteuid() == 0) {
        EXPECT_EQ(raised(false), std::make_pair(true, -5));
    }
}

TEST(ModuleData, BlocksFreedOnAnotherThreadAreMadeAgainZeroed)
{
    // Blocks freed on other threads come back filled with what those wrote;
    // a new block is zero-filled, or holds the bytes it was made from.
    for (int round = 0; round < 3; ++round) {
        std::vector<ModuleData*> made;
        for (int i = 0; i < 1000; ++i)
            made.push_back(ModuleData::new_block(static_cast<size_t>(200 + i % 300)));
        std::thread([&made] {
            for (ModuleData* d : made) {
                std::memset(d->data(), 0x5A, d->size());
                d->dec_ref();
            }
        }).join();
        for (int i = 0; i < 1000; ++i) {
            const size_t size = static_cast<size_t>(200 + (i * 7) % 300);
            ModuleData* d = ModuleData::new_block(size);
            ASSERT_EQ(d->size(), size);
            ASSERT_EQ(std::string(d->data(), size), std::string(size, '\0')) << i;
            const std::string text(size, static_cast<char>('a' + i % 26));
            ModuleData* copy = ModuleData::new_block(size, text.data());
            ASSERT_EQ(std::string(copy->data(), size), text);
            copy->dec_ref();
            d->dec_ref();
        }
    }
}

TEST(Condition, PredicateEventAndTimeOut)
{
    Condition plain;
    EXPECT_EQ(plain.wait(10), -1);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        plain.notify_all();
    });
    EXPECT_EQ(plain.wait(5000), 0);
    t.join();
    EXPECT_EQ(plain.wait(0), 0);   // stays signalled until reset
    plain.reset();
    EXPECT_EQ(plain.wait(0), -1);

    struct Done : Condition {
        int done = 0;
        bool predicate() override { return done != 0; }
    } c;
    std::thread t2([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.notify_all();   // a notification without the predicate does not end the wait
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.lock();
        c.done = 1;
        c.unlock();
        c.notify_all();
    });
    EXPECT_EQ(c.wait(-1), 0);
    EXPECT_EQ(c.done, 1);
    t2.join();
}

TEST(DAQTimer, StartStopReset)
{
    DAQTimer t;
    EXPECT_FALSE(t.running());
    EXPECT_EQ(t.elapsed(), 0.0);
    t.start();
    Ostrel::wait(0.02);
    t.stop();
    const double e = t();
    EXPECT_GE(e, 0.019);
    Ostrel::wait(0.01);
    EXPECT_EQ(t(), e);
    t.start();
    EXPECT_GT(t(), e - 1e-9);
    t.reset();
    EXPECT_EQ(t(), 0.0);
    EXPECT_FALSE(t.running());
}

TEST(Log, LevelsMasksAndLines)
{
    LogLines warn(LOG_WARNING | LOG_ERROR);
    LogLines all(0xFF);
    {
        Ostrel::ostream log;
        log << "info line" << std::endl;
        log << loglevel(LOG_ERROR) << "error " << 42 << std::endl;
        // A line goes out at the level in force at its first character.
        log << "still error" << loglevel(LOG_INFO) << std::endl;
        log << "two\nlines\n";
        log << loglevel(LOG_PROTOCOL) << "unfinished";
    }   // the unfinished line goes out when the stream goes
    std::vector<std::string> expect_all = {"info line\n", "error 42\n", "still error\n", "two\n",
                                           "lines\n", "unfinished\n"};
    EXPECT_EQ(all.get(), expect_all);
    std::vector<std::string> expect_warn = {"error 42\n", "still error\n"};
    EXPECT_EQ(warn.get(), expect_warn);

    // loglevel on a plain stream does nothing harmful
    std::ostringstream os;
    os << loglevel(4) << "x";
    EXPECT_EQ(os.str(), "x");

    // Many threads, one line each time, never interleaved.
    LogLines many(LOG_PROTOCOL);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([t] {
            Ostrel::ostream log(LOG_PROTOCOL);
            for (int i = 0; i < 200; ++i)
                log << "thread " << t << " line " << i << std::endl;
        });
    for (auto& t : ts)
        t.join();
    auto lines = many.get();
    ASSERT_EQ(lines.size(), 800u);
    for (auto& l : lines)
        EXPECT_EQ(l.rfind("thread ", 0), 0u) << l;
}

namespace {

struct Framed : FileIOManager {
    Framed(unsigned long max) : FileIOManager(false, max)
    {
        set_header_func(&Framed::header, this);
        set_tail_func(&Framed::tail, this);
        set_extension("data");
    }
    static int header(const char** block, void* self)
    {
        ++static_cast<Framed*>(self)->headers;
        char* b = new char[2]{'H', 'H'};
        *block = b;
        return 2;
    }
    static int tail(const char** block, void* self)
    {
        ++static_cast<Framed*>(self)->tails;
        char* b = new char[1]{'T'};
        *block = b;
        return 1;
    }
    int headers = 0;
    int tails = 0;
};

} // namespace

TEST(FileIOManager, HeaderTailAndRollover)
{
    const std::string dir = testutil::make_temp_dir("fileio");
    Framed f(10);
    EXPECT_EQ(f.write("x", 1), -1);   // nothing open
    ASSERT_EQ(f.open((dir + "/run.data").c_str()), 0);
    EXPECT_EQ(f.get_file_name(), dir + "/run.data");
    EXPECT_EQ(f.size(), 2u);
    EXPECT_EQ(f.write("abcd", 4), 4);
    EXPECT_DOUBLE_EQ(f.relative_size(), 0.6);
    FileIOManager::FileIODescriptor desc;
    EXPECT_EQ(desc.get_module_id().str(), "-1");
    EXPECT_EQ(desc.get_format(), "");
    EXPECT_EQ(desc.get_object_id(), -1);
    EXPECT_EQ(f.write(desc, "efgh", 4), 4);   // 10 bytes: the next file begins
    EXPECT_EQ(f.get_file_name(), dir + "/run_001.data");
    EXPECT_EQ(f.write("ij", 2), 2);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.close(), -1);
    EXPECT_EQ(f.headers, 2);
    EXPECT_EQ(f.tails, 2);
    EXPECT_EQ(testutil::read_file(dir + "/run.data"), "HHabcdefghT");
    EXPECT_EQ(testutil::read_file(dir + "/run_001.data"), "HHijT");

    FileIOManager bad;
    EXPECT_EQ(bad.open((dir + "/no/such/dir/x").c_str()), -1);
    EXPECT_FALSE(bad.is_open());
}

TEST(RunState, CountersAndCopies)
{
    RunState s("main");
    EXPECT_EQ(s.eff(), 0.0);
    s.start();
    s.add_trigger(4);
    s.add_written(3);
    s.add_bytes(2000000);
    EXPECT_DOUBLE_EQ(s.eff(), 75.0);
    s.set_status(RunState::Running, false);
    EXPECT_TRUE(s.isRunning());
    RunState copy = s;
    EXPECT_EQ(copy.get_name(), "main");
    EXPECT_EQ(copy.n_trigger(), 4u);
    EXPECT_EQ(copy.get_status(), RunState::Running);
    EXPECT_EQ(copy.countObservers(), 0);
    Ostrel::wait(0.01);
    EXPECT_GT(s.rate(), 0.0);
    // A counter of the bytes taken, not a rate that fades as the run goes on.
    EXPECT_DOUBLE_EQ(s.get_throughput(), 2000000.0);
    s.set_status(RunState::Stopped, false);
    EXPECT_FALSE(s.isRunning());
    s.reset();
    EXPECT_EQ(s.n_trigger(), 0u);
    EXPECT_STREQ(RunState::status_name(RunState::TimeOut), "TimeOut");
}
