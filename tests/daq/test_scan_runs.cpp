// Scan runs: points by trigger count and by time, the values handed to the
// modules and the pulse generator, the wait for the monitor queue at a point
// change, and the point policies.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "RunTestSupport.h"
#include "common/SyntheticModule.h"

namespace {

double value_of(const ScanPoint& p, ScanType type)
{
    auto it = p.find_type(type);
    return it == p.end() ? -1.0 : it->value();
}

ScanRunManager* make_scan(const std::string& name)
{
    return dynamic_cast<ScanRunManager*>(TellumRunManager::create_run_manager("scan", name));
}

// Threshold 0, 1, 2 and pulse 1, 2: six points.
ScanPoint::VarList six_points()
{
    return {ScanVar(ScanVar::threshold, 0, 2, 1, 0), ScanVar(ScanVar::pulse, 1, 2, 1, 0)};
}

// Takes the amplitudes the scan sets.
class AmplitudeGenerator : public PulseGenerator {
public:
    void set_pulse(double a) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        amplitudes.push_back(a);
    }
    void trigger() override { ++triggers; }
    std::vector<double> get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return amplitudes;
    }
    std::atomic<int> triggers{0};

private:
    std::mutex mutex;
    std::vector<double> amplitudes;
};

// A monitor queue whose thread holds the first event until released.
class HoldingQueue : public Ostrel::DataQueue {
public:
    explicit HoldingQueue(double seconds) : until(clock::now() + to_duration(seconds)) {}
    ~HoldingQueue() override
    {
        release();
        stop();
    }
    int user_run(Ostrel::ModuleData*) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_until(lock, until, [this] { return released; });
        return 1;
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        cond.notify_all();
    }

private:
    using clock = std::chrono::steady_clock;
    static clock::duration to_duration(double s)
    {
        return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(s));
    }
    std::mutex mutex;
    std::condition_variable cond;
    bool released = false;
    clock::time_point until;
};

// A point every three triggers; counts its instances' deletions.
class EveryThird : public NewPoint {
public:
    static std::atomic<int> deleted;
    ~EveryThird() override { ++deleted; }
    bool operator()() override { return count % 3 == 0; }
    void reset() override { count = 0; }
    void next() override { ++count; }
    void set_max_value(double v) override { max = v; }
    double get_max_value() override { return max; }
    int count = 0;
    double max = 0;
};
std::atomic<int> EveryThird::deleted{0};

} // namespace

TEST_F(RunFixture, ScanOfSixPointsTakesOneHundredTriggersEach)
{
    auto* m = new SyntheticModule("61");
    ScanRunManager* rm = make_scan("scan");
    ASSERT_NE(nullptr, rm);
    auto* generator = new AmplitudeGenerator;
    rm->set_pulse_generator(generator);
    rm->set_scan_list(100, six_points());
    rm->addModule(m);
    EXPECT_EQ(100, rm->nevt_per_point());
    EXPECT_EQ(2, rm->get_n_var());
    EXPECT_EQ(ScanVar::pulse, rm->get_var(1).type());
    EXPECT_THROW(rm->get_var(2), std::out_of_range);
    rm->log_data((dir + "/scan").c_str(), false, 0);
    ASSERT_TRUE(run(rm));

    EXPECT_EQ(600u, m->n_trigger.load());
    EXPECT_EQ(600u, rm->get_status().n_trigger());
    EXPECT_TRUE(rm->CheckEndOfRun());
    EXPECT_EQ(600, generator->triggers.load());
    // The module's run state starts again with every point.
    EXPECT_EQ(100u, m->get_status().n_trigger());

    const double expected[6][2] = {{0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 1}, {2, 2}};
    const std::vector<ScanPoint> points = m->scan_points();
    const JournalData j = journal().get();
    ASSERT_EQ(6u, points.size());
    ASSERT_EQ(6u, j.scan_points.size());
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i][0], value_of(points[i], ScanVar::threshold)) << i;
        EXPECT_EQ(expected[i][1], value_of(points[i], ScanVar::pulse)) << i;
        EXPECT_EQ(expected[i][0], value_of(j.scan_points[i], ScanVar::threshold)) << i;
        EXPECT_EQ(expected[i][1], value_of(j.scan_points[i], ScanVar::pulse)) << i;
    }
    // Every point sets the amplitude of its Pulse variable.
    const std::vector<double> amplitudes = generator->get();
    ASSERT_EQ(7u, amplitudes.size());   // the run's set-up, then one per point
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(expected[i][1], amplitudes[i + 1]);

    ASSERT_EQ(600u, j.events.size());
    EXPECT_EQ(599u, j.events.back().counter);
    EXPECT_EQ(0x2000, j.events.back().data_type);
    EXPECT_EQ(1, j.closed);
    // After the last point the scan reports its first; the parameter holds
    // the last point given to the modules.
    EXPECT_EQ(0.0, value_of(rm->get_current(), ScanVar::threshold));
    EXPECT_EQ(2.0, value_of(rm->get_par_value<ScanPoint>("scanpoint"), ScanVar::threshold));
    EXPECT_EQ(2.0, value_of(rm->get_par_value<ScanPoint>("scanpoint"), ScanVar::pulse));
    EXPECT_EQ(RunType::Scan, m->get_run_type());

    // The list stays: the next run scans it again from the first point.
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(1200u, m->n_trigger.load());
    EXPECT_EQ(12u, m->scan_points().size());
}

