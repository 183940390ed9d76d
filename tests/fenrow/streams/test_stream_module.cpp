// The stream module against a simulated board on loopback: every parameter's
// command packet, the GetReady sequence, pedestal runs, scan points and text
// commands; and its event queue, data format and configuration record.
#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <hdf5.h>

#include "FenrowNet.h"
#include "StreamOnBoard.h"
#include "StreamRecords.h"
#include "common/TestUtil.h"
#include "daq/RunManagers.h"
#include "daq/Scan.h"
#include "fenrow/streams/FenrowAnalysis.h"
#include "fenrow/streams/FenrowStream.h"

using namespace fenrow_test;
using Ostrel::FenrowModuleData;
using Ostrel::FenrowStream;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes command(std::uint8_t code, std::uint16_t w2, std::uint16_t w3)
{
    return Bytes{0xCA, 0xFE, 0x00, code, static_cast<std::uint8_t>(w2 >> 8), static_cast<std::uint8_t>(w2),
                 static_cast<std::uint8_t>(w3 >> 8), static_cast<std::uint8_t>(w3), 0xAC, 0xAB};
}

Bytes start_stop(int stream, bool start)
{
    return Bytes{0xCA, 0xFE, static_cast<std::uint8_t>(stream), 0x0A, 0xFF, 0x00, 0x00,
                 static_cast<std::uint8_t>(start ? 1 : 0), 0xAC, 0xAB};
}

// Readout-mode command of stream 3: w2 = stream, mode and the flag bits.
Bytes ro(int mode, int nadj, bool hold, bool vout, bool polarity)
{
    std::uint16_t w2 = static_cast<std::uint16_t>(0x0300 | mode);
    if (hold)
        w2 |= RO_HOLD_BIT;
    if (!vout)
        w2 |= RO_NO_VOUT_BIT;
    if (polarity)
        w2 |= RO_POLARITY_BIT;
    return command(CMD_RO_MODE, w2, static_cast<std::uint16_t>(nadj));
}

Bytes bias(int selector, int value, int stream = 3)
{
    return command(CMD_BIAS, static_cast<std::uint16_t>(stream << 8 | selector), static_cast<std::uint16_t>(value));
}

std::string chips_as_text(const TAmanager& ta)
{
    std::ostringstream os;
    ta.save(os);
    return os.str();
}

// A scan point of single values.
ScanPoint point(std::initializer_list<std::pair<ScanType, double>> values)
{
    ScanPoint p("p");
    for (const auto& v : values)
        p.add_var(ScanVar(v.first, v.second, v.second, 1, v.second));
    return p;
}

// A board with streams 1 and 3 (slots 0 and 2) of two chips; the module
// reads stream 3, the second of the node's list.
class StreamModule : public ::testing::Test, protected StreamOnBoard {
protected:
    void SetUp() override { open(TAmanager::gp7); }

    void open(int chip_type)
    {
        open_stream(chip_type);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(node->nstreams(), 2);
    }

    void TearDown() override { close_stream(); }

    // The commands the board receives for what op does, in order.
    std::vector<Bytes> commands(const std::function<void()>& op)
    {
        sim->clear_received();
        op();
        EXPECT_EQ(boards->wait_for_command_completion(5000), 0);
        std::vector<Bytes> out;
        for (const fenrow_sim::Datagram& d : sim->received())
            if (d.code() != CMD_KNOCK)
                out.push_back(d.bytes);
        return out;
    }
    // The one command op sends.
    Bytes one(const std::function<void()>& op)
    {
        std::vector<Bytes> all = commands(op);
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Bytes() : all.front();
    }

    void scan(std::initializer_list<std::pair<ScanType, double>> values)
    {
        ScanPoint p = point(values);
        module->set_scan_point(p);
        EXPECT_EQ(boards->wait_for_command_completion(5000), 0);
    }

    template <class T>
    std::function<void()> set(const char* name, T value)
    {
        return [this, name, value] { module->set_par<T>(name, value); };
    }
};

} // namespace

