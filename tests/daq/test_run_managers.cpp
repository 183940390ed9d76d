// The run-manager kinds: the "logData" command, the factories and the
// replacement of a manager, and data, internal-trigger, pedestal and pulse
// runs from start to end with synthetic modules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <hdf5.h>

#include "RunTestSupport.h"
#include "common/SyntheticModule.h"
#include "common/TestModule.h"
#include "daq/HDFDataLogger.h"
#include "daq/RunManagers.h"
#include "daq/TellumLogger.h"
#include "ostrel/Exception.h"
#include "ostrel/DAQmanager.h"

using ::testing::HasSubstr;

namespace {

// The rows of a dataset of an HDF5 file; -1 when it cannot be read.
long hdf_rows(const std::string& file, const std::string& dataset)
{
    long rows = -1;
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = f < 0 ? -1 : H5Dopen2(f, dataset.c_str(), H5P_DEFAULT);
    if (d >= 0) {
        const hid_t space = H5Dget_space(d);
        hsize_t dims[2] = {0, 0};
        if (H5Sget_simple_extent_dims(space, dims, nullptr) >= 1)
            rows = static_cast<long>(dims[0]);
        H5Sclose(space);
        H5Dclose(d);
    }
    if (f >= 0)
        H5Fclose(f);
    return rows;
}

TellumRunManager* make(const std::string& type, const std::string& name)
{
    TellumRunManager* rm = TellumRunManager::create_run_manager(type, name);
    EXPECT_NE(nullptr, rm) << type;
    return rm;
}

// A data run manager whose run time the test sets.
class ClockedDataRunManager : public DataRunManager {
public:
    using DataRunManager::DataRunManager;
    ~ClockedDataRunManager() override { retire(); }
    double now = 0.0;

protected:
    double run_time() override { return now; }
};

// Every call, in order, and whether it was deleted.
struct GeneratorCalls {
    std::vector<std::string> calls;
    bool deleted = false;
};

class RecordingGenerator : public PulseGenerator {
public:
    explicit RecordingGenerator(GeneratorCalls& calls) : out(calls) {}
    ~RecordingGenerator() override { out.deleted = true; }
    void activate_burst(bool flag) override { note("activate_burst " + std::to_string(flag)); }
    void Reset() override { note("Reset"); }
    void define_pulse(double period, double width, double raise) override
    {
        note("define_pulse " + num(period) + " " + num(width) + " " + num(raise));
    }
    void set_pulse(double a) override { note("set_pulse " + num(a)); }
    void define_burst(double delay, double freq, int n, double period) override
    {
        note("define_burst " + num(delay) + " " + num(freq) + " " + std::to_string(n) + " " + num(period));
    }
    void trigger() override { note("trigger"); }
    void enable_output() override { note("enable"); }
    void disable_output() override { note("disable"); }

private:
    static std::string num(double v)
    {
        std::ostringstream os;
        os << v;
        return os.str();
    }
    void note(const std::string& s) { out.calls.push_back(s); }
    GeneratorCalls& out;
};

} // namespace

// ---- the "logData" command -------------------------------------------------

