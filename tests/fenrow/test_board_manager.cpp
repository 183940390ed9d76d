// The board manager against simulated boards on loopback, with the
// configuration it reads and writes: boards defined by their element or by
// the operator, registered only into a running acquisition, one stream
// module per stream, the first configuration of a new board, and data
// packets turned into event records on the stream modules' queues.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "BoardConfig.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/streams/FenrowStreamConf.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"
#include "ostrel/TellumData.h"

using namespace fenrow_test;
using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

namespace {

const char* const board_23 =
    "<fenrow name=\"127.0.0.2\" address=\"10000\" interface=\"em1\">"
    "<stream name=\"21\" address=\"127.0.0.2\"><nchips>2</nchips><chip_type>gp8</chip_type>"
    "<ro_mode>serial</ro_mode></stream>"
    "<stream name=\"23\" address=\"127.0.0.2\"><nchips>2</nchips><chip_type>gp8</chip_type></stream>"
    "</fenrow>";

Bytes command(int stream_in_w1, std::uint8_t code, std::uint16_t w2, std::uint16_t w3)
{
    return Bytes{0xCA, 0xFE, static_cast<std::uint8_t>(stream_in_w1), code, static_cast<std::uint8_t>(w2 >> 8),
                 static_cast<std::uint8_t>(w2), static_cast<std::uint8_t>(w3 >> 8), static_cast<std::uint8_t>(w3),
                 0xAC, 0xAB};
}

// The event record's fields, read back.
struct Record {
    // The header fields.
    std::uint16_t marker = 0;
    std::uint16_t record_type = 0;
    std::uint32_t event_counter = 0;
    std::uint16_t mod_id = 0;
    std::uint16_t data_type = 0;
    std::uint32_t size = 0;
    double temp = 0;
    double daq_time = 0;
    std::uint32_t time = 0;
    std::uint16_t evtcnt = 0;
    std::uint16_t nchan = 0;
    std::uint16_t romode = 0;
    Words data;
};

Record read_record(Ostrel::ModuleData* block, std::size_t nwords)
{
    Record r;
    const char* p = block->data();
    const TellumData* header = TellumData::from(block);
    r.marker = header->header;
    r.record_type = header->record_type;
    r.event_counter = header->event_counter;
    r.mod_id = header->mod_id;
    r.data_type = header->data_type;
    r.size = header->size;
    p += sizeof(TellumData);
    std::memcpy(&r.temp, p, 8);
    std::memcpy(&r.daq_time, p + 8, 8);
    std::memcpy(&r.time, p + 16, 4);
    std::memcpy(&r.evtcnt, p + 20, 2);
    std::memcpy(&r.nchan, p + 22, 2);
    std::memcpy(&r.romode, p + 24, 2);
    r.data.resize(nwords);
    std::memcpy(r.data.data(), p + 26, 2 * nwords);
    return r;
}

class BoardManager : public ::testing::Test {
protected:
    // Reads the modules section with a board manager (the one given, else
    // a plain one) as its "fenrow" handler, makes "main" (unless told not
    // to) and opens the manager (unless the test calls its hooks itself).
    void start(const std::string& modules, bool with_main = true, bool open = true, OpenFenrow* made = nullptr)
    {
        manager = made ? made : new OpenFenrow;
        scope.load("fenrow", manager, modules);
        if (with_main)
            main = scope.make_main();
        if (open) {
            ASSERT_TRUE(manager->open(quick_timing()));
        }
    }

    std::unique_ptr<fenrow_sim::BoardSim> board(const std::string& address)
    {
        fenrow_sim::BoardSim::Options options;
        options.address = address;
        auto sim = std::make_unique<fenrow_sim::BoardSim>(options);
        return sim->start() ? std::move(sim) : nullptr;
    }

    ModuleNode* wait_registered(const std::string& ip) { return fenrow_test::wait_registered(*manager, ip); }

    Ostrel::FenrowStream* stream_module(const std::string& id)
    {
        return dynamic_cast<Ostrel::FenrowStream*>(Ostrel::DAQmanager::theDAQmanager()->find_module(id));
    }

    // The commands (not knocks) the board received.
    std::vector<Bytes> commands(fenrow_sim::BoardSim& sim)
    {
        std::vector<Bytes> out;
        for (const fenrow_sim::Datagram& d : sim.received())
            if (d.code() != CMD_KNOCK)
                out.push_back(d.bytes);
        return out;
    }

