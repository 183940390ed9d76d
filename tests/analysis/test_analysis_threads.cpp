// The monitor thread fills while the GUI reads, re-cuts and serialises.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "Synthetic.h"
#include "config/ConfigParser.h"

TEST(AnalysisThreads, FillWhileOthersReadTheHistograms)
{
    ConfigParser::theConfig()->clean();
    SyntheticAnalysis ana(2, 32, SyntheticAnalysis::Normal);
    PadMap map(8, 8);
    map.set_default();
    ana.set_map(map);
    ana.find_pulse = true;
    Generator gen(2, 32, 3.0);

    constexpr int events = 1500;
    std::atomic<bool> filling{true};
    std::thread monitor([&] {
        for (int e = 0; e < events; ++e) {
            std::vector<double> raw = gen.next();
            if (e > 400 && e % 3 == 0)
                raw[e % 64] += 200.0;   // a hit now and then
            feed(ana, raw, e);
        }
        filling = false;
    });

    long reads = 0;
    double sink = 0.0;
    while (filling) {
        for (int i = 0; i < ana.Ntot(); ++i)
            sink += hst_histogram_get_bin_content(ana.get_ped(), i) +
                    hst_histogram_get_bin_content(ana.get_noise(), i);
        sink += hst_histogram_entries(ana.get_hsig(0)) + hst_histogram_mean(ana.get_hsig(1));
        sink += hst_histogram2d_get_cell_content(ana.get_h2dmap(), 1, 1);
        sink += ana.Cmmd(0) + ana.AvNoise(1) + ana.max_pulse();
        ana.set_seed_cut(reads % 2 ? 5.0 : 6.0);
        ana.set_neighbor_cut(2.5);
        ana.DoPedestalUpdate(true);
        ana.SetEcuts(100.0, 300.0 + reads % 7);
        std::ostringstream os;
        os << ana;
        sink += os.str().size();
        ++reads;
    }
    monitor.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(events, ana.get_n_sampled());
    EXPECT_GT(hst_histogram_entries(ana.get_hsig(0)), 100.0);
    EXPECT_TRUE(sink == sink);
}

// Pedestals computed outside an event (as the Python module does) from two
// threads while a third switches the module between 1 and 8 chips: every
// computation sees one shape from its start to its end.
TEST(AnalysisThreads, PedestalsComputedWhileAnotherThreadResizes)
{
    ConfigParser::theConfig()->clean();
    SyntheticAnalysis ana(8, 128, SyntheticAnalysis::Normal);
    std::vector<int> all(8 * 128);
    std::iota(all.begin(), all.end(), 0);

    std::atomic<bool> resizing{true};
    auto compute = [&](bool normal) {
        std::vector<int> channels = all;
        while (resizing) {
            if (normal)
                ana.update_pedestals(channels, true);
            else
                ana.update_pedestals_fast(channels, true);
        }
    };
    std::thread first(compute, true);
    std::thread second(compute, false);
    for (int i = 0; i < 400; ++i)
        ana.Resize(i % 2 ? 8 : 1, 128);
    resizing = false;
    first.join();
    second.join();
    EXPECT_EQ(8 * 128, ana.Ntot());
}
