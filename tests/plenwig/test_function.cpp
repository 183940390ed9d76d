// Sampled function base, statistics accumulator, point graph and axis ticks.
#include <cfloat>
#include <cmath>

#include "PlenwigTest.h"

namespace {

double square(double x)
{
    return x * x;
}

HstFunction* plain_new()
{
    return HST_FUNCTION(g_object_new(HST_TYPE_FUNCTION, nullptr));
}

} // namespace

using FunctionTest = PlenwigTest;

TEST_F(FunctionTest, FreshObjectHasOneBinAndRefusesSamplingWithoutStep)
{
    HstFunction* f = plain_new();
    EXPECT_EQ(1, f->nbin);
    EXPECT_EQ(0.0, f->xmin);
    EXPECT_EQ(1.0, f->xmax);
    EXPECT_EQ(0.0, f->step);
    EXPECT_EQ(nullptr, f->name);

    Tuple t;
    hst_function_get_array(f, &t.t, 0.0, 1.0);
    EXPECT_EQ(0, t.t.n);
    EXPECT_EQ(nullptr, t.t.P);
    EXPECT_EQ(1, consume("step != 0"));
    g_object_unref(f);
}

TEST_F(FunctionTest, FindBinTruncatesTowardZero)
{
    HstFunction* f = hst_function_new(10, 0.0, 10.0, nullptr);
    EXPECT_EQ(0, hst_function_find_bin(f, -0.5));
    EXPECT_EQ(-1, hst_function_find_bin(f, -1.0));
    EXPECT_EQ(10, hst_function_find_bin(f, 10.0));
    EXPECT_EQ(9, hst_function_find_bin(f, 9.999));
    EXPECT_EQ(-1, hst_function_find_bin(f, NAN));
    EXPECT_EQ(10, hst_function_find_bin(f, 1e300));
    EXPECT_EQ(-1, hst_function_find_bin(f, -1e300));
    EXPECT_DOUBLE_EQ(2.5, hst_function_bin_center(f, 2));
    EXPECT_DOUBLE_EQ(-0.5, hst_function_bin_center(f, -1));
    g_object_unref(f);
}

TEST_F(FunctionTest, RangePropertiesSignalAndXstepDoesNot)
{
    HstFunction* f = hst_function_new(10, 0.0, 10.0, nullptr);
    SignalCounter range(f, "range-changed");

    g_object_set(f, "xstep", 3.0, nullptr);
    EXPECT_EQ(3, hst_function_get_npts(f));
    EXPECT_DOUBLE_EQ(9.0, hst_function_get_xmax(f));
    EXPECT_DOUBLE_EQ(3.0, hst_function_get_step(f));
    EXPECT_EQ(0, range.count);

    g_object_set(f, "nx", 9, nullptr);
    EXPECT_EQ(1, range.count);
    EXPECT_DOUBLE_EQ(1.0, hst_function_get_step(f));
    g_object_set(f, "xmin", -9.0, nullptr);
    EXPECT_EQ(2, range.count);
    g_object_set(f, "xmax", 0.0, nullptr);
    EXPECT_EQ(3, range.count);
    EXPECT_DOUBLE_EQ(-9.0, hst_function_get_xmin(f));
    EXPECT_DOUBLE_EQ(1.0, hst_function_get_step(f));
    g_object_unref(f);
}

TEST_F(FunctionTest, XstepThatGivesNoBinCountIsRefused)
{
    HstFunction* f = hst_function_new(10, 0.0, 10.0, nullptr);
    g_object_set(f, "xstep", 0.0, nullptr);
    EXPECT_EQ(1, consume("xstep gives 1 to 999999 bins"));
    g_object_set(f, "xstep", -1.0, nullptr);
    EXPECT_EQ(1, consume("xstep gives 1 to 999999 bins"));
    g_object_set(f, "xstep", 1e-9, nullptr);
    EXPECT_EQ(1, consume("xstep gives 1 to 999999 bins"));
    EXPECT_EQ(10, f->nbin);
    EXPECT_EQ(10.0, f->xmax);
    EXPECT_EQ(1.0, f->step);

    // Bin counts outside 1 .. 999999 never reach the object.
    g_object_set(f, "nx", 0, nullptr);
    EXPECT_EQ(1, consume("out of range"));
    EXPECT_EQ(10, f->nbin);
    g_object_unref(f);
}