TEST_F(StreamModule, NewModuleTakesItsStream)
{
    DataStream* s = node->stream(1);
    EXPECT_EQ(module->get_stream(), s);
    EXPECT_EQ(s->get_module(), module.get());
    EXPECT_EQ(module->get_par_value<int>("nadj"), 15);   // the stream record's
    EXPECT_EQ(module->get_par_value<int>("ro_mode"), 4);
    EXPECT_EQ(module->get_par("ta")->get_as_string(), ".oOo.");
    auto* ana = dynamic_cast<FenrowAnalysis*>(module->get_analysis());
    ASSERT_TRUE(ana);
    EXPECT_FALSE(dynamic_cast<HDRanalysis*>(ana));
    EXPECT_EQ(ana->Ntot(), 256);
    EXPECT_EQ(s->nchan(), 256);
    EXPECT_EQ(module->get_par_value<std::vector<double>>("pedestal"), std::vector<double>(256, 2048.0));
    EXPECT_EQ(module->get_par_value<std::vector<double>>("noise"), std::vector<double>(256, 2.5));
    EXPECT_EQ(ana->get_n_pre(), 0);

    // The firmware the board reports reaches the analysis.
    node->set_firmware(0x55AA11);
    EXPECT_EQ(ana->get_firmware(), 0x55AA11u);
    EXPECT_EQ(testutil::capture_stdout([&] { module->print_pedestals(); }).substr(0, 19), "Pedestals[23]\n2048 ");

    // A module that goes unlinks itself from the stream record.
    module.reset();
    EXPECT_EQ(s->get_module(), nullptr);
    node->set_firmware(1);
}

TEST_F(StreamModule, EveryParameterSendsItsCommand)
{
    EXPECT_EQ(one(set("threshold", 300)), bias(2, 300));
    EXPECT_EQ(one(set("vfp", 611)), bias(3, 611));
    EXPECT_EQ(one(set("vthrh", 1501)), bias(4, 1501));
    EXPECT_EQ(one(set("vfsf", 126)), bias(5, 126));
    EXPECT_EQ(one(set("vfss", 151)), bias(6, 151));
    EXPECT_EQ(one(set("test_pulse", 51)), bias(7, 51));
    EXPECT_EQ(one(set("test_point", 52)), bias(8, 52));
    EXPECT_EQ(one(set("hold_delay", 151)), command(CMD_HOLD_DELAY, 0x0300, 151));
    EXPECT_EQ(one(set("ctw", 21)), command(CMD_CTW, 0x0300, 21));
    EXPECT_EQ(one(set("threshold", 0x12345)), bias(2, 0x2345));   // the low 16 bits

    // The trigger takes part in coincidences only in global mode.
    EXPECT_EQ(one(set("trg_type", 2)), command(CMD_TRIGGER, 0x0302, 0));
    module->set_par("coincidence", true, false);
    EXPECT_EQ(one(set("trg_type", 2)), command(CMD_TRIGGER, 0x0302, 1));
    module->in_local();
    EXPECT_EQ(one(set("trg_type", 4)), command(CMD_TRIGGER, 0x0304, 0));

    // Readout mode from the stream record, whose polarity is 1 until the
    // parameter is set; "hold" only changes the record.
    EXPECT_EQ(one(set("ro_mode", 2)), ro(2, 15, false, false, true));
    EXPECT_EQ(one(set("nadj", 3)), ro(2, 3, false, false, true));
    EXPECT_EQ(one(set("Vout", true)), ro(2, 3, false, true, true));
    EXPECT_EQ(one(set("polarity", 0)), ro(2, 3, false, true, false));
    EXPECT_TRUE(commands(set("hold", true)).empty());
    EXPECT_EQ(one(set("ro_mode", 4)), ro(4, 3, true, true, false));

    EXPECT_EQ(one([&] { module->set_mbias(2, 1000); }), command(CMD_MAIN_BIAS, 0x0303, 1000));
    EXPECT_EQ(module->get_par_value<std::vector<int>>("mbias"), (std::vector<int>{1460, 1460, 1000, 1460}));
    EXPECT_TRUE(commands([&] { module->set_mbias(4, 1); }).empty());
}