TEST_F(RunFixture, LogDataTakesItsOptionsAndTheDefaultsOfTheIOSection)
{
    TellumRunManager* rm = make("data", "rm");

    // Not understood, or no file: nothing.
    rm->set_par<std::string>("command", "LogData|file=" + dir + "/x");
    rm->set_par<std::string>("command", "logData|max_size=5:compression=yes");
    rm->set_par<std::string>("command", "logData");
    EXPECT_EQ(nullptr, rm->get_logger());
    EXPECT_EQ(0, journal().get().created);

    rm->set_par<std::string>("command", "logData|file=" + dir + "/run:max_size=100:compression=yes");
    ASSERT_NE(nullptr, rm->get_logger());
    JournalData j = journal().get();
    EXPECT_TRUE(j.compress);
    EXPECT_EQ(100, j.max_size);
    EXPECT_EQ(std::vector<std::string>{dir + "/run.jnl"}, j.opened);

    // Blanks around everything; any other extension becomes the logger's;
    // the file written before is closed and its logger deleted first.
    rm->set_par<std::string>("command", " logData | file = " + dir + "/run.txt : compression = on ");
    j = journal().get();
    EXPECT_EQ(dir + "/run.jnl", j.opened.back());
    EXPECT_EQ(1, j.closed);
    EXPECT_EQ(1, j.deleted);
    EXPECT_FALSE(j.compress);
    EXPECT_EQ(500000000, j.max_size);   // an IO element without attributes

    io()->set_compression(false);
    io()->set_max_size(77);
    rm->set_par<std::string>("command", "logData|file=" + dir + "/d");
    j = journal().get();
    EXPECT_FALSE(j.compress);
    EXPECT_EQ(77, j.max_size);
    io()->set_compression(true);
    rm->set_par<std::string>("command", "logData|file=" + dir + "/d");
    EXPECT_TRUE(journal().get().compress);

    for (const char* yes : {"T", "true", "Yes", "y", "1"}) {
        rm->set_par<std::string>("command", "logData|file=" + dir + "/c:compression=" + yes);
        EXPECT_TRUE(journal().get().compress) << yes;
    }
    for (const char* no : {"on", "0", "false", "no", ""}) {
        rm->set_par<std::string>("command", "logData|file=" + dir + "/c:compression=" + no);
        EXPECT_FALSE(journal().get().compress) << no;
    }
    rm->stop_logging();
    j = journal().get();
    EXPECT_EQ(j.created, j.deleted);
    EXPECT_EQ(static_cast<int>(j.opened.size()), j.closed);
}

// A plug-in's factory whose logger takes the size it is given.
extern "C" DataLogger* sized_logger_factory(bool compress, int max_size)
{
    return new TellumLogger(nullptr, compress, max_size > 0 ? static_cast<unsigned long>(max_size) : 0);
}

TEST_F(RunFixture, LogDataSizeIsAWholeNumberOfBytesOfAnySize)
{
    cfg->reset();
    testutil::write_file(dir + "/sized.xml", "<Sorbek><plugins><data_logger><lib/><hook>sized_logger_factory</hook>"
                                             "</data_logger></plugins><IO max_size=\"3000000000\"/><general/></Sorbek>\n");
    ASSERT_EQ(1, cfg->parse((dir + "/sized.xml").c_str()));
    TellumRunManager* rm = make("data", "rm");
    const std::string kept = "logData|file=" + dir + "/kept:max_size=100";
    rm->set_par<std::string>("command", kept);
    ASSERT_NE(nullptr, rm->get_logger());
    EXPECT_EQ(100UL, rm->get_logger()->get_max_size());
    const std::string file = rm->get_logger()->get_file_name();

    LogLines log(Ostrel::LOG_ERROR);
    for (const char* bad : {"1e9", "-1", "", "1.5", "12abc", "0x10", "+5", "18446744073709551616"}) {
        SCOPED_TRACE(bad);
        const std::string why = "max_size \"" + std::string(bad) + "\" is no whole number of bytes (0 for no limit)";
        try {
            rm->set_par<std::string>("command", "logData|file=" + dir + "/bad:max_size=" + bad);
            ADD_FAILURE() << "taken";
        } catch (const Ostrel::ParameterRefused& e) {
            EXPECT_EQ(e.reason(), why);
        }
        EXPECT_TRUE(log.has("logData refused: " + why));
    }
    // Nothing of them was taken: the file of before is still written.
    EXPECT_EQ(kept, rm->get_par_value<std::string>("command"));
    ASSERT_NE(nullptr, rm->get_logger());
    EXPECT_EQ(file, rm->get_logger()->get_file_name());

    // Beyond what an int holds: whole to the plug-in's logger and to the
    // HDF5 one.
    rm->set_par<std::string>("command", "logData|file=" + dir + "/big:max_size=3000000000");
    EXPECT_EQ(3000000000UL, rm->get_logger()->get_max_size());
    dynamic_cast<PluginParser*>(cfg->get_handler("plugins"))->reset_plugins();
    rm->set_par<std::string>("command", "logData|file=" + dir + "/big:max_size= 18446744073709551615 ");
    ASSERT_NE(nullptr, dynamic_cast<HDFDataLogger*>(rm->get_logger()));
    EXPECT_EQ(18446744073709551615UL, rm->get_logger()->get_max_size());
    // The IO section's, as whole.
    rm->set_par<std::string>("command", "logData|file=" + dir + "/io");
    EXPECT_EQ(3000000000UL, rm->get_logger()->get_max_size());
    rm->stop_logging();
}