TEST_F(FunctionTest, PropertiesRoundTrip)
{
    HstFunction* f = hst_function_new(4, -2.0, 2.0, square);
    gpointer fn = nullptr;
    gchar* name = nullptr;
    gpointer range = &fn;
    g_object_get(f, "func", &fn, "name", &name, "range", &range, nullptr);
    EXPECT_EQ(reinterpret_cast<gpointer>(square), fn);
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(nullptr, range);

    hst_function_set_name(f, "curve");
    name = hst_function_get_name(f);
    EXPECT_STREQ("curve", name);
    g_free(name);
    hst_function_set_name(f, nullptr);
    EXPECT_EQ(nullptr, hst_function_get_name(f));

    EXPECT_EQ(4, hst_function_get_npts(f));
    EXPECT_DOUBLE_EQ(-2.0, hst_function_get_xmin(f));
    EXPECT_DOUBLE_EQ(2.0, hst_function_get_xmax(f));
    EXPECT_DOUBLE_EQ(1.0, hst_function_get_step(f));

    // An empty range at 0 reads back as the bin count.
    g_object_set(f, "nx", 7, "xmin", 0.0, "xmax", 0.0, nullptr);
    EXPECT_DOUBLE_EQ(7.0, hst_function_get_xmax(f));
    EXPECT_EQ(0.0, f->xmax);
    g_object_unref(f);
}

TEST_F(FunctionTest, CallbackIsEvaluatedAndSampledAtTheStep)
{
    HstFunction* f = hst_function_new(10, 0.0, 10.0, square);
    EXPECT_DOUBLE_EQ(9.0, hst_function_eval(f, 3.0));

    Tuple t;
    hst_function_get_array(f, &t.t, 0.0, 5.0);
    ASSERT_EQ(5, t.t.n);
    for (int i = 0; i < 5; i++) {
        EXPECT_DOUBLE_EQ(i, t.t.P[i].x);
        EXPECT_DOUBLE_EQ(i * i, t.t.P[i].y);
    }
    hst_function_clear_tuple(&t.t);

    // A reversed request gives nothing; a huge one a bounded, coarser sampling.
    hst_function_get_array(f, &t.t, 5.0, 0.0);
    EXPECT_EQ(0, t.t.n);
    hst_function_get_array(f, &t.t, 0.0, 1e12);
    ASSERT_EQ(1000000, t.t.n);
    EXPECT_DOUBLE_EQ(0.0, t.t.P[0].x);
    EXPECT_NEAR(1e12, t.t.P[t.t.n - 1].x, 1e7);
    g_object_unref(f);
}

