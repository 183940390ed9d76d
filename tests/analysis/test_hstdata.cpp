// The histogram set of a module and its monitoring stream; pad maps.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/TestUtil.h"
#include "config/SectionParser.h"
#include "data/HstData.h"

namespace {

std::string name_of(void* h)
{
    gchar* n = hst_function_get_name(HST_FUNCTION(h));
    std::string s = n ? n : "";
    g_free(n);
    return s;
}

// The monitoring stream as a client walks it: five ints, then blocks of
// kind, name, x axis, [y axis,] contents.
struct Block {
    std::string kind, name;
    int nx = 0, ny = 1;
    double xmax = 0, ymax = 0;
    std::vector<double> bins;
};

std::vector<Block> read_stream(const std::string& s, std::vector<int>& head)
{
    size_t pos = 0;
    auto take = [&](void* v, size_t n) {
        if (pos + n > s.size())
            throw std::runtime_error("stream too short");
        std::memcpy(v, s.data() + pos, n);
        pos += n;
    };
    auto i32 = [&] {
        uint32_t v = 0;
        take(&v, 4);
        return static_cast<int>(ntohl(v));
    };
    auto f64 = [&] {
        double v = 0;
        take(&v, 8);
        return v;
    };
    auto str = [&] {
        std::string out(i32(), '\0');
        take(&out[0], out.size());
        return out;
    };
    head.clear();
    for (int i = 0; i < 5; ++i)
        head.push_back(i32());
    std::vector<Block> blocks;
    while (pos < s.size()) {
        Block b;
        b.kind = str();
        b.name = str();
        b.nx = i32();
        f64();
        b.xmax = f64();
        if (b.kind == "H2D ") {
            b.ny = i32();
            f64();
            b.ymax = f64();
        }
        for (int i = 0; i < b.nx * b.ny; ++i)
            b.bins.push_back(f64());
        blocks.push_back(b);
    }
    return blocks;
}

std::string stream_of(const HstData& d)
{
    std::ostringstream os;
    os << d;
    return os.str();
}

} // namespace

TEST(HstData, ShapeNamesAndDefaultMap)
{
    HstData d(2, 128, 100, 0.0, 500.0);
    EXPECT_EQ(256, d.Ntot());
    EXPECT_DOUBLE_EQ(0.2, d.get_bwidth());
    EXPECT_EQ("Spectrum", name_of(d.get_hsig(0)));
    EXPECT_EQ("Spectrum.Chip0", name_of(d.get_hsig(1)));
    EXPECT_EQ("Spectrum.Chip1", name_of(d.get_hsig(2)));
    EXPECT_EQ(nullptr, d.get_hsig(3));
    ASSERT_NE(nullptr, d.get_map());
    EXPECT_EQ(256, d.get_map()->nx());
    EXPECT_EQ(1, d.get_map()->ny());
    int x = 0, y = 0;
    d.get_map()->pad(0, x, y);
    EXPECT_EQ(PadMap::NO_PAD, x);

    const std::string bytes = stream_of(d);
    const unsigned char head[20] = {0, 0, 0, 2, 0, 0, 0, 128, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    ASSERT_GE(bytes.size(), sizeof head);
    EXPECT_EQ(0, std::memcmp(bytes.data(), head, sizeof head));
}

TEST(HstData, BinningRangeAndBadSizes)
{
    HstData d(1, 8, 10, 5.0, 1.0);
    EXPECT_EQ(1.0, d.get_range_min());
    EXPECT_EQ(5.0, d.get_range_max());
    // Later binnings are ordered too; the pedestals survive them.
    hst_histogram_set_bin_content(d.get_ped(), 5, 512.0);
    d.set_bins(20, 30.0, -10.0);
    EXPECT_EQ(-10.0, hst_function_get_xmin(HST_FUNCTION(d.get_hsig(1))));
    EXPECT_EQ(20, hst_function_get_npts(HST_FUNCTION(d.get_hsig2())));
    EXPECT_DOUBLE_EQ(0.5, d.get_bwidth());
    EXPECT_EQ(512.0, d.Ped()[5]);

    EXPECT_THROW(HstData(0, 8, 10, 0, 1), ConfigException);
    EXPECT_THROW(HstData(1, 0, 10, 0, 1), ConfigException);
    EXPECT_THROW(HstData(1000, 1000, 10, 0, 1), ConfigException);
    HstHistogram* before = d.get_hsig(0);
    EXPECT_THROW(d.set_bins(0, 0, 1), ConfigException);
    EXPECT_THROW(d.set_bins(10, 2, 2), ConfigException);
    EXPECT_THROW(d.set_bins(10, 0, NAN), ConfigException);
    EXPECT_EQ(before, d.get_hsig(0));
    EXPECT_EQ(20, d.get_nbins());
}

TEST(HstData, InitEmptiesEveryChipsSpectrum)
{
    HstData d(3, 4, 10, 0, 10);
    for (int k = 0; k <= 3; ++k)
        hst_histogram_fill(d.get_hsig(k), 5.0, 1.0);
    hst_histogram2d_fill(d.get_hsig2(), 5.0, 2.0, 1.0);
    d.SetCmmd(4.0, 2);
    d.Init();
    for (int k = 0; k <= 3; ++k)
        EXPECT_EQ(0.0, hst_histogram_entries(d.get_hsig(k))) << k;
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(d.get_hsig2(), 5, 2));
    EXPECT_EQ(0.0, d.Cmmd(2));
}