    NetEnv env;
    LogCapture log;
    ConfigScope scope;
    OpenFenrow* manager = nullptr;   // the configuration's
    Ostrel::RunManager* main = nullptr;
};

TEST_F(BoardManager, BoardOfTheConfigurationGetsItsStreamModulesAndIsInitialised)
{
    start(board_23);
    auto sim = board("127.0.0.2");
    ASSERT_TRUE(sim);
    ModuleNode* node = wait_registered("127.0.0.2");
    ASSERT_TRUE(node);
    EXPECT_TRUE(log.wait_for("Found module @ 127.0.0.2:" + std::to_string(env.board_port) + ". Firmware 10203\n", 2));
    EXPECT_TRUE(log.contains("Registering module 127.0.0.2\n"));
    EXPECT_EQ(node->firmware(), 0x10203u);

    // Slots from the streams' names, chips and type from their elements.
    ASSERT_EQ(node->nstreams(), 2);
    EXPECT_EQ(node->stream(0)->id(), 0u);
    EXPECT_EQ(node->stream(1)->id(), 2u);
    EXPECT_EQ(node->stream(1)->chip_type(), static_cast<unsigned>(TAmanager::gp8));
    EXPECT_EQ(node->stream(1)->nchip(), 2u);

    // One module per stream, in "main", with its section registered.
    for (const char* id : {"21", "23"}) {
        Ostrel::FenrowStream* m = stream_module(id);
        ASSERT_TRUE(m) << id;
        EXPECT_EQ(m->get_run_command(), &main->run_command()) << id;
        EXPECT_TRUE(dynamic_cast<Ostrel::FenrowStreamConf*>(scope.config->get_id_handler(std::atoi(id)))) << id;
    }
    EXPECT_EQ(manager->stream_module(node, 3), stream_module("23"));
    EXPECT_EQ(stream_module("21")->get_par_value<int>("ro_mode"), RO_SERIAL);

    // On the main loop: each stream stopped and initialised, in order
    // (gp8: chip kind 1, variant 1; two chips).
    ASSERT_TRUE(pump_until([&] { return commands(*sim).size() >= 4; }, 5.0));
    EXPECT_EQ(commands(*sim), (std::vector<Bytes>{command(1, CMD_START_STOP, 0xFF00, 0), command(0, CMD_INIT, 0x0111, 0x0200),
                                                  command(3, CMD_START_STOP, 0xFF00, 0), command(0, CMD_INIT, 0x0311, 0x0200)}));

    // Heard again: stamped, nothing new.
    const std::uint64_t heard = manager->received_count();
    ASSERT_TRUE(testutil::wait_until([&] { return manager->received_count() >= heard + 2; }, 5.0));
    EXPECT_EQ(log.matching("Registering module").size(), 1u);
    EXPECT_EQ(main->countModules(), 2);
    EXPECT_TRUE(scope.saved_document_is_valid());
}

TEST_F(BoardManager, LayoutReadFromTheBoardElement)
{
    start("<fenrow name=\"127.0.0.5\"/>"
          "<fenrow name=\"127.0.0.6\"><stream name=\"62\" address=\"127.0.0.6\"><chip_type>hdr</chip_type></stream></fenrow>"
          "<fenrow name=\"127.0.0.7\"><stream name=\"74\" address=\"127.0.0.7\"><nchips>3</nchips>"
          "<chip_type>gp7_1</chip_type></stream><stream name=\"78\" address=\"127.0.0.7\"/></fenrow>"
          "<fenrow name=\"127.0.0.8\"><stream name=\"81\" address=\"127.0.0.8\"><chip_type>ta32</chip_type></stream>"
          "<stream name=\"89\" address=\"127.0.0.8\"/><stream name=\"81\" address=\"127.0.0.8\"/></fenrow>",
          false, false);
    // A board element without streams: one stream of one chip, with a word.
    std::unique_ptr<ModuleNode> bare(manager->find_module("127.0.0.5", 10000));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(log.contains("This should not happen if the module is already in the config file"));
    ASSERT_EQ(bare->nstreams(), 1);
    EXPECT_EQ(bare->stream(0)->id(), 0u);
    EXPECT_EQ(bare->stream(0)->nchip(), 1u);
    EXPECT_EQ(bare->stream(0)->chip_type(), 0u);

    std::unique_ptr<ModuleNode> hdr(manager->find_module("127.0.0.6", 10000));
    ASSERT_EQ(hdr->nstreams(), 1);
    EXPECT_EQ(hdr->stream(0)->id(), 1u);
    EXPECT_EQ(hdr->stream(0)->chip_type(), static_cast<unsigned>(TAmanager::hdr));
    EXPECT_EQ(hdr->stream(0)->nchip(), 1u);
    EXPECT_EQ(hdr->port(), 10000);

    std::unique_ptr<ModuleNode> two(manager->find_module("127.0.0.7", 10000));
    ASSERT_EQ(two->nstreams(), 2);
    EXPECT_EQ(two->stream(0)->id(), 3u);
    EXPECT_EQ(two->stream(1)->id(), 7u);
    EXPECT_EQ(two->stream(0)->nchip(), 3u);
    EXPECT_EQ(two->stream(1)->chip_type(), static_cast<unsigned>(TAmanager::gp7_1));

    // "ta32" is no chip type the boards name: the high-dynamic-range chip.
    // A name ending in 9 names no slot, and a slot named twice is taken once.
    std::unique_ptr<ModuleNode> odd(manager->find_module("127.0.0.8", 10000));
    ASSERT_EQ(odd->nstreams(), 1);
    EXPECT_EQ(odd->stream(0)->id(), 0u);
    EXPECT_EQ(odd->stream(0)->chip_type(), static_cast<unsigned>(TAmanager::hdr));
    EXPECT_EQ(log.matching("names no free slot").size(), 2u);
}

TEST_F(BoardManager, LayoutComesFromTheBoardsOwnElementsWithinBounds)
{
    // A copy of the board kept inside a stream's register text: its stream
    // and chip count are none of the board's. A chip count no board has
    // is taken as one chip.
    start("<fenrow name=\"127.0.0.9\"><stream name=\"91\" address=\"127.0.0.9\"><threshold>40<modules>"
          "<fenrow name=\"127.0.0.9\"><stream name=\"95\" address=\"127.0.0.9\"><nchips>3</nchips>"
          "<chip_type>gp8</chip_type></stream></fenrow></modules></threshold><nchips>2</nchips></stream></fenrow>"
          "<fenrow name=\"127.0.0.8\"><stream name=\"81\" address=\"127.0.0.8\"><nchips>2147483647</nchips>"
          "</stream></fenrow>",
          false, false);
    std::unique_ptr<ModuleNode> huge(manager->find_module("127.0.0.8", 10000));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->stream(0)->nchip(), 1u);
    EXPECT_TRUE(log.contains("Board 127.0.0.8: nchips must be 1 to"));

