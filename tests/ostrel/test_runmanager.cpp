// Run managers driving modules through runs on their own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "ostrel/Ostrel.h"

using namespace Ostrel;

namespace {

// Records which hook ran, in order, from any thread.
struct Journal {
    std::mutex m;
    std::vector<std::string> lines;
    void add(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m);
        lines.push_back(s);
    }
    std::vector<std::string> get()
    {
        std::lock_guard<std::mutex> l(m);
        return lines;
    }
    size_t count(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m);
        size_t n = 0;
        for (auto& x : lines)
            n += x == s;
        return n;
    }
};

ModuleData* make_block(int module, unsigned counter)
{
    ModuleData* d = ModuleData::new_block(8);
    std::memcpy(d->data(), &module, 4);
    std::memcpy(d->data() + 4, &counter, 4);
    return d;
}

// A module whose events come from another thread through a DataQueue, like a
// network board.
class QueueModule : public Module {
public:
    QueueModule(const DAQid& id, Journal& j) : Module(id), journal(j), queue(1u << 20) {}
    ~QueueModule() override { queue.clear(); }

    int PrepareForRun() override { return log("PrepareForRun"); }
    int Start(int run) override
    {
        last_run = run;
        return log("Start");
    }
    int Stop(int) override { return log("Stop"); }
    int Pause() override { return log("Pause"); }
    int Continue() override { return log("Continue"); }
    int Reset() override { return log("Reset"); }
    int GetReady() override { return log("GetReady"); }
    int Trigger() override { return 0; }
    int flush() override { return log("flush"); }
    bool hasData() override { return queue.condition(); }
    ModuleData* getData() override
    {
        if (!queue.condition())
            empty_reads++;
        try {
            return queue.get_event(-1);
        } catch (const DataQueueDie&) {
            return nullptr;
        }
    }
    void push(ModuleData* d)
    {
        queue.push_event(d);
        d->dec_ref();
    }

    Journal& journal;
    DataQueue queue;
    std::atomic<int> empty_reads{0};
    int last_run = -1;

private:
    int log(const char* what)
    {
        journal.add(get_id().str() + "." + what);
        return 0;
    }
};

// A module that makes one event for every trigger.
class TriggeredModule : public QueueModule {
public:
    using QueueModule::QueueModule;
    int Trigger() override
    {
        push(make_block(get_id().to_int(), next++));
        return 0;
    }
    unsigned next = 0;
};

class RecordingManager : public RunManager {
public:
    RecordingManager(const DAQid& id, Journal& j) : RunManager(id), journal(j) {}
    ~RecordingManager() override { shutdown(); }

    void PrepareForRun() override
    {
        journal.add("rm.PrepareForRun");
        RunManager::PrepareForRun();
    }
    void Start() override
    {
        journal.add("rm.Start");
        RunManager::Start();
    }
    void Stop() override
    {
        journal.add("rm.Stop");
        RunManager::Stop();
        journal.add("rm.Stopped");
    }
    void EndOfRun() override { journal.add("rm.EndOfRun"); }
    int EndOfEvent() override
    {
        ++events_ended;
        return 0;
    }
    int writeData(const DAQid& id, ModuleData* d) override
    {
        std::lock_guard<std::mutex> l(m);
        unsigned counter;
        std::memcpy(&counter, d->data() + 4, 4);
        written[id.str()].push_back(counter);
        return RunManager::writeData(id, d);
    }
    std::map<std::string, std::vector<unsigned>> get_written()
    {
        std::lock_guard<std::mutex> l(m);
        return written;
    }

    Journal& journal;
    std::atomic<int> events_ended{0};
    std::mutex m;
    std::map<std::string, std::vector<unsigned>> written;
};

// A monitor queue whose thread counts the events it sees.
class CountingMonitor : public DataQueue {
public:
    CountingMonitor() : DataQueue(100000) {}
    ~CountingMonitor() override { stop(); }
    int user_run(ModuleData*) override
    {
        ++seen;
        return 1;
    }
    std::atomic<int> seen{0};
};

struct RunStateRecorder : Observer {
    std::mutex m;
    std::vector<int> states;
    void update(Observable*, Argument* a) override
    {
        if (auto* s = dynamic_cast<Arg<RunState::StatusType>*>(a)) {
            std::lock_guard<std::mutex> l(m);
            states.push_back(s->get_value());
        }
    }
};

bool wait_inactive(RunManager& rm, double seconds = 10)
{
    return testutil::wait_until([&] { return !rm.isActive(); }, seconds);
}

} // namespace