TEST_F(RunFixture, WithoutLoggerFactoryTheRunFileIsHDF5)
{
    dynamic_cast<PluginParser*>(cfg->get_handler("plugins"))->reset_plugins();
    TellumRunManager* rm = make("data", "h5");
    rm->addModule(new SyntheticModule("12"));
    rm->set_par<std::string>("command", "logData|file=" + dir + "/stem:max_size=100:compression=yes");
    auto* logger = dynamic_cast<HDFDataLogger*>(rm->get_logger());
    ASSERT_NE(nullptr, logger);
    EXPECT_EQ(dir + "/stem.h5", logger->get_file_name());
    EXPECT_TRUE(logger->get_compress());
    EXPECT_EQ(100UL, logger->get_max_size());
    EXPECT_EQ(rm, logger->get_run_manager());
    rm->stop_logging();
    EXPECT_EQ(nullptr, rm->get_logger());
    EXPECT_NE("", testutil::read_file(dir + "/stem.h5"));
}

TEST_F(RunFixture, LogDataDuringARunReturnsAtOnceAndTheNextRunWritesTheFile)
{
    TellumRunManager* rm = make("data", "rm");
    rm->addModule(new SyntheticModule("13", SyntheticModule::Timed, 2000));
    ASSERT_TRUE(start(rm));
    {
        CommandThread sender(rm, "logData|file=" + dir + "/first");
        EXPECT_TRUE(sender.returns_within(1.0));
    }
    // A later request takes its place; what cannot be written is refused
    // at once, and the request before it stays.
    rm->set_par<std::string>("command", "logData|file=" + dir + "/next");
    EXPECT_THROW(rm->set_par<std::string>("command", "logData|file=" + dir + "/no/such/folder/run"),
                 std::runtime_error);
    EXPECT_EQ(nullptr, rm->get_logger());
    rm->PrepareToStop(true);
    ASSERT_TRUE(testutil::wait_until([rm] { return !rm->isActive(); }, 10.0));
    EXPECT_EQ(0, journal().get().created);

    rm->set_max_events(20);
    ASSERT_TRUE(run(rm));
    const JournalData j = journal().get();
    EXPECT_EQ(std::vector<std::string>{dir + "/next.jnl"}, j.opened);
    EXPECT_EQ(20u, j.events.size());
    EXPECT_EQ(1, j.closed);
}

TEST_F(RunFixture, DeletingTheManagerDropsALogDataForTheNextRun)
{
    auto* m = new SyntheticModule("14", SyntheticModule::Timed, 2000);
    TellumRunManager* rm = make("data", "rm");
    rm->addModule(m);
    ASSERT_TRUE(start(rm));
    rm->set_par<std::string>("command", "logData|file=" + dir + "/never");
    delete rm;
    EXPECT_EQ(0, journal().get().created);
    EXPECT_EQ(1, m->n_stop.load());
}

// ---- factories and replacement ----------------------------------------------