TEST(HstData, MonitoringStreamHoldsEveryHistogram)
{
    HstData d(2, 3, 4, 0.0, 8.0);
    PadMap map(3, 2);
    map.set_default();
    d.set_map(map);
    hst_histogram_set_bin_content(d.get_ped(), 2, 700.5);
    hst_histogram_fill(d.get_hsig(2), 5.0, 1.0);
    hst_histogram2d_fill(d.get_hsig2(), 5.0, 4.0, 1.0);    // cell (2, 4)
    hst_histogram2d_fill(d.get_h2dmap(), 1.0, 1.0, 3.0);   // cell (1, 1)

    std::vector<int> head;
    const std::vector<Block> blocks = read_stream(stream_of(d), head);
    EXPECT_EQ((std::vector<int>{2, 3, 6, 3, 2}), head);
    const char* names[] = {"Pedestals", "Noise", "out", "chan", "HitMap", "Spectrum",
                           "Spectrum.Chip0", "Spectrum.Chip1", "hsig2", "h2dmap"};
    ASSERT_EQ(10u, blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(i < 8 ? "H1D " : "H2D ", blocks[i].kind) << i;
        EXPECT_EQ(names[i], blocks[i].name) << i;
    }
    EXPECT_EQ(6.0, blocks[0].xmax);
    EXPECT_EQ(700.5, blocks[0].bins[2]);
    EXPECT_EQ(1.0, blocks[7].bins[2]);
    // 2D contents in the library's order: cell (ix, iy) at ix + nx·iy.
    EXPECT_EQ(6, blocks[8].ny);
    EXPECT_EQ(1.0, blocks[8].bins[2 + 4 * 4]);
    EXPECT_EQ(3.0, blocks[9].bins[1 + 3 * 1]);

    std::istringstream in("anything");
    EXPECT_EQ("*** operator>> Not implemented ***\n",
              testutil::capture_stdout([&] { in >> d; }));
}

// A run file copies the pedestals under the fill lock while a client's chip
// count resizes the set on another thread: the count it reads there is the
// one the per-channel histograms have, never the next one before they exist.
TEST(HstData, ChannelCountChangesWithItsHistogramsUnderTheFillLock)
{
    struct Resizable : HstData {
        using HstData::HstData;
        using HstData::set_channels;
    } d(1, 128, 10, 0.0, 10.0);
    std::atomic<bool> done{false};
    std::thread client([&] {
        for (int i = 0; i < 300; ++i)
            d.set_channels(i % 2 ? 4 : 1, 128);
        done = true;
    });
    int apart = 0;
    while (!done) {
        std::lock_guard<Ostrel::Mutex> lock(d.get_lock());
        if (hst_function_get_npts(HST_FUNCTION(d.get_ped())) != d.Ntot())
            ++apart;
    }
    client.join();
    EXPECT_EQ(0, apart);
}

TEST(PadMap, FileWithSkippedNegatives)
{
    const std::string dir = testutil::make_temp_dir("padmap");
    testutil::write_file(dir + "/a.map", "2 2\n3 -1 0\n1 2\n");
    PadMap m((dir + "/a.map").c_str());
    EXPECT_EQ(3, m.channel(0, 0));
    EXPECT_EQ(0, m.channel(1, 0));
    EXPECT_EQ(1, m.channel(0, 1));
    EXPECT_EQ(2, m.channel(1, 1));
    int x = 0, y = 0;
    m.pad(5, x, y);
    EXPECT_EQ(255, x);
    EXPECT_EQ(255, y);

    testutil::write_file(dir + "/b.map", "2 2 9 0 1");
    EXPECT_EQ(10, PadMap((dir + "/b.map").c_str()).ntot());
    // A file that cannot be read is an error to report, not an exit.
    const std::string out = testutil::capture_stdout(
        [&] { EXPECT_THROW(PadMap((dir + "/none.map").c_str()), ConfigException); });
    EXPECT_EQ("**** PadMap: cannot open file " + dir + "/none.map\n", out);
    testutil::write_file(dir + "/c.map", "0 2 1");
    EXPECT_THROW(PadMap((dir + "/c.map").c_str()), ConfigException);
}

TEST(PadMap, PlacingAndPrinting)
{
    EXPECT_THROW(PadMap(0, 2), ConfigException);
    EXPECT_THROW(PadMap(2, 2, 0), ConfigException);
    EXPECT_THROW(PadMap(100000, 100000), ConfigException);

    PadMap m(3, 2);
    m.set(6, 0, 0);   // no such channel
    m.set(1, 3, 0);   // x beyond the row
    m.set(1, 0, 2);   // no such row
    m.set(4, 1, 0);
    m.set(0, 2, 1);
    EXPECT_EQ(0, m.channel(3, 0));
    std::ostringstream os;
    m.print(os);
    EXPECT_EQ("   -1    4   -1\n   -1   -1    0\n", os.str());

    // A channel sits on one pad and a pad holds one channel.
    m.set(4, 0, 0);
    m.set(5, 0, 0);
    int x = 0, y = 0;
    m.pad(4, x, y);
    EXPECT_EQ(PadMap::NO_PAD, x);
    EXPECT_EQ(0, m.channel(1, 0));

    PadMap wide(2, 1, 20000);
    wide.set(12345, 0, 0);
    wide.set(19999, 1, 0);
    std::ostringstream ws;
    wide.print(ws);
    EXPECT_EQ(" 12345 19999\n", ws.str());

    PadMap few(2, 2, 10);
    few.set_default();
    EXPECT_EQ("Unconnected channels\n       4       5       6       7       8       9\n",
              testutil::capture_stdout([&] { few.print_unconnected(); }));
}
