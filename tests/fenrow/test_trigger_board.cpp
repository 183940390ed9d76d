// The trigger board against a simulated board on loopback: found, given a
// module in "main", configured from its element (or given a new element),
// its settings sent when the module is made ready, and written back.
#include <gtest/gtest.h>

#include "BoardConfig.h"
#include "common/TestUtil.h"
#include "fenrow/TriggerBoard.h"
#include "fenrow/TriggerModuleConf.h"
#include "fenrow/streams/FenrowStream.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"

using namespace fenrow_test;
using Bytes = std::vector<std::uint8_t>;

namespace {

class TriggerBoards : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("FENROW_TRIGGER_PORT", std::to_string(free_port()).c_str(), 1);
    }
    void TearDown() override { unsetenv("FENROW_TRIGGER_PORT"); }

    // Reads the modules section with a trigger board manager as the handler
    // of "trigger", makes "main" and opens the manager.
    void start(const std::string& modules)
    {
        manager = new Ostrel::TriggerBoard;
        scope.load("trigger", manager, modules);
        main = scope.make_main();
        manager->set_timing(quick_timing());
        ASSERT_EQ(manager->init_server(), 0);
        manager->start_thread();
    }

    std::unique_ptr<fenrow_sim::BoardSim> board(const std::string& address)
    {
        fenrow_sim::BoardSim::Options options;
        options.address = address;
        auto sim = std::make_unique<fenrow_sim::BoardSim>(options);
        return sim->start() ? std::move(sim) : nullptr;
    }

    Ostrel::TriggerModule* wait_module(const std::string& ip)
    {
        testutil::wait_until([&] { return manager->trigger_module(ip) != nullptr; }, 5.0);
        return manager->trigger_module(ip);
    }

    // The trigger commands the board received.
    std::vector<Bytes> trigger_commands(fenrow_sim::BoardSim& sim)
    {
        std::vector<Bytes> out;
        for (const fenrow_sim::Datagram& d : sim.received(1))
            out.push_back(d.bytes);
        return out;
    }

    NetEnv env;
    LogCapture log;
    ConfigScope scope;
    Ostrel::TriggerBoard* manager = nullptr;   // the configuration's
    Ostrel::RunManager* main = nullptr;
};

TEST_F(TriggerBoards, BoardConfiguredFromItsElementSendsItsSettingsWhenMadeReady)
{
    start("<trigger name=\"127.0.0.7\" xsi:type=\"TriggerBoard\"><majority>3</majority><operation>0</operation>"
          "<mask>1 0 1</mask></trigger>");
    auto* conf = dynamic_cast<Ostrel::TriggerModuleConf*>(scope.config->get_id_handler(71));
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->get_mask(), 5u);
    EXPECT_EQ(conf->get_majority(), 3);
    EXPECT_FALSE(conf->get_operation());

    auto sim = board("127.0.0.7");
    ASSERT_TRUE(sim);
    Ostrel::TriggerModule* module = wait_module("127.0.0.7");
    ASSERT_TRUE(module);
    EXPECT_EQ(module->get_id().str(), "71");
    EXPECT_EQ(module->get_address(), static_cast<unsigned long>(env.board_port));
    ASSERT_TRUE(module->get_node());
    EXPECT_EQ(module->get_node()->port(), env.board_port);
    EXPECT_EQ(module->get_run_command(), &main->run_command());
    EXPECT_EQ(module->get_operation(), 0);
    EXPECT_EQ(module->get_majority(), 3);
    EXPECT_EQ(module->get_mask(), 5u);
    EXPECT_EQ(module->get_par_value<std::vector<double>>("pedestal"), std::vector<double>{0.0});
    EXPECT_EQ(conf->get_module(), module);

    // Nothing is sent until the module is made ready: then one command.
    EXPECT_TRUE(trigger_commands(*sim).empty());
    main->GetReady();
    ASSERT_TRUE(sim->wait_for(1, 1, 5.0));
    EXPECT_EQ(trigger_commands(*sim), (std::vector<Bytes>{{0xCA, 0xFE, 0x47, 0x01, 0x00, 0x03, 0x00, 0x05, 0xAC, 0xAB}}));

    // A changed parameter goes with the next run, before it starts.
    module->set_par<int>("operation", 1);
    module->set_par<unsigned>("mask", 0x81u);
    EXPECT_EQ(module->get_operation(), 1);
    EXPECT_EQ(trigger_commands(*sim).size(), 1u);
    main->set_max_events(1);
    sim->clear_received();
    Ostrel::DAQmanager::theDAQmanager()->startRunManager(main);
    ASSERT_TRUE(sim->wait_for(1, 1, 5.0));
    EXPECT_EQ(trigger_commands(*sim).front(), (Bytes{0xCA, 0xFE, 0x47, 0x01, 0x01, 0x03, 0x00, 0x81, 0xAC, 0xAB}));
    main->PrepareToStop(true);

    // Heard again: no second module.
    const std::uint64_t heard = manager->received_count();
    ASSERT_TRUE(testutil::wait_until([&] { return manager->received_count() >= heard + 2; }, 5.0));
    EXPECT_EQ(log.matching("Registering module 127.0.0.7").size(), 1u);
    EXPECT_EQ(Ostrel::DAQmanager::theDAQmanager()->find_module("71"), module);

    // Saved from the module's values.
    std::string saved;
    EXPECT_TRUE(scope.saved_document_is_valid(&saved)) << saved;
    EXPECT_EQ(scope.text("//modules/trigger/mask"), "1 0 0 0 0 0 0 1 ");
    EXPECT_EQ(scope.text("//modules/trigger/operation"), "1");
    EXPECT_EQ(scope.text("//modules/trigger/majority"), "3");
}