TEST_F(RunFixture, BuiltInKindsByTypeName)
{
    general()->set_monitor_buffer(7);
    struct Kind {
        const char* type;
        RunType run_type;
        bool monitor;
    };
    const Kind kinds[] = {{"data", RunType::Data, true},
                          {"pedestal", RunType::Pedestal, false},
                          {"int_trg", RunType::IntTrg, false},
                          {"pulse", RunType::Pulse, true},
                          {"scan", RunType::Scan, true}};
    for (const Kind& k : kinds) {
        std::unique_ptr<TellumRunManager> rm(TellumRunManager::new_manager(k.type, "k"));
        ASSERT_NE(nullptr, rm) << k.type;
        EXPECT_EQ(k.run_type, rm->get_run_type()) << k.type;
        EXPECT_EQ(rm.get(), Ostrel::DAQmanager::theDAQmanager()->find_runmanager("k"));
        if (k.monitor) {
            auto* monitor = dynamic_cast<TellumMonitor*>(rm->get_monitor());
            ASSERT_NE(nullptr, monitor) << k.type;
            EXPECT_EQ(7u, monitor->capacity());
        } else {
            EXPECT_EQ(nullptr, rm->get_monitor()) << k.type;
        }
        EXPECT_EQ("", rm->get_par_value<std::string>("command"));
    }
    EXPECT_NE(nullptr, dynamic_cast<ScanRunManager*>(
                           std::unique_ptr<TellumRunManager>(TellumRunManager::new_manager("scan", "s")).get()));

    TellumRunManager* none = nullptr;
    const std::string out = testutil::capture_stdout([&] { none = TellumRunManager::new_manager("Data", "d"); });
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ("*** Rmanager::new_manager: invalid run type Data\n", out);
    EXPECT_EQ(nullptr, Ostrel::DAQmanager::theDAQmanager()->find_runmanager("d"));

    LogLines log;
    delete TellumRunManager::new_manager("pulse", "gone");
    EXPECT_TRUE(log.has("...destroying PulseRunManager gone"));
    EXPECT_TRUE(log.has("...destroying RunManager gone"));
}

TEST_F(RunFixture, ReplacementKeepsTheModulesAndNoReplacementKeepsTheOldManager)
{
    auto* a = new SyntheticModule("1");
    auto* b = new SyntheticModule("2");
    auto* c = new SyntheticModule("3");
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    TellumRunManager* old = make("data", "main");
    for (Ostrel::Module* m : {a, b, c})
        old->addModule(m);

    TellumRunManager* rm = make("pedestal", "main");
    ASSERT_NE(nullptr, dynamic_cast<PedestalRunManager*>(rm));
    EXPECT_EQ(rm, mgr->find_runmanager("main"));
    EXPECT_EQ((std::vector<Ostrel::Module*>{a, b, c}), rm->modules());

    // Taken on again: the modules no longer know the first manager's command.
    TellumRunManager* again = make("scan", "main");
    EXPECT_EQ((std::vector<Ostrel::Module*>{a, b, c}), again->modules());
    EXPECT_EQ(&again->run_command(), a->get_run_command());

    // No manager of the type: the old one stays, with its modules.
    TellumRunManager* none = nullptr;
    testutil::capture_stdout([&] { none = TellumRunManager::create_run_manager("bogus", "main"); });
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(again, mgr->find_runmanager("main"));
    EXPECT_EQ(3, again->countModules());

    // A manager that is not replaced keeps its modules.
    TellumRunManager* other = make("data", "other");
    EXPECT_EQ(0, other->countModules());
    EXPECT_EQ(3, again->countModules());

    // depletion leaves the modules in no manager at all.
    const std::list<Ostrel::Module*> taken = again->deplete_run_manager();
    EXPECT_EQ(3u, taken.size());
    EXPECT_EQ(0, again->countModules());
    EXPECT_EQ(nullptr, a->get_run_command());
}

// Whether each new "main", as others first see it, has its modules and the
// switch the window added.
class FirstSight : public Ostrel::Observer {
public:
    void update(Ostrel::Observable*, Ostrel::Argument* argument) override
    {
        auto* notice = dynamic_cast<Ostrel::Arg<Ostrel::DAQmanager::Notice>*>(argument);
        if (!notice || notice->get_value().first != Ostrel::DAQmanager::nwRunManager)
            return;
        auto* rm = static_cast<Ostrel::RunManager*>(reinterpret_cast<Ostrel::DAQObject*>(notice->get_value().second));
        if (rm->get_id() == "main")
            complete.push_back(rm->has_par("doInterrupts") && rm->countModules() == 1);
    }
    std::vector<bool> complete;
};

