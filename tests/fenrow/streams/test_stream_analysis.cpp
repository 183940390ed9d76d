// The stream analysis on event records of every readout mode, built from data
// packets as they come from the boards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "StreamRecords.h"
#include "config/ConfigParser.h"
#include "fenrow/streams/FenrowAnalysis.h"

using namespace fenrow_test;
using Words = std::vector<std::uint16_t>;

namespace {

double bin(HstHistogram* h, int i)
{
    return hst_histogram_get_bin_content(h, i);
}

// Without a general section the pre-sampling pedestal method holds: the
// first event of a channel becomes its pedestal.
class StreamAnalysis : public ::testing::Test {
protected:
    void SetUp() override { ConfigParser::theConfig()->clean(); }
    void TearDown() override { ConfigParser::theConfig()->clean(); }
};

} // namespace

TEST_F(StreamAnalysis, SerialRecordsFillEveryChannelAndCorrectCommonMode)
{
    FenrowAnalysis ana(2, 128, 0x10203, FenrowAnalysis::ordinary);
    Words values(200);
    for (std::size_t j = 0; j < values.size(); ++j)
        values[j] = static_cast<std::uint16_t>(1000 + j);
    Block b = packet_record(RO_SERIAL, 200, values, -36.5);
    ASSERT_TRUE(ana.data_valid(record(b)));
    ana.decode(record(b));
    EXPECT_EQ(ana.temperature(), -36.5);
    EXPECT_TRUE(ana.DoingCommonMode());
    for (int j = 0; j < 256; ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(ana.Event()[j], j < 200 ? 1000.0 + j : 0.0);
        // The decoded channels took their first value as pedestal.
        EXPECT_EQ(bin(ana.get_ped(), j), j < 200 ? 1000.0 + j : 0.0);
    }
    // The next record clears what the last one left.
    Block b2 = packet_record(RO_SERIAL, 3, {5, 6, 7}, 20.0);
    ana.decode(record(b2));
    EXPECT_EQ(ana.Event()[2], 7.0);
    EXPECT_EQ(ana.Event()[3], 0.0);
    EXPECT_EQ(ana.Event()[199], 0.0);
    EXPECT_EQ(ana.temperature(), 20.0);
}

TEST_F(StreamAnalysis, SparseRecordsGiveOneHitAndUpdateOnlyThatChannel)
{
    FenrowAnalysis ana(1, 128, 0);
    // Triplets: channel, unused, value (the record takes the first triplet).
    Block b = packet_record(RO_SPARSE, 1, {42, 0, 1500});
    ana.Fill(record(b));
    EXPECT_FALSE(ana.DoingCommonMode());
    EXPECT_EQ(ana.Event()[42], 1500.0);
    EXPECT_EQ(bin(ana.get_ped(), 42), 1500.0);
    EXPECT_EQ(bin(ana.get_ped(), 41), 0.0);
    EXPECT_EQ(bin(ana.get_hitmap(), 42), 1.0);
    EXPECT_EQ(hst_histogram_entries(ana.get_hitmap()), 1.0);
    EXPECT_EQ(hst_histogram_entries(ana.get_hsig(0)), 1.0);

    // A channel outside the stream is skipped, and is no hit.
    Block outside = packet_record(RO_SPARSE, 1, {128, 0, 1500});
    ana.Fill(record(outside));
    EXPECT_EQ(hst_histogram_entries(ana.get_hitmap()), 1.0);
}

TEST_F(StreamAnalysis, AdjacentRecordsFillTheNeighboursButNeverChannelZero)
{
    FenrowAnalysis ana(1, 128, 0);
    // Centre 2 with value 900; neighbour k: +k in t2, -k in t1.
    Block b = packet_record(RO_ADJACENT, 3, {2, 0, 900, 1, 801, 901, 2, 802, 902, 3, 803, 903});
    ana.Fill(record(b));
    const double* ev = ana.Event();
    EXPECT_EQ(ev[2], 900.0);
    EXPECT_EQ(ev[3], 901.0);
    EXPECT_EQ(ev[4], 902.0);
    EXPECT_EQ(ev[5], 903.0);
    EXPECT_EQ(ev[1], 801.0);
    EXPECT_EQ(ev[0], 0.0);
    EXPECT_EQ(ev[6], 0.0);
    EXPECT_FALSE(ana.DoingCommonMode());
    EXPECT_EQ(bin(ana.get_hitmap(), 2), 1.0);
    EXPECT_EQ(hst_histogram_entries(ana.get_hitmap()), 1.0);
    EXPECT_EQ(bin(ana.get_ped(), 5), 903.0);
    EXPECT_EQ(bin(ana.get_ped(), 0), 0.0);

    // Upper neighbours past the last channel are left out.
    Block edge = packet_record(RO_ADJACENT, 2, {127, 0, 700, 1, 601, 701, 2, 602, 702});
    ana.Fill(record(edge));
    EXPECT_EQ(ana.Event()[127], 700.0);
    EXPECT_EQ(ana.Event()[126], 601.0);
    EXPECT_EQ(ana.Event()[125], 602.0);
}

