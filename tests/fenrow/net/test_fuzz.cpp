// Random, truncated and oversized datagrams from a simulated board: the
// server must survive them all and count every bad one as dropped; and data
// packets of every readout mode, good and bad, through the board manager
// into its stream modules: a record for every good one, none for a bad one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "BoardConfig.h"
#include "FenrowNet.h"
#include "common/TestUtil.h"
#include "fenrow/streams/FenrowStream.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"
#include "ostrel/TellumData.h"

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

// A seeded source of random datagrams.
class Random : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* env_seed = std::getenv("FENROW_FUZZ_SEED");
        seed = env_seed ? static_cast<unsigned>(std::strtoul(env_seed, nullptr, 0)) : std::random_device()();
        std::printf("fuzz seed %u (FENROW_FUZZ_SEED repeats it)\n", seed);
        rng.seed(seed);
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

    // A well-formed packet of a random readout mode for stream 1 or 3.
    fenrow_sim::DataSpec good_spec()
    {
        fenrow_sim::DataSpec spec;
        spec.stream = pick(0, 1) ? 1 : 3;
        const int modes[] = {RO_SERIAL, RO_SPARSE, RO_ADJACENT};
        spec.mode = modes[pick(0, 2)];
        spec.nchips = pick(1, 4);
        spec.hits = pick(1, 20);
        spec.nadj = pick(0, 20);
        return spec;
    }

    unsigned seed = 0;
    std::mt19937 rng;
    NetEnv env;
    QuietConsole quiet;
};

class Fuzz : public Random {
protected:
    void SetUp() override
    {
        Random::SetUp();
        ASSERT_TRUE(boards.open());   // streams 1 and 3
        sim = start_board(boards, "127.0.0.2");
        ASSERT_TRUE(sim);
    }

