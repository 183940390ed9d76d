// The data loggers: native binary run files decoded back record by record,
// and HDF5 run files read back with h5py (check_run_file.py).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <hdf5.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/FileSizeLimit.h"
#include "common/LogLines.h"
#include "common/TestUtil.h"
#include "daq/HDFDataLogger.h"
#include "daq/HDFFileDriver.h"
#include "daq/RunManagers.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumLogger.h"
#include "daq/TellumRunManager.h"
#include "data/Analysis.h"
#include "ostrel/TellumData.h"

#include "RowModule.h"

#if defined(__SANITIZE_THREAD__)
// The killed runs fork the test, which has threads by then, and the child's
// run file starts worker threads of its own.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}
#endif

namespace {

using Descriptor = Ostrel::FileIOManager::FileIODescriptor;
using Words = std::vector<uint32_t>;

const std::time_t new_year_2024 = 1704067200;   // 2024-01-01 00:00:00 UTC

class TestRunManager : public TellumRunManager {
public:
    using TellumRunManager::TellumRunManager;
    void set_event(unsigned long n) { set_event_number(n); }
    void set_type(RunType t) { run_type = t; }
};

// A logger on a clock the test sets.
template <class Logger>
class Clocked : public Logger {
public:
    using Logger::Logger;
    double t = 0;
    std::time_t now = new_year_2024;

protected:
    double run_time() const override { return t; }
    std::time_t wall_time() const override { return now; }
};

Analysis* analysis(int nchan, int nx = 0, int ny = 0)
{
    auto* a = new Analysis(1, nchan, 10, 0.0, 10.0);
    if (nx > 0) {
        PadMap map(nx, ny, nchan);
        map.set_default();
        a->set_map(map);
    }
    return a;
}

void set_pedestals(Analysis* a, double ped, double noise)
{
    for (int i = 0; i < a->Ntot(); ++i) {
        hst_histogram_set_bin_content(a->get_ped(), i, ped + i);
        hst_histogram_set_bin_content(a->get_noise(), i, noise + i);
    }
}

// The stream descriptors a run manager hands its logger.
std::vector<Descriptor> register_streams(DataLogger& logger, const std::vector<RowModule*>& modules)
{
    std::vector<Descriptor> d(modules.size());
    for (size_t i = 0; i < modules.size(); ++i) {
        d[i].set_module_id(modules[i]->get_id());
        d[i].set_format(modules[i]->get_data_format());
    }
    logger.register_data_stream(static_cast<int>(d.size()), d.data());
    return d;
}

// Writes the module's event under its descriptor; the event's bytes.
std::string log_event(DataLogger& logger, const Descriptor& d, const RowModule& m, uint32_t event)
{
    Ostrel::ModuleData* block = m.make_event(event);
    const std::string bytes(block->data(), block->size());
    logger.write(d, block->data(), block->size());
    block->dec_ref();
    return bytes;
}

uint32_t header_word(GenModule& m)
{
    unsigned int w = 0;
    m.set_header_description(w);
    return w;
}

// ---- native binary run file ----------------------------------------------------

// One record of a native run file: a side record's words (kind 1 to 8), or
// an event record's bytes (kind 0).
struct Record {
    int kind;
    Words words;
    std::string bytes;
};

// Walks the file record by record, as a reader of the format does.
std::vector<Record> read_native(const std::string& path)
{
    const std::string s = testutil::read_file(path);
    std::vector<Record> out;
    size_t pos = 0;
    while (pos + 4 <= s.size()) {
        uint32_t w;
        std::memcpy(&w, s.data() + pos, 4);
        if (w >> 16 == 0xCAFE) {
            const size_t len = w & 0xFFF;
            if (len < 2 || pos + 4 * len > s.size()) {
                ADD_FAILURE() << "record of " << len << " words at byte " << pos << " of " << s.size();
                return out;
            }
            Record r{static_cast<int>(w >> 12 & 0xF), Words(len), {}};
            std::memcpy(r.words.data(), s.data() + pos, 4 * len);
            EXPECT_EQ(len, r.words.back()) << "trailer of the record at byte " << pos;
            out.push_back(r);
            pos += 4 * len;
        } else if ((w & 0xFFFF) == 0xCAFE && pos + 16 <= s.size()) {
            uint32_t size;
            std::memcpy(&size, s.data() + pos + 12, 4);
            if (size < 16 || pos + size > s.size()) {
                ADD_FAILURE() << "event of " << size << " bytes at byte " << pos;
                return out;
            }
            out.push_back({0, {}, s.substr(pos, size)});
            pos += size;
        } else {
            ADD_FAILURE() << "no record starts at byte " << pos;
            return out;
        }
    }
    EXPECT_EQ(s.size(), pos) << "bytes after the last record";
    return out;
}

std::vector<int> kinds(const std::vector<Record>& records)
{
    std::vector<int> k;
    for (const Record& r : records)
        k.push_back(r.kind);
    return k;
}

uint32_t float_word(float f)
{
    uint32_t w;
    std::memcpy(&w, &f, 4);
    return w;
}

TEST(NativeRunFile, RunWithoutModulesIsHeaderAndTail)
{
    TestRunManager rm("native-empty");
    rm.set_run_number(42);
    const std::string path = testutil::make_temp_dir("native") + "/run.data";
    Clocked<TellumLogger> logger(&rm, false, 0);
    EXPECT_EQ("data", logger.get_extension());
    ASSERT_EQ(0, logger.open(path.c_str()));
    EXPECT_EQ(0, logger.close());

    const auto records = read_native(path);
    ASSERT_EQ(2u, records.size());
    const uint32_t t = static_cast<uint32_t>(new_year_2024);
    EXPECT_EQ((Words{0xCAFE1005u, t, 42, 0, 5}), records[0].words);
    EXPECT_EQ((Words{0xCAFE3004u, t, 42, 4}), records[1].words);
}

TEST(NativeRunFile, SideRecordsAndEventsReadBack)
{
    TestRunManager rm("native-run");
    rm.set_run_number(7);
    RowModule a("7", 4, analysis(4, 2, 2));   // a 2 x 2 map of 4 channels
    RowModule b("8", 4);                      // no analysis
    RowModule c("9", 4, analysis(5, 3, 2));   // an odd channel count
    for (unsigned int w = 100; w < 110; ++w)
        a.config.push_back(w);
    for (RowModule* m : {&a, &b, &c})
        rm.addModule(m);

    const std::string path = testutil::make_temp_dir("native") + "/run.data";
    Clocked<TellumLogger> logger(&rm, false, 0);
    const auto d = register_streams(logger, {&a, &b, &c});
    ASSERT_EQ(0, logger.open(path.c_str()));
    std::vector<std::string> events;
    events.push_back(log_event(logger, d[0], a, 1));
    events.push_back(log_event(logger, d[1], b, 1));
    logger.writePedestals();   // as a data run does periodically
    events.push_back(log_event(logger, d[2], c, 2));
    logger.close();

    const auto r = read_native(path);
    ASSERT_EQ((std::vector<int>{1, 4, 4, 4, 6, 6, 8, 0, 0, 4, 4, 4, 0, 3}), kinds(r));
    const uint32_t t = static_cast<uint32_t>(new_year_2024);
    EXPECT_EQ((Words{0xCAFE1008u, t, 7, 3, header_word(a), header_word(b), header_word(c), 8}), r[0].words);
    EXPECT_EQ(1u << 20 | 0x10 | 7, header_word(a));
    EXPECT_EQ((Words{0xCAFE4008u, 7, 1 << 16 | 4, 0, 0, 0, 0, 8}), r[1].words);
    EXPECT_EQ((Words{0xCAFE4004u, 8, 0, 4}), r[2].words);
    EXPECT_EQ(9u, r[3].words.size());
    // Pads of the default maps: channel i at (i mod nx, i / nx).
    EXPECT_EQ((Words{0xCAFE6006u, 7, 2 << 16 | 2, 0x00000100, 0x00010101, 6}), r[4].words);
    // The last pair has no second channel: (255, 255). The header gives the
    // length written, so the reader stays in step.
    EXPECT_EQ((Words{0xCAFE6007u, 9, 3 << 16 | 2, 0x00000100, 0x02000001, 0x0101FFFF, 7}), r[5].words);
    Words config{0xCAFE800Du, 7};
    config.insert(config.end(), a.config.begin(), a.config.end());
    config.push_back(13);
    EXPECT_EQ(config, r[6].words);
    EXPECT_EQ(events[0], r[7].bytes);
    EXPECT_EQ(events[1], r[8].bytes);
    EXPECT_EQ(events[2], r[12].bytes);
    EXPECT_EQ((Words{0xCAFE3004u, t, 7, 4}), r[13].words);
}

TEST(NativeRunFile, NewFileAfterTheSizeLimitStartsWithTheHeader)
{
    TestRunManager rm("native-roll");
    RowModule a("7", 128, analysis(4, 2, 2));
    a.config = {1, 2, 3};
    rm.addModule(&a);
    const std::string dir = testutil::make_temp_dir("native");
    Clocked<TellumLogger> logger(&rm, false, 1500);
    const auto d = register_streams(logger, {&a});
    ASSERT_EQ(0, logger.open((dir + "/run.data").c_str()));
    std::vector<std::string> events;
    for (uint32_t e = 0; e < 12; ++e) {
        events.push_back(log_event(logger, d[0], a, e));
        if (e == 6)
            logger.writePedestals();
    }
    logger.close();

    std::vector<std::string> read_events;
    int files = 0;
    for (;; ++files) {
        char name[32];
        std::snprintf(name, sizeof name, files ? "/run_%03d.data" : "/run.data", files);
        if (access((dir + name).c_str(), F_OK) != 0)
            break;
        const auto r = read_native(dir + name);
        ASSERT_GE(r.size(), 5u);
        const std::vector<int> k = kinds(r);
        EXPECT_EQ((std::vector<int>{1, 4, 6, 8}), std::vector<int>(k.begin(), k.begin() + 4)) << name;
        EXPECT_EQ(3, r.back().kind) << name;
        for (const Record& rec : r) {
            if (rec.kind == 0)
                read_events.push_back(rec.bytes);
        }
    }
    EXPECT_GE(files, 3);
    EXPECT_EQ(events, read_events);
}

TEST(NativeRunFile, ScanDefinitionAndPoints)
{
    ScanRunManager scan("native-scan");
    scan.set_scan_list(100, {ScanVar(ScanVar::pulse, 2.5, 0.5, 0.25, 0), ScanVar(ScanVar::channel, 0, 127, 1, 0)});
    ScanRunManager single("native-scan-1");
    single.set_scan_list(10, {ScanVar(ScanVar::pulse, 1.25, 1.25, 1, 0)});

    const std::string dir = testutil::make_temp_dir("native");
    Clocked<TellumLogger> logger(&scan, false, 0);
    ASSERT_EQ(0, logger.open((dir + "/scan.data").c_str()));
    logger.writeScanPoint();
    logger.set_run_manager(&single);
    logger.writeScanPoint();
    logger.close();

    const auto r = read_native(dir + "/scan.data");
    ASSERT_EQ((std::vector<int>{1, 7, 5, 5, 3}), kinds(r));
    EXPECT_EQ((Words{0xCAFE700Au, 2, 100, 0x80000000u | 1 << 16 | 9, float_word(0.5f), float_word(2.5f), 128, 0, 127,
                     10}),
              r[1].words);
    EXPECT_EQ((Words{0xCAFE5005u, 100 << 8 | 2, 1u << 28 | 50, 0, 5}), r[2].words);
    EXPECT_EQ((Words{0xCAFE5004u, 10 << 8 | 1, 1u << 28 | 125, 4}), r[3].words);
}

// ---- HDF5 run file -------------------------------------------------------------

template <class T>
std::string list(const std::vector<T>& v)
{
    std::ostringstream os;
    os.precision(17);
    os << '[';
    for (size_t i = 0; i < v.size(); ++i)
        os << (i ? "," : "") << v[i];
    return os.str() + ']';
}

// Compares the file with the expectation (JSON) through h5py.
int check_with_h5py(const std::string& file, const std::string& expect)
{
    const std::string json = file + ".json";
    testutil::write_file(json, expect);
    const std::string cmd = std::string(BRISKO_PYTHON) + " " + BRISKO_SOURCE_DIR "/tests/daq/check_run_file.py " + file +
                            " " + json;
    return std::system(cmd.c_str());
}

bool h5dump_reads(const std::string& file)
{
    return std::system(("h5dump " + file + " > /dev/null 2>&1").c_str()) == 0;
}

// What the error line of a failed write counts: the events in no file, of
// those logged. False without the line.
bool failure_counts(LogLines& log, unsigned long& lost, unsigned long& logged)
{
    const std::string said = "; the run is no longer written: ";
    for (const std::string& line : log.get()) {
        const size_t at = line.find(said);
        if (line.rfind("Could not write the run file ", 0) == 0 && at != std::string::npos)
            return std::sscanf(line.c_str() + at + said.size(), "%lu of the %lu events logged so far are in no file",
                               &lost, &logged) == 2;
    }
    return false;
}

// The expectation for a module's data rows: events first .. last, event e
// at run time t0 + dt * e (times not checked when t0 is not a number).
std::string data_rows(const RowModule& m, uint32_t first, uint32_t last, double t0, double dt,
                      const char* extra = "")
{
    std::vector<uint32_t> events;
    std::vector<double> times;
    for (uint32_t e = first; e <= last; ++e) {
        events.push_back(e);
        times.push_back(t0 + dt * e);
    }
    return std::string("{\"nadc\":") + std::to_string(m.nadc) + ",\"rows_per_event\":" +
           std::to_string(m.rows_per_event) + ",\"given_row\":" + std::to_string(m.given_row) +
           ",\"split\":" + (m.split ? "true" : "false") + ",\"events\":" + list(events) +
           (std::isnan(t0) ? "" : ",\"times\":" + list(times)) + extra + "}";
}

std::vector<double> ramp(int n, double from)
{
    std::vector<double> v;
    for (int i = 0; i < n; ++i)
        v.push_back(from + i);
    return v;
}

TEST(HDFRunFile, WholeRunReadsBackInH5py)
{
    TestRunManager rm("hdf-run");
    rm.set_run_number(17);
    rm.set_type(RunType::Data);
    RowModule a("7", 4, analysis(4, 2, 2));   // compound rows, two per event
    a.rows_per_event = 2;
    a.config = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109};
    RowModule b("8", 4);                      // no analysis
    b.config = {7, 8, 9};
    RowModule c("9", 3, analysis(5, 3, 2));   // split rows, handed 4 bytes short
    c.split = true;
    c.given_row = RowModule::row_bytes(3) - 4;
    RowModule d("10", 2, analysis(2));        // rows handed 6 bytes too long
    d.given_row = RowModule::row_bytes(2) + 6;
    RowModule e("11", 2, analysis(1));        // no data format
    e.format_override = true;
    std::vector<RowModule*> mods{&a, &b, &c, &d, &e};
    for (RowModule* m : mods) {
        rm.addModule(m);
        if (m->get_analysis())
            set_pedestals(m->get_analysis(), 100, 1);
    }

