// The UDP transport against simulated boards on loopback: knocks, discovery,
// the stop-and-wait command queue with its re-sends and their bound, silent
// boards, acknowledgement checks and the thread's life.
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BoardSimSender.h"
#include "FenrowNet.h"
#include "common/TestUtil.h"

using namespace fenrow_test;
using fenrow_sim::BoardSim;
using fenrow_sim::Datagram;
using Bytes = std::vector<std::uint8_t>;

namespace {

double seconds_between(const Datagram& a, const Datagram& b)
{
    return std::chrono::duration<double>(b.when - a.when).count();
}

std::unique_ptr<BoardSim> quiet_board(const std::string& address, bool broadcast = true)
{
    BoardSim::Options options;
    options.address = address;
    options.answer_knock = false;
    options.listen_broadcast = broadcast;
    auto sim = std::make_unique<BoardSim>(options);
    return sim->start() ? std::move(sim) : nullptr;
}

class Transport : public ::testing::Test {
protected:
    // A manager with one registered board on 127.0.0.2.
    void open_with_board(const FenrowTiming& timing = FenrowTiming())
    {
        boards = std::make_unique<TestBoards>();
        ASSERT_TRUE(boards->open(timing));
        sim = start_board(*boards, "127.0.0.2");
        ASSERT_TRUE(sim);
    }

    void never_acknowledge()
    {
        fenrow_sim::AckRule never;
        never.answer = false;
        sim->set_ack(0, never);
    }