TEST_F(StreamModule, AdjacentChannelsTheCommandCannotCarryAreRefused)
{
    // As a client's text is refused: to the setter and in the log, nothing
    // sent, the count kept. The largest count goes as it is.
    EXPECT_TRUE(commands([&] {
                    for (const char* text : {"-1", "65536", "2147483647"})
                        EXPECT_THROW(module->get_par("nadj")->set_from_string(text, true), Ostrel::ParameterRefused)
                            << text;
                }).empty());
    EXPECT_TRUE(log.contains("Module 23: -1 adjacent channels refused; the readout-mode command carries 0 to 65535"));
    EXPECT_EQ(module->get_par_value<int>("nadj"), 15);
    EXPECT_EQ(one(set("nadj", 65535)), ro(4, 65535, false, false, true));
    // A count set without its check stays off the board as well.
    module->set_par("nadj", -1, false);
    EXPECT_TRUE(commands(set("ro_mode", 2)).empty());
}

TEST_F(StreamModule, ChipCountAndChipSet)
{
    // The chip set, analysis, pedestal lists and stream record follow the
    // count, and the stream is initialised again.
    module->set_par<std::vector<double>>("pedestal", std::vector<double>(256, 1000.0), false);
    EXPECT_EQ(one(set("nchip", 3)), command(CMD_INIT, 0x0310, 0x0300));
    EXPECT_EQ(module->chips().Nchip(), 3);
    EXPECT_EQ(module->get_analysis()->Ntot(), 384);
    EXPECT_EQ(node->stream(1)->nchip(), 3u);
    const auto ped = module->get_par_value<std::vector<double>>("pedestal");
    ASSERT_EQ(ped.size(), 384u);
    EXPECT_EQ(ped[255], 1000.0);
    EXPECT_EQ(ped[256], 2048.0);

    // Counts a stream cannot hold are refused, to the setter and in the log.
    EXPECT_TRUE(commands([&] {
                    for (int n : {0, -1, TAmanager::max_chips + 1, 65535, INT_MAX})
                        EXPECT_THROW(module->set_par<int>("nchip", n), Ostrel::ParameterRefused) << n;
                }).empty());
    EXPECT_TRUE(log.contains("Module 23: 0 chips refused; a stream holds 1 to 255"));
    EXPECT_EQ(module->get_par_value<int>("nchip"), 3);

    const Bytes packet = one(set("ta", TAmanager(TAmanager::gp7, 1)));
    ASSERT_EQ(packet.size(), 2u * (58 + 4));
    EXPECT_EQ(packet[3], CMD_CONFIG);
    EXPECT_EQ(packet[4], 3);
    EXPECT_EQ(node->stream(1)->nchip(), 1u);
}