    const std::string path = testutil::make_temp_dir("hdf") + "/run.h5";
    {
        Clocked<HDFDataLogger> logger(&rm, false, 0);
        EXPECT_EQ("h5", logger.get_extension());
        const auto ds = register_streams(logger, mods);
        rm.get_status().add_trigger(3);
        ASSERT_EQ(0, logger.open(path.c_str()));
        const uint32_t n = 20;
        for (uint32_t ev = 1; ev <= n; ++ev) {
            rm.set_event(ev);
            logger.t = 0.5 * ev;
            for (size_t i = 0; i < mods.size(); ++i)
                log_event(logger, ds[i], *mods[i], ev);
            if (ev == 10)
                logger.flush_data();   // the rows wait in memory again afterwards
            if (ev == 4) {
                for (RowModule* m : {&a, &c, &d, &e})
                    set_pedestals(m->get_analysis(), 200, 2);
                logger.writePedestals();
            }
        }
        EXPECT_EQ(2UL * n, logger.get_resized_rows());
        logger.t = 11;
        EXPECT_EQ(0, logger.close());
        // Every object of the file was let go.
        EXPECT_EQ(0, H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL));
    }
    EXPECT_TRUE(h5dump_reads(path));

    auto pedestals = [](int nchan) {
        return ",\"ped_times\":[0,2,11],\"pedestal\":[" + list(ramp(nchan, 100)) + "," + list(ramp(nchan, 200)) + "," +
               list(ramp(nchan, 200)) + "],\"noise\":[" + list(ramp(nchan, 1)) + "," + list(ramp(nchan, 2)) + "," +
               list(ramp(nchan, 2)) + "]";
    };
    const std::string expect =
        "{\"run\":{\"run_type\":1,\"run_number\":17,\"nevts_open\":3,\"nevts_close\":20,\"time\":[0,0,0,1,0,124]},"
        "\"header_modules\":" +
        list(Words{header_word(a), header_word(b), header_word(c), header_word(d), header_word(e)}) +
        ",\"module_list\":[\"7\",\"8\",\"9\",\"10\",\"11\"],\"scan\":null,\"modules\":{"
        "\"7\":{\"members\":[\"configuration\",\"data\",\"maps\",\"pedestal\"],\"config\":" +
        list(a.config) + pedestals(4) + ",\"maps\":" + list(Words{2 << 16 | 2, 0x00000100, 0x00010101}) +
        ",\"data\":" + data_rows(a, 1, 20, 0, 0.5) +
        "},"
        "\"8\":{\"members\":[\"configuration\"],\"config\":[7,8,9]},"
        "\"9\":{\"config\":[]" +
        pedestals(5) + ",\"maps\":" + list(Words{3 << 16 | 2, 0x00000100, 0x02000001, 0x0101FFFF}) +
        ",\"data\":" + data_rows(c, 1, 20, 0, 0.5) +
        "},"
        "\"10\":{\"members\":[\"configuration\",\"data\",\"maps\",\"pedestal\"]" +
        pedestals(2) + ",\"data\":" + data_rows(d, 1, 20, 0, 0.5) +
        "},"
        "\"11\":{\"members\":[\"configuration\",\"maps\",\"pedestal\"]" +
        pedestals(1) + ",\"data\":null}}}";
    EXPECT_EQ(0, check_with_h5py(path, expect));
}

