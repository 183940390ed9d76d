// Event analysis on synthetic events: pedestals, noise, common mode, hits.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "Synthetic.h"
#include "config/ConfigParser.h"

namespace {

double bin(HstHistogram* h, int i)
{
    return hst_histogram_get_bin_content(h, i);
}

// The general section (and its minimum sample count) is absent: 256 holds.
class AnalysisTest : public ::testing::Test {
protected:
    void SetUp() override { ConfigParser::theConfig()->clean(); }
};

void train(SyntheticAnalysis& ana, Generator& gen, int events)
{
    for (int e = 0; e < events; ++e)
        feed(ana, gen.next(), e);
}

class MethodTest : public AnalysisTest,
                   public ::testing::WithParamInterface<SyntheticAnalysis::Method> {
};

} // namespace

TEST_P(MethodTest, RecoversPedestalsNoiseAndCommonMode)
{
    SyntheticAnalysis ana(2, 64, GetParam());
    Generator gen(2, 64, 15.0);
    train(ana, gen, 6000);
    // Pre-sampling is over (the fast method never starts it).
    if (GetParam() == SyntheticAnalysis::Normal) {
        EXPECT_EQ(0, ana.get_n_pre());
    }
    EXPECT_EQ(6000, ana.get_n_sampled());
    EXPECT_EQ(5999.0, ana.get_trigger());

    for (int i = 0; i < ana.Ntot(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(gen.ped[i], bin(ana.get_ped(), i), 2.5);
        EXPECT_NEAR(gen.sigma[i], bin(ana.get_noise(), i), 0.12 * gen.sigma[i]);
    }

    feed(ana, gen.next({12.0, -9.0}));
    EXPECT_NEAR(12.0, ana.Cmmd(0), 1.5);
    EXPECT_NEAR(-9.0, ana.Cmmd(1), 1.5);
    // The spread of the corrected channels: about the channels' mean noise.
    for (int c = 0; c < 2; ++c) {
        EXPECT_GT(ana.AvNoise(c), 2.0);
        EXPECT_LT(ana.AvNoise(c), 3.6);
    }
    // Without pulse search no hit was taken.
    EXPECT_EQ(0.0, hst_histogram_entries(ana.get_hsig(0)));
}

INSTANTIATE_TEST_SUITE_P(BothMethods, MethodTest,
                         ::testing::Values(SyntheticAnalysis::Normal, SyntheticAnalysis::Fast));

TEST_F(AnalysisTest, FastAndNormalMethodsAgree)
{
    SyntheticAnalysis normal(2, 32, SyntheticAnalysis::Normal);
    SyntheticAnalysis fast(2, 32, SyntheticAnalysis::Fast);
    Generator gen(2, 32, 10.0);
    // Pre-sampling covers the first 256 events; what either method starts
    // from is forgotten a few time constants later.
    for (int e = 0; e < 2500; ++e) {
        const std::vector<double> raw = gen.next();
        feed(normal, raw);
        feed(fast, raw);
    }
    for (int i = 0; i < normal.Ntot(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(bin(normal.get_ped(), i), bin(fast.get_ped(), i), 0.1);
        EXPECT_NEAR(bin(normal.get_noise(), i), bin(fast.get_noise(), i),
                    0.03 * bin(fast.get_noise(), i));
    }
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(normal.Cmmd(c), fast.Cmmd(c), 0.1);
        EXPECT_NEAR(normal.AvNoise(c), fast.AvNoise(c), 0.1);
    }
}

TEST_F(AnalysisTest, HitsAboveTheSeedCutLandInTheSpectra)
{
    SyntheticAnalysis ana(2, 64);
    Generator gen(2, 64, 5.0);
    train(ana, gen, 4000);
    PadMap map(16, 8);
    map.set_default();
    ana.set_map(map);
    ana.SetEcuts(200.0, 300.0);

    // A pulse of 120 on channel 70 (chip 1); 3σ on channel 5 stays below
    // the cut of 5.
    ana.find_pulse = true;
    std::vector<double> raw = gen.next({0.0, 0.0});
    raw[70] = gen.ped[70] + 120.0;
    raw[5] = gen.ped[5] + 3.0 * gen.sigma[5];
    feed(ana, raw);

    EXPECT_EQ(1.0, bin(ana.get_hitmap(), 70));
    EXPECT_EQ(1.0, hst_histogram_entries(ana.get_hitmap()));
    EXPECT_EQ(1.0, hst_histogram_entries(ana.get_hsig(0)));
    EXPECT_EQ(0.0, hst_histogram_entries(ana.get_hsig(1)));
    EXPECT_EQ(1.0, hst_histogram_entries(ana.get_hsig(2)));
    EXPECT_NEAR(120.0, hst_histogram_mean(ana.get_hsig(0)), 10.0);
    EXPECT_NEAR(120.0 / gen.sigma[70], ana.max_pulse(), 120.0 / gen.sigma[70] * 0.15);
    // hsig2: one entry, in the row of channel 70.
    double row = 0.0;
    for (int b = 0; b < ana.get_nbins(); ++b)
        row += hst_histogram2d_get_cell_content(ana.get_hsig2(), b, 70);
    EXPECT_EQ(1.0, row);
    // Pad (6, 4) holds channel 70; the energy is outside the cut window.
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(ana.get_h2dmap(), 6, 4));
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(ana.get_h2dmap_c(), 6, 4));
    EXPECT_EQ(0, ana.nhits());

    // An event without hits does not keep the last event's pulse.
    feed(ana, gen.next({0.0, 0.0}));
    EXPECT_EQ(0.0, ana.max_pulse());
}