    std::unique_ptr<ModuleNode> board(manager->find_module("127.0.0.9", 10000));
    ASSERT_TRUE(board);
    ASSERT_EQ(board->nstreams(), 1);
    EXPECT_EQ(board->stream(0)->id(), 0u);
    EXPECT_EQ(board->stream(0)->nchip(), 2u);
    EXPECT_EQ(board->stream(0)->chip_type(), static_cast<unsigned>(TAmanager::gp7));
}

TEST_F(BoardManager, StreamElementsThatCannotBeTheirBoardsAreRefusedAndANameTwoBoardsWouldTakeSaysBoth)
{
    // Board 127.0.0.3's element bears board 127.0.0.2's stream name, and
    // comes first in the file.
    start("<fenrow name=\"127.0.0.3\">\n<stream name=\"21\" address=\"127.0.0.3\"><nchips>2</nchips>"
          "<threshold>91</threshold></stream></fenrow><fenrow name=\"127.0.0.2\"><stream name=\"21\" "
          "address=\"127.0.0.2\"><threshold>40</threshold></stream></fenrow>"
          "<fenrow name=\"127.0.1.2\"><stream name=\"21\" address=\"127.0.1.2\"/></fenrow>");
    auto two = board("127.0.0.2");
    auto three = board("127.0.0.3");
    ASSERT_TRUE(two && three);
    ModuleNode* node = wait_registered("127.0.0.3");
    ASSERT_TRUE(node && wait_registered("127.0.0.2"));
    EXPECT_TRUE(log.contains("Board 127.0.0.3, line 4: stream \"21\" cannot be this board's: its stream 1 is named "
                             "\"31\". The element is left out, and the board's stream 1 has no module until an "
                             "element of that name is there"));
    EXPECT_EQ(node->nstreams(), 0);
    EXPECT_EQ(stream_module("31"), nullptr);
    ASSERT_TRUE(stream_module("21"));
    EXPECT_EQ(stream_module("21")->get_par_value<int>("threshold"), 40);
    // The file keeps what it was given, and gains no element for stream 31.
    EXPECT_TRUE(scope.saved_document_is_valid());
    EXPECT_EQ(scope.count("//stream"), 3);
    EXPECT_EQ(scope.text("//fenrow[@name='127.0.0.3']/stream/threshold"), "91");

    auto other = board("127.0.1.2");
    ASSERT_TRUE(other);
    ASSERT_TRUE(wait_registered("127.0.1.2"));
    EXPECT_TRUE(log.contains("There is a module 21 already, stream 1 of board 127.0.0.2: stream 1 of board 127.0.1.2 "
                             "gets no module"));
}