TEST(RunManager, TwoModulesThroughAWholeRun)
{
    Journal j;
    QueueModule board("11", j);
    TriggeredModule internal("12", j);
    RecordingManager rm("rm.test.1", j);
    auto* monitor = new CountingMonitor();
    rm.set_monitor(monitor);
    rm.addModule(&board);
    rm.addModule(&internal);
    ASSERT_EQ(rm.countModules(), 2);
    RunStateRecorder states;
    rm.get_status().addObserver(&states);
    rm.set_run_number(17);
    rm.set_max_events(200);

    // The board produces from another thread while the run goes on.
    std::atomic<bool> produce{true};
    std::thread producer([&] {
        for (unsigned i = 0; i < 150 && produce; ++i) {
            board.push(make_block(11, i));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    DAQmanager::theDAQmanager()->startRunManager(&rm);
    EXPECT_TRUE(rm.isActive());
    ASSERT_TRUE(wait_inactive(rm));
    produce = false;
    producer.join();

    // Every event reached writeData exactly once, in order, and the monitor.
    auto written = rm.get_written();
    EXPECT_EQ(rm.get_event_number(), 200u);
    const auto& w12 = written["12"];
    ASSERT_GE(w12.size(), 200u);
    for (unsigned i = 0; i < w12.size(); ++i)
        ASSERT_EQ(w12[i], i);
    const auto& w11 = written["11"];
    for (unsigned i = 0; i < w11.size(); ++i)
        ASSERT_EQ(w11[i], i);
    EXPECT_EQ(board.empty_reads.load(), 0);
    EXPECT_EQ(internal.empty_reads.load(), 0);
    const size_t blocks = w11.size() + w12.size();
    EXPECT_TRUE(testutil::wait_until([&] { return monitor->seen.load() == static_cast<int>(blocks); }, 5));
    EXPECT_EQ(rm.get_status().n_trigger(), 200u);
    EXPECT_EQ(rm.get_status().n_written(), 200u);
    EXPECT_DOUBLE_EQ(rm.get_status().eff(), 100.0);
    EXPECT_EQ(rm.events_ended.load(), 200);
    EXPECT_EQ(internal.last_run, 17);

    // Hooks in the documented order.
    auto lines = j.get();
    auto pos = [&](const std::string& s) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == s)
                return static_cast<long>(i);
        return -1L;
    };
    EXPECT_LT(pos("rm.PrepareForRun"), pos("11.PrepareForRun"));
    EXPECT_LT(pos("12.PrepareForRun"), pos("rm.Start"));
    EXPECT_LT(pos("rm.Start"), pos("11.Start"));
    EXPECT_LT(pos("11.Start"), pos("rm.EndOfRun"));
    EXPECT_LT(pos("rm.EndOfRun"), pos("rm.Stop"));
    EXPECT_LT(pos("rm.Stop"), pos("11.Stop"));
    EXPECT_LT(pos("12.Stop"), pos("12.flush"));
    EXPECT_LT(pos("12.flush"), pos("rm.Stopped"));

    {
        std::lock_guard<std::mutex> l(states.m);
        std::vector<int> expect = {RunState::Starting, RunState::Running, RunState::Stopping,
                                   RunState::Stopped, RunState::Ready};
        EXPECT_EQ(states.states, expect);
    }
    rm.get_status().removeObserver(&states);
    EXPECT_EQ(DAQmanager::theDAQmanager()->countActiveRunManager(), 0);
}

TEST(RunManager, StopWritesWaitingEventsAndLimits)
{
    Journal j;
    QueueModule board("21", j);
    RecordingManager rm("rm.test.2", j);
    rm.addModule(&board);
    // 50 events wait before the run; a limit of 30 writes 30 of them.
    for (unsigned i = 0; i < 50; ++i)
        board.push(make_block(21, i));
    rm.set_max_events(30);
    rm.Activate();
    ASSERT_TRUE(wait_inactive(rm));
    EXPECT_EQ(rm.get_written()["21"].size(), 30u);
    EXPECT_EQ(board.queue.count(), 20u);

    // Without a limit, a stop request writes what waits and nothing is lost.
    rm.set_max_events(0);
    rm.Activate();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_written()["21"].size() == 50u; }, 5));
    for (unsigned i = 50; i < 60; ++i)
        board.push(make_block(21, i));
    rm.PrepareToStop(true);
    ASSERT_TRUE(wait_inactive(rm));
    const auto w = rm.get_written()["21"];
    ASSERT_EQ(w.size(), 60u);
    for (unsigned i = 0; i < w.size(); ++i)
        EXPECT_EQ(w[i], i);
}

TEST(RunManager, DurationPauseContinueAndReset)
{
    Journal j;
    TriggeredModule m("31", j);
    RecordingManager rm("rm.test.3", j);
    rm.addModule(&m);
    rm.set_run_duration(0.3);
    DAQTimer t;
    t.start();
    rm.Activate();
    ASSERT_TRUE(wait_inactive(rm));
    EXPECT_GE(t.elapsed(), 0.29);
    EXPECT_GE(rm.get_status().time(), 0.29);
    EXPECT_GT(rm.get_status().n_trigger(), 0u);

    rm.set_run_duration(0);
    rm.Activate();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_status().get_status() == RunState::Running; }, 5));
    rm.Pause();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_status().get_status() == RunState::Paused; }, 5));
    const unsigned long frozen = rm.get_event_number();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rm.get_event_number(), frozen);
    rm.Continue();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_event_number() > frozen; }, 5));
    EXPECT_EQ(j.count("31.Pause"), 1u);
    EXPECT_EQ(j.count("31.Continue"), 1u);

    // A stop while paused ends the run too.
    rm.Pause();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_status().get_status() == RunState::Paused; }, 5));
    rm.deActivate();
    ASSERT_TRUE(wait_inactive(rm));
    ASSERT_TRUE(testutil::wait_until([&] { return j.count("31.Reset") == 1; }, 5));
    EXPECT_TRUE(testutil::wait_until([&] { return rm.get_status().get_status() == RunState::NotReady; }, 5));

    rm.GetReady();
    EXPECT_TRUE(testutil::wait_until([&] { return rm.get_status().isReady(); }, 5));
    EXPECT_EQ(j.count("31.GetReady"), 1u);
}