TEST(HDFRunFile, RowCountsAroundChunkEndsReadBackInOrder)
{
    // Streams that end before, at and after the end of a 256-row chunk, and
    // after many, their events interleaved; flushes in the middle of chunks
    // that later fill up.
    TestRunManager rm("hdf-chunks");
    const std::vector<uint32_t> counts{0, 1, 255, 256, 257, 4097, 1500};
    std::vector<std::unique_ptr<RowModule>> owned;
    std::vector<RowModule*> mods;
    for (size_t i = 0; i < counts.size(); ++i) {
        owned.push_back(std::make_unique<RowModule>(std::to_string(20 + i), 8, analysis(2)));
        mods.push_back(owned.back().get());
        rm.addModule(mods.back());
    }
    mods.back()->split = true;   // 4500 rows, three an event
    mods.back()->rows_per_event = 3;

    const std::string path = testutil::make_temp_dir("hdf") + "/chunks.h5";
    {
        Clocked<HDFDataLogger> logger(&rm, false, 0);
        const auto ds = register_streams(logger, mods);
        ASSERT_EQ(0, logger.open(path.c_str()));
        for (uint32_t ev = 1; ev <= 4097; ++ev) {
            rm.set_event(ev);
            logger.t = 0.25 * ev;
            for (size_t i = 0; i < mods.size(); ++i) {
                if (ev <= counts[i])
                    log_event(logger, ds[i], *mods[i], ev);
            }
            if (ev == 100 || ev == 300 || ev == 301)
                logger.flush_data();
        }
        EXPECT_EQ(0, logger.close());
    }
    EXPECT_TRUE(h5dump_reads(path));
    std::string modules;
    for (size_t i = 0; i < mods.size(); ++i)
        modules += (i ? ",\"" : "\"") + std::to_string(20 + i) + "\":{\"data\":" +
                   data_rows(*mods[i], 1, counts[i], 0, 0.25, ",\"deflate\":true") + "}";
    EXPECT_EQ(0, check_with_h5py(path, "{\"modules\":{" + modules + "}}"));
}