TEST_F(TriggerBoards, BoardWithoutElementGetsOneWithTheSectionsValues)
{
    start("");
    auto sim = board("127.0.0.7");
    ASSERT_TRUE(sim);
    Ostrel::TriggerModule* module = wait_module("127.0.0.7");
    ASSERT_TRUE(module);
    const std::string element = "//modules/trigger[@name='127.0.0.7']";
    ASSERT_TRUE(scope.node(element));
    EXPECT_EQ(scope.attribute(element, "address"), std::to_string(env.board_port));
    EXPECT_EQ(scope.attribute(element, "interface"), "em1");
    EXPECT_EQ(scope.text(element + "/mask"), "0 0 0 0 0 0 0 0 ");
    EXPECT_EQ(scope.text(element + "/majority"), "1");
    EXPECT_EQ(scope.text(element + "/operation"), "0");
    // The section's values reach the module.
    EXPECT_EQ(module->get_operation(), 0);
    EXPECT_EQ(module->get_majority(), 1);
    auto* conf = dynamic_cast<Ostrel::TriggerModuleConf*>(scope.config->get_id_handler(71));
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->get_module(), module);
    EXPECT_TRUE(scope.saved_document_is_valid());
}

TEST_F(TriggerBoards, BoardHeardBeforeMainIsTakenLater)
{
    manager = new Ostrel::TriggerBoard;
    scope.load("trigger", manager, "<trigger name=\"127.0.0.7\"/>");
    manager->set_timing(quick_timing());
    ASSERT_EQ(manager->init_server(), 0);
    manager->start_thread();
    auto sim = board("127.0.0.7");
    ASSERT_TRUE(sim);
    ASSERT_TRUE(testutil::wait_until([&] { return manager->dropped(DropReason::board_unknown) >= 2; }, 5.0));
    EXPECT_EQ(manager->get_module("127.0.0.7"), nullptr);
    main = scope.make_main();
    ASSERT_TRUE(wait_module("127.0.0.7"));
    EXPECT_EQ(manager->trigger_module("127.0.0.7")->get_run_command(), &main->run_command());
}