TEST_F(StreamModule, GetReadySendsEverySettingInOrder)
{
    int v = 300;
    for (const char* name : {"threshold", "vthrh", "vfp", "vfsf", "vfss", "test_pulse", "test_point", "hold_delay", "ctw"})
        module->set_par(name, ++v, false);
    module->set_par("ro_mode", 2, false);
    module->set_par("nadj", 5, false);
    module->set_par("trg_type", 3, false);
    module->set_par("hold", true, false);
    module->set_par("Vout", true, false);
    module->set_par<std::vector<int>>("mbias", {10, 11, 12, 13}, false);

    const std::vector<Bytes> got = commands([&] { EXPECT_EQ(module->GetReady(), 0); });
    EXPECT_TRUE(log.contains("\t+-> Module.GetReady      [23]\n"));
    ASSERT_EQ(got.size(), 19u);
    const Bytes mode = ro(2, 5, true, true, true);
    const std::vector<Bytes> before_config = {mode, mode, mode};   // Vout, ro_mode, nadj
    EXPECT_EQ(std::vector<Bytes>(got.begin(), got.begin() + 3), before_config);
    EXPECT_EQ(got[3].size(), 2u * (2 * 58 + 4));
    EXPECT_EQ(got[3][3], CMD_CONFIG);
    const std::vector<Bytes> rest = {
        command(CMD_INIT, 0x0310, 0x0200), command(CMD_MAIN_BIAS, 0x0301, 10), command(CMD_MAIN_BIAS, 0x0302, 11),
        command(CMD_MAIN_BIAS, 0x0303, 12), command(CMD_MAIN_BIAS, 0x0304, 13), command(CMD_HOLD_DELAY, 0x0300, 308),
        bias(2, 301), bias(4, 302), bias(3, 303), bias(5, 304), bias(6, 305), bias(7, 306), bias(8, 307),
        command(CMD_TRIGGER, 0x0303, 0), command(CMD_CTW, 0x0300, 309)};
    EXPECT_EQ(std::vector<Bytes>(got.begin() + 4, got.end()), rest);

    // In scope mode the adjacent channels are not sent again.
    module->set_par("ro_mode", 9, false);
    const std::vector<Bytes> scope = commands([&] { module->load_config_values(); });
    EXPECT_EQ(scope.size(), 18u);
    EXPECT_EQ(std::count(scope.begin(), scope.end(), ro(9, 5, true, true, true)), 2);
}

TEST_F(StreamModule, RunControlAndPedestalRuns)
{
    module->set_run_type(RunType::Data);
    EXPECT_EQ(commands([&] { module->PrepareForRun(); }),
              (std::vector<Bytes>{command(CMD_TRIGGER, 0x0301, 0), command(CMD_CTW, 0x0300, 20)}));
    EXPECT_EQ(one([&] { module->Start(1); }), start_stop(3, true));
    EXPECT_EQ(one([&] { module->Pause(); }), start_stop(3, false));
    EXPECT_EQ(one([&] { module->Continue(); }), start_stop(3, true));
    EXPECT_EQ(commands([&] { module->Stop(1); }),
              (std::vector<Bytes>{start_stop(3, false), command(CMD_TRIGGER, 0x0301, 0)}));
    EXPECT_FALSE(log.contains("Forcing parameters"));
    EXPECT_TRUE(log.contains("\t+-> Module.Stop          [23]\n"));

    // A pedestal run forces the internal trigger, serial readout and flat
    // pedestals, also over a short pedestal list; Stop puts the settings
    // back and ends with the trigger without coincidence.
    module->set_par("trg_type", 2, false);
    module->set_par("coincidence", true, false);
    module->set_par<std::vector<double>>("pedestal", {1.0, 2.0, 3.0}, false);
    module->set_run_type(RunType::Pedestal);
    EXPECT_EQ(commands([&] { module->PrepareForRun(); }),
              (std::vector<Bytes>{command(CMD_TRIGGER, 0x0302, 1), command(CMD_CTW, 0x0300, 20),
                                  command(CMD_TRIGGER, 0x0303, 1), ro(1, 15, false, false, true)}));
    EXPECT_TRUE(log.contains("Forcing parameters for a Pedestal run\n"));
    EXPECT_EQ(module->get_par_value<int>("trg_type"), 3);
    EXPECT_EQ(module->get_par_value<int>("ro_mode"), 1);
    EXPECT_EQ(module->get_par_value<std::vector<double>>("pedestal"), std::vector<double>(256, 2048.0));
    EXPECT_EQ(module->get_par_value<std::vector<double>>("noise"), std::vector<double>(256, 1.0));

    EXPECT_EQ(commands([&] { module->Stop(2); }),
              (std::vector<Bytes>{start_stop(3, false), command(CMD_TRIGGER, 0x0302, 1),
                                  ro(4, 15, false, false, true), command(CMD_TRIGGER, 0x0302, 0)}));
    EXPECT_TRUE(log.contains("Restoring trigger type and RO mode to original value\n"));
    EXPECT_EQ(module->get_par_value<int>("trg_type"), 2);
    EXPECT_EQ(module->get_par_value<int>("ro_mode"), 4);
}