TEST_F(StreamAnalysis, ScopeRecordsAndShortRecordsReadNothingTheyDoNotHold)
{
    FenrowAnalysis ana(1, 128, 0);
    Block scope = empty_record(2 * 128 + 32, RO_SCOPE, 128, 12.5);
    std::uint16_t w = 3000;
    std::memcpy(record(scope)->data + FENROW_PAYLOAD_HEAD, &w, sizeof w);
    ana.Fill(record(scope));
    EXPECT_EQ(ana.temperature(), 12.5);
    for (int j = 0; j < 128; ++j)
        EXPECT_EQ(ana.Event()[j], 0.0);

    // A record that claims 128 channels but holds five words: only those are
    // read (the sanitizers see any read past the block).
    Block short_one = empty_record(FENROW_PAYLOAD_HEAD + 4, RO_SERIAL, 128);
    char* p = record(short_one)->data + FENROW_PAYLOAD_HEAD;
    for (std::uint16_t k = 0; k < 5; ++k)
        std::memcpy(p + 2 * k, &(w = static_cast<std::uint16_t>(100 + k)), sizeof w);
    ana.Fill(record(short_one));
    EXPECT_EQ(ana.Event()[4], 104.0);
    EXPECT_EQ(ana.Event()[5], 0.0);

    // Too short for the payload head: refused.
    Block tiny(TellumData::create_packet(TellumData::EVENT_RECORD, 21, 4));
    EXPECT_FALSE(ana.data_valid(record(tiny)));
}

TEST_F(StreamAnalysis, ChipCountChangedWhileAnotherThreadFillsEvents)
{
    FenrowAnalysis ana(2, 128, 0);
    // Records of four chips and a hit on the fourth: larger than the
    // analysis of one or two chips, which decodes only what fits it.
    Block serial = packet_record(RO_SERIAL, 512, Words(512, 1000));
    Block sparse = packet_record(RO_SPARSE, 1, {400, 0, 1500});

    constexpr int events = 4000;
    std::atomic<bool> filling{true};
    std::thread monitor([&] {
        for (int e = 0; e < events; ++e)
            ana.Fill(record(e % 4 ? serial : sparse));
        filling = false;
    });
    int resizes = 0;
    // Bounded: the filler ends after its events whatever happens here.
    for (int n = 0; filling && n < 2000; ++n, ++resizes)
        ana.Resize(1 + n % 4, 128);
    monitor.join();
    EXPECT_GT(resizes, 0);
    EXPECT_EQ(ana.get_n_sampled(), events);

    // The shape the last resize left holds for the next event.
    ana.Resize(1, 128);
    ana.Fill(record(serial));
    EXPECT_EQ(ana.Ntot(), 128);
    EXPECT_EQ(ana.Event()[127], 1000.0);
}

TEST_F(StreamAnalysis, SpectraTakeTheSizeOfTheSignal)
{
    FenrowAnalysis ana(1, 128, 0);
    {
        std::lock_guard<Ostrel::Mutex> lock(ana.get_lock());
        ana.fill_spectrum_hitlist(3, -100.0);
    }
    // 256 bins of 16 from 0: -100 would be outside the range.
    EXPECT_EQ(bin(ana.get_hsig(0), 6), 1.0);
}

TEST_F(StreamAnalysis, HighDynamicRangePeakAboveTheBaseline)
{
    HDRanalysis ana(2, 128, 0);
    EXPECT_EQ(ana.Nchan(), 64);
    EXPECT_EQ(ana.Ntot(), 128);
    EXPECT_EQ(ana.get_kind(), FenrowAnalysis::hdr);

    auto event = [&](int peak_channel, std::uint16_t peak, std::uint16_t rest) {
        Words values(128, rest);
        if (peak_channel >= 0)
            values[static_cast<std::size_t>(peak_channel)] = peak;
        Block b = packet_record(RO_SERIAL, 128, values);
        ana.Fill(record(b));
    };

    // At or below the baseline: nothing.
    event(-1, 0, 2024);
    event(10, 2000, 1500);
    EXPECT_EQ(hst_histogram_entries(ana.get_hitmap()), 0.0);
    // No common mode, and no pedestal update for this kind.
    EXPECT_FALSE(ana.DoingCommonMode());
    EXPECT_EQ(bin(ana.get_ped(), 10), 0.0);

    // A peak at channel 0 fills nothing.
    event(0, 4000, 2024);
    EXPECT_EQ(hst_histogram_entries(ana.get_hitmap()), 0.0);

    // The sum of the whole stream over 16 goes to the peak channel, on the
    // second chip as well.
    event(100, 2024 + 1600, 2024);
    EXPECT_EQ(bin(ana.get_hitmap(), 100), 1.0);
    EXPECT_EQ(hst_histogram_entries(ana.get_hsig(2)), 1.0);
    // 1600 / 16 = 100, in the bin of 16 units from 96.
    EXPECT_EQ(bin(ana.get_hsig(0), 6), 1.0);
}