TEST(HDFRunFile, BlocksWithoutDescriptorGoToTheModuleTheyName)
{
    // The internal-trigger run writes whole blocks with no stream descriptor.
    TestRunManager rm("hdf-plain");
    RowModule a("0x21", 4, analysis(4));
    rm.addModule(&a);
    const std::string path = testutil::make_temp_dir("hdf") + "/plain.h5";
    {
        Clocked<HDFDataLogger> logger(&rm, false, 0);
        register_streams(logger, {&a});
        ASSERT_EQ(0, logger.open(path.c_str()));
        RowModule stranger("99", 4);
        for (uint32_t e = 1; e <= 3; ++e) {
            logger.t = e;
            for (Ostrel::ModuleData* b : {a.make_event(e), stranger.make_event(e)}) {
                EXPECT_EQ(0L, logger.write(b->data(), b->size()));
                b->dec_ref();
            }
        }
        Ostrel::ModuleData* b = a.make_event(4);
        TellumData::from(b)->header = 0xBEEF;   // not an event record
        logger.write(b->data(), b->size());
        b->dec_ref();
        logger.close();
    }
    EXPECT_EQ(0, check_with_h5py(path, "{\"modules\":{\"0x21\":{\"data\":" + data_rows(a, 1, 3, 0, 1) + "}}}"));
}

// A module that hands the run loop `remaining` events as fast as it asks.
class FeedModule : public RowModule {
public:
    using RowModule::RowModule;
    bool hasData() override { return remaining > 0; }
    Ostrel::ModuleData* getData() override
    {
        --remaining;
        return make_event(++made);
    }
    std::atomic<uint32_t> remaining{0};
    uint32_t made = 0;
};

// A run of n events of the module (its only one) into the run file `stem`,
// through the framework's run loop; false when it did not end in time.
bool run_into_file(DataRunManager& rm, RowModule& m, uint32_t n, const std::string& stem)
{
    rm.addModule(&m);
    rm.set_max_events(n);
    rm.log_data(stem.c_str(), false, 0);
    rm.Activate();
    const bool ended = testutil::wait_until([&] { return !rm.isActive(); }, 60);
    rm.deleteModule(&m);
    return ended;
}

TEST(HDFRunFile, DataRunThroughTheFramework)
{
    DataRunManager rm("hdf-framework");
    FeedModule a("7", 16, analysis(16));
    const uint32_t n = 5000;
    a.remaining = n;
    const std::string stem = testutil::make_temp_dir("hdf") + "/run";
    ASSERT_TRUE(run_into_file(rm, a, n, stem));

    const std::string rows = data_rows(a, 1, n, NAN, 0);
    EXPECT_EQ(0, check_with_h5py(stem + ".h5", "{\"run\":{\"run_type\":1,\"nevts_open\":0,\"nevts_close\":" +
                                                   std::to_string(n) + "},\"modules\":{\"7\":{\"data\":" + rows +
                                                   "}}}"));
}

TEST(HDFRunFile, FullDiskRunCountsAsWrittenWhatTheFileHolds)
{
    // A run whose file was flushed at a pause, and whose disk is full soon
    // after it goes on: the rows flushed stay, the events after them are in
    // no file, and the run counts what is in it.
    DataRunManager rm("hdf-full-run");
    FeedModule a("7", 128, analysis(4));
    const uint32_t before = 2000;
    const uint32_t n = 60000;
    const std::string stem = testutil::make_temp_dir("full") + "/run";
    LogLines log;
    rm.addModule(&a);
    rm.set_max_events(n);
    ASSERT_TRUE(rm.log_data(stem.c_str(), false, 0));
    a.remaining = before;
    rm.Activate();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.get_status().n_trigger() == before; }, 30));
    rm.Pause();
    ASSERT_TRUE(testutil::wait_until([&] { return rm.Ostrel::RunManager::pending() == 0; }, 30));
    struct stat st{};
    ASSERT_EQ(0, stat((stem + ".h5").c_str(), &st));
    {
        FileSizeLimit limit(static_cast<rlim_t>(st.st_size) + 65536);
        a.remaining = n - before;
        rm.Continue();
        ASSERT_TRUE(testutil::wait_until([&] { return !rm.isActive(); }, 60));
    }
    rm.deleteModule(&a);

    const unsigned long written = rm.get_status().n_written();
    EXPECT_EQ(n, rm.get_status().n_trigger());
    EXPECT_GE(written, before);
    EXPECT_LT(written, n);
    unsigned long lost = 0, logged = 0;
    ASSERT_TRUE(failure_counts(log, lost, logged));
    EXPECT_EQ(written, logged - lost);
    EXPECT_EQ(0, check_with_h5py(stem + ".h5", "{\"run\":{\"nevts_close\":" + std::to_string(written) +
                                                   "},\"modules\":{\"7\":{\"data\":" +
                                                   data_rows(a, 1, static_cast<uint32_t>(written), NAN, 0) + "}}}"));
}