TEST_F(BoardManager, UnknownBoardWithoutWindowIsCancelledAndSaidOncePerKnock)
{
    start(board_23);
    auto sim = board("127.0.0.3");
    ASSERT_TRUE(sim);
    fenrow_sim::DataSpec spec;
    const std::string out = testutil::capture_stdout([&] {
        // Knock replies and a burst of data: one line per knock at most.
        ASSERT_TRUE(sim->wait_for(CMD_KNOCK, 1, 2.0));
        ASSERT_TRUE(sim->wait_for_host(2.0));
        const std::size_t knocks = sim->received(CMD_KNOCK).size();
        spec.count = 200;
        sim->send_data(spec);
        testutil::wait_until([&] { return manager->unregistered_drops() >= 200; }, 5.0);
        // The reply to a knock that came while the output was caught has
        // been heard a knock period later: its line is among the output.
        ASSERT_TRUE(sim->wait_for(CMD_KNOCK, knocks + 2, 5.0));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    const std::string line = "I need to know how to configure board in 127.0.0.3\n";
    std::size_t lines = 0;
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
        ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, sim->received(CMD_KNOCK).size()) << out;
    EXPECT_GE(manager->unregistered_drops(), 200u);
    EXPECT_EQ(manager->get_module("127.0.0.3"), nullptr);
    EXPECT_EQ(Ostrel::DAQmanager::theDAQmanager()->find_module("31"), nullptr);
    EXPECT_EQ(scope.count("//modules/fenrow[@name='127.0.0.3']"), 0);
}

TEST_F(BoardManager, BoardHeardWhileTheConfigurationIsReadIsConfiguredWithinASecondOfMain)
{
    // The boards' own periods: a second knock comes only 5 s after the
    // first, which goes out while the configuration is still being read.
    start(board_23, false, false);
    FenrowTiming timing;
    timing.knock_period = 5.0;
    auto sim = board("127.0.0.2");
    ASSERT_TRUE(sim);
    std::unique_lock<std::recursive_mutex> reading(scope.config->document_mutex());
    ASSERT_TRUE(manager->open(timing));
    ASSERT_TRUE(sim->wait_for(CMD_KNOCK, 1, 2.0));
    const auto knocked = sim->received(CMD_KNOCK).front().when;
    ASSERT_TRUE(testutil::wait_until([&] { return manager->unregistered_drops() >= 1; }, 2.0));
    EXPECT_EQ(manager->get_module("127.0.0.2"), nullptr);

    // Registered once the configuration is read, before "main" exists:
    // without stream modules, and not configured yet.
    reading.unlock();
    ASSERT_TRUE(wait_registered("127.0.0.2"));
    EXPECT_EQ(stream_module("21"), nullptr);
    EXPECT_TRUE(commands(*sim).empty());

    main = scope.make_main();
    ASSERT_TRUE(pump_until([&] { return commands(*sim).size() >= 4; }, 3.0));
    const std::vector<fenrow_sim::Datagram> got = sim->received();
    const auto first =
        std::find_if(got.begin(), got.end(), [](const fenrow_sim::Datagram& d) { return d.code() != CMD_KNOCK; });
    const double after = std::chrono::duration<double>(first->when - knocked).count();
    // One second, and a little for a machine under load.
    EXPECT_LT(after, 1.5);
    EXPECT_EQ(sim->count(CMD_KNOCK), 1u);
    EXPECT_EQ(commands(*sim)[0], command(1, CMD_START_STOP, 0xFF00, 0));
    ASSERT_TRUE(stream_module("21"));
    EXPECT_EQ(stream_module("23")->get_run_command(), &main->run_command());
    EXPECT_EQ(log.matching("Registering module").size(), 1u);
    EXPECT_EQ(manager->get_module("127.0.0.2")->firmware(), 0x10203u);
}

// The operator is asked elsewhere; meanwhile the board's datagrams are
// dropped and the server goes on.
class Operator {
public:
    Operator()
    {
        Ostrel::Fenrow::set_board_definer([this](const std::shared_ptr<Ostrel::DefineModuleInfo>& info,
                                                 const std::string& ip) {
            std::lock_guard<std::mutex> lock(mutex);
            asked.push_back(ip);
            pending = info;
            return true;
        });
    }
    ~Operator() { Ostrel::Fenrow::set_board_definer(nullptr); }

    std::shared_ptr<Ostrel::DefineModuleInfo> question()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return pending;
    }
    std::size_t times()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return asked.size();
    }

    std::mutex mutex;
    std::vector<std::string> asked;
    std::shared_ptr<Ostrel::DefineModuleInfo> pending;
};

void answer(Ostrel::DefineModuleInfo& info, int chip_type, int nstreams, int nchips, std::vector<int> slots)
{
    info.lock();
    info.chip_type = chip_type;
    info.nstreams = nstreams;
    info.nchips = nchips;
    for (std::size_t k = 0; k < slots.size(); ++k)
        info.slots[k] = slots[k];
    info.unlock();
    info.finish();
}

TEST_F(BoardManager, BoardDefinedByTheOperatorIsWrittenIntoTheConfiguration)
{
    Operator op;
    start(board_23);
    auto sim = board("127.0.0.3");
    ASSERT_TRUE(sim);
    ASSERT_TRUE(testutil::wait_until([&] { return op.times() == 1; }, 5.0));
    // Still asking: later datagrams wait for the answer instead of asking
    // again.
    ASSERT_TRUE(testutil::wait_until([&] { return manager->unregistered_drops() >= 3; }, 5.0));
    EXPECT_EQ(op.times(), 1u);
    EXPECT_EQ(manager->get_module("127.0.0.3"), nullptr);

    // "HDR16", two hybrids of four chips in slots 2 and 5.
    answer(*op.question(), TAmanager::hdr, 2, 4, {1, 4});
    ModuleNode* node = wait_registered("127.0.0.3");
    ASSERT_TRUE(node);
    ASSERT_EQ(node->nstreams(), 2);
    EXPECT_EQ(node->stream(0)->id(), 1u);
    EXPECT_EQ(node->stream(1)->id(), 4u);
    EXPECT_EQ(node->stream(1)->chip_type(), static_cast<unsigned>(TAmanager::hdr));
    ASSERT_TRUE(stream_module("32"));
    ASSERT_TRUE(stream_module("35"));

    const std::string board = "//modules/fenrow[@name='127.0.0.3']";
    EXPECT_EQ(scope.attribute(board, "address"), std::to_string(env.board_port));
    EXPECT_EQ(scope.attribute(board, "interface"), "em1");
    EXPECT_EQ(scope.count(board + "/stream"), 2);
    for (const char* name : {"32", "35"}) {
        const std::string stream = board + "/stream[@name='" + name + "']";
        EXPECT_EQ(scope.attribute(stream, "address"), "127.0.0.3");
        EXPECT_EQ(scope.text(stream + "/nchips"), "4");
        EXPECT_EQ(scope.text(stream + "/chip_type"), "hdr");
        EXPECT_EQ(scope.count(stream + "/chip"), 4);
        EXPECT_EQ(scope.attribute(stream + "/chip[4]", "id"), "3");
        EXPECT_EQ(scope.count(stream + "/monitor/weights/pedestal"), 1);
    }
    // The new element is the section's current one.
    EXPECT_EQ(manager->get_id(), "127.0.0.3");
    std::string saved;
    EXPECT_TRUE(scope.saved_document_is_valid(&saved)) << saved;
}

