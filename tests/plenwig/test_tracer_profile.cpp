// Tracer ring order and statistics across resizes; profile means and spreads.
#include <cmath>
#include <vector>

#include "PlenwigTest.h"

namespace {

// The values a chart would draw, oldest first.
std::vector<double> drawn(HstTracer* t)
{
    Tuple tp;
    hst_function_get_array(HST_FUNCTION(t), &tp.t, 0.0, 0.0);
    std::vector<double> v;
    for (int i = 0; i < tp.t.n; i++) {
        EXPECT_EQ(double(i), tp.t.P[i].x);
        v.push_back(tp.t.P[i].y);
    }
    return v;
}

void fill_range(HstTracer* t, int from, int to)
{
    for (int v = from; v <= to; v++)
        hst_histogram_fill(HST_HISTOGRAM(t), v, 123.0); // the weight does not matter
}

using V = std::vector<double>;

} // namespace

using TracerTest = PlenwigTest;

TEST_F(TracerTest, RingHoldsTheLastValuesInOrder)
{
    HstTracer* t = hst_tracer_new(3);
    EXPECT_EQ(3.0, hst_function_get_xmax(HST_FUNCTION(t)));
    EXPECT_EQ(1.0, hst_function_get_step(HST_FUNCTION(t)));
    fill_range(t, 1, 2);
    EXPECT_EQ(V({1, 2}), drawn(t));
    fill_range(t, 3, 4);
    EXPECT_EQ(V({2, 3, 4}), drawn(t));
    EXPECT_DOUBLE_EQ(3.0, hst_tracer_get_mean(t));
    EXPECT_DOUBLE_EQ(3.0, hst_histogram_entries(HST_HISTOGRAM(t)));
    EXPECT_NEAR(2.0 / 3.0, hst_tracer_get_rms(t), 1e-12);
    EXPECT_EQ(4.0, hst_tracer_get_maximum(t));
    EXPECT_EQ(1.0, hst_tracer_get_minimum(t)); // since the last reset, not of those held
    g_object_unref(t);
}

TEST_F(TracerTest, ShrinkingKeepsTheNewestAndDropsTheRestFromTheStatistics)
{
    HstTracer* t = hst_tracer_new(10);
    fill_range(t, 1, 13); // wrapped: holds 4 .. 13
    EXPECT_EQ(1, hst_function_resize(HST_FUNCTION(t), 4, 100));
    EXPECT_EQ(4, t->npoints);
    EXPECT_EQ(4.0, HST_FUNCTION(t)->xmax);
    EXPECT_EQ(V({10, 11, 12, 13}), drawn(t));
    EXPECT_DOUBLE_EQ(4.0, hst_histogram_entries(HST_HISTOGRAM(t)));
    EXPECT_DOUBLE_EQ(11.5, hst_tracer_get_mean(t));
    EXPECT_DOUBLE_EQ(1.25, hst_tracer_get_rms(t));
    fill_range(t, 14, 14);
    EXPECT_EQ(V({11, 12, 13, 14}), drawn(t));
    EXPECT_DOUBLE_EQ(12.5, hst_tracer_get_mean(t));
    g_object_unref(t);
}

TEST_F(TracerTest, GrowingKeepsOrderAndShowsNoEmptySlots)
{
    HstTracer* t = hst_tracer_new(4);
    fill_range(t, 1, 6); // holds 3 .. 6, next write in the middle of the ring
    EXPECT_EQ(1, hst_function_resize(HST_FUNCTION(t), 8, 1));
    EXPECT_EQ(V({3, 4, 5, 6}), drawn(t));
    fill_range(t, 7, 11);
    EXPECT_EQ(V({4, 5, 6, 7, 8, 9, 10, 11}), drawn(t));
    EXPECT_DOUBLE_EQ(8.0, hst_histogram_entries(HST_HISTOGRAM(t)));
    EXPECT_DOUBLE_EQ(7.5, hst_tracer_get_mean(t));

    // Same width or a width below 1: nothing changes.
    EXPECT_EQ(0, hst_function_resize(HST_FUNCTION(t), 8, 1));
    EXPECT_EQ(0, hst_function_resize(HST_FUNCTION(t), 0, 1));
    EXPECT_EQ(0, hst_function_resize(HST_FUNCTION(t), -5, 1));
    EXPECT_EQ(8, HST_FUNCTION(t)->nbin);
    EXPECT_EQ(V({4, 5, 6, 7, 8, 9, 10, 11}), drawn(t));
    g_object_unref(t);
}