TEST(HDFRunFile, RunRecordCountsTheEventsItsFileHolds)
{
    // A file asked for before the run's module joined its manager is made
    // again, under its name, with the module when the run starts.
    DataRunManager rm("hdf-records");
    FeedModule a("7", 4, analysis(4));
    const std::string dir = testutil::make_temp_dir("records");
    ASSERT_TRUE(rm.log_data((dir + "/early").c_str(), false, 0));
    rm.addModule(&a);
    const uint32_t n = 1999;
    a.remaining = n;
    rm.set_max_events(n);
    rm.Activate();
    ASSERT_TRUE(testutil::wait_until([&] { return !rm.isActive(); }, 60));
    EXPECT_EQ(n, rm.get_status().n_written());
    EXPECT_EQ(0, check_with_h5py(dir + "/early.h5", "{\"run\":{\"nevts_open\":0,\"nevts_close\":1999},"
                                                    "\"header_modules\":" + list(Words{header_word(a)}) +
                                                    ",\"modules\":{\"7\":{\"data\":" +
                                                    data_rows(a, 1, n, NAN, 0) + "}}}"));
    EXPECT_NE(0, access((dir + "/early-1.h5").c_str(), F_OK));

    // Files opened with no run between them hold no event, and say so.
    for (const char* name : {"/second", "/third"})
        ASSERT_TRUE(rm.log_data((dir + name).c_str(), false, 0));
    rm.stop_logging();
    rm.deleteModule(&a);
    for (const char* name : {"/second.h5", "/third.h5"})
        EXPECT_EQ(0, check_with_h5py(dir + name, "{\"run\":{\"nevts_open\":0,\"nevts_close\":0}}")) << name;
}

// A detector at rest: each channel's pedestal near 500 with a noise of a
// few counts, an event counter and a constant temperature. The rows it
// handed out are kept packed, as h5dump -b writes them (evt, temp, adc).
class NoisyModule : public RowModule {
public:
    NoisyModule(const Ostrel::DAQid& id, int nadc, uint32_t events)
        : RowModule(id, nadc, analysis(nadc)), remaining(events)
    {
        for (int k = 0; k < nadc; ++k)
            pedestals.push_back(480.0 + (k * 37) % 41);
    }
    bool hasData() override { return remaining > 0; }
    Ostrel::ModuleData* getData() override
    {
        --remaining;
        const uint32_t evt = made++;
        const double temp = 31.25;
        Ostrel::ModuleData* block = TellumData::create_packet(
            TellumData::EVENT_RECORD, static_cast<uint16_t>(get_id().to_int()), row_bytes());
        TellumData::from(block)->event_counter = evt;
        char* row = TellumData::from(block)->data;
        std::memcpy(row, &evt, 4);
        std::memcpy(row + 8, &temp, 8);
        packed.append(row, 4).append(row + 8, 8);
        for (int k = 0; k < nadc; ++k) {
            const auto v = static_cast<uint16_t>(std::lround(pedestals[static_cast<size_t>(k)] + noise(random)));
            std::memcpy(row + head_bytes + 2 * k, &v, 2);
            packed.append(row + head_bytes + 2 * k, 2);
        }
        return block;
    }
    std::atomic<uint32_t> remaining;
    uint32_t made = 0;
    std::string packed;

private:
    std::vector<double> pedestals;
    std::mt19937 random{11};
    std::normal_distribution<double> noise{0.0, 3.0};
};

TEST(HDFRunFile, NoisyRowsReadBackInH5pyAndH5dump)
{
    // Through a run of the framework, from datasets that stay deflated at
    // level 1 with every chunk stored compressed.
    DataRunManager rm("hdf-noisy");
    const uint32_t n = 5000;
    NoisyModule a("7", 128, n);
    const std::string stem = testutil::make_temp_dir("hdf") + "/noisy";
    ASSERT_TRUE(run_into_file(rm, a, n, stem));
    ASSERT_EQ(static_cast<size_t>(n) * (12 + 2 * 128), a.packed.size());

    const std::string rows = stem + ".rows";
    testutil::write_file(rows, a.packed);
    EXPECT_EQ(0, check_with_h5py(stem + ".h5", "{\"modules\":{\"7\":{\"data\":{\"nadc\":128,\"rows_per_event\":1,"
                                                 "\"rows_file\":\"" + rows + "\",\"deflate\":true}}}}"));
    const std::string dumped = stem + ".dump";
    ASSERT_EQ(0, std::system(("h5dump -d /modules/7/data/event -b NATIVE -o " + dumped + " " + stem +
                              ".h5 > /dev/null").c_str()));
    EXPECT_TRUE(testutil::read_file(dumped) == a.packed) << "h5dump reads other values";
}