TEST_F(BoardManager, OperatorAnswersAreBoundedToDistinctSlots)
{
    Operator op;
    start(board_23, false, false);
    auto ask = [&](const std::string& ip) { return std::unique_ptr<ModuleNode>(manager->find_module(ip, 10000)); };

    // Three toggles for two hybrids: the first two.
    EXPECT_FALSE(ask("127.0.0.4"));
    answer(*op.question(), TAmanager::gp7_1, 2, 1, {0, 1, 2});
    std::unique_ptr<ModuleNode> first = ask("127.0.0.4");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->nstreams(), 2);
    EXPECT_EQ(first->stream(1)->id(), 1u);

    // More hybrids than toggles: the slots left at 0 are one stream.
    EXPECT_FALSE(ask("127.0.0.5"));
    answer(*op.question(), TAmanager::gp7, 3, 1, {6});
    std::unique_ptr<ModuleNode> second = ask("127.0.0.5");
    ASSERT_TRUE(second);
    ASSERT_EQ(second->nstreams(), 2);
    EXPECT_EQ(second->stream(0)->id(), 6u);
    EXPECT_EQ(second->stream(1)->id(), 0u);
    EXPECT_EQ(scope.count("//modules/fenrow[@name='127.0.0.5']/stream"), 2);

    // Cancelled: said, nothing written, and the next datagram asks again.
    std::size_t before = 0;
    const std::string out = testutil::capture_stdout([&] {
        EXPECT_FALSE(ask("127.0.0.6"));
        before = op.times();
        op.question()->cancel();
        EXPECT_FALSE(ask("127.0.0.6"));
    });
    EXPECT_EQ(out, "I need to know how to configure board in 127.0.0.6\n");
    EXPECT_EQ(scope.count("//modules/fenrow[@name='127.0.0.6']"), 0);
    EXPECT_EQ(op.times(), before + 1);
    EXPECT_FALSE(op.question()->answered());

    // Too many chips for the initialisation command's byte: as many as it
    // counts.
    EXPECT_FALSE(ask("127.0.0.7"));
    answer(*op.question(), TAmanager::gp8, 1, 300, {3});
    std::unique_ptr<ModuleNode> third = ask("127.0.0.7");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->stream(0)->nchip(), 255u);
    EXPECT_EQ(scope.text("//modules/fenrow[@name='127.0.0.7']/stream/nchips"), "255");
}

TEST_F(BoardManager, StoppingTheManagerCancelsTheQuestion)
{
    Operator op;
    start(board_23);
    auto sim = board("127.0.0.3");
    ASSERT_TRUE(sim);
    ASSERT_TRUE(testutil::wait_until([&] { return op.times() == 1; }, 5.0));
    const std::shared_ptr<Ostrel::DefineModuleInfo> info = op.question();
    EXPECT_FALSE(info->answered());
    // A reset of the configuration deletes the manager: it does not wait
    // for the operator.
    scope.config->reset();
    EXPECT_TRUE(info->answered());
    EXPECT_TRUE(info->cancelled());
    EXPECT_EQ(info->wait(0), 0);
}

TEST_F(BoardManager, ABoardsFirstConfigurationFindsNoManagerThatWentBeforeTheMainLoop)
{
    start(board_23);
    auto sim = board("127.0.0.2");
    ASSERT_TRUE(sim);
    ASSERT_TRUE(wait_registered("127.0.0.2"));
    // A datagram after the one that registered the board: its configuration
    // is posted.
    const std::uint64_t heard = manager->received_count();
    ASSERT_TRUE(testutil::wait_until([&] { return manager->received_count() > heard; }, 5.0));
    scope.config->reset();
    EXPECT_FALSE(pump_until([&] { return !commands(*sim).empty(); }, 0.3));
}

class DataPackets : public BoardManager {
protected:
    void SetUp() override
    {
        start(board_23);
        sim = board("127.0.0.2");
        ASSERT_TRUE(sim);
        ASSERT_TRUE(wait_registered("127.0.0.2"));
        ASSERT_TRUE(sim->wait_for_host(2.0));
        module = stream_module("21");
        ASSERT_TRUE(module);
    }

    // The run's state without its loop: the records stay on the queue.
    void running(bool on)
    {
        Ostrel::RunState& st = main->get_status();
        if (on)
            st.start();
        st.set_status(on ? Ostrel::RunState::Running : Ostrel::RunState::Ready);
    }

    // The next record of the module, or null after a short wait.
    Ostrel::ModuleData* next()
    {
        if (!testutil::wait_until([&] { return module->hasData(); }, 2.0))
            return nullptr;
        return module->getData();
    }

    // Sends the datagram and waits until the server has had it.
    void send(const Bytes& datagram)
    {
        const std::uint64_t before = manager->received_count();
        ASSERT_EQ(sim->send_raw(datagram), 0);
        ASSERT_TRUE(testutil::wait_until([&] { return manager->received_count() > before; }, 2.0));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::unique_ptr<fenrow_sim::BoardSim> sim;
    Ostrel::FenrowStream* module = nullptr;
};

TEST_F(DataPackets, SerialPacketBecomesAnEventRecordOfItsStreamModule)
{
    running(true);
    fenrow_sim::DataSpec spec;
    spec.temperature = -36.5;
    const Bytes packet = fenrow_sim::make_data_packet(spec, 4711, 0x12345678);
    send(packet);
    Ostrel::ModuleData* block = next();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 2u * 128 + 32 + 24);
    const Record r = read_record(block, 128);
    EXPECT_EQ(r.marker, 0xCAFE);
    EXPECT_EQ(r.record_type, 0x2000);
    EXPECT_EQ(r.mod_id, 21);
    EXPECT_EQ(r.data_type, 0);
    EXPECT_EQ(r.size, block->size());
    EXPECT_EQ(r.temp, -36.5);
    EXPECT_GE(r.daq_time, 0.0);
    EXPECT_LT(r.daq_time, 60e6);
    EXPECT_EQ(r.time, 0x12345678u);
    EXPECT_EQ(r.evtcnt, 4711);
    EXPECT_EQ(r.nchan, 128);
    EXPECT_EQ(r.romode, RO_SERIAL);
    Words words = convert_packet(packet.data(), packet.size());
    EXPECT_EQ(r.data, Words(words.begin() + 9, words.begin() + 9 + 128));
    block->dec_ref();
}

