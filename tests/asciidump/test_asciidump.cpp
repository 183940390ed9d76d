// The text logger plug-in as the program uses it: opened by the names the
// configuration gives, its run manager "main" writing runs of known records
// as lines, and its run files complete however logging ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include <glib.h>

#include "common/AsciiDumpFixture.h"
#include "common/FileSizeLimit.h"
#include "common/LogLines.h"
#include "common/TestModule.h"
#include "common/TestUtil.h"
#include "config/PluginParser.h"
#include "daq/DAQcontroller.h"
#include "daq/DataLogger.h"
#include "daq/RunManagers.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/TellumData.h"

namespace {

// Every framework log line since the process started: the plug-in logs its
// version when it is loaded, once per process.
LogLines& process_log()
{
    static LogLines* lines = new LogLines;
    return *lines;
}
const bool log_from_start = (process_log(), true);

// GLib messages of the domain "Tellum".
struct GlibMessages {
    GlibMessages()
    {
        id = g_log_set_handler("Tellum", G_LOG_LEVEL_MASK, &GlibMessages::handle, this);
    }
    ~GlibMessages() { g_log_remove_handler("Tellum", id); }
    static void handle(const gchar*, GLogLevelFlags level, const gchar* text, gpointer self)
    {
        static_cast<GlibMessages*>(self)->seen.push_back(
            std::to_string(level & G_LOG_LEVEL_MASK) + " " + text);
    }
    guint id;
    std::vector<std::string> seen;
};

// A record in the plug-in's layout: the count word, the layout word, then
// the given words from word 13 on.
Ostrel::ModuleData* record(uint16_t mod_id, uint16_t count, uint16_t layout, const std::vector<uint16_t>& words)
{
    const size_t bytes = 26 + 2 * words.size();
    Ostrel::ModuleData* block = Ostrel::ModuleData::new_block(bytes);
    char* p = block->data();
    TellumData head(TellumData::EVENT_RECORD, mod_id, 0, static_cast<uint32_t>(bytes));
    std::memcpy(p, &head, sizeof head);
    std::memcpy(p + 22, &count, 2);
    std::memcpy(p + 24, &layout, 2);
    for (size_t i = 0; i < words.size(); ++i)
        std::memcpy(p + 26 + 2 * i, &words[i], 2);
    return block;
}

Ostrel::ModuleData* plain(uint16_t mod_id, const std::vector<uint16_t>& values)
{
    return record(mod_id, static_cast<uint16_t>(values.size()), 1, values);
}

// Hands out the blocks it is given, one per event, then has no more.
class RecordModule : public TestModule {
public:
    using TestModule::TestModule;
    ~RecordModule() override
    {
        for (Ostrel::ModuleData* b : blocks)
            b->dec_ref();
    }
    void add(Ostrel::ModuleData* block) { blocks.push_back(block); }
    bool hasData() override { return !blocks.empty(); }
    Ostrel::ModuleData* getData() override
    {
        Ostrel::ModuleData* b = blocks.front();
        blocks.pop_front();
        return b;
    }

private:
    std::deque<Ostrel::ModuleData*> blocks;
};

// A module that describes its own layout, as a board stream does.
class DescribedModule : public RecordModule {
public:
    using RecordModule::RecordModule;
    std::string get_data_format() override
    {
        return "fenrow {temp/d,daq_time/d,time/I,evtcnt/H,nchan/H,romode/H,data/2H}";
    }
};

// A board stream's serial record of two values, at the temperature and run
// time given.
Ostrel::ModuleData* board_record(uint16_t mod_id, double temp, double daq_time)
{
    const uint16_t payload[] = {7, 2, 1, 2048, 2049};   // event count, channels, mode, values
    Ostrel::ModuleData* block = TellumData::create_packet(TellumData::EVENT_RECORD, mod_id, 36);
    char* p = block->data() + sizeof(TellumData);
    std::memcpy(p, &temp, 8);
    std::memcpy(p + 8, &daq_time, 8);
    std::memcpy(p + 20, payload, sizeof payload);
    return block;
}

// Gives one record (a single value, its sequence number) every event, up to
// a limit; counts what it handed out where the test can read it after the
// module is gone.
class StreamModule : public TestModule {
public:
    StreamModule(const Ostrel::DAQid& id, std::atomic<unsigned long>& handed, unsigned long limit)
        : TestModule(id), handed(handed), limit(limit)
    {
    }
    bool hasData() override { return handed.load() < limit; }
    Ostrel::ModuleData* getData() override
    {
        const unsigned long seq = handed.load();
        Ostrel::ModuleData* b = plain(7, {static_cast<uint16_t>(seq & 0xFFFF)});
        ++handed;
        return b;
    }

private:
    std::atomic<unsigned long>& handed;
    unsigned long limit;
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream is(text);
    std::string line;
    while (std::getline(is, line))
        out.push_back(line);
    return out;
}

using AsciiDump = AsciiDumpFixture;

TEST_F(AsciiDump, IsLoadedByNameAndMakesTheMainRunManager)
{
    bool loaded = false;
    for (const std::string& line : process_log().get())
        if (line.rfind("### Loading ASCIIDump module version 0.3.2-1 (", 0) == 0 &&
            line.substr(line.size() - 2) == ")\n")
            loaded = true;
    EXPECT_TRUE(loaded);

    GlibMessages glib;
    TellumRunManager* rm = make_main();
    ASSERT_NE(nullptr, rm);
    EXPECT_NE(nullptr, dynamic_cast<DataRunManager*>(rm));
    EXPECT_EQ(rm, Ostrel::DAQmanager::theDAQmanager()->find_runmanager("main"));
    EXPECT_TRUE(process_log().has("Creating ASCIIDumpManager : main"));
    ASSERT_EQ(1u, glib.seen.size());
    EXPECT_EQ(std::to_string(G_LOG_LEVEL_WARNING) + " Creating ASCIIDumpManager", glib.seen[0]);
}

TEST_F(AsciiDump, LoggerFactoryGivesAnUncompressedTextLogger)
{
    GlibMessages glib;
    auto factory = static_cast<DataLoggerFactory>(PluginParser::load_symbol("create_ascii_logger", ASCIIDUMP_LIB));
    ASSERT_NE(nullptr, factory);
    DataLogger* logger = factory(true, 1000);
    EXPECT_FALSE(logger->get_compress());
    EXPECT_EQ(1000u, logger->get_max_size());
    EXPECT_EQ("txt", logger->get_extension());
    EXPECT_EQ(nullptr, logger->get_run_manager());
    delete logger;
    logger = factory(false, -5);
    EXPECT_EQ(0u, logger->get_max_size());
    delete logger;
    ASSERT_EQ(2u, glib.seen.size());
    EXPECT_EQ(std::to_string(G_LOG_LEVEL_WARNING) + " Creating an ASCII Logger", glib.seen[0]);
}

TEST_F(AsciiDump, RunWritesOneLinePerRecordAndDropsShortOnes)
{
    TellumRunManager* rm = make_main();
    auto* m = new RecordModule("7");
    m->add(plain(7, {7, 0, 65535}));
    m->add(plain(7, {}));
    m->add(record(7, 2, 2, {5, 1, 2}));     // a leading value, then two
    m->add(record(7, 10, 1, {4, 4, 4}));    // ten values announced, three there
    m->add(plain(7, {1, 2}));
    rm->addModule(m);
    rm->set_max_events(5);
    log_to(rm, dir + "/run");
    ASSERT_TRUE(run_to_end(rm));

    EXPECT_EQ("7 0 65535\n\n5 1 2\n1 2\n", testutil::read_file(dir + "/run.txt"));
    EXPECT_EQ(5u, rm->get_status().n_trigger());
    EXPECT_EQ(4u, rm->get_status().n_written());
}

TEST_F(AsciiDump, EventsOfAModuleWithALayoutOfItsOwnAreNotWrittenAndSaidOncePerRun)
{
    TellumRunManager* rm = make_main();
    auto* stream = new DescribedModule("21");
    auto* listed = new RecordModule("7");
    rm->addModule(stream);
    rm->addModule(listed);
    rm->set_max_events(3);
    const std::string said = "ASCIIDumpManager: events of module 21 are not in the text layout: not written\n";
    for (const std::string run : {"first", "second"}) {
        // At 0 degrees a board's record reads as a line of one value; at
        // 36.5 as thousands of values it does not hold.
        stream->add(board_record(21, 0.0, 0.0));
        stream->add(board_record(21, 36.5, 1e6));
        stream->add(board_record(21, 0.0, 2e6));
        listed->add(plain(7, {1, 2}));
        LogLines log;
        log_to(rm, dir + "/" + run);
        ASSERT_TRUE(run_to_end(rm)) << run;

        EXPECT_EQ("1 2\n", testutil::read_file(dir + "/" + run + ".txt")) << run;
        EXPECT_EQ(3u, stream->get_status().n_trigger()) << run;
        EXPECT_EQ(0u, stream->get_status().n_written()) << run;
        const std::vector<std::string> lines = log.get();
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), said)) << run;
        EXPECT_TRUE(log.has("ASCIIDumpManager: 3 events of module 21 not in the text layout, not written")) << run;
        for (const std::string& line : lines)
            EXPECT_EQ(std::string::npos, line.find("module 7 ")) << line;
    }
}