TEST_F(AnalysisTest, CommonModeOffAndFlatChips)
{
    SyntheticAnalysis ana(2, 8);
    ana.trust_pedestals();
    std::vector<double> raw(16, 0.0);
    for (int i = 0; i < 16; ++i) {
        hst_histogram_set_bin_content(ana.get_ped(), i, 100.0);
        hst_histogram_set_bin_content(ana.get_noise(), i, 2.0);
        raw[i] = i < 8 ? 107.5 : 100.0 + i;
    }
    feed(ana, raw);
    // Chip 0 reads 7.5 everywhere: that is its common mode, without spread.
    EXPECT_DOUBLE_EQ(7.5, ana.Cmmd(0));
    EXPECT_EQ(0.0, ana.AvNoise(0));
    EXPECT_GT(ana.AvNoise(1), 0.0);

    ana.DoCommonMode(false);
    feed(ana, raw);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(0.0, ana.Cmmd(c));
        EXPECT_EQ(0.0, ana.AvNoise(c));
    }
}

TEST_F(AnalysisTest, FastUpdateSteps)
{
    SyntheticAnalysis ana(1, 4);
    ana.DoCommonMode(false);
    // Channel 0 has no pedestal yet: it takes the raw value, and noise 1.
    // Channel 1 is 900 away from its pedestal: the step is clamped to 1 and,
    // at |r| >= 5, the noise is kept. Channel 2: |r| = 1 moves the noise by
    // nothing; channel 3: r = 2 by 3/1024.
    const double peds[] = {0.0, 100.0, 100.0, 100.0};
    const double noises[] = {0.0, 2.0, 2.0, 2.0};
    for (int i = 0; i < 4; ++i) {
        hst_histogram_set_bin_content(ana.get_ped(), i, peds[i]);
        hst_histogram_set_bin_content(ana.get_noise(), i, noises[i]);
    }
    feed(ana, {250.0, 1000.0, 102.0, 104.0});
    EXPECT_EQ(250.0, bin(ana.get_ped(), 0));
    EXPECT_EQ(1.0, bin(ana.get_noise(), 0));
    EXPECT_EQ(101.0, bin(ana.get_ped(), 1));
    EXPECT_EQ(2.0, bin(ana.get_noise(), 1));
    EXPECT_DOUBLE_EQ(100.0 + 2.0 / 128, bin(ana.get_ped(), 2));
    EXPECT_DOUBLE_EQ(2.0, bin(ana.get_noise(), 2));
    EXPECT_DOUBLE_EQ(2.0 * (1.0 + 3.0 / 1024), bin(ana.get_noise(), 3));

    // With updating off nothing moves.
    ana.DoPedestalUpdate(false);
    feed(ana, {250.0, 1000.0, 102.0, 104.0});
    EXPECT_EQ(101.0, bin(ana.get_ped(), 1));
}

