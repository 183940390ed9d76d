// The plug-in's routines: the module hooks with their sockets, and the
// interrupt routines with the framework trigger that polls the board socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BoardConfig.h"
#include "common/TestUtil.h"
#include "fenrow/FenrowPlugin.h"
#include "fenrow/TriggerBoard.h"
#include "ostrel/DAQmanager.h"

using namespace fenrow_test;

namespace {

// A socket on the loopback port, without address sharing: nobody else can
// bind the port while it lives.
class PortBlocker {
public:
    explicit PortBlocker(int port) : _fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        bound = _fd >= 0 && ::bind(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~PortBlocker()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    bool bound = false;

private:
    int _fd;
};

class Plugin : public ::testing::Test {
protected:
    Ostrel::DAQmanager* daq() { return Ostrel::DAQmanager::theDAQmanager(); }

    NetEnv env;
    LogCapture log;
    ConfigScope scope;
};

TEST_F(Plugin, ExportsItsRoutinesInOrder)
{
    std::vector<std::string> names;
    for (const char** p = fenrow_plugin::exported_symbols(); *p; ++p)
        names.push_back(*p);
    EXPECT_EQ(names, (std::vector<std::string>{"create_Fenrow", "enable_interrupts", "disable_interrupts",
                                               "reset_interrupts", "start_interrupts", "stop_interrupts",
                                               "create_TriggerBoard"}));
}

TEST_F(Plugin, InterruptsWithoutBoardManagerAreRefused)
{
    ASSERT_EQ(fenrow_plugin::board_manager(), nullptr);
    EXPECT_EQ(fenrow_plugin::enable_interrupts(), -1);
    EXPECT_TRUE(log.contains("TellumTriger: Enabling Interrupts"));
    EXPECT_TRUE(log.contains("Fenrow: no board manager to take interrupts from"));
    EXPECT_EQ(fenrow_plugin::trigger(), nullptr);
    EXPECT_EQ(daq()->get_trigger(), nullptr);
    // The others have nothing to act on.
    fenrow_plugin::start_interrupts();
    fenrow_plugin::reset_interrupts();
    fenrow_plugin::stop_interrupts();
    fenrow_plugin::disable_interrupts();
    EXPECT_FALSE(log.contains("Start  interrupts"));
    EXPECT_FALSE(log.contains("Stop interrupts"));
    EXPECT_FALSE(log.contains("Disabling"));
}

TEST_F(Plugin, BoardManagerHookAndInterrupts)
{
    SectionParser* section = fenrow_plugin::create_fenrow();
    auto* manager = dynamic_cast<Ostrel::Fenrow*>(section);
    ASSERT_TRUE(manager);
    scope.config->register_handler("fenrow", section);
    EXPECT_EQ(fenrow_plugin::board_manager(), manager);
    EXPECT_TRUE(log.wait_for("Start serving[", 2.0));
    EXPECT_EQ(manager->get_port(), env.host_port);

    // Twice: one trigger, installed twice.
    EXPECT_EQ(fenrow_plugin::enable_interrupts(), 0);
    Ostrel::FenrowTrigger* trigger = fenrow_plugin::trigger();
    ASSERT_TRUE(trigger);
    EXPECT_EQ(fenrow_plugin::enable_interrupts(), 0);
    EXPECT_EQ(fenrow_plugin::trigger(), trigger);
    EXPECT_EQ(daq()->get_trigger(), trigger);
    EXPECT_EQ(trigger->manager(), manager);
    EXPECT_EQ(log.matching("TellumTriger: Enabling Interrupts").size(), 2u);

    fenrow_plugin::start_interrupts();
    fenrow_plugin::stop_interrupts();
    EXPECT_EQ(trigger->reset(), 0);
    EXPECT_TRUE(log.contains("Start  interrupts\n"));
    EXPECT_TRUE(log.contains("Stop interrupts\n"));

    fenrow_plugin::disable_interrupts();
    EXPECT_TRUE(log.contains("TellumTrigger: Disabling Interrupts\n"));
    EXPECT_EQ(daq()->get_trigger(), nullptr);
    EXPECT_EQ(fenrow_plugin::trigger(), nullptr);
    EXPECT_EQ(fenrow_plugin::enable_interrupts(), 0);
    ASSERT_TRUE(fenrow_plugin::trigger());
    EXPECT_EQ(daq()->get_trigger(), fenrow_plugin::trigger());

    // The manager goes with its configuration: the plug-in forgets it and
    // its trigger reports no event.
    scope.config->reset();
    EXPECT_EQ(fenrow_plugin::board_manager(), nullptr);
    ASSERT_TRUE(fenrow_plugin::trigger());
    EXPECT_EQ(fenrow_plugin::trigger()->manager(), nullptr);
    EXPECT_FALSE((*fenrow_plugin::trigger())());
    fenrow_plugin::disable_interrupts();
    EXPECT_EQ(daq()->get_trigger(), nullptr);
}

TEST_F(Plugin, TriggerFiresWhenADatagramWaits)
{
    OpenFenrow manager;
    ASSERT_EQ(manager.init_server(), 0);   // no thread: nobody reads the socket
    Ostrel::FenrowTrigger trigger(&manager);
    EXPECT_FALSE(trigger());
    auto sim = std::make_unique<fenrow_sim::BoardSim>(fenrow_sim::BoardSim::Options{});
    ASSERT_TRUE(sim->start());
    manager.do_broadcast();
    EXPECT_TRUE(testutil::wait_until([&] { return trigger(); }, 2.0));
}

TEST_F(Plugin, HooksWhoseSocketCannotBeBoundThrow)
{
    {
        PortBlocker blocker(env.host_port);
        ASSERT_TRUE(blocker.bound);
        try {
            fenrow_plugin::create_fenrow();
            FAIL() << "no exception";
        } catch (const ConfigException& e) {
            EXPECT_STREQ(e.what(), "Fenrow: Could not setup socket");
        }
        EXPECT_TRUE(log.contains("Fenrow: could not setup socket. rc=-4\n"));
        EXPECT_FALSE(log.contains("Start serving"));
        EXPECT_EQ(fenrow_plugin::board_manager(), nullptr);
    }
    const int trigger_port = free_port();
    setenv("FENROW_TRIGGER_PORT", std::to_string(trigger_port).c_str(), 1);
    PortBlocker blocker(trigger_port);
    ASSERT_TRUE(blocker.bound);
    std::string out;
    out = testutil::capture_stdout([&] {
        try {
            fenrow_plugin::create_trigger_board();
            ADD_FAILURE() << "no exception";
        } catch (const ConfigException& e) {
            EXPECT_STREQ(e.what(), "Could not setup socket");
        }
    });
    unsetenv("FENROW_TRIGGER_PORT");
    // On standard output, beside the console's log lines.
    EXPECT_NE(out.find("\nCould not setup socket. rc=-4\n"), std::string::npos) << out;
    EXPECT_FALSE(log.contains("Start serving"));
}

} // namespace