TEST_F(StreamModule, ScanPointsChangeTheChipsInScanRunsOnly)
{
    module->set_run_type(RunType::Data);
    EXPECT_TRUE(commands([&] { scan({{ScanVar::trim, 7.9}}); }).empty());
    EXPECT_EQ(module->chips().chip(0)->trim(0), 0);

    // Without a channel variable channel 0 is trimmed; a channel outside
    // the stream is not selected.
    module->set_run_type(RunType::Scan);
    std::vector<Bytes> got = commands([&] { scan({{ScanVar::trim, 7.9}}); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][3], CMD_CONFIG);
    EXPECT_EQ(module->chips().chip(0)->trim(0), 7);
    scan({{ScanVar::channel, 130}, {ScanVar::trim, 3}});
    scan({{ScanVar::channel, 256}, {ScanVar::trim, 5}});
    EXPECT_EQ(module->chips().chip(1)->trim(2), 5);

    // The threshold goes to the board; the parameter keeps its value.
    got = commands([&] { scan({{ScanVar::threshold, 333}}); });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], bias(2, 333));
    EXPECT_EQ(module->get_par_value<int>("threshold"), 50);

    scan({{ScanVar::thrs_trim, 9}, {ScanVar::cal_dac, 6}});
    for (int i = 0; i < 2; ++i) {
        const TAchip* c = module->chips().chip(i);
        EXPECT_EQ(c->thrs_dac(), 9);
        EXPECT_TRUE(c->calib_ctrl() && c->calib_gen());
        EXPECT_EQ(c->calib_dac(), 6);
    }
    scan({{ScanVar::pulse, 0}});
    EXPECT_FALSE(module->chips().chip(1)->calib_ctrl() || module->chips().chip(1)->calib_gen());
}

TEST_F(StreamModule, TextCommandsChangeOnlyTheChipSet)
{
    module->chips().chip(0)->mask(12, true);
    EXPECT_TRUE(commands(set<std::string>("command", "setMask|0-3,7=1:12=0")).empty());
    for (int ch : {0, 1, 2, 3, 7})
        EXPECT_TRUE(module->chips().chip(0)->mask(ch)) << ch;
    EXPECT_FALSE(module->chips().chip(0)->mask(4));
    EXPECT_FALSE(module->chips().chip(0)->mask(12));

    // Options apply in the order given; channels past the chip set, huge
    // ranges and malformed lists are skipped.
    module->set_par<std::string>("command", "setTrim|130=5:128-131=2:131=9");
    EXPECT_EQ(module->chips().chip(1)->trim(2), 2);
    EXPECT_EQ(module->chips().chip(1)->trim(3), 9);
    module->set_par<std::string>("command", "setMask|250-99999999=1:x=1:,,=1");
    EXPECT_TRUE(module->chips().chip(1)->mask(127));
    EXPECT_FALSE(module->chips().chip(1)->mask(121));

    // The preamplifier DACs are only on high-dynamic-range chips.
    const std::string before = chips_as_text(module->chips());
    module->set_par<std::string>("command", "preampDAC|5=100");
    module->set_par<std::string>("command", "unknown|5=1");
    EXPECT_EQ(chips_as_text(module->chips()), before);

    std::vector<int> list = {9};
    EXPECT_EQ(Ostrel::channel_list(" 7 , 3-1,3,a,-2,3-,,1-2-3,0x10", list), 5);
    EXPECT_EQ(list, (std::vector<int>{1, 2, 3, 7, 9}));
}

