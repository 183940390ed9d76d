// 1D histogram: statistics, text form, buffers, rebinning and concurrent fills.
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "PlenwigTest.h"

using HistogramTest = PlenwigTest;

TEST_F(HistogramTest, OutOfRangeFillsCountInTheStatisticsOnly)
{
    HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
    SignalCounter changed(h, "changed");
    hst_histogram_fill(h, 10.0, 1.0);
    hst_histogram_fill(h, -3.0, 1.0);
    EXPECT_EQ(2, changed.count);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, i));
    EXPECT_EQ(2.0, hst_histogram_entries(h));
    EXPECT_DOUBLE_EQ(3.5, hst_histogram_mean(h));
    EXPECT_EQ(-3.0, hst_histogram_min_value(h));
    EXPECT_EQ(10.0, hst_histogram_max_value(h));

    hst_histogram_fill(h, 5.5, 2.0);
    EXPECT_EQ(2.0, hst_histogram_get_bin_content(h, 5));
    EXPECT_EQ(2.0, hst_histogram_vmax(h));
    EXPECT_EQ(0.0, hst_histogram_vmin(h));
    EXPECT_DOUBLE_EQ(4.0, hst_histogram_entries(h));

    hst_histogram_reset(h);
    EXPECT_EQ(4, changed.count);
    EXPECT_EQ(0.0, hst_histogram_entries(h));
    EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, 5));
    EXPECT_EQ(0.0, hst_histogram_vmax(h));
    g_object_unref(h);
}

TEST_F(HistogramTest, MeanAndSpreadOfKnownFills)
{
    HstHistogram* h = hst_histogram_new(100, 0.0, 100.0, nullptr);
    for (double v : {10.0, 20.0, 30.0, 40.0})
        hst_histogram_fill(h, v, 1.0);
    EXPECT_DOUBLE_EQ(25.0, hst_histogram_mean(h));
    EXPECT_DOUBLE_EQ(125.0, hst_histogram_rms(h)); // the variance
    EXPECT_DOUBLE_EQ(std::sqrt(125.0), hst_histogram_stdev(h));

    HstStats* s = hst_stats_new();
    ASSERT_EQ(0, hst_histogram_get_stats(h, s));
    hst_histogram_fill(h, 50.0, 1.0);
    EXPECT_EQ(4.0, s->nc); // a copy, not the live accumulator
    EXPECT_EQ(-1, hst_histogram_get_stats(h, nullptr));
    EXPECT_EQ(1, consume("s!=NULL"));
    g_object_unref(s);
    g_object_unref(h);
}

TEST_F(HistogramTest, StatsPropertyRebuildsFromTheBins)
{
    HstHistogram* h = hst_histogram_new(4, 0.0, 4.0, nullptr);
    hst_histogram_fill(h, 7.0, 1.0); // out of range: only in the statistics
    const double bins[] = {0.0, 3.0, 0.0, -1.0};
    for (int i = 0; i < 4; i++)
        hst_histogram_set_bin_content(h, i, bins[i]);
    g_object_set(h, "stats", 1, nullptr);
    EXPECT_EQ(2.0, hst_histogram_entries(h));
    EXPECT_EQ(-1.0, hst_histogram_vmin(h));
    EXPECT_EQ(3.0, hst_histogram_vmax(h));
    EXPECT_DOUBLE_EQ((3 * 1.5 - 3.5) / 2.0, hst_histogram_mean(h));
    g_object_unref(h);
}

TEST_F(HistogramTest, TextFormListsBinCentresAndContents)
{
    HstHistogram* h = hst_histogram_new(3, 0.0, 3.0, nullptr);
    hst_function_set_name(HST_FUNCTION(h), "Spectrum");
    hst_histogram_fill(h, 0.2, 1.0);
    hst_histogram_fill(h, 2.7, 2.5);
    EXPECT_EQ("1D 3 0.000000 3.000000\t[nbin xmin xmax]\n"
              "\"X\"\t\"Spectrum\"\n"
              "0.500000\t1.000000\n"
              "1.500000\t0.000000\n"
              "2.500000\t2.500000\n",
              take_text(hst_function_print(HST_FUNCTION(h))));
    g_object_unref(h);
}