TEST(HDFRunFile, ScanPointsOfAThreePointScan)
{
    ScanRunManager scan("hdf-scan");
    scan.set_scan_list(1, {ScanVar(ScanVar::threshold, 10, 30, 10, 0), ScanVar(ScanVar::trim, 5, 5, 1, 0)});
    scan.PrepareForRun();
    scan.get_status().set_status(Ostrel::RunState::Running);

    const std::string path = testutil::make_temp_dir("hdf") + "/scan.h5";
    Clocked<HDFDataLogger> logger(&scan, false, 0);
    ASSERT_EQ(0, logger.open(path.c_str()));
    for (int k = 1; k <= 3; ++k) {
        logger.t = 10.0 * k;
        scan.Trigger();   // the next point
        logger.writeScanPoint();
        scan.EndOfEvent();   // its one event
    }
    scan.get_status().set_status(Ostrel::RunState::Stopped);
    logger.writeScanPoint();   // not while stopped
    logger.close();

    EXPECT_EQ(0, check_with_h5py(path, "{\"scan\":{\"nevt\":1,\"variables\":[[2,3,10,30],[3,1,5,5]],"
                                       "\"start\":[10,20,30],\"end\":[20,30,30],"
                                       "\"values\":[[2,10],[3,5],[2,20],[3,5],[2,30],[3,5]]}}"));
}

TEST(HDFRunFile, FileThatCannotBeCreated)
{
    TestRunManager rm("hdf-fail");
    RowModule a("7", 4, analysis(4));
    rm.addModule(&a);
    HDFDataLogger logger(&rm, false, 0);
    auto ds = register_streams(logger, {&a});
    // A second stream of the same module is refused; the first stays.
    std::vector<Descriptor> again;
    const std::string warned = testutil::capture_stdout([&] { again = register_streams(logger, {&a}); });
    EXPECT_NE(std::string::npos, warned.find("HDFDataLogger: Identifier 7 already registered. Ignoring")) << warned;
    EXPECT_EQ(-1L, again[0].get_object_id());
    EXPECT_GT(ds[0].get_object_id(), 0L);
    const std::string missing = testutil::home() + "/no/such/folder/run.h5";
    const std::string out = testutil::capture_stdout([&] {
        EXPECT_EQ(-1, logger.open(missing.c_str()));
        EXPECT_EQ(-1L, logger.write(ds[0], "", 0));
        logger.writePedestals();
        logger.writeScanPoint();
        logger.flush_data();
        EXPECT_EQ(-1, logger.close());
    });
    EXPECT_NE(std::string::npos, out.find("HDFDataLogger: Couldn't create file " + missing)) << out;
}

// The lines of the log that begin with `start`.
int lines_starting(LogLines& log, const std::string& start)
{
    int n = 0;
    for (const std::string& line : log.get())
        n += line.compare(0, start.size(), start) == 0;
    return n;
}

TEST(NativeRunFile, ExistingFilesAreNeverReplaced)
{
    TestRunManager rm("native-names");
    const std::string dir = testutil::make_temp_dir("names");
    testutil::write_file(dir + "/run.data", "keep");
    testutil::write_file(dir + "/run-1.data", "keep too");
    LogLines log;
    {
        TellumLogger logger(&rm, false, 40);
        ASSERT_EQ(0, logger.open((dir + "/run.data").c_str()));
        EXPECT_EQ(dir + "/run-2.data", logger.get_file_name());
        // Past the size limit the run goes on in a file named after its own.
        const Words event(12, 0xCAFE);
        EXPECT_EQ(48, logger.write(reinterpret_cast<const char*>(event.data()), 48));
        EXPECT_EQ(dir + "/run-2_001.data", logger.get_file_name());
    }
    EXPECT_EQ("keep", testutil::read_file(dir + "/run.data"));
    EXPECT_EQ("keep too", testutil::read_file(dir + "/run-1.data"));
    EXPECT_TRUE(log.has("The run file " + dir + "/run.data exists already: this run goes to " + dir + "/run-2.data"));
}

// The system's cache keeps no more of a run file than its first stretch and
// the last ones being written out: a long run would otherwise fill memory
// with pages nobody reads, and its next writes would need new ones.
TEST(HDFRunFile, WrittenStretchesLeaveTheSystemCache)
{
    const std::string dir = testutil::make_temp_dir("cache");
    const std::string path = dir + "/run.h5";
    struct statfs fs{};
    ASSERT_EQ(0, statfs(dir.c_str(), &fs));
    if (fs.f_type == TMPFS_MAGIC)
        GTEST_SKIP() << "the temporary folder is in memory: its pages cannot leave";
    constexpr hsize_t mb = 1u << 20;
    constexpr hsize_t total = 64 * mb;
    HDFWriteState state;
    const hid_t fapl = hdf_file_access(&state);
    ASSERT_GE(fapl, 0);
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    ASSERT_GE(file, 0);
    // Grown a chunk at a time, as a run's datasets are.
    const hsize_t none = 0;
    const hsize_t unlimited = H5S_UNLIMITED;
    const hid_t space = H5Screate_simple(1, &none, &unlimited);
    const hid_t layout = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(layout, 1, &mb);
    const hid_t data = H5Dcreate2(file, "bytes", H5T_NATIVE_UINT8, space, H5P_DEFAULT, layout, H5P_DEFAULT);
    H5Pclose(layout);
    H5Sclose(space);
    ASSERT_GE(data, 0);
    std::vector<unsigned char> piece(mb);
    std::mt19937 noise(7);
    // The test writes far faster than a disk takes it: the writes are made
    // to reach the disk every few MB, as they would at a run's pace.
    const int disk = open(path.c_str(), O_RDONLY);
    ASSERT_GE(disk, 0);
    for (hsize_t at = 0; at < total; at += mb) {
        for (unsigned char& b : piece)
            b = static_cast<unsigned char>(noise());
        const hsize_t extent = at + mb;
        ASSERT_GE(H5Dset_extent(data, &extent), 0);
        const hid_t slab = H5Dget_space(data);
        H5Sselect_hyperslab(slab, H5S_SELECT_SET, &at, nullptr, &mb, nullptr);
        const hid_t memory = H5Screate_simple(1, &mb, nullptr);
        ASSERT_GE(H5Dwrite(data, H5T_NATIVE_UINT8, memory, slab, H5P_DEFAULT, piece.data()), 0);
        H5Sclose(memory);
        H5Sclose(slab);
        if ((at / mb) % 4 == 3) {
            H5Fflush(file, H5F_SCOPE_LOCAL);
            fdatasync(disk);
        }
    }
    H5Dclose(data);
    ASSERT_GE(H5Fclose(file), 0);
    H5Pclose(fapl);
    EXPECT_FALSE(state.failed()) << state.reason();

    struct stat st{};
    ASSERT_EQ(0, fstat(disk, &st));
    ASSERT_GE(static_cast<hsize_t>(st.st_size), total);
    void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, disk, 0);
    ASSERT_NE(MAP_FAILED, map);
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> in_cache(static_cast<size_t>((st.st_size + page - 1) / page));
    ASSERT_EQ(0, mincore(map, static_cast<size_t>(st.st_size), in_cache.data()));
    // Between the first stretch and the last three.
    const size_t from = 8 * mb / page;
    const size_t to = 40 * mb / page;
    size_t cached = 0;
    for (size_t i = from; i < to; ++i)
        cached += in_cache[i] & 1;
    EXPECT_LT(cached, (to - from) / 10) << cached << " of " << to - from << " pages still in the cache";
    munmap(map, static_cast<size_t>(st.st_size));
    close(disk);

    // And the file reads back whole.
    const hid_t again = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(again, 0);
    const hid_t back = H5Dopen2(again, "bytes", H5P_DEFAULT);
    std::vector<unsigned char> all(total);
    ASSERT_GE(H5Dread(back, H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()), 0);
    // The same bytes as written, the stretches that left the cache too.
    noise.seed(7);
    size_t wrong = 0;
    for (unsigned char b : all)
        wrong += b != static_cast<unsigned char>(noise());
    EXPECT_EQ(0u, wrong);
    H5Dclose(back);
    H5Fclose(again);
}