TEST_F(RunFixture, PointsWithoutPulseVariableTakeAQuarterAsAmplitude)
{
    auto* m = new SyntheticModule("62");
    ScanRunManager* rm = make_scan("scan");
    auto* generator = new AmplitudeGenerator;
    rm->set_pulse_generator(generator);
    rm->set_scan_list(3, {ScanVar(ScanVar::channel, 5, 6, 1, 0)});
    rm->addModule(m);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(6u, m->n_trigger.load());
    EXPECT_EQ((std::vector<double>{0.0, 0.25, 0.25}), generator->get());

    // A second list replaces the points and keeps the parameter.
    Ostrel::Parameter* par = rm->get_par("scanpoint");
    rm->set_scan_list(2, {ScanVar(ScanVar::channel, 7, 7, 1, 0)});
    EXPECT_EQ(par, rm->get_par("scanpoint"));
    EXPECT_EQ(7.0, value_of(rm->get_current(), ScanVar::channel));
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(8u, m->n_trigger.load());
}

TEST_F(RunFixture, ScanWithoutPointsEndsAtOnce)
{
    auto* m = new SyntheticModule("63");
    ScanRunManager* rm = make_scan("scan");
    rm->set_scan_list(10, {});
    rm->addModule(m);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(0u, m->n_trigger.load());
    EXPECT_TRUE(rm->get_current().nvar() == 0);

    // No count per point: every trigger is a point of its own.
    rm->set_scan_list(0, {ScanVar(ScanVar::channel, 0, 3, 1, 0)});
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(4u, m->n_trigger.load());
}

TEST_F(RunFixture, ScanInTimeModeChangesPointsAfterTheTime)
{
    auto* m = new SyntheticModule("64", SyntheticModule::Timed, 200);
    ScanRunManager* rm = make_scan("timed");
    rm->set_scan_list(1, {ScanVar(ScanVar::threshold, 1, 2, 1, 0)});
    rm->is_time(true);
    rm->addModule(m);
    const double start =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(run(rm, 20.0));
    const std::vector<double> times = m->scan_point_times();
    ASSERT_EQ(2u, times.size());
    EXPECT_LT(times[0] - start, 0.5);   // the first trigger starts the first point
    // A point ends at the first trigger after more than a second of its own
    // time, which starts a little before the module hears of the point.
    EXPECT_GT(times[1] - times[0], 0.95);
    EXPECT_LT(times[1] - times[0], 1.5);
    EXPECT_GT(rm->get_status().time(), 2.0);
    EXPECT_GT(m->produced.load(), 100u);
}

// Sees each point given to the modules, with the events the run had then.
class PointWatch : public Ostrel::Observer {
public:
    explicit PointWatch(ScanRunManager* rm) : rm(rm) { rm->get_par("scanpoint")->addObserver(this); }
    ~PointWatch() override { rm->get_par("scanpoint")->removeObserver(this); }
    void update(Ostrel::Observable*, Ostrel::Argument*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        events_at.push_back(rm->get_event_number());
    }
    std::vector<unsigned long> get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events_at;
    }