TEST_F(HistogramTest, EvaluationAndOutline)
{
    HstHistogram* h = hst_histogram_new(2, 0.0, 2.0, nullptr);
    hst_histogram_set_bin_content(h, 0, 3.0);
    hst_histogram_set_bin_content(h, 1, 5.0);
    HstFunction* f = HST_FUNCTION(h);
    EXPECT_EQ(5.0, hst_function_eval(f, 2.0));
    EXPECT_EQ(0.0, hst_function_eval(f, 2.0001));
    EXPECT_EQ(0.0, hst_function_eval(f, -0.0001));
    EXPECT_EQ(3.0, hst_function_eval(f, 0.0));

    Tuple t;
    hst_function_get_array(f, &t.t, 0.0, 2.0);
    const HstPoint expected[] = {{0, 0}, {0, 3}, {1, 3}, {1, 3}, {1, 5}, {2, 5}, {2, 0}};
    ASSERT_EQ(7, t.t.n);
    for (int i = 0; i < 7; i++) {
        EXPECT_DOUBLE_EQ(expected[i].x, t.t.P[i].x) << i;
        EXPECT_DOUBLE_EQ(expected[i].y, t.t.P[i].y) << i;
    }
    hst_function_clear_tuple(&t.t);
    hst_function_get_array(f, &t.t, 2.0, 0.0);
    EXPECT_EQ(0, t.t.n);
    g_object_unref(h);
}

TEST_F(HistogramTest, CallersBufferStaysTheCallers)
{
    double buf[4] = {1.0, 0.0, 2.0, 0.0};
    HstHistogram* h = hst_histogram_new(4, 0.0, 4.0, buf);
    EXPECT_EQ(0, h->owner);
    EXPECT_EQ(3.0, hst_histogram_entries(h));
    hst_histogram_fill(h, 1.5, 4.0);
    EXPECT_EQ(4.0, buf[1]); // filled in place

    int n = 0;
    double* live = nullptr;
    hst_histogram_get_values(h, &n, &live);
    EXPECT_EQ(4, n);
    EXPECT_EQ(buf, live);
    double* copy = hst_histogram_get_data(h);
    EXPECT_NE(buf, copy);
    EXPECT_EQ(4.0, copy[1]);
    g_free(copy);

    g_object_set(h, "nx", 6, nullptr);
    EXPECT_EQ(1, h->owner);
    EXPECT_NE(buf, h->y);
    EXPECT_EQ(4.0, buf[1]);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, i));

    // Handing back the array in use keeps it (and must not free it).
    gpointer own = nullptr;
    g_object_get(h, "ptr", &own, nullptr);
    hst_histogram_set_bin_content(h, 2, 7.0);
    g_object_set(h, "ptr", own, nullptr);
    EXPECT_EQ(1, h->owner);
    EXPECT_EQ(7.0, hst_histogram_get_bin_content(h, 2));
    EXPECT_EQ(7.0, hst_histogram_entries(h));
    g_object_unref(h);
    EXPECT_EQ(1.0, buf[0]);
}

TEST_F(HistogramTest, ResizeKeepsTheStatistics)
{
    HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
    hst_histogram_fill(h, 4.5, 1.0);
    SignalCounter range(h, "range-changed");
    hst_histogram_resize(h, 20, 0.0, 5.0);
    EXPECT_EQ(1, range.count);
    EXPECT_EQ(20, HST_FUNCTION(h)->nbin);
    EXPECT_DOUBLE_EQ(0.25, HST_FUNCTION(h)->step);
    EXPECT_EQ(1.0, hst_histogram_entries(h));
    EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, 18));
    hst_histogram_resize(h, 0, 0.0, 2.0); // below 1: the bin count stays
    EXPECT_EQ(20, HST_FUNCTION(h)->nbin);
    EXPECT_DOUBLE_EQ(0.1, HST_FUNCTION(h)->step);
    g_object_unref(h);
}

TEST_F(HistogramTest, XstepReallocatesTheBins)
{
    HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
    hst_histogram_fill(h, 3.0, 1.0);
    g_object_set(h, "xstep", 0.25, nullptr);
    ASSERT_EQ(40, HST_FUNCTION(h)->nbin);
    EXPECT_EQ(0.25, hst_function_get_step(HST_FUNCTION(h)));
    hst_histogram_fill(h, 9.9, 1.0); // the last of 40 bins
    EXPECT_EQ(1.0, hst_histogram_get_bin_content(h, 39));
    EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, 12));

    g_object_set(h, "xstep", 0.0, nullptr);
    EXPECT_EQ(1, consume("xstep gives 1 to 999999 bins"));
    EXPECT_EQ(40, HST_FUNCTION(h)->nbin);
    EXPECT_EQ(1.0, hst_histogram_get_bin_content(h, 39));
    g_object_unref(h);
}