TEST_F(AnalysisTest, PreSamplingNoiseStartAndOutlierRejection)
{
    SyntheticAnalysis ana(1, 2, SyntheticAnalysis::Normal);
    ana.DoCommonMode(false);
    // Channel 0 alternates 100 and 102; channel 1 stays at 50.
    auto sample = [](int k, double v0) { return std::vector<double>{k % 2 ? 102.0 : v0, 50.0}; };
    for (int k = 0; k < 11; ++k)
        feed(ana, sample(k, 100.0));
    EXPECT_EQ(0.0, bin(ana.get_noise(), 0));
    feed(ana, sample(11, 100.0));
    EXPECT_GT(bin(ana.get_noise(), 0), 0.0);
    EXPECT_EQ(12.0, ana.Nevts()[0]);

    // Up to the 21st sample a far value still counts ...
    for (int k = 12; k < 20; ++k)
        feed(ana, sample(k, 100.0));
    feed(ana, sample(20, 1000.0));
    EXPECT_EQ(21.0, ana.Nevts()[0]);
    EXPECT_GT(bin(ana.get_ped(), 0), 140.0);

    // ... from the 22nd on, one beyond four standard deviations is dropped.
    SyntheticAnalysis other(1, 2, SyntheticAnalysis::Normal);
    other.DoCommonMode(false);
    for (int k = 0; k < 21; ++k)
        feed(other, sample(k, 100.0));
    const double before = bin(other.get_ped(), 0);
    feed(other, sample(22, 1000.0));
    EXPECT_EQ(21.0, other.Nevts()[0]);
    EXPECT_EQ(before, bin(other.get_ped(), 0));
}

TEST_F(AnalysisTest, PreSamplingCountsEveryChannelOnce)
{
    // Only channel 0 is read out: the other three channels never reach the
    // minimum, so pre-sampling must go on for them.
    SyntheticAnalysis ana(1, 4, SyntheticAnalysis::Normal);
    ana.DoCommonMode(false);
    for (int e = 0; e < 300; ++e) {
        std::vector<int> only0 = {0};
        HstHistogram* out = ana.get_out();
        hst_histogram_set_bin_content(out, 0, e % 2 ? 101.0 : 99.0);
        ana.update_pedestals(only0, false);
    }
    EXPECT_EQ(3, ana.get_n_pre());
    EXPECT_EQ(2, ana.got_my_pedestal());
    EXPECT_EQ(256, ana.get_min_sample());
    EXPECT_NEAR(100.0, bin(ana.get_ped(), 0), 0.1);

    ana.reset_pedestals();
    EXPECT_EQ(4, ana.get_n_pre());
    EXPECT_EQ(0.0, bin(ana.get_ped(), 0));
    EXPECT_EQ(0.0, ana.Nevts()[0]);
}