TEST(RunManager, ExternalTriggerGatesEachCycle)
{
    struct Gate : DAQTrigger {
        std::atomic<int> allowed{0};
        bool operator()() override
        {
            if (allowed.load() > 0) {
                --allowed;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return false;
        }
    } gate;
    Journal j;
    TriggeredModule m("41", j);
    RecordingManager rm("rm.test.4", j);
    rm.addModule(&m);
    DAQmanager::theDAQmanager()->set_trigger(&gate);
    rm.Activate();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rm.get_event_number(), 0u);
    gate.allowed = 5;
    EXPECT_TRUE(testutil::wait_until([&] { return rm.get_event_number() == 5u; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rm.get_event_number(), 5u);
    rm.PrepareToStop(true);
    ASSERT_TRUE(wait_inactive(rm));
    DAQmanager::theDAQmanager()->set_trigger(nullptr);
}

TEST(RunManager, ManagerRegistryNoticesAndModuleMoves)
{
    struct NoticeRecorder : Observer {
        std::mutex m;
        std::vector<std::pair<int, std::string>> notices;
        void update(Observable*, Argument* a) override
        {
            auto* n = dynamic_cast<Arg<DAQmanager::Notice>*>(a);
            if (!n)
                return;
            std::string id;
            if (n->get_value().second)
                id = reinterpret_cast<DAQObject*>(n->get_value().second)->get_id().str();
            std::lock_guard<std::mutex> l(m);
            notices.emplace_back(n->get_value().first, id);
        }
    } rec;
    DAQmanager* mgr = DAQmanager::theDAQmanager();
    mgr->addObserver(&rec);
    Journal j;
    {
        TriggeredModule m("51", j);
        EXPECT_EQ(mgr->find_module("51"), &m);
        auto* a = new RecordingManager("rm.test.5a", j);
        auto* b = new RecordingManager("rm.test.5b", j);
        EXPECT_EQ(mgr->find_runmanager("rm.test.5a"), a);
        EXPECT_EQ(mgr->RunMmap().count("rm.test.5b"), 1u);
        a->addModule(&m);
        EXPECT_EQ(a->countModules(), 1);
        // local and back
        m.in_local();
        EXPECT_TRUE(m.is_local());
        EXPECT_EQ(a->countModules(), 0);
        m.in_global();
        EXPECT_EQ(a->countModules(), 1);
        // moved to another manager
        a->deleteModule(&m);
        b->addModule(&m);
        EXPECT_EQ(a->countModules(), 0);
        EXPECT_EQ(b->countModules(), 1);
        // a run manager deleted while holding the module leaves it usable
        delete b;
        EXPECT_EQ(m.get_run_command(), nullptr);
        a->addModule(&m);
        mgr->deleteModule(&m);   // out of every manager and the map
        EXPECT_EQ(a->countModules(), 0);
        EXPECT_EQ(mgr->find_module("51"), nullptr);
        delete a;
    }
    mgr->removeObserver(&rec);
    std::vector<std::pair<int, std::string>> expect = {
        {DAQmanager::nwModule, "51"},       {DAQmanager::nwRunManager, "rm.test.5a"},
        {DAQmanager::nwRunManager, "rm.test.5b"}, {DAQmanager::rmRunManager, "rm.test.5b"},
        {DAQmanager::rmModule, "51"},       {DAQmanager::rmRunManager, "rm.test.5a"}};
    EXPECT_EQ(rec.notices, expect);
}

TEST(RunManager, DeletedWhileRunning)
{
    Journal j;
    TriggeredModule m("61", j);
    auto* rm = new RecordingManager("rm.test.6", j);
    rm->addModule(&m);
    rm->set_monitor(new CountingMonitor());
    rm->Activate();
    ASSERT_TRUE(testutil::wait_until([&] { return rm->get_event_number() > 10; }, 5));
    delete rm;   // stops the run and joins its thread first
    EXPECT_EQ(DAQmanager::theDAQmanager()->find_runmanager("rm.test.6"), nullptr);
    EXPECT_EQ(DAQmanager::theDAQmanager()->countActiveRunManager(), 0);
    EXPECT_EQ(m.get_run_command(), nullptr);
}