TEST_F(FunctionTest, BadArgumentsWarnAndFallBack)
{
    EXPECT_EQ(nullptr, hst_function_new(0, 0.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("nx>0"));
    EXPECT_EQ(nullptr, hst_function_new(5, 1.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("x_min != x_max"));

    HstStats* notf = hst_stats_new();
    auto* bad = reinterpret_cast<HstFunction*>(notf);
    EXPECT_EQ(0.0, hst_function_eval(bad, 1.0));
    EXPECT_EQ(-1, hst_function_find_bin(bad, 1.0));
    EXPECT_EQ(G_MAXDOUBLE, hst_function_bin_center(bad, 1));
    EXPECT_EQ(nullptr, hst_function_print(bad));
    EXPECT_EQ(nullptr, hst_function_get_name(bad));
    EXPECT_EQ(0, hst_function_resize(nullptr, 1, 1));
    EXPECT_EQ(6, consume("HST_IS_FUNCTION"));
    g_object_unref(notf);
}

TEST_F(FunctionTest, ListTextTitlesUnnamedFunctionsByPosition)
{
    HstFunction* a = hst_function_new(2, 0.0, 2.0, square);
    HstFunction* b = hst_function_new(2, 0.0, 2.0, nullptr);
    GList* l = g_list_append(g_list_append(nullptr, a), b);
    EXPECT_EQ("1D 2 0.000000 2.000000\t[nbin xmin xmax]\n"
              "\"X\"\t\"Function_0\"\t\"Function_1\"\n"
              "0.500000\t0.250000\t0.000000\n"
              "1.500000\t2.250000\t0.000000\n",
              take_text(hst_function_print_list(l)));

    hst_function_set_name(b, "flat");
    EXPECT_EQ("1D 2 0.000000 2.000000\t[nbin xmin xmax]\n"
              "\"X\"\t\"flat\"\n"
              "0.500000\t0.000000\n"
              "1.500000\t0.000000\n",
              take_text(hst_function_print(b)));

    HstFunction* c = hst_function_new(20, 0.0, 2.0, nullptr);
    l = g_list_append(l, c);
    EXPECT_EQ(nullptr, hst_function_print_list(l));
    EXPECT_EQ(nullptr, hst_function_print_list(nullptr));
    g_list_free(l);
    g_object_unref(a);
    g_object_unref(b);
    g_object_unref(c);
}

TEST_F(FunctionTest, LockIsRecursiveAndTrylockReports)
{
    HstFunction* f = hst_function_new(10, 0.0, 10.0, square);
    hst_function_lock(f);
    // Operations that lock by themselves still work for the holder.
    EXPECT_DOUBLE_EQ(4.0, hst_function_eval(f, 2.0));
    g_object_set(f, "nx", 5, nullptr);
    EXPECT_TRUE(hst_function_trylock(f));
    hst_function_unlock(f);
    hst_function_unlock(f);
    EXPECT_TRUE(hst_function_trylock(f));
    hst_function_unlock(f);
    g_object_unref(f);
}

// ---- statistics ----

using StatsTest = PlenwigTest;

TEST_F(StatsTest, MomentsOfKnownEntries)
{
    HstStats* s = hst_stats_new();
    EXPECT_EQ(G_MAXDOUBLE, hst_stats_get_min(s, 0));
    EXPECT_EQ(-G_MAXDOUBLE, hst_stats_get_max(s, 1));

    hst_stats_add(s, 1.0, 0.0, 1.0);
    EXPECT_EQ(0.0, hst_stats_get_rms(s, 0));
    hst_stats_add(s, 3.0, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(2.0, hst_stats_get_nc(s));
    EXPECT_DOUBLE_EQ(2.0, hst_stats_get_mean(s, 0));
    EXPECT_DOUBLE_EQ(1.0, hst_stats_get_rms(s, 0));
    EXPECT_DOUBLE_EQ(1.0, hst_stats_get_stdev(s, 0));
    EXPECT_EQ(0.0, hst_stats_get_stdev(s, 1));
    EXPECT_EQ(0.0, hst_stats_get_correlation(s));

    double mean = 0, rms = 0, xmin = 0, xmax = 0, nc = 0;
    g_object_get(s, "mean_x", &mean, "rms_x", &rms, "xmin", &xmin, "xmax", &xmax, "nc", &nc, nullptr);
    EXPECT_DOUBLE_EQ(2.0, mean);
    EXPECT_DOUBLE_EQ(1.0, rms);
    EXPECT_EQ(1.0, xmin);
    EXPECT_EQ(3.0, xmax);
    EXPECT_EQ(2.0, nc);

    // A weight that cancels the count leaves no mean.
    hst_stats_add(s, 5.0, 0.0, -2.0);
    EXPECT_EQ(0.0, hst_stats_get_mean(s, 0));

    HstStats* c = hst_stats_new();
    hst_stats_reset(s);
    for (int i = 0; i < 5; i++)
        hst_stats_add(s, i, 2 * i + 1, 1.0);
    hst_stats_copy(s, c);
    EXPECT_NEAR(1.0, hst_stats_get_correlation(c), 1e-12);
    double corr = 0;
    g_object_get(c, "corr", &corr, nullptr);
    EXPECT_NEAR(1.0, corr, 1e-12);
    EXPECT_DOUBLE_EQ(5.0, hst_stats_get_mean(c, 1));
    g_object_unref(c);
    g_object_unref(s);
}

TEST_F(StatsTest, RoundingNeverMakesTheSpreadNegative)
{
    HstStats* s = hst_stats_new();
    const double v = 0.1;
    for (int i = 0; i < 3; i++)
        hst_stats_add(s, v, v, 1.0);
    // The plain formula dips below zero for this stream.
    const double raw = s->s[2] / s->nc - (s->s[0] / s->nc) * (s->s[0] / s->nc);
    ASSERT_LT(raw, 0.0);
    EXPECT_EQ(0.0, hst_stats_get_rms(s, 0));
    EXPECT_EQ(0.0, hst_stats_get_stdev(s, 0));
    EXPECT_FALSE(std::isnan(hst_stats_get_correlation(s)));
    g_object_unref(s);
}

TEST_F(StatsTest, BadArgumentsWarn)
{
    hst_stats_add(nullptr, 1.0, 1.0, 1.0);
    EXPECT_EQ(0.0, hst_stats_get_nc(nullptr));
    EXPECT_EQ(2, consume("self != NULL"));
    HstStats* s = hst_stats_new();
    EXPECT_EQ(0.0, hst_stats_get_mean(s, 2));
    EXPECT_EQ(0.0, hst_stats_get_max(s, -1));
    EXPECT_EQ(2, consume("(w>=0&&w<2)"));
    hst_stats_copy(s, nullptr);
    EXPECT_EQ(1, consume("HST_IS_STATS"));
    g_object_unref(s);
}

// ---- point graph ----

using GraphTest = PlenwigTest;

TEST_F(GraphTest, InterpolatesAndHoldsTheEnds)
{
    double x[] = {0.0, 1.0, 2.0};
    double y[] = {0.0, 10.0, 20.0};
    HstGraph* g = hst_graph_new(3, x, y);
    x[1] = 99.0; // the graph keeps its own copy
    HstFunction* f = HST_FUNCTION(g);
    EXPECT_DOUBLE_EQ(5.0, hst_function_eval(f, 0.5));
    EXPECT_DOUBLE_EQ(0.0, hst_function_eval(f, -1.0));
    EXPECT_DOUBLE_EQ(20.0, hst_function_eval(f, 5.0));
    EXPECT_DOUBLE_EQ(10.0, hst_function_eval(f, 1.0));
    EXPECT_EQ(0.0, f->xmin);
    EXPECT_EQ(2.0, f->xmax);
    EXPECT_EQ(20.0, g->ymax);

    Tuple t;
    hst_function_get_array(f, &t.t, 100.0, 200.0);
    ASSERT_EQ(3, t.t.n);
    EXPECT_EQ(1.0, t.t.P[1].x);
    EXPECT_EQ(10.0, t.t.P[1].y);

    // Points change only through a reset.
    double other[] = {7.0};
    g_object_set(g, "xv", other, "nx", 1, "xstep", 0.5, nullptr);
    EXPECT_EQ(3, hst_function_get_npts(f));
    EXPECT_DOUBLE_EQ(5.0, hst_function_eval(f, 0.5));

    hst_graph_reset(g, 4, nullptr, y);
    EXPECT_EQ(3.0, g->xv[3]);
    EXPECT_EQ(0.0, g->yv[3]);
    EXPECT_GT(f->xmin, f->xmax);

    hst_graph_reset(g, 0, nullptr, nullptr);
    EXPECT_EQ(0.0, hst_function_eval(f, 1.0));
    g_object_unref(g);
}

// ---- axis ticks ----

using AxisTest = PlenwigTest;

TEST_F(AxisTest, TicksOfTheDocumentedRanges)
{
    float lo = 0, hi = 0, bw = 0;
    int n = 0;
    getbins(0.0f, 10.0f, 10, &lo, &hi, &n, &bw);
    EXPECT_EQ(1.0f, bw);
    EXPECT_EQ(0.0f, lo);
    EXPECT_EQ(10.0f, hi);
    EXPECT_EQ(10, n); // the steps between the ends, after the upper end moved in

    getbins(0.0f, 1.0f, 5, &lo, &hi, &n, &bw);
    EXPECT_FLOAT_EQ(0.2f, bw);
    EXPECT_EQ(5, n);

    getbins(0.0f, 1000.0f, 10, &lo, &hi, &n, &bw);
    EXPECT_EQ(100.0f, bw);

    // Equal ends span one unit; the order of the ends does not matter.
    getbins(3.0f, 3.0f, 10, &lo, &hi, &n, &bw);
    EXPECT_FLOAT_EQ(0.1f, bw);
    float bw2 = 0;
    getbins(10.0f, 0.0f, 10, &lo, &hi, &n, &bw2);
    EXPECT_EQ(1.0f, bw2);

    // One division wanted: the step doubles to span the range at once.
    getbins(-7.0f, 13.0f, 1, &lo, &hi, &n, &bw);
    EXPECT_EQ(20.0f, bw);
}

TEST_F(AxisTest, LargeOffsetsGiveAFiniteTickLoop)
{
    float lo = 0, hi = 0, bw = 0;
    int n = 0;
    getbins(1e9f, 1e9f + 100.0f, 10, &lo, &hi, &n, &bw);
    ASSERT_GT(bw, 0.0f);
    EXPECT_EQ(lo + bw, lo); // a float loop would never advance
    const int steps = hst_axis_tick_count(lo, hi, bw, 1000);
    ASSERT_GE(steps, 0);
    EXPECT_LE(steps, 20);

    EXPECT_EQ(10, hst_axis_tick_count(0.0, 10.0, 1.0, 100));
    EXPECT_EQ(-1, hst_axis_tick_count(0.0, 10.0, 0.0, 100));
    EXPECT_EQ(-1, hst_axis_tick_count(0.0, 1e9, 1.0, 100));
    EXPECT_EQ(-1, hst_axis_tick_count(0.0, INFINITY, 1.0, 100));

    // Degenerate input ends at once.
    getbins(0.0f, 1e-40f, 10, &lo, &hi, &n, &bw);
    getbins(NAN, 1.0f, 10, &lo, &hi, &n, &bw);
    getbins(-3e38f, 3e38f, 10, &lo, &hi, &n, &bw);
    getbins(0.0f, 1.0f, 2000000000, &lo, &hi, &n, &bw);
}

TEST_F(AxisTest, OrderOfMagnitudeInGroupsOfThree)
{
    double m = 0, e = 0;
    get_order_of_magnitude(0.0, 5000.0, 3.0, &m, &e);
    EXPECT_EQ(3.0, e);
    EXPECT_DOUBLE_EQ(5.0, m);
    get_order_of_magnitude(0.0, 999.0, 3.0, &m, &e);
    EXPECT_EQ(0.0, e);
    EXPECT_EQ(999.0, m);
    get_order_of_magnitude(0.0, 2e6, 3.0, &m, &e);
    EXPECT_EQ(6.0, e);
    get_order_of_magnitude(5000.0, 0.0, 3.0, &m, &e);
    EXPECT_EQ(-6.0, e);
    get_order_of_magnitude(1.0, 1.0, 3.0, &m, &e);
    EXPECT_EQ(0.0, e);
    EXPECT_EQ(0.0, m);
    // Small spans keep legible labels.
    get_order_of_magnitude(0.0, 0.5, 3.0, &m, &e);
    EXPECT_EQ(0.0, e);
    get_order_of_magnitude(0.0, 0.0005, 3.0, &m, &e);
    EXPECT_EQ(-6.0, e);
    EXPECT_NEAR(500.0, m, 1e-9);
}