TEST_F(TracerTest, DepthPropertiesResizeTheSameWay)
{
    HstTracer* t = hst_tracer_new(10);
    fill_range(t, 1, 10);
    SignalCounter range(t, "range-changed");
    g_object_set(t, "nx", 4, nullptr);
    EXPECT_EQ(1, range.count);
    EXPECT_EQ(4, t->npoints);
    EXPECT_EQ(V({7, 8, 9, 10}), drawn(t));
    EXPECT_DOUBLE_EQ(4.0, hst_histogram_entries(HST_HISTOGRAM(t)));

    g_object_set(t, "xmax", 6.9, nullptr); // the whole part is the depth
    EXPECT_EQ(6, hst_function_get_npts(HST_FUNCTION(t)));
    EXPECT_EQ(V({7, 8, 9, 10}), drawn(t));
    g_object_set(t, "xmax", 0.5, nullptr);
    EXPECT_EQ(1, consume("xmax>=1"));
    EXPECT_EQ(6, HST_FUNCTION(t)->nbin);

    g_object_set(t, "xmin", 3.0, nullptr); // ignored
    EXPECT_EQ(0.0, hst_function_get_xmin(HST_FUNCTION(t)));
    g_object_set(t, "xstep", 2.0, nullptr);
    EXPECT_EQ(1, consume("invalid property id"));
    EXPECT_EQ(1.0, HST_FUNCTION(t)->step);

    hst_histogram_resize(HST_HISTOGRAM(t), 2, 5.0, 7.0);
    EXPECT_EQ(V({9, 10}), drawn(t));
    EXPECT_EQ(0.0, HST_FUNCTION(t)->xmin);
    EXPECT_EQ(2.0, HST_FUNCTION(t)->xmax);
    g_object_unref(t);
}

TEST_F(TracerTest, ResetEmptiesTheRingAndItsStatistics)
{
    HstTracer* t = hst_tracer_new(3);
    fill_range(t, 1, 5);
    hst_histogram_reset(HST_HISTOGRAM(t));
    EXPECT_TRUE(drawn(t).empty());
    fill_range(t, 7, 7);
    EXPECT_EQ(V({7}), drawn(t));
    EXPECT_DOUBLE_EQ(1.0, hst_histogram_entries(HST_HISTOGRAM(t)));
    EXPECT_DOUBLE_EQ(7.0, hst_tracer_get_mean(t));
    fill_range(t, 8, 12);
    EXPECT_DOUBLE_EQ(3.0, hst_histogram_entries(HST_HISTOGRAM(t)));
    EXPECT_DOUBLE_EQ(11.0, hst_tracer_get_mean(t));
    g_object_unref(t);
}

TEST_F(TracerTest, RebinAndBadArgumentsAreRefused)
{
    EXPECT_EQ(nullptr, hst_tracer_new(0));
    EXPECT_EQ(1, consume("n>0"));
    HstTracer* t = hst_tracer_new(4);
    fill_range(t, 1, 3);
    hst_histogram_rebin(HST_HISTOGRAM(t), 2, 0.0, 4.0);
    EXPECT_EQ(1, consume("!HST_IS_TRACER(hst)"));
    EXPECT_EQ(V({1, 2, 3}), drawn(t));
    HstStats* s = hst_stats_new();
    EXPECT_EQ(0.0, hst_tracer_get_mean(reinterpret_cast<HstTracer*>(s)));
    EXPECT_EQ(1, consume("HST_IS_TRACER(tr)"));
    g_object_unref(s);
    g_object_unref(t);
}

// ---- profile ----

using ProfileTest = PlenwigTest;