// The library's writes reach the file after its calls return: whatever it
// reads, and the file at close, must still hold the last bytes written to
// each place, through overwrites, writes that follow each other, far ones,
// ones larger than the driver's blocks and one that it makes at once.
TEST(HDFRunFile, DriverReadsAndKeepsTheLastWriteOfEveryByte)
{
    const std::string path = testutil::make_temp_dir("driver") + "/bytes";
    HDFWriteState state;
    const hid_t fapl = hdf_file_access(&state);
    ASSERT_GE(fapl, 0);
    constexpr size_t span = 24u << 20;
    H5FD_t* file = H5FDopen(path.c_str(), H5F_ACC_RDWR | H5F_ACC_CREAT | H5F_ACC_TRUNC, fapl, HADDR_MAX);
    ASSERT_NE(nullptr, file);
    ASSERT_GE(H5FDset_eoa(file, H5FD_MEM_DRAW, span), 0);
    std::vector<unsigned char> model(span, 0), piece(span), back(span), whole(span);
    std::mt19937 random(3);
    for (unsigned char& b : whole)
        b = static_cast<unsigned char>(random());
    haddr_t next = 0;
    size_t end = 0;
    for (int i = 0; i < 400; ++i) {
        // Mostly runs of writes, as chunks are appended; now and then a
        // rewrite of a header, or a piece larger than a block.
        size_t size = i % 97 == 5 ? (1u << 20) + 1000 + random() % 5000 : 1 + random() % 40000;
        if (i == 320)   // over every write before it
            size = span;
        haddr_t at = random() % 5 || size == span ? next : random() % (span - size);
        if (at + size > span)
            at = 0;
        // Made beforehand, so that the writes before it still wait.
        if (i == 320)
            piece.swap(whole);
        else
            for (size_t k = 0; k < size; ++k)
                piece[k] = static_cast<unsigned char>(random());
        ASSERT_GE(H5FDwrite(file, H5FD_MEM_DRAW, H5P_DEFAULT, at, size, piece.data()), 0);
        std::memcpy(model.data() + at, piece.data(), size);
        next = at + size;
        end = std::max(end, static_cast<size_t>(next));
        if (i % 50 == 49) {
            const haddr_t from = random() % end;
            const size_t n = std::min<size_t>(end - from, 300000);
            ASSERT_GE(H5FDread(file, H5FD_MEM_DRAW, H5P_DEFAULT, from, n, back.data()), 0);
            ASSERT_EQ(0, std::memcmp(model.data() + from, back.data(), n)) << "read at " << from << " after write " << i;
        }
    }
    ASSERT_GE(H5FDclose(file), 0);
    H5Pclose(fapl);
    EXPECT_FALSE(state.failed()) << state.reason();
    const std::string in_file = testutil::read_file(path);
    ASSERT_EQ(end, in_file.size());
    EXPECT_EQ(0, std::memcmp(model.data(), in_file.data(), end));
}

TEST(HDFRunFile, FailedWriteKeepsTheLastFlushAndClosesCleanly)
{
    TestRunManager rm("hdf-full");
    RowModule a("7", 128, analysis(4));
    rm.addModule(&a);
    const std::string path = testutil::make_temp_dir("full") + "/run.h5";
    LogLines log;
    std::string reports;
    {
        Clocked<HDFDataLogger> logger(&rm, false, 0);
        const Descriptor d = register_streams(logger, {&a})[0];
        ASSERT_EQ(0, logger.open(path.c_str()));
        uint32_t e = 1;
        for (; e <= 1000; ++e) {
            rm.set_event(e);
            log_event(logger, d, a, e);
        }
        ASSERT_EQ(0, logger.sync());
        struct stat st{};
        ASSERT_EQ(0, stat(path.c_str(), &st));
        reports = testutil::capture_stderr([&] {
            FileSizeLimit limit(static_cast<rlim_t>(st.st_size) + 4096);
            long written = 0;
            // The file refuses a chunk only once a compressing thread has
            // finished it, and a loaded machine may keep those threads
            // waiting: events go on until then.
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            for (; written >= 0 && std::chrono::steady_clock::now() < give_up; ++e) {
                rm.set_event(e);
                Ostrel::ModuleData* block = a.make_event(e);
                written = logger.write(d, block->data(), block->size());
                block->dec_ref();
            }
            EXPECT_EQ(-1, written);
            EXPECT_TRUE(logger.failed());
            EXPECT_EQ(-1, logger.sync());
            EXPECT_EQ(-1, logger.close());
        });
        // Nothing of the file is left half released in the library.
        EXPECT_EQ(0, H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL));
    }
    EXPECT_EQ("", reports);
    EXPECT_EQ(1, lines_starting(log, "Could not write the run file " + path + ": File too large;"));
    EXPECT_EQ(0, lines_starting(log, "Could not close"));
    EXPECT_EQ(0, check_with_h5py(path, "{\"run\":{\"nevts_close\":1000},\"modules\":{\"7\":{\"data\":" +
                                           data_rows(a, 1, 1000, 0, 0) + "}}}"));
}