    NetEnv env;
    LogCapture log;
    std::unique_ptr<TestBoards> boards;
    std::unique_ptr<BoardSim> sim;
};

TEST_F(Transport, FallsBackToLoopbackAndKnocksThere)
{
    if (!get_ip_address("em1").empty())
        GTEST_SKIP() << "this host has an address on the board network";
    unsetenv("FENROW_BIND_ADDRESS");
    unsetenv("FENROW_KNOCK_ADDRESS");
    auto sim = quiet_board("127.0.0.1", false);
    ASSERT_TRUE(sim);
    TestBoards boards;
    ASSERT_TRUE(boards.open());
    EXPECT_TRUE(log.contains("Falling back to loopback"));
    EXPECT_TRUE(log.contains("Creating server on 127.0.0.1:" + std::to_string(env.host_port)));
    EXPECT_EQ(boards.knock_target(), "127.0.0.1");
    ASSERT_TRUE(sim->wait_for(CMD_KNOCK, 1, 5.0));
    const Datagram knock = sim->received(CMD_KNOCK).front();
    EXPECT_EQ(knock.bytes, (Bytes{0xCA, 0xFE, 0xFF, 0x0B, 0xFF, 0x00, 0x00, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(knock.ip, "127.0.0.1");
    EXPECT_EQ(knock.port, env.host_port);
    EXPECT_TRUE(log.wait_for("Start serving[", 2.0));
    EXPECT_TRUE(log.contains("Starting thread"));
}

TEST_F(Transport, KnocksAtOnceThenEveryFiveSeconds)
{
    auto sim = quiet_board("127.0.0.2");
    ASSERT_TRUE(sim);
    TestBoards boards;
    // The thread starts a while after the socket was made, as on a busy
    // machine: the period counts from the first knock all the same.
    ASSERT_EQ(boards.init_server(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    boards.start_thread();
    ASSERT_TRUE(sim->wait_for(CMD_KNOCK, 2, 8.0));
    const std::vector<Datagram> knocks = sim->received(CMD_KNOCK);
    const double gap = seconds_between(knocks[0], knocks[1]);
    EXPECT_GT(gap, 4.8);
    EXPECT_LT(gap, 5.6);
    for (const Datagram& k : knocks)
        EXPECT_EQ(k.bytes, convert_packet(KnockPacket(255)));
    // Knocks go straight to the socket: nothing waits in the command queue.
    EXPECT_TRUE(boards.pending().empty());
}

TEST_F(Transport, DiscoversBoardsFromShortAndLongReplies)
{
    TestBoards boards;
    ASSERT_TRUE(boards.open());
    auto short_board = start_board(boards, "127.0.0.2", 0x999999, true);
    auto long_board = start_board(boards, "127.0.0.3", 0x12ABCD, false);
    ASSERT_TRUE(short_board && long_board);
    ModuleNode* a = boards.get_module("127.0.0.2");
    ModuleNode* b = boards.get_module("127.0.0.3");
    ASSERT_TRUE(a && b);

    const std::string port = std::to_string(env.board_port);
    EXPECT_TRUE(log.contains("Found module @ 127.0.0.2:" + port + ". Firmware 100\n"));
    EXPECT_TRUE(log.contains("Found module @ 127.0.0.3:" + port + ". Firmware 12abcd\n"));
    EXPECT_TRUE(log.contains("Registering module 127.0.0.2"));
    EXPECT_EQ(a->firmware(), 0x100ul);
    EXPECT_EQ(b->firmware(), 0x12ABCDul);
    EXPECT_EQ(b->stream(1)->firmware(), 0x12ABCDu);
    EXPECT_EQ(a->port(), env.board_port);
    EXPECT_EQ(a->nstreams(), 2);
    EXPECT_EQ(boards.modules().size(), 2u);

    // A later reply renews the firmware; the board is not registered again.
    long_board->set_knock_reply(true, false, 0x222222);
    boards.do_broadcast();
    EXPECT_TRUE(testutil::wait_until([&] { return b->firmware() == 0x222222ul; }, 5.0));
    EXPECT_EQ(log.matching("Found module @ 127.0.0.3").size(), 1u);
    EXPECT_EQ(boards.get_module("127.0.0.3"), b);
}

TEST_F(Transport, CommandsGoOneAtATimeAfterEachAcknowledgement)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());   // streams in slots 0 and 2, four "gp7" chips
    fenrow_sim::AckRule late;
    late.delay = 0.25;
    sim->set_ack(0, late);
    sim->clear_received();

    EXPECT_EQ(boards->config_module("127.0.0.2"), 0);
    ASSERT_TRUE(sim->wait_for(-1, 4, 5.0));
    EXPECT_EQ(boards->wait_for_command_completion(5000), 0);

    std::vector<Datagram> got;
    for (const Datagram& d : sim->received())
        if (d.code() != CMD_KNOCK)
            got.push_back(d);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].bytes, (Bytes{0xCA, 0xFE, 0x01, 0x0A, 0xFF, 0x00, 0x00, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(got[1].bytes, (Bytes{0xCA, 0xFE, 0x00, 0x01, 0x01, 0x10, 0x04, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(got[2].bytes, (Bytes{0xCA, 0xFE, 0x03, 0x0A, 0xFF, 0x00, 0x00, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(got[3].bytes, (Bytes{0xCA, 0xFE, 0x00, 0x01, 0x03, 0x10, 0x04, 0x00, 0xAC, 0xAB}));
    for (std::size_t i = 1; i < got.size(); ++i)
        EXPECT_GE(seconds_between(got[i - 1], got[i]), 0.24) << i;
    for (const Datagram& d : got)
        EXPECT_EQ(d.port, env.host_port);
    EXPECT_FALSE(log.contains("Re-sending"));
}

TEST_F(Transport, AcknowledgementWithErrorIsLoggedAndResentAfterASecond)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    fenrow_sim::AckRule once;
    once.error = 3;
    once.error_count = 1;
    sim->set_ack(CMD_START_STOP, once);
    sim->clear_received();

    ASSERT_EQ(boards->stop_daq(1, boards->get_module("127.0.0.2")), 0);
    ASSERT_TRUE(sim->wait_for(CMD_START_STOP, 2, 4.0));
    EXPECT_EQ(boards->wait_for_command_completion(3000), 0);
    const std::vector<Datagram> sends = sim->received(CMD_START_STOP);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].bytes, sends[1].bytes);
    // The server re-sends once its own stamp is more than 1 s old; the
    // simulator stamps arrivals on its side, a few hundred microseconds
    // apart from the server's clock readings.
    const double gap = seconds_between(sends[0], sends[1]);
    EXPECT_GT(gap, 0.99);
    EXPECT_LT(gap, 2.0);

    EXPECT_TRUE(log.contains("ACK packet (code=8a)  with error: 3\n"));
    EXPECT_TRUE(log.contains("\torigin: 127.0.0.2:" + std::to_string(env.board_port) + "\n"));
    EXPECT_TRUE(log.contains("Re-sending command 10a to 127.0.0.2:" + std::to_string(env.board_port)));
}

TEST_F(Transport, UnansweredCommandsAreGivenUpAndOthersGoOn)
{
    TestBoards boards;
    ASSERT_TRUE(boards.open(fast_timing()));
    auto dead = start_board(boards, "127.0.0.2");
    auto failing = start_board(boards, "127.0.0.3");
    auto good = start_board(boards, "127.0.0.4");
    ASSERT_TRUE(dead && failing && good);
    fenrow_sim::AckRule never;
    never.answer = false;
    dead->set_ack(0, never);
    fenrow_sim::AckRule always_error;
    always_error.error = 5;
    failing->set_ack(0, always_error);
    for (auto* s : {dead.get(), failing.get(), good.get()})
        s->clear_received();

    EXPECT_EQ(boards.stop_daq(1, boards.get_module("127.0.0.2")), 0);
    EXPECT_EQ(boards.set_hold_delay(boards.get_module("127.0.0.3"), 1, 150), 0);
    EXPECT_EQ(boards.set_hold_delay(boards.get_module("127.0.0.4"), 3, 150), 0);
    // The waiter is released once both bad commands have been given up.
    EXPECT_EQ(boards.wait_for_command_completion(-1), 0);

    EXPECT_EQ(dead->count(CMD_START_STOP), 6u);
    EXPECT_EQ(failing->count(CMD_HOLD_DELAY), 6u);
    EXPECT_EQ(good->count(CMD_HOLD_DELAY), 1u);
    EXPECT_EQ(boards.pending().given_up(), 2u);
    const std::string port = std::to_string(env.board_port);
    EXPECT_TRUE(log.contains("Giving up command 10a to 127.0.0.2:" + port + " after 5 re-sends"));
    EXPECT_TRUE(log.contains("Giving up command 2 to 127.0.0.3:" + port + " after 5 re-sends"));
    EXPECT_EQ(log.matching("ACK packet (code=82)  with error: 5").size(), 6u);
}

TEST_F(Transport, ASilentBoardsCommandsGoWithItsFirstLostOneAndNoneReachesItsSuccessor)
{
    TestBoards boards;
    ASSERT_TRUE(boards.open(fast_timing()));
    auto gone = start_board(boards, "127.0.0.2");
    auto good = start_board(boards, "127.0.0.3");
    ASSERT_TRUE(gone && good);
    ModuleNode* node = boards.get_module("127.0.0.2");
    // Nothing comes from it any more, not even a knock reply.
    fenrow_sim::AckRule never;
    never.answer = false;
    gone->set_ack(0, never);
    gone->set_knock_reply(false, false, 0);
    gone->clear_received();
    good->clear_received();

    // A configuration and the end of a run's Stop for it, the other board's
    // commands among them.
    for (int i = 0; i < 24; ++i) {
        ASSERT_EQ(boards.set_hold_delay(node, 1, i), 0);
        if (i % 6 == 0) {
            ASSERT_EQ(boards.set_ctw(boards.get_module("127.0.0.3"), 1, i), 0);
        }
    }
    ASSERT_EQ(boards.stop_daq(1, node), 0);
    EXPECT_EQ(boards.wait_for_command_completion(-1), 0);
    // One command's re-sends held the others up, no more.
    EXPECT_EQ(gone->count(-1) - gone->count(CMD_KNOCK), 6u);
    EXPECT_EQ(good->count(CMD_CTW), 4u);
    const std::vector<std::string> said = log.matching("Giving up command");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("to 127.0.0.2:"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("; 24 more commands for 127.0.0.2 dropped with it"), std::string::npos) << said[0];
    // Still registered, but refused while silent.
    EXPECT_EQ(boards.get_module("127.0.0.2"), node);
    EXPECT_EQ(boards.stop_daq(1, node), -1);

    // Another board comes up at the address and announces itself: nothing
    // meant for its predecessor reaches it, what is meant for it does.
    gone.reset();
    auto next = start_board(boards, "127.0.0.2");
    ASSERT_TRUE(next);
    boards.do_broadcast();
    ASSERT_TRUE(testutil::wait_until([&] { return !boards.pending().is_silent("127.0.0.2"); }, 5.0));
    ASSERT_EQ(boards.set_hold_delay(node, 3, 7), 0);
    EXPECT_EQ(boards.wait_for_command_completion(5000), 0);
    EXPECT_EQ(next->count(CMD_START_STOP), 0u);
    ASSERT_EQ(next->count(CMD_HOLD_DELAY), 1u);
    EXPECT_EQ(next->received(CMD_HOLD_DELAY).front().words()[3], 7);
}

TEST_F(Transport, SilentBoardIsReportedAfterTenSecondsAndKept)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    sim->set_knock_reply(false, false, 0);
    // Counted from the last knock the board answered, as it reached the
    // board: the server heard from it no earlier.
    const std::vector<Datagram> answered = sim->received(CMD_KNOCK);
    ASSERT_FALSE(answered.empty());
    const auto since = answered.back().when;
    ASSERT_TRUE(log.wait_for("Module 127.0.0.2 seems to be dead...", 12.0));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    EXPECT_GT(waited, 9.9);
    EXPECT_LT(waited, 11.0);
    EXPECT_EQ(log.matching("seems to be dead").size(), 1u);
    EXPECT_NE(boards->get_module("127.0.0.2"), nullptr);
}

TEST_F(Transport, AcknowledgementChecks)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    never_acknowledge();
    ModuleNode* node = boards->get_module("127.0.0.2");
    ASSERT_EQ(boards->stop_daq(2, node), 0);
    ASSERT_EQ(boards->pending().n_command_for_module("127.0.0.2"), 1);
    // Only what the test feeds below reaches the manager from here on.
    boards->stop();

    const std::uint64_t taken = boards->taken;
    boards->feed("127.0.0.2", env.board_port, make_ack(CMD_KNOCK, 0));        // a knock code
    boards->feed("127.0.0.9", env.board_port, make_ack(CMD_START_STOP, 0));   // not a registered board
    boards->feed("127.0.0.2", env.board_port, make_ack(CMD_HOLD_DELAY, 0));   // another code
    boards->feed("127.0.0.2", env.board_port, make_ack(CMD_START_STOP, 1));   // an error
    EXPECT_EQ(boards->pending().n_command_for_module("127.0.0.2"), 1);
    EXPECT_EQ(boards->taken - taken, 4u);

    // Too short for an acknowledgement, too short for anything, a bad head.
    boards->feed("127.0.0.2", env.board_port, Bytes{0xCA, 0xFE, 0x00, 0x8A});
    boards->feed("127.0.0.2", env.board_port, Bytes{0xCA, 0xFE, 0x00});
    boards->feed("127.0.0.2", env.board_port, Bytes{0x12, 0x34, 0x00, 0x8A, 0x00, 0x00, 0xAC, 0xAB});
    EXPECT_EQ(boards->dropped(DropReason::short_ack), 1u);
    EXPECT_EQ(boards->dropped(DropReason::short_datagram), 1u);
    EXPECT_EQ(boards->dropped(DropReason::wrong_head), 1u);
    EXPECT_EQ(boards->taken - taken, 4u);
    EXPECT_TRUE(log.contains("Wrong packet from 127.0.0.2:" + std::to_string(env.board_port)
                             + "[ [ 1234 008a 0000 acab ]"));
    EXPECT_EQ(boards->pending().n_command_for_module("127.0.0.2"), 1);

    // Any head with the bits of 0xCAFE passes.
    Bytes ack = make_ack(CMD_START_STOP, 0);
    ack[0] = ack[1] = 0xFF;
    boards->feed("127.0.0.2", env.board_port, ack);
    EXPECT_EQ(boards->pending().n_command_for_module("127.0.0.2"), 0);
    EXPECT_EQ(boards->taken - taken, 5u);
    EXPECT_EQ(boards->dropped(), 3u);
}

TEST_F(Transport, CommandsForUnknownBoardsAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    sim->clear_received();
    EXPECT_EQ(boards->send_command("127.0.0.9", HoldDelay(0, 1, 1)), -1);
    EXPECT_TRUE(log.contains("Node %s not known127.0.0.9\n"));
    EXPECT_EQ(boards->config_module("127.0.0.9"), -1);
    EXPECT_EQ(boards->set_ctw(nullptr, 1, 20), -1);
    EXPECT_TRUE(boards->pending().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim->count(-1) - sim->count(CMD_KNOCK), 0u);

    EXPECT_EQ(FenrowManager::node2name("127.0.0.1", 1), "11");
    EXPECT_EQ(FenrowManager::node2name("11.0.0.23", 2), "232");
    EXPECT_EQ(FenrowManager::node2name(static_cast<const ModuleNode*>(nullptr), 2), "");
    // A trigger board's name from a configuration need not be an address.
    EXPECT_EQ(FenrowManager::node2name("1.99999999999999999999", 1), "");
    EXPECT_EQ(FenrowManager::node2name("1.214748364", 8), "");
    EXPECT_EQ(FenrowManager::node2name("1.214748364", 7), "2147483647");
}

TEST_F(Transport, ThreadStartsAndStopsCleanly)
{
    {
        TestBoards first;
        first.stop();   // before anything
        ASSERT_TRUE(first.open());
        first.stop();   // at once, maybe before the loop has begun
        EXPECT_FALSE(first.is_running());
        first.stop();
        first.start_thread();
        EXPECT_TRUE(testutil::wait_until([&] { return first.is_running(); }, 2.0));
    }   // destroyed while running
    EXPECT_TRUE(log.contains("Ostrel:: Quitting the thread"));

    // A board that never answers and a stopped server: a waiter is not kept.
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    never_acknowledge();
    boards->stop();
    ASSERT_EQ(boards->start_daq(1, boards->get_module("127.0.0.2")), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(boards->wait_for_command_completion(-1), -1);
    EXPECT_EQ(boards->wait_for_command_completion(50), -1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
}

TEST_F(Transport, BindFailureIsReported)
{
    setenv("FENROW_BIND_ADDRESS", "192.0.2.254", 1);   // on no interface of ours
    TestBoards boards;
    EXPECT_EQ(boards.init_server(), -4);
    EXPECT_TRUE(log.contains("DAQServer: cannot bind socket\n"));
    boards.start_thread();
    EXPECT_FALSE(boards.is_running());
}

TEST_F(Transport, ReceiveBufferShortfallIsLogged)
{
    long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    // A process with CAP_NET_ADMIN gets the buffer beyond the limit.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int asked = DAQServer::RECEIVE_BUFFER;
    const bool forced = setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) == 0;
    ::close(fd);
    TestBoards boards;
    ASSERT_TRUE(boards.open());
    EXPECT_EQ(log.contains("DAQServer: receive buffer of"), !forced && rmem_max < DAQServer::RECEIVE_BUFFER);
}

TEST_F(Transport, DataPacketsFromTheBoardAreCheckedAndCounted)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());   // streams 1 and 3
    struct Case {
        int stream, mode, hits;
        std::size_t record_words;   // 0: dropped
    };
    const Case cases[] = {{1, RO_SERIAL, 0, 256}, {3, RO_SPARSE, 4, 2},  {3, RO_ADJACENT, 0, 8}, {3, RO_SCOPE, 0, 0},
                          {2, RO_SERIAL, 0, 0},   {9, RO_SERIAL, 0, 0}, {3, RO_SPARSE, 0, 0}};
    std::uint64_t calls = 0;
    for (const Case& c : cases) {
        fenrow_sim::DataSpec spec;
        spec.nchips = 2;
        spec.nadj = 3;
        spec.stream = c.stream;
        spec.mode = c.mode;
        spec.hits = c.hits;
        const std::uint64_t ok = boards->data_ok;
        ASSERT_EQ(sim->send_data(spec), 1);
        ASSERT_TRUE(testutil::wait_until([&] { return boards->data_calls == calls + 1; }, 5.0));
        ++calls;
        EXPECT_EQ(boards->data_ok - ok, c.record_words ? 1u : 0u) << c.stream << " " << c.mode;
        if (c.record_words) {
            EXPECT_EQ(boards->last_record().size(), c.record_words);
        }
    }
    EXPECT_EQ(boards->dropped(DropReason::data_mode), 1u);
    EXPECT_EQ(boards->dropped(DropReason::data_stream), 2u);
    EXPECT_EQ(boards->dropped(DropReason::data_no_hits), 1u);
    EXPECT_TRUE(log.contains("Unknown readout mode 9\n"));
    EXPECT_TRUE(log.contains("board 127.0.0.2 has no stream 2"));
}

TEST_F(Transport, BurstOfDataIsReadWithoutLoss)
{
    ASSERT_NO_FATAL_FAILURE(open_with_board());
    const std::uint64_t before = boards->received_count();
    fenrow_sim::DataSpec spec;
    spec.count = 2000;
    EXPECT_EQ(sim->send_data(spec), 2000);
    EXPECT_TRUE(testutil::wait_until([&] { return boards->data_ok == 2000; }, 20.0)) << boards->data_ok;
    EXPECT_EQ(boards->dropped(), 0u);
    EXPECT_GE(boards->received_count() - before, 2000u);
}

TEST_F(Transport, OnOneProcessorTheReceivingThreadLeavesTheRestTimeUnderAFlood)
{
    // The program on one processor (as `taskset -c 0` starts it), a board
    // sending flat out from elsewhere: a thread of ordinary priority beside
    // the receiving thread still gets its turn at once.
    {
        testutil::OneProcessor pinned;
        open_with_board();
    }
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(log.contains("DAQServer: the receiving thread runs at ordinary priority: the program has one processor"));

    fenrow_sim::DataSpec spec;
    spec.count = 0;
    fenrow_sim::DataSender flood("127.0.0.2", "127.0.0.1", boards->get_port(), spec, 4);
    ASSERT_TRUE(flood.start()) << flood.error();
    double late = 0;
    {
        testutil::OneProcessor pinned;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < until) {
            const auto before = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            late = std::max(late, std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count());
        }
    }
    flood.stop();
    EXPECT_GT(boards->received_count(), 10000u);
    EXPECT_LT(late, 0.25);
}

TEST(SimulatedBoard, DetectorLikeValuesArePedestalsWithNoise)
{
    // What a benchmark compresses must look like a detector's data: fixed
    // pedestals that differ between channels, a few counts of noise around
    // them, and the same values again for the same event counter.
    fenrow_sim::DataSpec spec;
    spec.nchips = 2;
    spec.detector = true;
    const int nchan = 256;
    const int events = 4000;
    std::vector<double> sum(nchan), squares(nchan);
    for (int e = 0; e < events; ++e) {
        const Bytes packet = fenrow_sim::make_data_packet(spec, static_cast<std::uint16_t>(e), 0);
        const std::vector<std::uint16_t> w = convert_packet(packet.data(), packet.size());
        for (int c = 0; c < nchan; ++c) {
            const double v = w[9 + static_cast<std::size_t>(c)];
            sum[c] += v;
            squares[c] += v * v;
        }
    }
    double lowest = 1e9, highest = 0;
    for (int c = 0; c < nchan; ++c) {
        const double mean = sum[c] / events;
        const double sigma = std::sqrt(squares[c] / events - mean * mean);
        EXPECT_NEAR(mean, 500, 45) << c;
        EXPECT_NEAR(sigma, 3.0, 0.3) << c;
        lowest = std::min(lowest, mean);
        highest = std::max(highest, mean);
    }
    EXPECT_GT(highest - lowest, 30);
    EXPECT_EQ(fenrow_sim::make_data_packet(spec, 77, 0), fenrow_sim::make_data_packet(spec, 77, 0));
    EXPECT_NE(fenrow_sim::make_data_packet(spec, 77, 0), fenrow_sim::make_data_packet(spec, 78, 0));
    // Without the option the values stay where the board tests expect them.
    spec.detector = false;
    const Bytes plain = fenrow_sim::make_data_packet(spec, 5, 0);
    const std::vector<std::uint16_t> w = convert_packet(plain.data(), plain.size());
    for (int c = 0; c < nchan; ++c) {
        EXPECT_GE(w[9 + static_cast<std::size_t>(c)], 2016);
        EXPECT_LE(w[9 + static_cast<std::size_t>(c)], 2079);
    }
}

// The receiving thread reads on while the server thread is slow or stopped:
// every datagram is handled once, in the order it was sent.
class SlowBoards : public TestBoards {
public:
    // The server thread calls this class's handler until it is stopped.
    ~SlowBoards() override { stop(); }

    std::vector<unsigned> counters()
    {
        std::lock_guard<std::mutex> lock(_seen_mutex);
        return _seen;
    }

protected:
    void process_data(ModuleNode* node, std::uint16_t* words, int count) override
    {
        TestBoards::process_data(node, words, count);
        std::lock_guard<std::mutex> lock(_seen_mutex);
        _seen.push_back(last_packet().header.evtcnt);
        if (_seen.size() % 500 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

private:
    std::mutex _seen_mutex;
    std::vector<unsigned> _seen;
};

TEST_F(Transport, SlowOrStoppedHandlingLosesAndReordersNothing)
{
    SlowBoards slow;
    ASSERT_TRUE(slow.open());
    auto board = start_board(slow, "127.0.0.2");
    ASSERT_TRUE(board);
    fenrow_sim::DataSpec spec;
    spec.count = 6000;
    std::thread sender([&] { board->send_data(spec); });
    ASSERT_TRUE(testutil::wait_until([&] { return slow.data_ok >= 1000; }, 20.0));
    slow.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    slow.start_thread();
    sender.join();
    EXPECT_TRUE(testutil::wait_until([&] { return slow.data_ok == 6000; }, 30.0)) << slow.data_ok;
    const std::vector<unsigned> seen = slow.counters();
    ASSERT_EQ(seen.size(), 6000u);
    for (std::size_t i = 1; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], (seen[i - 1] + 1) & 0xffff) << "at " << i;
    EXPECT_EQ(slow.dropped(), 0u);
}

// The server thread held up for a second by a data packet, as a slow disk
// or a busy processor may hold it: meanwhile the receiving thread empties
// the socket into memory, and once the server goes on every datagram is
// handled once, in order. Where the receive budget has no room, what is
// lost is counted and said.
class HeldBoards : public TestBoards {
public:
    ~HeldBoards() override { stop(); }

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::vector<unsigned> counters()
    {
        std::lock_guard<std::mutex> lock(_seen_mutex);
        return _seen;
    }

protected:
    void process_data(ModuleNode* node, std::uint16_t* words, int count) override
    {
        if (!held.exchange(true))
            testutil::wait_until([&] { return release.load(); }, 30.0);
        TestBoards::process_data(node, words, count);
        std::lock_guard<std::mutex> lock(_seen_mutex);
        _seen.push_back(last_packet().header.evtcnt);
    }

private:
    std::mutex _seen_mutex;
    std::vector<unsigned> _seen;
};

// Bytes the system holds in the socket for the program.
std::uint32_t socket_bytes(int fd)
{
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    return getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 ? info[SK_MEMINFO_RMEM_ALLOC] : ~0u;
}

TEST_F(Transport, ServerHeldForASecondLosesNothingAndAFullBudgetIsSaid)
{
    const auto burst = [](HeldBoards& held, long count) {
        auto board = start_board(held, "127.0.0.2");
        EXPECT_TRUE(board);
        if (!board)
            return;
        fenrow_sim::DataSpec spec;
        spec.count = count;
        const auto start = std::chrono::steady_clock::now();
        std::thread sender([&] { board->send_data(spec); });
        sender.join();
        EXPECT_TRUE(held.held.load());
        // All of it off the socket while the server thread is still held.
        EXPECT_TRUE(testutil::wait_until([&] { return socket_bytes(held.fileno()) == 0; }, 10.0))
            << socket_bytes(held.fileno());
        std::this_thread::sleep_until(start + std::chrono::seconds(1));
        held.release = true;
    };

    {
        HeldBoards held;
        ASSERT_TRUE(held.open());
        burst(held, 80000);
        ASSERT_TRUE(testutil::wait_until([&] { return held.data_ok == 80000; }, 30.0)) << held.data_ok;
        const std::vector<unsigned> seen = held.counters();
        for (std::size_t i = 1; i < seen.size(); ++i)
            ASSERT_EQ(seen[i], (seen[i - 1] + 1) & 0xffff) << "at " << i;
        EXPECT_EQ(held.losses().total(), 0u);
        EXPECT_EQ(held.dropped(), 0u);
    }

    // Room for a few thousand datagrams only: the rest is lost, counted and
    // said within a second or two; what was kept comes in order.
    HeldBoards small;
    small.set_receive_budget(1 << 20);
    ASSERT_TRUE(small.open());
    burst(small, 20000);
    ASSERT_TRUE(testutil::wait_until([&] { return small.data_ok + small.losses().budget == 20000; }, 30.0))
        << small.data_ok << " handled, " << small.losses().budget << " lost";
    EXPECT_GT(small.losses().budget, 10000u);
    EXPECT_EQ(small.losses().system, 0u);
    EXPECT_TRUE(log.wait_for("DAQServer: " + std::to_string(small.losses().budget) +
                                 " datagrams lost, " + std::to_string(small.losses().budget) +
                                 " for want of room: the receive budget of 1.0 MB was full",
                             5.0));
    const std::vector<unsigned> kept = small.counters();
    for (std::size_t i = 1; i < kept.size(); ++i)
        ASSERT_EQ(kept[i], (kept[i - 1] + 1) & 0xffff) << "at " << i;
}

} // namespace