TEST_F(AnalysisTest, EnergyWindowAndCutPadMap)
{
    SyntheticAnalysis ana(1, 4);
    PadMap map(2, 2);
    map.set_default();
    ana.set_map(map);

    ana.SetEcuts(3.0, 1.0);
    EXPECT_EQ(1.0, ana.get_emin());
    EXPECT_EQ(3.0, ana.get_emax());
    ana.SetEcuts(2.0, 2.0);
    EXPECT_EQ(0.0, ana.get_emin());
    EXPECT_EQ(400.0, ana.get_emax());

    {
        std::lock_guard<Ostrel::Mutex> lock(ana.get_lock());
        for (auto hit : {std::make_pair(0, 50.0), {1, 150.0}, {1, 151.0}, {3, 250.0}, {4, 1.0}})
            ana.fill_spectrum_hitlist(hit.first, hit.second);   // channel 4: none
    }
    EXPECT_EQ(4.0, hst_histogram_entries(ana.get_hitmap()));

    // The cut map is rebuilt from the signal against channel: pad (1, 0)
    // holds channel 1.
    ana.SetEcuts(100.0, 200.0);
    HstHistogram2D* cut = ana.get_h2dmap_c();
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(cut, 0, 0));
    EXPECT_EQ(2.0, hst_histogram2d_get_cell_content(cut, 1, 0));
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(cut, 1, 1));
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(ana.get_h2dmap(), 1, 1));
}

TEST_F(AnalysisTest, RecordsThatAreNotAnalysed)
{
    SyntheticAnalysis ana(1, 2);
    int decoded = 0;
    ana.during_decode = [&] {
        ++decoded;
        // A nested Fill does nothing.
        feed(ana, {1.0, 2.0}, 99);
    };
    feed(ana, {1.0, 2.0}, 5);
    EXPECT_EQ(1, decoded);
    EXPECT_EQ(1, ana.get_n_sampled());
    EXPECT_EQ(5.0, ana.get_trigger());

    Ostrel::ModuleData* block = make_event({1.0, 2.0}, 6);
    TellumData::from(block)->header = 0xBEEF;
    ana.Fill(TellumData::from(block));
    block->dec_ref();
    ana.Fill(nullptr);
    EXPECT_EQ(1, decoded);
    EXPECT_EQ(1, ana.get_n_sampled());
    EXPECT_EQ(5.0, ana.get_trigger());

    class Refusing : public SyntheticAnalysis {
    public:
        using SyntheticAnalysis::SyntheticAnalysis;
        bool data_valid(TellumData*) const override { return false; }
    } refusing(1, 2);
    feed(refusing, {1.0, 2.0}, 7);
    EXPECT_EQ(0, refusing.get_n_sampled());
}

TEST_F(AnalysisTest, HitsAndChannelsOutsideTheModule)
{
    SyntheticAnalysis ana(1, 4);
    EXPECT_EQ(-1, ana.pop_hit());
    for (int c : {2, 999, -4})
        ana.add_hit(c);
    ana.Analyze();
    EXPECT_EQ(0, ana.nhits());
    EXPECT_EQ(1.0, hst_histogram_entries(ana.get_hitmap()));

    std::vector<int> channels = {-1, 4, 1000};
    ana.update_pedestals(channels, true);
    ana.update_pedestals_fast(channels, true);
    EXPECT_EQ(0, ana.nhits());
}

TEST_F(AnalysisTest, ResizeChangesTheChannelCount)
{
    SyntheticAnalysis ana(2, 8);
    hst_histogram_set_bin_content(ana.get_ped(), 3, 7.0);
    ana.Resize(2, 8);
    EXPECT_EQ(7.0, bin(ana.get_ped(), 3));

    ana.trust_pedestals();
    ana.Resize(3, 4);
    EXPECT_EQ(12, ana.Ntot());
    EXPECT_EQ(12, hst_function_get_npts(HST_FUNCTION(ana.get_ped())));
    EXPECT_NE(nullptr, ana.get_hsig(3));
    EXPECT_EQ(12, ana.get_map()->nx());
    EXPECT_EQ(12, ana.get_n_pre());
    Generator gen(3, 4, 0.0);
    feed(ana, gen.next());
    EXPECT_EQ(1, ana.get_n_sampled());

    EXPECT_THROW(ana.Resize(0, 4), ConfigException);
    EXPECT_EQ(12, ana.Ntot());
}