private:
    ScanRunManager* rm;
    std::mutex mutex;
    std::vector<unsigned long> events_at;
};

TEST_F(RunFixture, PointsOfABoardThatSendsByItselfHoldTheEventsAskedFor)
{
    // Many passes of the run loop find no event at this rate.
    auto* m = new SyntheticModule("68", SyntheticModule::Timed, 500);
    ScanRunManager* rm = make_scan("scan");
    rm->set_scan_list(50, {ScanVar(ScanVar::threshold, 10, 30, 10, 0)});
    rm->addModule(m);
    PointWatch watch(rm);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ((std::vector<unsigned long>{0, 50, 100}), watch.get());
    EXPECT_GE(rm->get_event_number(), 150u);
}

// Runs a scan of two points of five triggers whose monitor queue holds its
// first event for `hold` seconds; gives the time between the two points.
double point_change_with_monitor_held(const std::string& id, double hold)
{
    auto* m = new SyntheticModule(id);
    ScanRunManager* rm = make_scan("scan");
    rm->set_scan_list(5, {ScanVar(ScanVar::threshold, 1, 2, 1, 0)});
    rm->addModule(m);
    rm->set_monitor(new HoldingQueue(hold));
    EXPECT_TRUE(run(rm));
    EXPECT_EQ(10u, m->n_trigger.load());
    const std::vector<double> times = m->scan_point_times();
    EXPECT_EQ(2u, times.size());
    return times.size() == 2 ? times[1] - times[0] : -1.0;
}

TEST_F(RunFixture, PointChangeWaitsForTheMonitorQueueToEmpty)
{
    const double gap = point_change_with_monitor_held("65", 1.0);
    EXPECT_GT(gap, 0.7);
    EXPECT_LT(gap, 4.0);
}

TEST_F(RunFixture, PointChangeGivesUpOnAMonitorQueueAfterFiveSeconds)
{
    // Held past the wait, so that the end of the run does not wait as well.
    const double gap = point_change_with_monitor_held("66", 6.0);
    EXPECT_GE(gap, 5.0);
    EXPECT_LT(gap, 8.0);
}

TEST_F(RunFixture, UserPolicyServesEveryRunAndIsDeletedOnce)
{
    EveryThird::deleted = 0;
    auto* m = new SyntheticModule("67");
    ScanRunManager* rm = make_scan("scan");
    rm->set_scan_list(10, {ScanVar(ScanVar::threshold, 1, 2, 1, 0)});
    rm->addModule(m);
    auto* first = new EveryThird;
    rm->set_next_point_handler(first);
    rm->set_next_point_handler(first);   // the same handler again is no new one
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(6u, m->n_trigger.load());
    EXPECT_EQ(10.0, first->get_max_value());
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(12u, m->n_trigger.load());
    EXPECT_EQ(0, EveryThird::deleted.load());

    rm->set_next_point_handler(new EveryThird);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(18u, m->n_trigger.load());
    EXPECT_EQ(1, EveryThird::deleted.load());
    delete rm;
    EXPECT_EQ(2, EveryThird::deleted.load());
}

TEST(PointPolicy, CounterAndTimer)
{
    EventCntr count(3);
    std::vector<bool> due;
    for (int i = 0; i < 7; ++i) {
        due.push_back(count());
        if (due.back())
            count.reset();
        count.next();
    }
    EXPECT_EQ((std::vector<bool>{true, false, false, true, false, false, true}), due);
    EXPECT_EQ(3.0, count.get_max_value());
    EXPECT_EQ(1.0, count.get_value());

    EventCntr none(0);
    EXPECT_TRUE(none());
    none.next();
    EXPECT_TRUE(none());

    EventTimer timer(0.05);
    EXPECT_FALSE(timer.has_started());
    EXPECT_TRUE(timer());
    EXPECT_TRUE(timer.has_started());
    timer.reset();
    EXPECT_FALSE(timer());
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_TRUE(timer());
    EXPECT_GT(timer.get_value(), 0.05);
    timer.set_max_value(2.0);
    EXPECT_EQ(2.0, timer.get_max_value());
}