TEST_F(StreamModule, EventQueueIsBoundedAndStampsEvents)
{
    // Never waits long, even when asked without data.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(module->getData(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));

    module->set_run_type(RunType::Data);
    commands([&] { module->Start(1); });
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(module->push_data(packet_record(RO_SPARSE, 1, {static_cast<std::uint16_t>(k), 0, 7}).release()));
    for (std::uint32_t k = 1; k <= 3; ++k) {
        ASSERT_TRUE(module->hasData());
        Block b(module->getData());
        ASSERT_TRUE(b);
        EXPECT_EQ(record(b)->event_counter, k);
        EXPECT_EQ(b->ref_count(), 1);
    }
    EXPECT_FALSE(module->hasData());

    // Past the bound events are dropped, counted and reported at the end of
    // the run.
    std::size_t refused = 0;
    for (std::size_t k = 0; k < FenrowStream::queue_capacity + 5; ++k)
        refused += module->push_data(empty_record(32, RO_SERIAL, 0).release()) ? 0 : 1;
    EXPECT_EQ(refused, 5u);
    EXPECT_EQ(module->n_dropped(), 5u);
    commands([&] { module->Stop(1); });
    EXPECT_TRUE(log.contains("Module 23: 5 events dropped in this run"));
}

TEST_F(StreamModule, DataFormatRowsAndConfigurationRecord)
{
    module->set_par("nadj", 3, false);
    const std::string head = "fenrow {temp/d,daq_time/d,time/I,evtcnt/H,nchan/H,romode/H,";
    EXPECT_EQ(module->get_data_format(), head + "chan/H,data/7H}");
    module->set_par("ro_mode", 2, false);
    EXPECT_EQ(module->get_data_format(), head + "chan/H,data/H}");
    module->set_par("ro_mode", 9, false);
    EXPECT_EQ(module->get_data_format(), "");
    module->set_par("ro_mode", 1, false);
    EXPECT_EQ(module->get_data_format(), head + "data/256H}");

    std::vector<std::uint16_t> values(256);
    for (std::size_t j = 0; j < values.size(); ++j)
        values[j] = static_cast<std::uint16_t>(j * 3);
    Block b = packet_record(RO_SERIAL, 256, values);
    const int row = FENROW_PAYLOAD_HEAD + 2 * 256;
    char* rows = nullptr;
    EXPECT_EQ(module->interpret_data_format(b->data(), static_cast<int>(b->size()), &rows), 1);
    ASSERT_TRUE(rows);
    EXPECT_EQ(std::memcmp(rows, record(b)->data, row), 0);
    delete[] rows;

    // A block shorter than its header says: only what was given is read,
    // and the row is filled up with zeros.
    const int given = static_cast<int>(sizeof(TellumData)) + FENROW_PAYLOAD_HEAD + 10;
    std::vector<char> cut(b->data(), b->data() + given);
    EXPECT_EQ(module->interpret_data_format(cut.data(), given, &rows), 1);
    ASSERT_TRUE(rows);
    EXPECT_EQ(std::memcmp(rows, record(b)->data, FENROW_PAYLOAD_HEAD + 10), 0);
    EXPECT_TRUE(std::all_of(rows + FENROW_PAYLOAD_HEAD + 10, rows + row, [](char c) { return c == 0; }));
    delete[] rows;
    EXPECT_EQ(module->interpret_data_format(cut.data(), 15, &rows), 0);
    EXPECT_EQ(rows, nullptr);

    node->set_firmware(0x0A0B0C);
    int size = 0;
    std::unique_ptr<unsigned int[]> words(module->write_config(size));
    const std::vector<unsigned int> expected = {0x0B0C, 0x0A, 50, 1, 3, 150, 20, 1, 4, 1460, 1460, 1460, 1460};
    EXPECT_EQ(std::vector<unsigned int>(words.get(), words.get() + size), expected);
}

