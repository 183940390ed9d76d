// Random, truncated and oversized datagrams from a simulated board: the
// server must survive them all and count every bad one as dropped.
#include <cstdio>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "FenrowNet.h"
#include "common/TestUtil.h"

using namespace fenrow_test;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::uint64_t data_drops(const FenrowManager& m)
{
    std::uint64_t n = 0;
    for (DropReason r : {DropReason::data_short, DropReason::data_not_data, DropReason::data_stream,
                         DropReason::data_mode, DropReason::data_no_hits, DropReason::data_past_end,
                         DropReason::data_tail})
        n += m.dropped(r);
    return n;
}

class Fuzz : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* env_seed = std::getenv("FENROW_FUZZ_SEED");
        seed = env_seed ? static_cast<unsigned>(std::strtoul(env_seed, nullptr, 0)) : std::random_device()();
        std::printf("fuzz seed %u (FENROW_FUZZ_SEED repeats it)\n", seed);
        rng.seed(seed);
        ASSERT_TRUE(boards.open());   // streams 1 and 3
        sim = start_board(boards, "127.0.0.2");
        ASSERT_TRUE(sim);
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(pick(0, 255)); }
    Bytes random_bytes(int n)
    {
        Bytes b(static_cast<std::size_t>(n));
        for (auto& x : b)
            x = byte();
        return b;
    }

    // A well-formed data packet for a stream the board has.
    Bytes good_data()
    {
        fenrow_sim::DataSpec spec;
        spec.stream = pick(0, 1) ? 1 : 3;
        const int modes[] = {RO_SERIAL, RO_SPARSE, RO_ADJACENT};
        spec.mode = modes[pick(0, 2)];
        spec.nchips = pick(1, 4);
        spec.hits = pick(1, 20);
        spec.nadj = pick(0, 20);
        return fenrow_sim::make_data_packet(spec, static_cast<std::uint16_t>(pick(0, 65535)), 0);
    }

    // Sends in bursts the server can take, so that the kernel drops nothing.
    void send_all(const std::vector<Bytes>& datagrams)
    {
        const std::uint64_t start = boards.received_count();
        std::uint64_t sent = 0;
        for (const Bytes& d : datagrams) {
            ASSERT_EQ(sim->send_raw(d.data(), d.size()), 0);
            if (++sent % 128 != 0)
                continue;
            ASSERT_TRUE(testutil::wait_until([&] { return boards.received_count() - start >= sent; }, 20.0))
                << "the server fell behind: " << boards.received_count() - start << " of " << sent;
        }
        ASSERT_TRUE(testutil::wait_until([&] { return boards.received_count() - start >= sent; }, 20.0));
        // The last ones are handled once the server is idle again.
        ASSERT_TRUE(testutil::wait_until([&] { return accounted() >= boards.received_count(); }, 20.0));
    }

    // Datagrams that were dropped before the board hooks or reached them
    // (where bad data packets are dropped in turn).
    std::uint64_t accounted() { return boards.taken + boards.dropped() - data_drops(boards); }

    unsigned seed = 0;
    std::mt19937 rng;
    NetEnv env;
    QuietConsole quiet;
    TestBoards boards;
    std::unique_ptr<fenrow_sim::BoardSim> sim;
};