TEST_F(TriggerBoards, EachManagerTakesOnlyTheBoardsItsConfigurationNamesForIt)
{
    // Both plug-in hooks: a readout board and a trigger board, each named as
    // what it is, each answering both managers' knocks; the readout board
    // also sends data to the trigger boards' port. A second trigger board
    // would give its module the readout stream's name.
    auto* readout = new OpenFenrow;
    scope.config->register_handler("fenrow", readout);
    readout->set_name("fenrow");
    start("<fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\"/></fenrow>\n<trigger name=\"127.0.0.7\"/>"
          "<trigger name=\"127.0.1.2\"/>");
    ASSERT_TRUE(readout->open(quick_timing()));
    fenrow_sim::BoardSim::Options options;
    options.host_ip = "127.0.0.1";
    options.host_port = std::atoi(getenv("FENROW_TRIGGER_PORT"));
    options.address = "127.0.0.2";
    fenrow_sim::BoardSim stream_board(options);
    options.address = "127.0.1.2";
    fenrow_sim::BoardSim clashing(options);
    ASSERT_TRUE(stream_board.start());
    auto trigger = board("127.0.0.7");
    ASSERT_TRUE(trigger);
    const std::string out = testutil::capture_stdout([&] {
        ASSERT_TRUE(wait_registered(*readout, "127.0.0.2"));
        ASSERT_TRUE(wait_module("127.0.0.7"));
        ASSERT_TRUE(clashing.start());
        const std::size_t knocks = stream_board.count(CMD_KNOCK) + trigger->count(CMD_KNOCK);
        ASSERT_TRUE(testutil::wait_until(
            [&] { return stream_board.count(CMD_KNOCK) + trigger->count(CMD_KNOCK) >= knocks + 8; }, 5.0));
        const std::uint64_t dropped = manager->dropped(DropReason::board_unknown);
        fenrow_sim::DataSpec spec;
        spec.count = 100;
        stream_board.send_data(spec);
        clashing.send_data(spec);
        testutil::wait_until([&] { return manager->dropped(DropReason::board_unknown) >= dropped + 200; }, 5.0);
    });
    EXPECT_TRUE(dynamic_cast<Ostrel::FenrowStream*>(Ostrel::DAQmanager::theDAQmanager()->find_module("21")));
    EXPECT_EQ(manager->get_module("127.0.0.2"), nullptr);
    EXPECT_EQ(readout->get_module("127.0.0.7"), nullptr);
    EXPECT_EQ(manager->trigger_module("127.0.0.7")->get_run_command(), &main->run_command());
    // Each said once.
    EXPECT_EQ(log.matching("Board 127.0.0.2 answers, but the configuration names it in a \"fenrow\" element (line 3), "
                           "not a \"trigger\" one: it is left to that element's manager")
                  .size(),
              1u);
    EXPECT_EQ(log.matching("Board 127.0.0.7 answers, but the configuration names it in a \"trigger\" element (line 4), "
                           "not a \"fenrow\" one")
                  .size(),
              1u);
    EXPECT_EQ(log.matching("There is a module").size(), 1u);
    EXPECT_TRUE(log.contains("There is a module 21 already, stream 1 of board 127.0.0.2: the trigger board 127.0.1.2 "
                             "gets none"));
    EXPECT_EQ(out.find("I need to know how to configure board"), std::string::npos) << out;
}

TEST_F(TriggerBoards, SettingsTheBoardCannotHoldAreRefused)
{
    // From the file: refused with the line, the section's value kept.
    start("<trigger name=\"127.0.0.7\"><operation>0</operation>\n<majority>9</majority><mask>0 1</mask></trigger>");
    EXPECT_TRUE(log.contains("Trigger board 127.0.0.7, line 4: majority 9 refused; the trigger board takes 1 to 7 (all "
                             "8 of its inputs are their AND); it stays 1"));
    auto sim = board("127.0.0.7");
    ASSERT_TRUE(sim);
    Ostrel::TriggerModule* module = wait_module("127.0.0.7");
    ASSERT_TRUE(module);
    EXPECT_EQ(module->get_majority(), 1);

    // From a client: refused, with the range, and the module keeps its value.
    const std::pair<const char*, const char*> bad[] = {{"majority", "256"}, {"majority", "-1"},  {"majority", "0"},
                                                       {"majority", "8"},   {"mask", "256"},     {"operation", "-1"},
                                                       {"operation", "2"}};
    for (const auto& b : bad)
        EXPECT_THROW(module->get_par(b.first)->set_from_string(b.second, true), Ostrel::ParameterRefused)
            << b.first << " " << b.second;
    EXPECT_TRUE(log.contains("Module 71: mask 256 refused; the trigger board takes 0 to 255, one bit for each of its "
                             "8 inputs"));
    EXPECT_TRUE(log.contains("Module 71: operation 2 refused; the trigger board takes 0 (OR) or 1 (AND)"));
    EXPECT_EQ(module->get_operation(), 0);
    EXPECT_EQ(module->get_majority(), 1);
    EXPECT_EQ(module->get_mask(), 2u);
    EXPECT_TRUE(module->get_par("majority")->set_from_string("7", true));
    main->GetReady();
    ASSERT_TRUE(sim->wait_for(1, 1, 5.0));
    EXPECT_EQ(trigger_commands(*sim), (std::vector<Bytes>{{0xCA, 0xFE, 0x47, 0x01, 0x00, 0x07, 0x00, 0x02, 0xAC, 0xAB}}));
}

TEST(TriggerPacket, WordsOfTheCommand)
{
    // A board at 10.0.0.7 is module 71; AND, majority 1, nothing masked.
    const BasePacket p = Ostrel::TriggerModule::trigger_packet(71, 1, 1, 0);
    EXPECT_EQ(convert_packet(p), (Bytes{0xCA, 0xFE, 0x47, 0x01, 0x01, 0x01, 0x00, 0x00, 0xAC, 0xAB}));
    // Only the low bytes of the module id, majority and mask are sent.
    const BasePacket q = Ostrel::TriggerModule::trigger_packet(0x1FF, 0, 0x102, 0x3FF);
    EXPECT_EQ(convert_packet(q), (Bytes{0xCA, 0xFE, 0xFF, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xAC, 0xAB}));
}

} // namespace