TEST_F(StreamModule, HighDynamicRangeStreams)
{
    close_stream();
    open(TAmanager::hdr);
    EXPECT_EQ(module->get_par_value<int>("ro_mode"), 1);
    auto* ana = dynamic_cast<HDRanalysis*>(module->get_analysis());
    ASSERT_TRUE(ana);
    EXPECT_EQ(ana->Ntot(), 128);
    EXPECT_EQ(module->get_par_value<std::vector<double>>("pedestal").size(), 128u);

    EXPECT_EQ(one(set("vfp", 700)), bias(5, 700, 4));

    module->set_par<std::string>("command", "preampDAC|5,70=100");
    EXPECT_EQ(module->chips().chip(0)->preampDAC(5), 100);
    EXPECT_EQ(module->chips().chip(1)->preampDAC(6), 100);

    // GetReady takes the polarity of chip 0.
    module->chips().chip(0)->Polarity(true);
    const std::vector<Bytes> got = commands([&] { module->GetReady(); });
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(module->get_par_value<int>("polarity"), 1);
    EXPECT_EQ(got[1], ro(1, 15, false, false, true));
}

// The rows of a module's data table in an HDF5 run file, as stored.
std::vector<std::vector<char>> stored_rows(const std::string& file, const std::string& table)
{
    std::vector<std::vector<char>> rows;
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = f >= 0 ? H5Dopen2(f, table.c_str(), H5P_DEFAULT) : -1;
    if (d >= 0) {
        const hid_t type = H5Dget_type(d);
        const hid_t space = H5Dget_space(d);
        const std::size_t row = H5Tget_size(type);
        const auto n = static_cast<std::size_t>(H5Sget_simple_extent_npoints(space));
        std::vector<char> all(n * row);
        if (n && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) >= 0)
            for (std::size_t r = 0; r < n; ++r)
                rows.emplace_back(all.begin() + static_cast<long>(r * row), all.begin() + static_cast<long>((r + 1) * row));
        H5Sclose(space);
        H5Tclose(type);
        H5Dclose(d);
    }
    if (f >= 0)
        H5Fclose(f);
    return rows;
}