TEST_F(Fuzz, EveryBadDatagramIsCountedAsDropped)
{
    // Datagrams already handled before the fuzzing (knock replies) stand in
    // received and in taken alike.
    const std::uint64_t received0 = boards.received_count();
    const std::uint64_t taken0 = boards.taken;
    ASSERT_EQ(received0, taken0);

    // Made bad in one known way each, mixed with good data.
    std::map<DropReason, std::uint64_t> expected;
    std::uint64_t socket_drops = 0;
    std::uint64_t good = 0;
    std::vector<Bytes> made;
    for (int i = 0; i < 60000; ++i) {
        Bytes d;
        switch (pick(0, 10)) {
        case 0: {   // too short for a head and a code
            d = random_bytes(pick(0, 3));
            if (d.empty())
                ++socket_drops;
            else
                ++expected[DropReason::short_datagram];
            break;
        }
        case 1: {   // a head without the bits of 0xCAFE
            d = random_bytes(pick(4, 300));
            do {
                d[0] = byte();
                d[1] = byte();
            } while (((d[0] << 8 | d[1]) & 0xCAFE) == 0xCAFE);
            ++expected[DropReason::wrong_head];
            break;
        }
        case 2: {   // an acknowledgement of fewer than three words
            int code;
            do
                code = pick(1, 127);
            while (code == CMD_KNOCK);
            d = {0xCA, 0xFE, byte(), static_cast<std::uint8_t>(0x80 | code)};
            if (pick(0, 1))
                d.push_back(byte());
            ++expected[DropReason::short_ack];
            break;
        }
        case 3: {   // a data packet shorter than its header
            d = {0xCA, 0xFE, 0x00, DATA_PACKET};
            const Bytes rest = random_bytes(pick(0, 13));
            d.insert(d.end(), rest.begin(), rest.end());
            ++expected[DropReason::data_short];
            break;
        }
        case 4: {   // cut before its tail
            d = good_data();
            d.resize(static_cast<std::size_t>(pick(18, static_cast<int>(d.size()) - 1)));
            ++expected[DropReason::data_past_end];
            break;
        }
        case 5: {   // a counter that puts the tail far away
            d = good_data();
            d[4] = 0xFF;
            d[5] = byte();
            ++expected[DropReason::data_past_end];
            break;
        }
        case 6: {   // a wrong tail word
            d = good_data();
            d[d.size() - 1] ^= static_cast<std::uint8_t>(pick(1, 255));
            ++expected[DropReason::data_tail];
            break;
        }
        case 7: {   // a stream the board does not have, or none
            d = good_data();
            const int streams[] = {0, 2, 4, 5, 6, 7, 8, 9, 17, 255};
            d[16] = static_cast<std::uint8_t>(streams[pick(0, 9)]);
            ++expected[DropReason::data_stream];
            break;
        }
        case 8: {   // a readout mode the host does not read
            d = good_data();
            const int modes[] = {0, 3, 5, 9, 255};
            d[17] = static_cast<std::uint8_t>(modes[pick(0, 4)]);
            ++expected[DropReason::data_mode];
            break;
        }
        case 9: {   // larger than the receive buffer, or a sparse event without hits
            if (pick(0, 1)) {
                d = random_bytes(pick(DAQServer::BUFFER_SIZE + 1, 20000));
                ++socket_drops;
            } else {
                DataHeader h;
                h.stream = 1;
                h.mode = RO_SPARSE;
                d = encode_data_packet(h, {});
                ++expected[DropReason::data_no_hits];
            }
            break;
        }
        default:
            d = good_data();
            ++good;
            break;
        }
        made.push_back(std::move(d));
    }
    send_all(made);
    if (HasFatalFailure())
        return;

    for (const auto& e : expected)
        EXPECT_EQ(boards.dropped(e.first), e.second) << "reason " << static_cast<int>(e.first);
    EXPECT_EQ(boards.socket_drop_count(), socket_drops);
    EXPECT_EQ(boards.data_ok, good);
    std::uint64_t bad = socket_drops;
    for (const auto& e : expected)
        bad += e.second;
    EXPECT_EQ(boards.dropped(), bad);

    // Then anything at all: every datagram is either handled or dropped, and
    // every data packet either taken or dropped.
    std::vector<Bytes> noise;
    for (int i = 0; i < 45000; ++i) {
        Bytes d = random_bytes(pick(0, 2) ? pick(0, 64) : pick(0, 600));
        if (d.size() >= 4 && pick(0, 2)) {
            d[0] = 0xCA;
            d[1] = 0xFE;
            if (pick(0, 1))
                d[3] = static_cast<std::uint8_t>(pick(0, 1) ? DATA_PACKET : (0x80 | pick(0, 127)));
        }
        if (i % 1000 == 0)
            d = random_bytes(pick(DAQServer::BUFFER_SIZE - 2, DAQServer::BUFFER_SIZE + 2));
        noise.push_back(std::move(d));
    }
    send_all(noise);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(boards.received_count(), accounted());
    EXPECT_EQ(boards.data_calls, boards.data_ok + data_drops(boards));
    EXPECT_GE(boards.received_count() - received0, 105000u);
}

// The same checks on buffers of exactly the datagram's size, so that the
// address sanitizer sees any read past a datagram's end.
TEST_F(Fuzz, ExactSizedBuffersAreNeverOverrun)
{
    const std::uint64_t received0 = boards.received_count();
    const std::uint64_t accounted0 = accounted();
    std::uint64_t fed = 0;
    for (int i = 0; i < 30000; ++i) {
        Bytes d;
        switch (pick(0, 3)) {
        case 0:
            d = random_bytes(pick(1, 40));
            break;
        case 1:
            d = good_data();
            d.resize(static_cast<std::size_t>(pick(1, static_cast<int>(d.size()))));
            break;
        case 2:
            d = good_data();
            d[4] = byte();
            d[5] = byte();
            break;
        default:
            d = random_bytes(pick(4, 80));
            d[0] = 0xCA;
            d[1] = 0xFE;
            d[3] = static_cast<std::uint8_t>(pick(0, 1) ? DATA_PACKET : (0x80 | pick(0, 127)));
            break;
        }
        boards.feed(pick(0, 3) ? "127.0.0.2" : "127.0.0.7", 1234, d);
        ++fed;
    }
    // Knock replies may have come in meanwhile on the server thread.
    const std::uint64_t server = boards.received_count() - received0;
    EXPECT_EQ(fed + server, accounted() - accounted0);
    EXPECT_EQ(boards.data_calls, boards.data_ok + data_drops(boards));
}

} // namespace