TEST_F(ProfileTest, MeanAndSpreadPerBin)
{
    HstProfile* p = hst_profile_new(1, 0.0, 1.0, nullptr);
    hst_profile_fill(p, 0.5, 2.0, 1.0);
    hst_profile_fill(p, 0.5, 4.0, 1.0);
    hst_profile_fill(p, 1.5, 100.0, 1.0); // outside: dropped entirely
    EXPECT_DOUBLE_EQ(3.0, hst_histogram_get_bin_content(HST_HISTOGRAM(p), 0));
    double* rms = nullptr;
    double* ntotal = nullptr;
    g_object_get(p, "rms", &rms, "ntotal", &ntotal, nullptr);
    EXPECT_DOUBLE_EQ(1.0, rms[0]);
    EXPECT_DOUBLE_EQ(2.0, ntotal[0]);
    g_free(rms);
    g_free(ntotal);
    EXPECT_DOUBLE_EQ(2.0, hst_histogram_entries(HST_HISTOGRAM(p)));
    EXPECT_DOUBLE_EQ(3.0, hst_stats_get_mean(HST_HISTOGRAM(p)->stat, 1));
    g_object_unref(p);
}

TEST_F(ProfileTest, HistogramFillTakesTheSecondNumberAsY)
{
    HstProfile* p = hst_profile_new(2, 0.0, 2.0, nullptr);
    SignalCounter changed(p, "changed");
    hst_histogram_fill(HST_HISTOGRAM(p), 1.5, 10.0);
    hst_histogram_fill(HST_HISTOGRAM(p), 1.5, 20.0);
    EXPECT_EQ(2, changed.count);
    EXPECT_DOUBLE_EQ(15.0, hst_histogram_get_bin_content(HST_HISTOGRAM(p), 1));
    EXPECT_DOUBLE_EQ(2.0, p->n[1]);

    // Weights that cancel leave the mean as it was instead of 0/0.
    hst_profile_fill(p, 0.5, 3.0, 1.0);
    hst_profile_fill(p, 0.5, 9.0, -1.0);
    EXPECT_EQ(3.0, hst_histogram_get_bin_content(HST_HISTOGRAM(p), 0));
    EXPECT_EQ(0.0, p->n[0]);

    // A reset clears the sums; the next fill sets the mean anew.
    hst_histogram_reset(HST_HISTOGRAM(p));
    hst_profile_fill(p, 1.5, 7.0, 1.0);
    EXPECT_DOUBLE_EQ(7.0, hst_histogram_get_bin_content(HST_HISTOGRAM(p), 1));
    g_object_unref(p);
}

TEST_F(ProfileTest, SumsFollowEveryChangeOfTheBinCount)
{
    HstProfile* p = hst_profile_new(2, 0.0, 2.0, nullptr);
    g_object_set(p, "nx", 20, nullptr);
    hst_profile_fill(p, 1.95, 1.0, 1.0); // bin 19
    EXPECT_EQ(1.0, p->n[19]);
    g_object_set(p, "xstep", 0.05, nullptr); // 40 bins
    hst_profile_fill(p, 1.99, 2.0, 1.0);
    EXPECT_EQ(1.0, p->n[39]);
    EXPECT_EQ(2.0, hst_histogram_get_bin_content(HST_HISTOGRAM(p), 39));
    hst_histogram_resize(HST_HISTOGRAM(p), 60, 0.0, 3.0);
    hst_profile_fill(p, 2.99, 4.0, 1.0);
    EXPECT_EQ(1.0, p->n[59]);

    hst_histogram_rebin(HST_HISTOGRAM(p), 2, 0.0, 2.0);
    EXPECT_EQ(1, consume("!HST_IS_PROFILE(hst)"));
    HstTracer* t = hst_tracer_new(2);
    hst_profile_fill(reinterpret_cast<HstProfile*>(t), 0.5, 1.0, 1.0);
    EXPECT_EQ(1, consume("HST_IS_PROFILE(hst)"));
    g_object_unref(t);
    g_object_unref(p);
}
