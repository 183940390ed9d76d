// The acquisition controller (set-up and reset of the run manager "main"
// and the modules, also in the middle of a run) and the monitor queue.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "RunTestSupport.h"
#include "common/SyntheticModule.h"
#include "common/TestModule.h"
#include "daq/MainWindowView.h"
#include "ostrel/DAQmanager.h"

using ::testing::HasSubstr;

namespace {

Ostrel::DAQmanager* manager()
{
    return Ostrel::DAQmanager::theDAQmanager();
}

Ostrel::ModuleData* block_of(const void* bytes, size_t size)
{
    return Ostrel::ModuleData::new_block(size, static_cast<const char*>(bytes));
}

// The main window as the controller sees it: what it was told, in order.
struct FakeWindow : MainWindowView {
    void set_module_list(std::vector<std::string> ids) override
    {
        std::string text;
        for (const std::string& id : ids)
            text += (text.empty() ? "" : ",") + id;
        calls.push_back(text);
    }
    void clear_modules() override { calls.push_back("clear"); }
    void update_run_menu(const std::string& id, Ostrel::RunState::StatusType state) override
    {
        menus.push_back(id + " " + Ostrel::RunState::status_name(state));
    }
    std::vector<std::string> calls;
    std::vector<std::string> menus;
};

void run_main_loop()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

} // namespace

TEST_F(RunFixture, SetupWithoutModulesMakesAnEmptyMain)
{
    DAQcontroller* daq = DAQcontroller::instance();
    EXPECT_EQ(daq, DAQcontroller::instance());
    EXPECT_EQ(nullptr, daq->get_run_manager());
    // The built-in kinds come from the program's start-up: without them the
    // configuration makes no "main", and says so.
    PluginParser::set_builtin_factory(nullptr);
    {
        LogLines log;
        daq->setup_daq(0, nullptr);
        EXPECT_EQ(nullptr, daq->get_run_manager());
        EXPECT_TRUE(log.has("No run manager main could be made: the modules take part in no run"));
    }
    PluginParser::set_builtin_factory(&DAQcontroller::builtin_factory);
    daq->setup_daq(0, nullptr);
    TellumRunManager* main = daq->get_run_manager();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(main, manager()->find_runmanager("main"));
    EXPECT_EQ(RunType::Data, main->get_run_type());
    EXPECT_EQ(0, main->countModules());
    EXPECT_EQ(0ul, main->get_max_events());
    EXPECT_TRUE(manager()->isRunning());
    EXPECT_TRUE(daq->module_ids().empty());

    // Set up again: a new "main".
    daq->setup_daq(0, nullptr);
    EXPECT_NE(nullptr, daq->get_run_manager());
    EXPECT_EQ(1u, manager()->RunMmap().size());
}

TEST_F(RunFixture, SetupAndResetLeaveModulesThatAreNotOursAlone)
{
    general()->set_ped_update(false);
    auto* ours = new SyntheticModule("71");
    auto* idle = new IdleModule("idle71");
    DAQcontroller* daq = DAQcontroller::instance();
    daq->setup_daq(0, nullptr);
    TellumRunManager* main = daq->get_run_manager();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(2, main->countModules());
    EXPECT_FALSE(ours->analysis()->DoingPedestalUpdate());
    EXPECT_EQ(std::vector<std::string>{"71"}, daq->module_ids());
    daq->set_module_list();   // without a window: nothing to tell

    TellumRunManager* local = TellumRunManager::create_run_manager("data", "rm.71");
    ASSERT_NE(nullptr, local);
    LogLines log;
    daq->reset_daq();
    for (const char* line : {"Reseting DAQ...", "Clean up RunManager main", "...Number of modules: 2",
                             "Clean up RunManager rm.71", "...Number of modules: 0",
                             "...destroying DataRunManager main", "...destroying RunManager main"})
        EXPECT_TRUE(log.has(line)) << line;
    EXPECT_TRUE(manager()->RunMmap().empty());
    EXPECT_EQ(nullptr, manager()->find_module("71"));
    EXPECT_EQ(nullptr, GenModule::find_module("71"));
    EXPECT_EQ(idle, manager()->find_module("idle71"));
    EXPECT_EQ(nullptr, idle->get_run_command());
    delete idle;
}