TEST(NativeRunFile, FullDiskCountsTheEventsThatReachedTheFile)
{
    // The file may grow by a stretch that ends inside an event record, while
    // the library's buffer holds more events: the whole records before the
    // end stay, and are the events counted as kept.
    TestRunManager rm("native-full");
    RowModule a("7", 100, analysis(4));
    rm.addModule(&a);
    const std::string path = testutil::make_temp_dir("full") + "/run.data";
    LogLines log;
    TellumLogger logger(&rm, false, 0);
    const Descriptor d = register_streams(logger, {&a})[0];
    ASSERT_EQ(0, logger.open(path.c_str()));
    uint32_t e = 1;
    for (; e <= 100; ++e) {
        rm.set_event(e);
        log_event(logger, d, a, e);
    }
    ASSERT_EQ(0, logger.sync());
    struct stat st{};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    {
        FileSizeLimit limit(static_cast<rlim_t>(st.st_size) + 10000);
        for (long written = 0; written >= 0; ++e) {
            rm.set_event(e);
            Ostrel::ModuleData* block = a.make_event(e);
            written = logger.write(d, block->data(), block->size());
            block->dec_ref();
        }
        logger.close();
    }
    unsigned long in_file = 0;
    for (const Record& r : read_native(path))
        in_file += r.kind == 0;
    unsigned long lost = 0, logged = 0;
    ASSERT_TRUE(failure_counts(log, lost, logged));
    EXPECT_EQ(e - 2, logged);   // all but the one refused
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(in_file, logged - lost);
    EXPECT_EQ(in_file, logger.events_kept());
}

TEST(RunFile, FileThatCannotBeWrittenIsNotLeftBehind)
{
    TestRunManager rm("no-room");
    RowModule a("7", 4, analysis(4));
    rm.addModule(&a);
    const std::string dir = testutil::make_temp_dir("no-room");
    std::unique_ptr<DataLogger> loggers[] = {std::make_unique<HDFDataLogger>(&rm, false, 0),
                                             std::make_unique<TellumLogger>(&rm, false, 0)};
    for (auto& logger : loggers) {
        register_streams(*logger, {&a});
        const std::string path = dir + "/run." + logger->get_extension();
        LogLines log;
        {
            FileSizeLimit limit(0);
            EXPECT_EQ(-1, logger->open(path.c_str()));
        }
        EXPECT_EQ("File too large", logger->get_error());
        EXPECT_NE(0, access(path.c_str(), F_OK)) << path;
        EXPECT_EQ(1, lines_starting(log, "Could not write the run file " + path + ": File too large;"));
    }
}

// A run of one module into an HDF5 file, in a child process killed while
// the file is open, as a crash would end a run.
class KilledRun {
public:
    explicit KilledRun(int nadc = 128) : a("7", nadc, analysis(4)) { rm.addModule(&a); }

    // Opens the file in the child, runs the body and kills the child.
    void run(const std::function<void()>& body)
    {
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Clocked<HDFDataLogger> child_logger(&rm, false, 0);
            logger = &child_logger;
            d = register_streams(child_logger, {&a})[0];
            child_logger.open(path.c_str());
            body();
            std::raise(SIGKILL);
            _exit(1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    }

    // Events first .. last at run time t, each under its own event number.
    void events(uint32_t first, uint32_t last, double t)
    {
        logger->t = t;
        for (uint32_t e = first; e <= last; ++e) {
            rm.set_event(e);
            log_event(*logger, d, a, e);
        }
    }

    int check(const std::string& nevts, const std::string& data) const
    {
        return check_with_h5py(path, "{\"run\":{\"nevts_close\":" + nevts + "},\"modules\":{\"7\":{\"data\":" + data +
                                         "}}}");
    }

    TestRunManager rm{"hdf-kill"};
    RowModule a;
    const std::string path = testutil::make_temp_dir("kill") + "/run.h5";
    // In the child:
    Clocked<HDFDataLogger>* logger = nullptr;
    Descriptor d;
};

TEST(HDFRunFile, FlushByRunTimeOncePerEvent)
{
    // 300.0 s after the last flush is not more than 300 s.
    KilledRun at_limit;
    at_limit.run([&] {
        at_limit.events(1, 1, 10);
        at_limit.logger->flush_data();
        at_limit.events(2, 2, 300.0);
    });
    EXPECT_EQ(0, at_limit.check("1", data_rows(at_limit.a, 1, 1, 10, 0)));

    // At 300.5 s the next event number flushes, once, before its rows: another
    // event under the same number, even much later, does not.
    KilledRun past;
    past.run([&] {
        past.events(1, 1, 10);
        past.events(2, 2, 300.5);
        past.logger->t = 700;
        log_event(*past.logger, past.d, past.a, 2);
    });
    EXPECT_TRUE(h5dump_reads(past.path));
    EXPECT_EQ(0, past.check("1", data_rows(past.a, 1, 1, 10, 0)));
}

TEST(HDFRunFile, FlushByDataSize)
{
    // Rows of 8208 bytes and their times: 6382 events make more than 50 MB,
    // and the event after them flushes. The flush waits for no chunk still
    // being compressed: the file holds the rows before the first of those,
    // as many times as rows, and its run record counts those events.
    KilledRun run(4096);
    run.run([&] { run.events(1, 6383, 0); });
    EXPECT_EQ(0, run.check("\"/modules/7/data/time\"", data_rows(run.a, 1, 6382, 0, 0, ",\"at_most\":true")));
}

TEST(HDFRunFile, KilledRunReadsUpToTheLastFlush)
{
    // Blocks of rows reach the file after the flush, and the rows of the
    // flush's last partial block are written again with more rows.
    KilledRun run;
    run.run([&] {
        run.events(1, 5000, 1);
        run.logger->flush_data();
        run.events(5001, 15000, 2);
    });
    EXPECT_TRUE(h5dump_reads(run.path));
    EXPECT_EQ(0, run.check("5000", data_rows(run.a, 1, 5000, 1, 0, ",\"at_least\":true")));
}

} // namespace