TEST_F(DataPackets, BurstOfTwoStreamsKeepsEachStreamsOrder)
{
    // Datagrams of two streams mixed in runs of any length reach each
    // module in the order sent, whatever receive call took them.
    running(true);
    Ostrel::FenrowStream* other = stream_module("23");
    ASSERT_TRUE(other);
    std::vector<Bytes> burst;
    std::vector<std::uint16_t> sent[2];
    fenrow_sim::DataSpec spec;
    for (std::uint16_t k = 0; k < 3000; ++k) {
        const int s = (k / (1 + k % 7)) % 2;
        spec.stream = s ? 3 : 1;
        burst.push_back(fenrow_sim::make_data_packet(spec, k, k));
        sent[s].push_back(k);
    }
    ASSERT_EQ(sim->send_many(burst), burst.size());
    std::vector<std::uint16_t> got[2];
    double last_time[2] = {0, 0};
    bool time_ordered = true;
    Ostrel::FenrowStream* modules[2] = {module, other};
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            for (int s = 0; s < 2; ++s)
                while (modules[s]->hasData()) {
                    Ostrel::ModuleData* block = modules[s]->getData();
                    const Record r = read_record(block, 128);
                    got[s].push_back(r.evtcnt);
                    time_ordered = time_ordered && r.daq_time >= last_time[s];
                    last_time[s] = r.daq_time;
                    block->dec_ref();
                }
            return got[0].size() + got[1].size() >= burst.size();
        },
        10.0));
    EXPECT_EQ(got[0], sent[0]);
    EXPECT_EQ(got[1], sent[1]);
    EXPECT_TRUE(time_ordered);
    EXPECT_EQ(manager->dropped(), 0u);
}

TEST_F(DataPackets, SparseAndAdjacentRecordsCarryTheirLayout)
{
    running(true);
    fenrow_sim::DataSpec spec;
    spec.mode = RO_ADJACENT;
    spec.nadj = 0;
    send(fenrow_sim::make_data_packet(spec, 9, 0));
    Ostrel::ModuleData* block = next();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 36u + 24);
    Record r = read_record(block, 2);
    EXPECT_EQ(r.nchan, 0);
    EXPECT_EQ(r.romode, RO_ADJACENT);
    block->dec_ref();

    spec.mode = RO_SPARSE;
    spec.hits = 3;
    const Bytes sparse = fenrow_sim::make_data_packet(spec, 10, 0);
    send(sparse);
    block = next();
    ASSERT_TRUE(block);
    r = read_record(block, 2);
    const Words w = convert_packet(sparse.data(), sparse.size());
    EXPECT_EQ(r.nchan, 3);
    EXPECT_EQ(r.data, (Words{w[9], w[11]}));
    block->dec_ref();
}

TEST_F(DataPackets, BadOrUnwantedPacketsLeaveNoRecord)
{
    running(true);
    fenrow_sim::DataSpec spec;
    // Another word where the tail belongs (w137 for 128 values).
    Bytes wrong = fenrow_sim::make_data_packet(spec, 1, 0);
    wrong[2 * 137] = 0x12;
    wrong[2 * 137 + 1] = 0x34;
    send(wrong);
    EXPECT_TRUE(log.contains("Wrong data tail 1234 != acab\n"));
    // The tail one word early: the packet ends before the word it needs.
    Bytes early = fenrow_sim::make_data_packet(spec, 1, 0);
    early.erase(early.begin() + 2 * 136, early.begin() + 2 * 137);
    send(early);
    EXPECT_TRUE(log.contains("data tail at word 137 lies past the end of a packet of 137 words from 127.0.0.2"));

    spec.mode = RO_SCOPE;
    send(fenrow_sim::make_data_packet(spec, 2, 0));
    EXPECT_TRUE(log.contains("Unknown readout mode 9\n"));

    // A stream of the board without a module, and any packet while "main"
    // does not run: dropped without a word.
    log.clear();
    spec.mode = RO_SERIAL;
    spec.stream = 5;
    send(fenrow_sim::make_data_packet(spec, 3, 0));
    spec.stream = 1;
    running(false);
    send(fenrow_sim::make_data_packet(spec, 4, 0));
    EXPECT_TRUE(log.matching("process_data").empty());
    EXPECT_TRUE(log.matching("Wrong").empty());
    EXPECT_EQ(manager->dropped(DropReason::data_unwanted), 2u);
    EXPECT_FALSE(testutil::wait_until([&] { return module->hasData(); }, 0.1));
}