TEST_F(HistogramTest, RebinToTheSameBinningChangesNothing)
{
    HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
    for (int i = 0; i < 10; i++)
        hst_histogram_set_bin_content(h, i, i * i + 1);
    SignalCounter range(h, "range-changed");
    hst_histogram_rebin(h, 10, 0.0, 10.0);
    EXPECT_GE(range.count, 1);
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(i * i + 1, hst_histogram_get_bin_content(h, i)) << i;
    // The statistics describe the contents once.
    EXPECT_EQ(295.0, hst_histogram_entries(h));
    g_object_unref(h);
}

TEST_F(HistogramTest, RebinMergesSplitsAndCropsConservingContents)
{
    HstHistogram* h = hst_histogram_new(8, 0.0, 8.0, nullptr);
    const double c[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 8; i++)
        hst_histogram_set_bin_content(h, i, c[i]);

    hst_histogram_rebin(h, 4, 0.0, 8.0);
    const double merged[] = {3, 7, 11, 15};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(merged[i], hst_histogram_get_bin_content(h, i)) << i;

    hst_histogram_rebin(h, 8, 0.0, 8.0);
    const double split[] = {1.5, 1.5, 3.5, 3.5, 5.5, 5.5, 7.5, 7.5};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(split[i], hst_histogram_get_bin_content(h, i)) << i;

    // Half of the range keeps the contents inside it.
    hst_histogram_rebin(h, 2, 2.0, 6.0);
    EXPECT_EQ(7.0, hst_histogram_get_bin_content(h, 0));
    EXPECT_EQ(11.0, hst_histogram_get_bin_content(h, 1));
    EXPECT_EQ(2.0, HST_FUNCTION(h)->xmin);
    EXPECT_EQ(6.0, HST_FUNCTION(h)->xmax);
    EXPECT_EQ(18.0, hst_histogram_entries(h));
    g_object_unref(h);
}

TEST_F(HistogramTest, RebinRefusesBadBinningBeforeChangingAnything)
{
    HstHistogram* h = hst_histogram_new(4, 0.0, 4.0, nullptr);
    hst_histogram_set_bin_content(h, 1, 5.0);
    hst_histogram_rebin(h, 0, 1.0, 2.0);
    EXPECT_EQ(1, consume("nbin>0"));
    hst_histogram_rebin(h, 2, 1.0, 1.0);
    EXPECT_EQ(1, consume("xmin != xmax"));
    EXPECT_EQ(4, HST_FUNCTION(h)->nbin);
    EXPECT_EQ(0.0, HST_FUNCTION(h)->xmin);
    EXPECT_EQ(4.0, HST_FUNCTION(h)->xmax);
    EXPECT_EQ(5.0, hst_histogram_get_bin_content(h, 1));
    g_object_unref(h);
}