TEST_F(RunFixture, StoppingDuringARunClosesTheFileBeforeTheModulesGo)
{
    auto* m = new SyntheticModule("72", SyntheticModule::Timed, 2000);
    DAQcontroller* daq = DAQcontroller::instance();
    daq->setup_daq(0, nullptr);
    TellumRunManager* main = daq->get_run_manager();
    main->log_data((dir + "/stopped").c_str(), false, 0);
    main->Activate();
    ASSERT_TRUE(testutil::wait_until([] { return journal().get().events.size() >= 20; }, 10.0));

    LogLines log;
    {
        // A remote client asks for a file for the next run meanwhile: there
        // is none.
        CommandThread sender(main, "logData|file=" + dir + "/next");
        EXPECT_TRUE(sender.returns_within(5.0));
        daq->stop_daq();
    }
    EXPECT_TRUE(log.has("Shuting down the DAQ"));
    const JournalData j = journal().get();
    EXPECT_EQ(1, j.created);
    EXPECT_EQ(1, j.closed);
    EXPECT_EQ(1, j.deleted);
    EXPECT_GE(j.events.size(), 20u);
    EXPECT_EQ(nullptr, manager()->find_module("72"));
    (void)m;
}

TEST_F(RunFixture, ResettingTheConfigurationResetsTheAcquisition)
{
    new SyntheticModule("73");
    DAQcontroller::instance()->setup_daq(0, nullptr);
    ASSERT_NE(nullptr, manager()->find_runmanager("main"));
    cfg->clean();
    EXPECT_EQ(nullptr, manager()->find_runmanager("main"));
    EXPECT_EQ(nullptr, manager()->find_module("73"));
}

TEST_F(RunFixture, MonitorQueueAnalysesEventsAndReportsStrangers)
{
    auto* m = new SyntheticModule("74");
    TellumMonitor queue(nullptr, 16);
    queue.start();
    LogLines errors(Ostrel::LOG_ERROR);

    // Not an event record: logged, and the queue goes on.
    const uint16_t wrong[8] = {0x1234, 0, 0, 0, 0, 0, 0, 0};
    Ostrel::ModuleData* b = block_of(wrong, sizeof wrong);
    queue.push_event(b);
    b->dec_ref();
    // Too short for a record, though it starts like one.
    const uint16_t cut[2] = {0xCAFE, 0x2000};
    b = block_of(cut, sizeof cut);
    queue.push_event(b);
    b->dec_ref();
    ASSERT_TRUE(testutil::wait_until([&] { return errors.get().size() >= 2; }, 5.0));
    EXPECT_EQ((std::vector<std::string>{"Wrong Event 1234\n", "Wrong Event cafe\n"}), errors.get());

    // A module that does not exist.
    const std::string out = testutil::capture_stdout([&] {
        Ostrel::ModuleData* e = TellumData::create_packet(TellumData::EVENT_RECORD, 99, 8);
        queue.push_event(e);
        e->dec_ref();
        testutil::wait_until([&] { return queue.empty(); }, 5.0);
    });
    EXPECT_THAT(out, HasSubstr("Module 99 does not exist \n"));

    // The module's own event reaches its analysis.
    m->make_event();
    Ostrel::ModuleData* e = m->getData();
    ASSERT_NE(nullptr, e);
    queue.push_event(e);
    e->dec_ref();
    EXPECT_TRUE(testutil::wait_until([&] { return m->analysis()->decoded.load() == 1; }, 5.0));
    queue.stop();
}

TEST_F(RunFixture, TheMainWindowHearsOfModulesOnTheGuiThreadInOrder)
{
    new SyntheticModule("76");
    new SyntheticModule("77");
    auto* idle = new IdleModule("idle76");
    DAQcontroller* daq = DAQcontroller::instance();
    daq->setup_daq(0, nullptr);
    FakeWindow window;
    daq->set_main_window(&window);
    EXPECT_EQ(std::vector<std::string>{"76,77"}, window.calls);
    // The run control of "main" shows the state of "main" as the list comes.
    ASSERT_EQ(1u, window.menus.size());
    EXPECT_EQ(std::string("main ") + Ostrel::RunState::status_name(
                  daq->get_run_manager()->GetStatus().get_status()), window.menus[0]);

    // From another thread: on this one, later.
    std::thread([&] { daq->set_module_list(); }).join();
    EXPECT_EQ(1u, window.calls.size());
    run_main_loop();
    EXPECT_EQ((std::vector<std::string>{"76,77", "76,77"}), window.calls);

    // A list posted from another thread and overtaken by a reset here never
    // arrives: its modules are gone.
    std::thread([&] { daq->set_module_list(); }).join();
    daq->reset_daq();
    EXPECT_EQ("clear", window.calls.back());
    run_main_loop();
    EXPECT_EQ(3u, window.calls.size());

    // A window that went before the call reached it hears nothing.
    std::thread([&] { daq->set_module_list(); }).join();
    daq->set_main_window(nullptr);
    run_main_loop();
    EXPECT_EQ(3u, window.calls.size());
    delete idle;
}