TEST_F(AsciiDump, WriteDataResults)
{
    TellumRunManager* rm = make_main();
    new RecordModule("7");
    auto write = [rm](Ostrel::ModuleData* block, const char* module = "7") {
        const int rc = rm->writeData(module, block);
        block->dec_ref();
        return rc;
    };
    // Logging off: every event is taken as done and nothing is written.
    EXPECT_EQ(1, write(plain(7, {1, 2, 3})));
    EXPECT_EQ(1, write(plain(7, {})));

    log_to(rm, dir + "/direct");
    EXPECT_EQ(0, write(plain(7, {1}), "99"));                    // no such module
    EXPECT_EQ(10, write(plain(7, {7, 0, 65535})));
    EXPECT_EQ(1, write(plain(7, {})));
    EXPECT_EQ(0, write(record(7, 4, 1, {1, 2, 3})));             // one value short
    EXPECT_EQ(0, write(record(7, 3, 9, {1, 2, 3})));             // the leading value counts too
    EXPECT_EQ(8, write(record(7, 3, 9, {1, 2, 3, 4})));
    EXPECT_EQ(0, write(Ostrel::ModuleData::new_block(25)));       // no room for the layout word
    rm->stop_logging();
    EXPECT_EQ("7 0 65535\n\n1 2 3 4\n", testutil::read_file(dir + "/direct.txt"));
}