    // A well-formed data packet for a stream the board has.
    Bytes good_data()
    {
        return fenrow_sim::make_data_packet(good_spec(), static_cast<std::uint16_t>(pick(0, 65535)), 0);
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

// ---- data packets through the board manager ----------------------------------

using Words = std::vector<std::uint16_t>;

// The record's data words as the wire protocol lays them out, from the
// packet's host-order words.
Words expected_data(const Words& w, int mode, int n)
{
    switch (mode) {
    case RO_SERIAL:
        return Words(w.begin() + 9, w.begin() + 9 + n);
    case RO_SPARSE:
        return Words{w[9], w[11]};
    default: {
        Words out{w[9], w[11]};
        for (int k = 1; k <= n; ++k) {
            out.push_back(w[static_cast<std::size_t>(11 + 3 * k)]);
            out.push_back(w[static_cast<std::size_t>(10 + 3 * k)]);
        }
        return out;
    }
    }
}

// Good packets carry event counters below this, bad ones from it up.
constexpr std::uint16_t bad_marker = 0x8000;

class DataFuzz : public Random {
protected:
    void SetUp() override
    {
        Random::SetUp();
        manager = new OpenFenrow;
        scope.load("fenrow", manager,
                   "<fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\"/>"
                   "<stream name=\"23\" address=\"127.0.0.2\"/></fenrow>");
        main = scope.make_main();
        ASSERT_TRUE(manager->open(quick_timing()));
        board = std::make_unique<fenrow_sim::BoardSim>(fenrow_sim::BoardSim::Options{});
        ASSERT_TRUE(board->start());
        ASSERT_TRUE(wait_registered(*manager, "127.0.0.2"));
        for (const char* id : {"21", "23"}) {
            modules[id[1] - '0'] =
                dynamic_cast<Ostrel::FenrowStream*>(Ostrel::DAQmanager::theDAQmanager()->find_module(id));
            ASSERT_TRUE(modules[id[1] - '0']);
        }
        // "main" runs without its loop: the records stay on the queues.
        main->get_status().set_status(Ostrel::RunState::Running);
    }

    // A good packet, recorded as expected.
    Bytes good(std::uint16_t evtcnt)
    {
        const fenrow_sim::DataSpec spec = good_spec();
        Bytes d = fenrow_sim::make_data_packet(spec, evtcnt, static_cast<std::uint32_t>(rng()));
        const Words w = convert_packet(d.data(), d.size());
        expected[evtcnt] = {spec.stream, spec.mode, w[2], expected_data(w, spec.mode, w[2])};
        return d;
    }

    // A packet made bad in one of the ways the board manager must refuse,
    // whatever the rest of it holds.
    Bytes bad(std::uint16_t evtcnt)
    {
        Bytes d = good(evtcnt);
        expected.erase(evtcnt);
        const std::size_t nwords = d.size() / 2;
        auto set = [&d](std::size_t word, std::uint16_t v) {
            d[2 * word] = static_cast<std::uint8_t>(v >> 8);
            d[2 * word + 1] = static_cast<std::uint8_t>(v);
        };
        switch (pick(0, 6)) {
        case 0:   // cut anywhere before its tail
            d.resize(static_cast<std::size_t>(pick(1, static_cast<int>(d.size()) - 1)));
            break;
        case 1:   // another word where the tail is
            set(nwords - 1, static_cast<std::uint16_t>(PACKET_TAIL ^ pick(1, 0xFFFF)));
            break;
        case 2: {   // a mode the host does not read
            const int modes[] = {0, 3, 5, 8, RO_SCOPE, 255};
            d[17] = static_cast<std::uint8_t>(modes[pick(0, 5)]);
            break;
        }
        case 3: {   // a stream without a module, or none at all
            const int streams[] = {0, 2, 4, 8, 9, 200};
            d[16] = static_cast<std::uint8_t>(streams[pick(0, 5)]);
            break;
        }
        case 4:   // a count that puts the tail far past the end
            set(2, static_cast<std::uint16_t>(pick(0x1000, 0xFFFF)));
            break;
        case 5: {   // junk behind a data packet's head, its tail word spoilt
            d = random_bytes(pick(18, 400));
            set(0, PACKET_HEAD);
            set(1, DATA_PACKET);
            set(3, evtcnt);
            const long tail = data_tail_index(d[17], d[4] << 8 | d[5]);
            if (tail >= 0 && static_cast<std::size_t>(tail) < d.size() / 2)
                set(static_cast<std::size_t>(tail), 0x1234);
            break;
        }
        default: {   // a sparse packet without hits
            DataHeader h;
            h.stream = 1;
            h.mode = RO_SPARSE;
            h.evtcnt = evtcnt;
            d = encode_data_packet(h, {});
            break;
        }
        }
        return d;
    }

    // Takes every record off the queues and checks it against its packet.
    void drain()
    {
        for (auto& entry : modules) {
            Ostrel::FenrowStream* m = entry.second;
            while (m->hasData()) {
                Ostrel::ModuleData* block = m->getData();
                if (!block)
                    break;
                ++records;
                check_record(entry.first, block);
                block->dec_ref();
            }
        }
    }

    void check_record(int stream, Ostrel::ModuleData* block)
    {
        const TellumData* r = TellumData::from(block);
        ASSERT_TRUE(r);
        const char* p = r->data;
        std::uint16_t evtcnt = 0;
        std::uint16_t nchan = 0;
        std::uint16_t mode = 0;
        std::memcpy(&evtcnt, p + 20, 2);
        std::memcpy(&nchan, p + 22, 2);
        std::memcpy(&mode, p + 24, 2);
        ASSERT_LT(evtcnt, bad_marker) << "a record from a bad packet";
        auto it = expected.find(evtcnt);
        ASSERT_NE(it, expected.end()) << "a record of no packet sent: " << evtcnt;
        const Expected& e = it->second;
        EXPECT_EQ(stream, e.stream);
        EXPECT_EQ(r->mod_id, 20 + e.stream);
        EXPECT_EQ(mode, e.mode);
        EXPECT_EQ(nchan, e.n);
        ASSERT_GE(block->size(), sizeof(TellumData) + 26 + 2 * e.data.size());
        Words data(e.data.size());
        std::memcpy(data.data(), p + 26, 2 * data.size());
        EXPECT_EQ(data, e.data) << "event " << evtcnt;
        expected.erase(it);
    }

    struct Expected {
        int stream;
        int mode;
        int n;
        Words data;
    };

    ConfigScope scope;
    OpenFenrow* manager = nullptr;   // the configuration's
    Ostrel::RunManager* main = nullptr;
    std::unique_ptr<fenrow_sim::BoardSim> board;
    std::map<int, Ostrel::FenrowStream*> modules;
    std::map<std::uint16_t, Expected> expected;
    std::uint64_t records = 0;
};

TEST_F(DataFuzz, GoodPacketsOfEveryModeBecomeRecordsAndBadOnesNothing)
{
    std::uint64_t good_sent = 0;
    std::uint16_t good_count = 0;
    std::uint16_t bad_count = bad_marker;
    for (int i = 0; i < 40000; ++i) {
        const bool is_good = pick(0, 2) == 0;
        const Bytes d = is_good ? good(good_count++) : bad(bad_count++);
        good_sent += is_good;
        if (good_count >= bad_marker)
            good_count = 0;
        if (bad_count == 0)
            bad_count = bad_marker;
        manager->feed("127.0.0.2", env.board_port, d);
        if (i % 500 == 499) {
            drain();
            if (HasFatalFailure())
                return;
        }
    }
    drain();
    EXPECT_EQ(records, good_sent);
    EXPECT_TRUE(expected.empty()) << expected.size() << " good packets gave no record";
    for (auto& entry : modules)
        EXPECT_EQ(entry.second->n_dropped(), 0u);
}

} // namespace