TEST_F(RunFixture, ANewManagerOfTheNameIsSeenWithTheOldOnesSettingsAndRunFile)
{
    dynamic_cast<PluginParser*>(cfg->get_handler("plugins"))->reset_plugins();
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    TellumRunManager* old = make("data", "main");
    old->addModule(new SyntheticModule("16"));
    old->add_par("doInterrupts", new Ostrel::Par<bool>(true));
    old->set_run_number(7);
    old->set_max_events(5);
    ASSERT_TRUE(old->log_data((dir + "/scan").c_str(), false, 0));

    FirstSight sight;
    mgr->addObserver(&sight);
    TellumRunManager* rm = TellumRunManager::create_run_manager("scan", "main", [](TellumRunManager* made) {
        dynamic_cast<ScanRunManager*>(made)->set_scan_list(3, {ScanVar(ScanVar::threshold, 10, 20, 10, 0)});
    });
    mgr->removeObserver(&sight);
    ASSERT_NE(nullptr, dynamic_cast<ScanRunManager*>(rm));
    EXPECT_EQ(std::vector<bool>{true}, sight.complete);
    EXPECT_EQ(rm, mgr->find_runmanager("main"));
    EXPECT_TRUE(rm->get_par_value<bool>("doInterrupts"));
    EXPECT_EQ(7, rm->get_run_number());
    EXPECT_EQ(0u, rm->get_max_events());   // a scan ends by its points
    // The file chosen for the next run is the scan's, under its name.
    ASSERT_NE(nullptr, rm->get_logger());
    EXPECT_EQ(dir + "/scan.h5", rm->get_logger()->get_file_name());
    EXPECT_FALSE(g_file_test((dir + "/scan-1.h5").c_str(), G_FILE_TEST_EXISTS));

    ASSERT_TRUE(run(rm));
    const hid_t file = H5Fopen((dir + "/scan.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    EXPECT_GT(H5Lexists(file, "/scan/def", H5P_DEFAULT), 0);
    H5Fclose(file);
    EXPECT_EQ(6, hdf_rows(dir + "/scan.h5", "/modules/16/data/synthetic"));
}

TEST_F(RunFixture, ReplacingAManagerDuringARunEndsTheRunAndItsFile)
{
    auto* m = new SyntheticModule("15", SyntheticModule::Timed, 2000);
    TellumRunManager* old = make("data", "main");
    old->addModule(m);
    old->log_data((dir + "/replaced").c_str(), false, 0);
    ASSERT_TRUE(start(old));
    ASSERT_TRUE(testutil::wait_until([&] { return journal().get().events.size() >= 10; }, 10.0));

    TellumRunManager* rm = make("data", "main");
    const JournalData j = journal().get();
    EXPECT_EQ(1, j.closed);
    EXPECT_EQ(1, j.deleted);
    EXPECT_EQ(1, m->n_stop.load());
    EXPECT_EQ((std::vector<Ostrel::Module*>{m}), rm->modules());
    EXPECT_FALSE(rm->isActive());
}

// ---- data runs --------------------------------------------------------------

TEST_F(RunFixture, DataRunWritesEveryEventStampedAndFeedsTheMonitor)
{
    auto* m = new SyntheticModule("11", SyntheticModule::Timed, 2000);
    TellumRunManager* rm = make("data", "d");
    rm->addModule(m);
    rm->set_max_events(200);
    rm->log_data((dir + "/data").c_str(), false, 0);
    LogLines log;
    ASSERT_TRUE(run(rm));

    const JournalData j = journal().get();
    EXPECT_EQ(std::vector<std::string>{"11 synthetic {seq/I,nchan/I,pulse/d,adc/8d}"}, j.streams);
    ASSERT_EQ(200u, j.events.size());
    for (uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ("11", j.events[i].module);
        EXPECT_EQ(i, j.events[i].counter);
        EXPECT_EQ(0x2000, j.events[i].data_type);
        EXPECT_EQ(0x2000, j.events[i].record_type);
        EXPECT_EQ(1000, j.events[i].object_id);   // the id the logger gave the stream
    }
    EXPECT_EQ(1, j.closed);
    EXPECT_EQ(1, j.deleted);
    EXPECT_EQ(nullptr, rm->get_logger());
    EXPECT_EQ(200u, rm->get_status().n_trigger());
    EXPECT_EQ(200u, rm->get_status().n_written());
    EXPECT_EQ(Ostrel::RunState::Ready, rm->get_status().get_status());
    EXPECT_EQ(RunType::Data, m->get_run_type());
    EXPECT_EQ(1, m->n_start.load());
    EXPECT_EQ(1, m->n_stop.load());
    for (const char* line : {"[RM.d] Starting the run", "End of run", "Stopping data logger",
                             "Quit Rmanager::Stop()"})
        EXPECT_TRUE(log.has(line)) << line;
    // The run ends once the monitor queue has analysed its events: the
    // module may go at once.
    EXPECT_EQ(200ul, m->analysis()->decoded.load());
    rm->deleteModule(m);
    delete m;
}

TEST_F(RunFixture, InterruptsAreResetAfterEveryEventWhileSwitchedOn)
{
    TellumRunManager* rm = make("data", "irq");
    rm->addModule(new SyntheticModule("17"));
    rm->set_max_events(10);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(0, interrupt_resets.load());

    rm->add_par("doInterrupts", new Ostrel::Par<bool>(true));
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(10, interrupt_resets.load());

    rm->set_par<bool>("doInterrupts", false);
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(10, interrupt_resets.load());

    // A switch of another type is no switch.
    rm->add_par("doInterrupts", new Ostrel::Par<int>(1));
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(10, interrupt_resets.load());
}

TEST_F(RunFixture, DataRunOfAGivenDurationTakesTheEventsOfThatTime)
{
    auto* m = new SyntheticModule("16", SyntheticModule::Timed, 1000);
    TellumRunManager* rm = make("data", "d");
    rm->addModule(m);
    rm->set_run_duration(0.5);
    ASSERT_TRUE(run(rm));
    // 1000 events a second for half a second, give or take a loaded machine.
    EXPECT_GE(rm->get_status().n_trigger(), 250u);
    EXPECT_LE(rm->get_status().n_trigger(), 750u);
    EXPECT_EQ(m->produced.load(), rm->get_status().n_trigger());
}

TEST_F(RunFixture, PedestalsAreWrittenEveryPeriodOfRunTime)
{
    general()->set_ped_period(10);
    ClockedDataRunManager rm("clk");
    rm.PrepareForRun();
    rm.now = 5.0;
    rm.EndOfEvent();   // without a file the schedule still goes on
    rm.log_data((dir + "/ped").c_str(), false, 0);
    std::vector<int> written;
    for (double t : {9.9, 10.0, 15.0, 19.99, 20.0}) {
        rm.now = t;
        rm.EndOfEvent();
        written.push_back(journal().get().pedestals);
    }
    EXPECT_EQ((std::vector<int>{0, 1, 1, 1, 2}), written);

    // Due at 10 s again, but no logger at 10 s: the next are due at 20 s.
    rm.stop_logging();
    rm.PrepareForRun();
    rm.now = 10.0;
    rm.EndOfEvent();
    rm.log_data((dir + "/ped").c_str(), false, 0);
    rm.now = 15.0;
    rm.EndOfEvent();
    EXPECT_EQ(2, journal().get().pedestals);
    rm.now = 20.0;
    rm.EndOfEvent();
    EXPECT_EQ(3, journal().get().pedestals);

    general()->set_ped_period(0);
    rm.PrepareForRun();
    rm.now = 1e6;
    rm.EndOfEvent();
    EXPECT_EQ(3, journal().get().pedestals);
}

// ---- internal trigger and pedestal runs --------------------------------------

TEST_F(RunFixture, InternalTriggerRunWritesOnlyEventsAboveThreeAndAHalf)
{
    auto* m = new SyntheticModule("31");
    m->set_data_type(0x4321);
    const std::vector<double> pulses{0.0, 3.5, 3.6, 5.0};
    m->set_pulse_pattern([pulses](uint32_t seq) { return pulses[seq % 4]; });
    auto* idle = new IdleModule("idle31");
    TellumRunManager* rm = make("int_trg", "it");
    EXPECT_EQ(nullptr, rm->get_monitor());
    rm->addModule(m);
    rm->addModule(idle);
    rm->set_max_events(8);
    rm->log_data((dir + "/it").c_str(), false, 0);
    ASSERT_TRUE(run(rm));

    JournalData j = journal().get();
    EXPECT_TRUE(j.events.empty());
    ASSERT_EQ(4u, j.plain.size());
    for (const JournalData::Event& e : j.plain) {
        EXPECT_EQ(0x2000, e.record_type);
        EXPECT_EQ(0x4321, e.data_type);
    }
    EXPECT_EQ(8u, m->n_trigger.load());   // triggered by the manager itself
    EXPECT_EQ(8u, rm->get_status().n_trigger());
    EXPECT_EQ(4u, rm->get_status().n_written());
    EXPECT_EQ(8ul, m->analysis()->decoded.load());

    // Without a file nothing is analysed either.
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(8ul, m->analysis()->decoded.load());

    // The HDF5 file takes the whole records as the rows of their module's
    // stream, and those are the events counted as written.
    dynamic_cast<PluginParser*>(cfg->get_handler("plugins"))->reset_plugins();
    ASSERT_TRUE(rm->log_data((dir + "/it").c_str(), false, 0));
    ASSERT_TRUE(run(rm));
    EXPECT_EQ(4u, rm->get_status().n_written());
    EXPECT_EQ(4, hdf_rows(dir + "/it.h5", "/modules/31/data/synthetic"));
    rm->deleteModule(idle);
    delete idle;
}

TEST_F(RunFixture, PedestalRunLeavesFreshPedestalsAndTheUpdateSetting)
{
    for (bool update : {false, true}) {
        general()->set_ped_update(update);
        const std::string id = update ? "42" : "41";
        auto* m = new SyntheticModule(id);
        m->set_base(200.0);
        TellumRunManager* rm = make("pedestal", "ped" + id);
        rm->addModule(m);
        rm->set_max_events(50);
        rm->log_data((dir + "/p").c_str(), false, 0);   // a pedestal run writes no events
        LogLines log;
        ASSERT_TRUE(run(rm));

        const std::vector<double>& ped = m->get_par_value<std::vector<double>>("pedestal");
        const std::vector<double>& noise = m->get_par_value<std::vector<double>>("noise");
        ASSERT_EQ(8u, ped.size());
        ASSERT_EQ(8u, noise.size());
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(200.0 + i, ped[i]) << i;
            EXPECT_GT(noise[i], 0.9) << i;
            EXPECT_LE(noise[i], 1.0) << i;
        }
        EXPECT_EQ(update, m->analysis()->DoingPedestalUpdate());
        EXPECT_EQ(update, m->get_par_value<bool>("__update_pedestals__"));
        EXPECT_TRUE(log.has("Updating pedestals for " + id));
        EXPECT_EQ(RunType::Pedestal, m->get_run_type());
        EXPECT_EQ(50ul, m->analysis()->decoded.load());
        EXPECT_TRUE(journal().get().events.empty());
        EXPECT_TRUE(journal().get().plain.empty());
    }
}

TEST_F(RunFixture, PedestalRunStoppedBeforeItsFirstEventKeepsThePedestalsItFound)
{
    auto* m = new SyntheticModule("43", SyntheticModule::Timed, 0.0);   // sends nothing
    const std::vector<double> ped{300, 301, 302, 303, 304, 305, 306, 307};
    const std::vector<double> noise(8, 2.5);
    m->set_par("pedestal", ped, false);
    m->set_par("noise", noise, false);
    m->copy_pedestals();
    TellumRunManager* rm = make("pedestal", "ped43");
    rm->addModule(m);
    ASSERT_TRUE(start(rm));
    rm->PrepareToStop(true);
    ASSERT_TRUE(testutil::wait_until([rm] { return !rm->isActive(); }, 10.0));

    EXPECT_EQ(ped, m->get_par_value<std::vector<double>>("pedestal"));
    EXPECT_EQ(noise, m->get_par_value<std::vector<double>>("noise"));
    std::vector<double> in_analysis, noise_in_analysis;
    m->analysis()->get_pedestals(in_analysis, noise_in_analysis);
    EXPECT_EQ(ped, in_analysis);
}

// ---- pulses -------------------------------------------------------------------

TEST_F(RunFixture, SetupPulseDefinesBurstsAndSinglePulses)
{
    GeneratorCalls calls;
    PulseRunManager rm("pulser", new RecordingGenerator(calls));
    EXPECT_EQ(std::vector<std::string>{"Reset"}, calls.calls);

    calls.calls.clear();
    rm.rate(100);
    rm.delay(0.5);
    rm.burst(true);
    rm.setup_pulse(2.0, 0);
    EXPECT_EQ((std::vector<std::string>{"set_pulse 2", "disable", "define_burst 0.5 100 1000 10",
                                        "activate_burst 1", "enable"}),
              calls.calls);
    EXPECT_EQ(2.0, rm.get_pulse());

    calls.calls.clear();
    rm.burst(false);
    rm.setup_pulse(1.5, 40);
    EXPECT_EQ((std::vector<std::string>{"set_pulse 1.5", "disable", "define_pulse 0.01 0.005 0.5",
                                        "activate_burst 0", "enable"}),
              calls.calls);

    calls.calls.clear();
    rm.rate(0);
    rm.burst(true);
    rm.setup_pulse(1.0, 3);
    EXPECT_EQ("define_burst 0.5 0 3 0", calls.calls[2]);

    GeneratorCalls next;
    rm.set_pulse_generator(new RecordingGenerator(next));
    EXPECT_TRUE(calls.deleted);
    EXPECT_EQ(std::vector<std::string>{"Reset"}, next.calls);
    rm.set_pulse_generator(nullptr);   // back to one that does nothing
    EXPECT_TRUE(next.deleted);
    rm.send_pulse();
    rm.set_output(true);
}

TEST_F(RunFixture, PulseRunTakesFrameworkTriggersAndSwitchesTheOutputOffAtTheEnd)
{
    GeneratorCalls calls;
    auto* m = new SyntheticModule("51");
    TellumRunManager* rm = make("pulse", "pulse");
    auto* pulse = dynamic_cast<PulseRunManager*>(rm);
    ASSERT_NE(nullptr, pulse);
    pulse->set_pulse_generator(new RecordingGenerator(calls));
    rm->addModule(m);
    rm->set_max_events(10);
    rm->log_data((dir + "/pulse").c_str(), false, 0);
    ASSERT_TRUE(run(rm));
    const JournalData j = journal().get();
    ASSERT_EQ(10u, j.events.size());
    EXPECT_EQ(0, j.events[3].data_type);   // not stamped
    EXPECT_EQ(0u, j.events[3].counter);
    EXPECT_EQ(10u, m->n_trigger.load());
    EXPECT_EQ((std::vector<std::string>{"Reset", "disable"}), calls.calls);
    EXPECT_EQ(RunType::Pulse, m->get_run_type());
    delete rm;   // and the generator, which writes into `calls`
    EXPECT_TRUE(calls.deleted);
}