TEST_F(AsciiDump, FailedWriteIsReportedAsFailure)
{
    TellumRunManager* rm = make_main();
    new RecordModule("7");
    log_to(rm, dir + "/full");
    ASSERT_NE(nullptr, rm->get_logger());
    auto write = [rm](uint16_t n, uint16_t value) {
        Ostrel::ModuleData* b = plain(7, std::vector<uint16_t>(n, value));
        const int rc = rm->writeData("7", b);
        b->dec_ref();
        return rc;
    };
    EXPECT_EQ(4, write(2, 1));
    ASSERT_EQ(0, rm->get_logger()->sync());
    // The file may grow no further: the next line, longer than the file's
    // buffer, reaches the file at once and fails.
    int failed = 0;
    int after = 0;
    {
        FileSizeLimit limit(4);
        failed = write(5000, 65535);
        after = write(1, 2);
    }

    EXPECT_EQ(-1, failed);
    EXPECT_EQ(0, after);   // logging ended: nothing more counts as written
    EXPECT_EQ(nullptr, rm->get_logger());
    EXPECT_TRUE(rm->logging_failed());
    EXPECT_EQ("1 1\n", testutil::read_file(dir + "/full.txt"));
    int messages = 0;
    for (const std::string& line : process_log().get())
        messages += line.find("Could not write the run file " + dir + "/full.txt: File too large") == 0;
    EXPECT_EQ(1, messages);
}

TEST_F(AsciiDump, FileIsCompleteWhenReplacedAndWhenTheManagerGoes)
{
    TellumRunManager* rm = make_main();
    new RecordModule("7");
    auto write = [rm](uint16_t v) {
        Ostrel::ModuleData* b = plain(7, {v});
        rm->writeData("7", b);
        b->dec_ref();
    };
    log_to(rm, dir + "/first");
    write(1);
    write(2);
    log_to(rm, dir + "/second");
    EXPECT_EQ("1\n2\n", testutil::read_file(dir + "/first.txt"));
    write(3);
    delete rm;
    EXPECT_EQ("3\n", testutil::read_file(dir + "/second.txt"));
}

// A run stopped, ended by a reset of the acquisition, or by deleting its
// manager leaves a file with one whole line for every event the module
// handed out.
enum class RunEnd { Stop, Reset, Delete };

class AsciiDumpStream : public AsciiDump, public ::testing::WithParamInterface<RunEnd> {};

TEST_P(AsciiDumpStream, FileIsCompleteAfterTheRunEnds)
{
    std::atomic<unsigned long> handed{0};
    TellumRunManager* rm = make_main();
    rm->addModule(new StreamModule("7", handed, 200000));
    log_to(rm, dir + "/stream");
    rm->Activate();
    ASSERT_TRUE(testutil::wait_until([rm] { return rm->get_status().n_written() >= 500; }, 30.0));
    switch (GetParam()) {
    case RunEnd::Stop:
        Ostrel::DAQmanager::theDAQmanager()->stopRunManager(rm);
        ASSERT_TRUE(testutil::wait_until([rm] { return !rm->isActive(); }, 30.0));
        EXPECT_EQ(handed.load(), rm->get_status().n_written());
        break;
    case RunEnd::Reset:
        DAQcontroller::instance()->reset_daq();
        EXPECT_EQ(nullptr, Ostrel::DAQmanager::theDAQmanager()->find_runmanager("main"));
        break;
    case RunEnd::Delete:
        delete rm;
        break;
    }

    const std::string text = testutil::read_file(dir + "/stream.txt");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(handed.load(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        ASSERT_EQ(std::to_string(i & 0xFFFF), lines[i]) << "line " << i;
}

std::string run_end_name(const ::testing::TestParamInfo<RunEnd>& info)
{
    switch (info.param) {
    case RunEnd::Stop: return "Stop";
    case RunEnd::Reset: return "Reset";
    case RunEnd::Delete: break;
    }
    return "Delete";
}

INSTANTIATE_TEST_SUITE_P(EndedBy, AsciiDumpStream,
                         ::testing::Values(RunEnd::Stop, RunEnd::Reset, RunEnd::Delete), run_end_name);

} // namespace