TEST_F(DataPackets, DatagramsTheSystemDroppedAreCountedAndSaid)
{
    // A socket buffer of a few datagrams, and no thread reading it for a
    // while: the system drops the burst's datagrams but those few, and
    // says so with the next one taken.
    running(true);
    module->Start(1);
    const int small = 4096;
    ASSERT_EQ(setsockopt(manager->fileno(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    manager->stop();
    std::vector<Bytes> burst;
    fenrow_sim::DataSpec spec;
    for (std::uint16_t k = 0; k < 2000; ++k)
        burst.push_back(fenrow_sim::make_data_packet(spec, k, k));
    ASSERT_EQ(sim->send_many(burst), burst.size());
    manager->start_thread();
    ASSERT_TRUE(testutil::wait_until([&] { return manager->losses().system > 0; }, 5.0));
    std::size_t taken = 0;
    ASSERT_TRUE(testutil::wait_until(
        [&] {
            while (module->hasData()) {
                module->getData()->dec_ref();
                ++taken;
            }
            return taken + manager->losses().system >= burst.size();
        },
        5.0));
    const std::string lost = std::to_string(manager->losses().system);
    // Every datagram of the burst is taken or counted. The board's answers
    // to the start may come late enough on a busy machine to be dropped
    // with them, and are counted too.
    EXPECT_GE(taken + manager->losses().system, burst.size());
    EXPECT_LE(taken + manager->losses().system, burst.size() + 4);
    EXPECT_GT(manager->losses().system, 1900u);
    EXPECT_TRUE(log.wait_for("DAQServer: " + lost + " datagrams lost, " + lost + " dropped by the system", 5.0));
    // And in the run's summary.
    module->Stop(1);
    EXPECT_TRUE(log.contains("DAQServer: in this run " + lost + " datagrams lost, " + lost +
                             " dropped by the system: the socket buffer of"));
}

// Lets the server thread run its idle work in full at the moment a board's
// modules have gone, before the removal goes on: a board still in the
// registry then is adopted again.
class IdleAfterRemoval : public OpenFenrow {
public:
    // The server thread calls this class's idle() until it is stopped.
    ~IdleAfterRemoval() override { stop(); }

    using Ostrel::Fenrow::add_module;

protected:
    void idle() override
    {
        OpenFenrow::idle();
        ++idles;
    }
    void remove_module(ModuleNode* board) override
    {
        OpenFenrow::remove_module(board);
        const unsigned long seen = idles.load();
        testutil::wait_until([&] { return idles.load() >= seen + 2; }, 5.0);
    }

private:
    std::atomic<unsigned long> idles{0};
};

TEST_F(BoardManager, RemovedBoardTakesItsModulesAndSectionsAlong)
{
    auto* boards = new IdleAfterRemoval;
    start(board_23, true, true, boards);
    auto sim = board("127.0.0.2");
    ASSERT_TRUE(sim);
    ModuleNode* node = wait_registered("127.0.0.2");
    ASSERT_TRUE(node);
    ASSERT_TRUE(stream_module("21"));
    // A knock answered after the board went would bring it back.
    sim->set_knock_reply(false, false, 0x010203);
    const std::uint64_t knocks = sim->count(CMD_KNOCK);
    ASSERT_TRUE(testutil::wait_until([&] { return sim->count(CMD_KNOCK) >= knocks + 2; }, 5.0));

    // While the configuration is read or saved elsewhere, the sections stay.
    std::unique_lock<std::recursive_mutex> document(scope.config->document_mutex());
    std::thread remover([&] { manager->unregister_module(node); });
    EXPECT_FALSE(testutil::wait_until([&] { return main->countModules() < 2; }, 0.5));
    EXPECT_EQ(manager->conf_modules().size(), 2u);
    document.unlock();
    remover.join();

    EXPECT_EQ(manager->get_module("127.0.0.2"), nullptr);
    EXPECT_EQ(stream_module("21"), nullptr);
    EXPECT_EQ(stream_module("23"), nullptr);
    EXPECT_EQ(scope.config->get_id_handler(21), nullptr);
    EXPECT_EQ(main->countModules(), 0);
    EXPECT_TRUE(manager->conf_modules().empty());
    // Saving no longer reaches the sections of the modules that went.
    EXPECT_TRUE(scope.saved_document_is_valid());

    // An adoption that looked the board up before it went makes nothing.
    document.lock();
    boards->add_module(node);
    document.unlock();
    EXPECT_EQ(main->countModules(), 0);
    EXPECT_TRUE(manager->conf_modules().empty());
}

// Runs of "main" with a board that sends stream 1 from its start to its
// stop, as the boards do.
class RunEdges : public BoardManager {
protected:
    void SetUp() override
    {
        start(board_23);
        sim = follower();
        ASSERT_TRUE(sim);
        ASSERT_TRUE(wait_registered("127.0.0.2"));
        module = stream_module("21");
        ASSERT_TRUE(module);
    }

    std::unique_ptr<fenrow_sim::BoardSim> follower(double rate = 2000)
    {
        auto b = board("127.0.0.2");
        if (b) {
            fenrow_sim::DataSpec spec;
            spec.nchips = 2;
            spec.count = 0;
            spec.rate = rate;
            b->follow_start_stop(spec);
        }
        return b;
    }

    // The module's events taken so far reach `n`.
    bool taken(unsigned long n, double seconds = 5.0)
    {
        return testutil::wait_until([&] { return module->get_status().n_trigger() >= n; }, seconds);
    }

    void stop_run()
    {
        ASSERT_TRUE(main->PrepareToStop(true));
        ASSERT_TRUE(testutil::wait_until(
            [&] { return main->pending() == 0 && main->get_status().get_status() == Ostrel::RunState::Ready; },
            10.0));
    }

    std::unique_ptr<fenrow_sim::BoardSim> sim;
    Ostrel::FenrowStream* module = nullptr;
};

TEST_F(RunEdges, StopWhileTheBoardSendsTakesEveryEventOrCountsIt)
{
    // The board sends on for a while after its stop came, until it has
    // carried it out: all it sent is in the run, or counted as lost for it
    // (datagrams the system dropped, events a full queue dropped) and said.
    sim.reset();
    sim = follower(20000);
    ASSERT_TRUE(sim);
    fenrow_sim::AckRule slow;
    slow.delay = 0.08;
    sim->set_ack(CMD_START_STOP, slow);
    ASSERT_TRUE(main->Activate());
    ASSERT_TRUE(taken(4000));
    ASSERT_NO_FATAL_FAILURE(stop_run());
    const unsigned long written = module->get_status().n_written();
    const unsigned long lost = main->get_status().n_lost();
    EXPECT_LE(written, sim->data_sent());
    EXPECT_GE(written + lost, sim->data_sent());
    EXPECT_EQ(log.contains(" in this run"), lost != 0);
}

TEST_F(RunEdges, ABoardSilentAtStartOrDuringTheRunGoesOnInItWhenItAnswersAgain)
{
    // Gone before the run: its commands are given up, and the run starts
    // without it, saying so.
    std::uint64_t sent = 0;
    sim.reset();
    ModuleNode* node = manager->get_module("127.0.0.2");
    ASSERT_EQ(manager->stop_daq(1, node), 0);
    ASSERT_TRUE(testutil::wait_until([&] { return manager->pending().is_silent("127.0.0.2"); }, 5.0));
    ASSERT_TRUE(main->Activate());
    ASSERT_TRUE(log.wait_for("Module 21: board 127.0.0.2 does not answer: stream 1 is not started", 5.0));

    // Back: its settings and its start.
    sim = follower();
    ASSERT_TRUE(sim);
    ASSERT_TRUE(taken(200));
    EXPECT_TRUE(log.contains("Board 127.0.0.2 answers again after"));
    EXPECT_TRUE(log.contains("Board 127.0.0.2 is back in the run: its settings and its start go to 21, 23\n"));
    EXPECT_EQ(sim->count(CMD_INIT), 2u);
    EXPECT_EQ(sim->count(CMD_CONFIG), 2u);
    EXPECT_EQ(sim->count(CMD_START_STOP), 2u);

    // Gone during the run, said once with the time it began, and back in
    // the same run.
    log.clear();
    const unsigned long before = module->get_status().n_trigger();
    sim->stop();
    sent += sim->data_sent();
    sim.reset();
    ASSERT_TRUE(log.wait_for("Board 127.0.0.2 is silent since ", 5.0));
    sim = follower();
    ASSERT_TRUE(sim);
    ASSERT_TRUE(log.wait_for("Module 21: board 127.0.0.2 goes on in the run: its event counter went from ", 5.0));
    ASSERT_TRUE(taken(before + 200));
    ASSERT_NO_FATAL_FAILURE(stop_run());
    sent += sim->data_sent();
    EXPECT_EQ(log.matching("is silent since").size(), 1u);
    EXPECT_EQ(module->get_status().n_written(), sent);

    // Started anew between runs: its settings again, for a next run that
    // may start without a GetReady.
    log.clear();
    sim->stop();
    sim.reset();
    ASSERT_TRUE(log.wait_for("Board 127.0.0.2 is silent since ", 5.0));
    sim = follower();
    ASSERT_TRUE(sim);
    ASSERT_TRUE(log.wait_for("Board 127.0.0.2 is back: its streams get their settings", 5.0));
    EXPECT_TRUE(testutil::wait_until([&] { return sim->count(CMD_CONFIG) == 2u; }, 5.0));
    EXPECT_EQ(sim->count(CMD_START_STOP), 0u);
}

TEST_F(BoardManager, MissingStreamElementIsCreatedUnderTheBoardsOwn)
{
    // The stream stands outside any board element: the board has it, but
    // its section finds no element of its own.
    start("<fenrow name=\"127.0.0.9\"/><fenrow name=\"127.0.0.2\"/>"
          "<other><stream name=\"21\" address=\"127.0.0.2\"/></other>");
    auto sim = board("127.0.0.2");
    ASSERT_TRUE(sim);
    ASSERT_TRUE(wait_registered("127.0.0.2"));
    const std::string stream = "//modules/fenrow[@name='127.0.0.2']/stream[@name='21']";
    ASSERT_EQ(scope.count(stream), 1);
    EXPECT_EQ(scope.attribute(stream, "address"), "127.0.0.2");
    EXPECT_EQ(scope.attribute(stream + "/monitor", "nbin"), "275");
    EXPECT_EQ(scope.attribute(stream + "/monitor", "min"), "0");
    EXPECT_EQ(scope.attribute(stream + "/monitor", "max"), "2200");
    EXPECT_EQ(scope.text(stream + "/monitor/weights/pedestal"), "0.001");
    EXPECT_EQ(scope.text(stream + "/monitor/weights/noise"), "0.001");
    EXPECT_EQ(scope.count("//modules/fenrow[@name='127.0.0.9']/stream"), 0);
}

} // namespace