TEST_F(StreamModule, ARunFileKeepsTheRowLayoutItWasOpenedWith)
{
    module->set_par("ro_mode", static_cast<int>(RO_SERIAL));
    module->set_par("nchip", 7);
    const int words = 7 * 128;
    const std::string dir = testutil::make_temp_dir("layout");
    Block a, b;
    {
        DataRunManager rm("layout");
        rm.addModule(module.get());
        // The run goes to the next free name, which the reasons give.
        testutil::write_file(dir + "/run.h5", "not ours");
        rm.set_par<std::string>("command", "logData|file=" + dir + "/run:max_size=0");
        ASSERT_TRUE(rm.get_logger());

        // Whatever would change the rows is refused while the file is open,
        // and the module keeps what the file holds; the rest is taken.
        const auto refused = [&](const std::function<void()>& change) {
            try {
                change();
            } catch (const Ostrel::ParameterRefused& e) {
                return e.reason();
            }
            return std::string();
        };
        const std::string why = refused(set("nchip", 1));
        EXPECT_EQ(why, "the run file " + dir + "/run-1.h5 is open with the present layout of the rows; the chip count "
                  "can change once it is closed");
        EXPECT_TRUE(log.contains("Module 23: " + why));
        EXPECT_NE(refused(set("ro_mode", static_cast<int>(RO_ADJACENT))), "");
        EXPECT_NE(refused(set("ta", TAmanager(TAmanager::gp7, 1))), "");
        EXPECT_EQ(module->get_par_value<int>("nchip"), 7);
        EXPECT_EQ(module->get_par_value<int>("ro_mode"), RO_SERIAL);
        EXPECT_EQ(module->chips().Nchip(), 7);
        EXPECT_EQ(module->get_analysis()->Ntot(), words);
        EXPECT_EQ(refused(set("nadj", 3)), "");
        EXPECT_EQ(refused(set("nchip", 7)), "");
        EXPECT_EQ(module->layout_refusal(RO_SERIAL, 5, TAmanager(TAmanager::gp7, 7)), "");
        EXPECT_NE(module->layout_refusal(RO_SPARSE, 5, TAmanager(TAmanager::gp7, 7)), "");

        // A record of the file's layout, then a short one after a change
        // made without notice: the file reads nothing past the record and
        // fills the row up with zeros.
        std::vector<std::uint16_t> full(words), part(128);
        for (int i = 0; i < words; ++i)
            full[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(i);
        for (int i = 0; i < 128; ++i)
            part[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(3 * i + 1);
        a = packet_record(RO_SERIAL, static_cast<std::uint16_t>(words), full, 36.5, 23);
        b = packet_record(RO_SERIAL, 128, part, 36.5, 23);
        EXPECT_GT(rm.writeData(module->get_id(), a.get()), 0);
        module->set_par("ro_mode", static_cast<int>(RO_SPARSE), false);
        EXPECT_GT(rm.writeData(module->get_id(), b.get()), 0);
        module->set_par("ro_mode", static_cast<int>(RO_SERIAL), false);
        rm.stop_logging();

        // Closed, the file binds nothing.
        EXPECT_EQ(refused(set("nchip", 1)), "");
        rm.deleteModule(module.get());
    }
    const std::vector<std::vector<char>> rows = stored_rows(dir + "/run-1.h5", "/modules/23/data/fenrow");
    ASSERT_EQ(rows.size(), 2u);
    const std::size_t row = FENROW_PAYLOAD_HEAD + 2u * words;
    ASSERT_EQ(rows[0].size(), row);
    EXPECT_EQ(std::memcmp(rows[0].data(), record(a)->data, row), 0);
    const std::size_t given = FENROW_PAYLOAD_HEAD + 2u * 128;
    EXPECT_EQ(std::memcmp(rows[1].data(), record(b)->data, given), 0);
    EXPECT_TRUE(std::all_of(rows[1].begin() + static_cast<long>(given), rows[1].end(), [](char c) { return c == 0; }));
}

// Clients set the stream's settings on threads of their own while the run
// thread gets ready and opens run files, as SOAP clients and run control do,
// and the board is configured anew. ThreadSanitizer watches the settings and
// the stream record; and what a client set stays set: a GetReady re-sends
// it, never an older value.
TEST_F(StreamModule, SettingsSetOnThreadsOfTheirOwnWhileGettingReadyAndOpeningRunFiles)
{
    const std::string dir = testutil::make_temp_dir("settings");
    DataRunManager rm("settings");
    rm.addModule(module.get());
    std::atomic<int> lost{0};
    std::atomic<bool> stop{false};
    const auto client = [&](std::vector<std::string> names, std::vector<std::string> values) {
        std::vector<std::string> last(names.size());
        for (int round = 0; !stop; ++round) {
            // Paced by the board, so that its queue drains and GetReady ends.
            boards->wait_for_command_completion(1000);
            for (std::size_t i = 0; i < names.size(); ++i) {
                Ostrel::Parameter* p = module->get_par(names[i]);
                if (!last[i].empty() && p->get_as_string() != last[i])
                    ++lost;
                try {
                    p->set_from_string(values[(round + i) % values.size()]);
                } catch (const Ostrel::ParameterRefused&) {
                    // The adjacent channels, while a file holds the rows.
                }
                last[i] = p->get_as_string();
            }
        }
    };
    std::thread a(client, std::vector<std::string>{"polarity", "Vout", "threshold", "hold_delay"},
                  std::vector<std::string>{"0", "1"});
    std::thread b(client, std::vector<std::string>{"nadj", "hold", "coincidence", "trg_type", "mbias"},
                  std::vector<std::string>{"1", "2 2 2 2"});
    std::thread c(client, std::vector<std::string>{"nchip"}, std::vector<std::string>{"1", "2"});
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(module->GetReady(), 0);
        EXPECT_EQ(boards->config_module("127.0.0.2"), 0);
        rm.set_par<std::string>("command", "logData|file=" + dir + "/run" + std::to_string(i) + ":max_size=0");
        EXPECT_TRUE(rm.get_logger());
        rm.stop_logging();
    }
    stop = true;
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(boards->wait_for_command_completion(10000), 0);
    rm.deleteModule(module.get());
}