TEST_F(HistogramTest, BadArgumentsWarnAndChangeNothing)
{
    EXPECT_EQ(nullptr, hst_histogram_new(0, 0.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("n>0"));

    HstHistogram* h = hst_histogram_new(3, 0.0, 3.0, nullptr);
    hst_histogram_set_bin_content(h, 3, 1.0);
    hst_histogram_set_bin_content(h, -1, 1.0);
    EXPECT_EQ(0.0, hst_histogram_get_bin_content(h, 3));
    EXPECT_EQ(3, consume("ibin>=0 && ibin<nbin"));

    HstFunction* f = hst_function_new(3, 0.0, 3.0, nullptr);
    auto* notH = reinterpret_cast<HstHistogram*>(f);
    hst_histogram_fill(notH, 1.0, 1.0);
    int n = 5;
    double* buf = h->y;
    hst_histogram_get_values(notH, &n, &buf);
    EXPECT_EQ(0, n);
    EXPECT_EQ(nullptr, buf);
    EXPECT_EQ(nullptr, hst_histogram_clone(notH));
    EXPECT_EQ(3, consume("HST_IS_HISTOGRAM"));

    g_object_set(h, "vmax", 3.0, nullptr);
    EXPECT_EQ(1, consume("not writable"));
    g_object_unref(f);
    g_object_unref(h);
}

TEST_F(HistogramTest, PropertiesRoundTripAndCloneCopiesTheData)
{
    HstHistogram* h = hst_histogram_new(5, -1.0, 4.0, nullptr);
    hst_function_set_name(HST_FUNCTION(h), "h");
    hst_histogram_fill(h, 0.5, 3.0);
    hst_histogram_fill(h, -0.5, -1.0);

    int nx = 0;
    double xmin = 0, xmax = 0, vmin = 0, vmax = 0;
    gpointer ptr = nullptr;
    g_object_get(h, "nx", &nx, "xmin", &xmin, "xmax", &xmax, "vmin", &vmin, "vmax", &vmax, "ptr", &ptr,
                 nullptr);
    EXPECT_EQ(5, nx);
    EXPECT_EQ(-1.0, xmin);
    EXPECT_EQ(4.0, xmax);
    EXPECT_EQ(-1.0, vmin);
    EXPECT_EQ(3.0, vmax);
    EXPECT_EQ(h->y, ptr);

    HstHistogram* c = hst_histogram_clone(h);
    EXPECT_EQ(nullptr, HST_FUNCTION(c)->name);
    EXPECT_EQ(5, HST_FUNCTION(c)->nbin);
    EXPECT_NE(h->y, c->y);
    EXPECT_EQ(3.0, hst_histogram_get_bin_content(c, 1));
    EXPECT_EQ(-1.0, hst_histogram_vmin(c));
    EXPECT_EQ(2.0, hst_histogram_entries(c));
    EXPECT_DOUBLE_EQ(hst_histogram_mean(h), hst_histogram_mean(c));
    g_object_unref(c);
    g_object_unref(h);
}

TEST_F(HistogramTest, ConcurrentFillsGiveExactTotals)
{
    constexpr int kThreads = 4;
    constexpr int kFills = 50000;
    HstHistogram* h = hst_histogram_new(100, 0.0, 100.0, nullptr);
    std::atomic<int> changed{0};
    g_signal_connect_swapped(h, "changed", G_CALLBACK(+[](std::atomic<int>* c) { c->fetch_add(1); }),
                             &changed);

    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            // Everything a chart does while drawing.
            Tuple t;
            hst_function_get_array(HST_FUNCTION(h), &t.t, 0.0, 100.0);
            EXPECT_EQ(301, t.t.n);
            GString* text = hst_function_print(HST_FUNCTION(h));
            g_string_free(text, TRUE);
            HstStats* s = hst_stats_new();
            hst_histogram_get_stats(h, s);
            EXPECT_LE(s->nc, double(kThreads) * kFills);
            g_object_unref(s);
            reads++;
        }
    });
    std::vector<std::thread> fillers;
    for (int t = 0; t < kThreads; t++) {
        fillers.emplace_back([h, t] {
            for (int i = 0; i < kFills; i++)
                hst_histogram_fill(h, (i * 7 + t) % 100 + 0.5, 1.0);
        });
    }
    for (auto& t : fillers)
        t.join();
    done = true;
    reader.join();

    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(double(kThreads) * kFills, hst_histogram_entries(h));
    EXPECT_EQ(kThreads * kFills, changed.load());
    double sum = 0;
    for (int i = 0; i < 100; i++)
        sum += hst_histogram_get_bin_content(h, i);
    EXPECT_EQ(double(kThreads) * kFills, sum);
    EXPECT_EQ(double(kThreads) * kFills / 100, hst_histogram_get_bin_content(h, 42));
    g_object_unref(h);
}

TEST_F(HistogramTest, ReallocatingWhileAnotherThreadFillsIsSafe)
{
    // The GUI rebinning and resizing while an acquisition thread fills.
    HstHistogram* h = hst_histogram_new(50, 0.0, 50.0, nullptr);
    std::atomic<bool> done{false};
    std::thread filler([h, &done] {
        for (int i = 0; i < 20000; i++)
            hst_histogram_fill(h, i % 50 + 0.5, 1.0);
        done = true;
    });
    for (int k = 0; !done.load() || k < 10; k++) {
        hst_histogram_rebin(h, k % 2 ? 50 : 25, 0.0, 50.0);
        g_object_set(h, "nx", 40 + k % 20, "xstep", 1.0, nullptr);
        hst_histogram_resize(h, 50, 0.0, 50.0);
    }
    filler.join();
    EXPECT_EQ(50, HST_FUNCTION(h)->nbin);
    g_object_unref(h);
}
