// 2D function and 2D histogram: cells, statistics, text form, sizes, threads.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "PlenwigTest.h"

namespace {

double plane(double x, double y)
{
    return x + 10.0 * y;
}

HstHistogram2D* grid_4x3()
{
    return hst_histogram2d_new(4, 0.0, 4.0, 3, 0.0, 3.0, nullptr);
}

} // namespace

using Histogram2DTest = PlenwigTest;

TEST_F(Histogram2DTest, FillLandsInRowMajorCell)
{
    HstHistogram2D* h = grid_4x3();
    SignalCounter changed(h, "changed");
    hst_histogram2d_fill(h, 1.5, 2.5, 2.0);
    EXPECT_EQ(1, changed.count);
    EXPECT_EQ(2.0, h->y[9]);
    EXPECT_EQ(2.0, hst_histogram2d_get_cell_content(h, 1, 2));
    EXPECT_EQ(2.0, h->vmax);

    int npts = 0, nx = 0, ny = 0;
    g_object_get(h, "npts", &npts, "nx", &nx, "ny", &ny, nullptr);
    EXPECT_EQ(12, npts);
    EXPECT_EQ(4, nx);
    EXPECT_EQ(3, ny);

    HstFunction2D* f = HST_FUNCTION2D(h);
    int ix = -1, iy = -1;
    hst_function2d_find_cell_from_bin(f, 9, &ix, &iy);
    EXPECT_EQ(1, ix);
    EXPECT_EQ(2, iy);
    EXPECT_EQ(9, hst_function2d_find_bin_from_cell(f, 1, 2));
    EXPECT_EQ(HST_FUNCTION(h), hst_function2d_X(f));
    EXPECT_EQ(3, hst_function2d_Y(f)->nbin);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, StatisticsOfBothVariables)
{
    HstHistogram2D* h = grid_4x3();
    hst_histogram2d_fill(h, 0.5, 0.5, 1.0);
    hst_histogram2d_fill(h, 2.5, 1.5, 1.0);
    hst_histogram2d_fill(h, 4.5, 1.5, 1.0); // x outside: no cell, no statistics
    hst_histogram2d_fill(h, 0.5, -1.5, 1.0); // y a full step below: dropped
    HstStats* s = hst_stats_new();
    ASSERT_EQ(0, hst_histogram2d_get_stats(h, s));
    EXPECT_EQ(2.0, s->nc);
    EXPECT_DOUBLE_EQ(1.5, hst_stats_get_mean(s, 0));
    EXPECT_DOUBLE_EQ(1.0, hst_stats_get_mean(s, 1));
    EXPECT_NEAR(1.0, hst_stats_get_correlation(s), 1e-12);
    double sum = 0;
    for (int i = 0; i < 12; i++)
        sum += h->y[i];
    EXPECT_EQ(2.0, sum);
    EXPECT_EQ(-1, hst_histogram2d_get_stats(h, nullptr));
    EXPECT_EQ(1, consume("s!=NULL"));
    g_object_unref(s);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, ResetClearsCellsStatisticsAndZRange)
{
    HstHistogram2D* h = grid_4x3();
    hst_histogram2d_fill(h, 1.5, 1.5, 3.0);
    hst_histogram2d_reset(h);
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(h, 1, 1));
    EXPECT_EQ(0.0, h->stat->nc);
    double vmax = 1;
    g_object_get(h, "vmax", &vmax, nullptr);
    EXPECT_EQ(0.0, vmax);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, EvaluationClampsToTheEdgeCells)
{
    HstHistogram2D* h = grid_4x3();
    hst_histogram2d_fill(h, 0.5, 0.5, 4.0);
    hst_histogram2d_fill(h, 3.5, 2.5, 6.0);
    HstFunction2D* f = HST_FUNCTION2D(h);
    EXPECT_EQ(4.0, hst_function2d_eval(f, -10.0, -10.0));
    EXPECT_EQ(6.0, hst_function2d_eval(f, 100.0, 100.0));
    EXPECT_EQ(0.0, hst_function2d_eval(f, 1.5, 0.5));

    // Never drawn as a curve.
    Tuple t;
    hst_function_get_array(HST_FUNCTION(h), &t.t, 0.0, 4.0);
    EXPECT_EQ(0, t.t.n);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, AdoptedBufferGivesItsStatisticsAndStaysTheCallers)
{
    double cells[12] = {0};
    cells[6] = 5.0; // (2, 1)
    HstHistogram2D* h = hst_histogram2d_new(4, 0.0, 4.0, 3, 0.0, 3.0, cells);
    EXPECT_EQ(0, h->owner);
    EXPECT_EQ(5.0, h->stat->nc);
    EXPECT_DOUBLE_EQ(2.5, hst_stats_get_mean(h->stat, 0));
    EXPECT_DOUBLE_EQ(1.5, hst_stats_get_mean(h->stat, 1));
    EXPECT_EQ(5.0, h->vmax);
    hst_histogram2d_fill(h, 3.5, 2.5, 1.0);
    EXPECT_EQ(1.0, cells[11]);

    g_object_set(h, "ny", 6, nullptr);
    EXPECT_EQ(1, h->owner);
    EXPECT_NE(cells, h->y);
    EXPECT_EQ(5.0, cells[6]);
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(h, 2, 1));
    // The Y step follows the new count at once.
    EXPECT_DOUBLE_EQ(0.5, hst_function2d_Y(HST_FUNCTION2D(h))->step);
    hst_histogram2d_fill(h, 3.9, 2.9, 1.0);
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(h, 3, 5));

    g_object_set(h, "ptr", nullptr, nullptr);
    EXPECT_EQ(1, h->owner);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, TextFormRowsAreY)
{
    HstHistogram2D* h = hst_histogram2d_new(2, 0.0, 2.0, 2, 0.0, 4.0, nullptr);
    hst_histogram2d_fill(h, 0.5, 1.0, 1.0);
    hst_histogram2d_fill(h, 1.5, 3.0, 2.5);
    EXPECT_EQ("2D 2 0.000000 2.000000 2 0.000000 4.000000\t"
              "[nxbin xmin xmax nybin ymin ymax - data ( rows are Y, columns X )]\n"
              "1.000000\t0.000000\n"
              "0.000000\t2.500000\n",
              take_text(hst_function_print(HST_FUNCTION(h))));
    g_object_unref(h);

    HstFunction2D* f = hst_function2d_new(3, 0.0, 3.0, 1, 0.0, 2.0, plane);
    EXPECT_EQ(15.5, hst_function2d_eval(f, 0.5, 1.5));
    EXPECT_EQ("2D 3 0.000000 3.000000 1 0.000000 2.000000\t"
              "[nxbin xmin xmax nybin ymin ymax - data ( rows are Y, columns X )]\n"
              "10.500000\t11.500000\t12.500000\n",
              take_text(hst_function_print(HST_FUNCTION(f))));
    gpointer fn = nullptr;
    g_object_get(f, "func", &fn, nullptr);
    EXPECT_EQ(reinterpret_cast<gpointer>(plane), fn);
    EXPECT_EQ(nullptr, HST_FUNCTION(f)->func);
    g_object_unref(f);
}

TEST_F(Histogram2DTest, AxisPropertiesRoundTrip)
{
    HstHistogram2D* h = hst_histogram2d_new(4, -2.0, 2.0, 5, 10.0, 20.0, nullptr);
    double ymin = 0, ymax = 0, ystep = 0, xstep = 0;
    g_object_get(h, "ymin", &ymin, "ymax", &ymax, "ystep", &ystep, "xstep", &xstep, nullptr);
    EXPECT_EQ(10.0, ymin);
    EXPECT_EQ(20.0, ymax);
    EXPECT_EQ(2.0, ystep);
    EXPECT_EQ(1.0, xstep);
    g_object_set(h, "ymin", 0.0, "ymax", 5.0, nullptr);
    EXPECT_EQ(1.0, hst_function2d_Y(HST_FUNCTION2D(h))->step);
    hst_histogram2d_fill(h, -1.5, 4.5, 1.0);
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(h, 0, 4));

    // nx recomputes the X step over the range it has.
    g_object_set(h, "nx", 8, nullptr);
    EXPECT_DOUBLE_EQ(0.5, hst_function_get_step(HST_FUNCTION(h)));
    hst_histogram2d_fill(h, 1.9, 0.5, 1.0);
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(h, 7, 0));
    g_object_unref(h);
}

TEST_F(Histogram2DTest, StepsReallocateTheCells)
{
    HstHistogram2D* h = grid_4x3();
    g_object_set(h, "xstep", 0.5, nullptr);
    EXPECT_EQ(8, HST_FUNCTION(h)->nbin);
    g_object_set(h, "ystep", 0.25, nullptr);
    EXPECT_EQ(12, hst_function2d_Y(HST_FUNCTION2D(h))->nbin);
    int npts = 0;
    g_object_get(h, "npts", &npts, nullptr);
    EXPECT_EQ(96, npts);
    hst_histogram2d_fill(h, 3.9, 2.9, 1.0); // the very last cell
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(h, 7, 11));
    EXPECT_EQ(1.0, h->y[95]);

    g_object_set(h, "ystep", 0.0, nullptr);
    EXPECT_EQ(1, consume("step gives 1 to 999999 bins"));
    EXPECT_EQ(12, hst_function2d_Y(HST_FUNCTION2D(h))->nbin);
    g_object_unref(h);
}

TEST_F(Histogram2DTest, CellCountsThatOverflowAreRefused)
{
    EXPECT_EQ(nullptr, hst_histogram2d_new(999999, 0.0, 1.0, 999999, 0.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("cells_fit"));
    EXPECT_EQ(nullptr, hst_histogram2d_new(4, 0.0, 1.0, 0, 0.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("ny>0"));

    HstHistogram2D* h = hst_histogram2d_new(100000, 0.0, 1.0, 2, 0.0, 1.0, nullptr);
    g_object_set(h, "ny", 999999, nullptr);
    EXPECT_EQ(1, consume("nx*ny cells fit"));
    EXPECT_EQ(2, hst_function2d_Y(HST_FUNCTION2D(h))->nbin);
    hst_histogram2d_fill(h, 0.999995, 0.9, 1.0);
    EXPECT_EQ(1.0, hst_histogram2d_get_cell_content(h, 99999, 1));

    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(h, 100000, 0));
    EXPECT_EQ(0.0, hst_histogram2d_get_cell_content(h, 0, -1));
    EXPECT_EQ(2, consume("ix>=0 && ix<nx && iy>=0 && iy<ny"));
    g_object_unref(h);
}

TEST_F(Histogram2DTest, BadObjectsWarn)
{
    hst_histogram2d_fill(nullptr, 0.0, 0.0, 1.0);
    EXPECT_EQ(1, consume("h2d != NULL"));
    HstHistogram* h1 = hst_histogram_new(2, 0.0, 1.0, nullptr);
    hst_histogram2d_reset(reinterpret_cast<HstHistogram2D*>(h1));
    EXPECT_EQ(1, consume("HST_IS_HISTOGRAM2D (h2d)"));
    EXPECT_EQ(0.0, hst_function2d_eval(reinterpret_cast<HstFunction2D*>(h1), 0.0, 0.0));
    EXPECT_EQ(1, consume("HST_IS_FUNCTION2D"));
    EXPECT_EQ(nullptr, hst_function2d_new(2, 1.0, 1.0, 2, 0.0, 1.0, nullptr));
    EXPECT_EQ(1, consume("xmin!=xmax"));
    g_object_unref(h1);
}

TEST_F(Histogram2DTest, ConcurrentFillsGiveExactTotals)
{
    constexpr int kThreads = 4;
    constexpr int kFills = 25000;
    HstHistogram2D* h = hst_histogram2d_new(10, 0.0, 10.0, 10, 0.0, 10.0, nullptr);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            GString* text = hst_function_print(HST_FUNCTION(h));
            g_string_free(text, TRUE);
            hst_function_lock(HST_FUNCTION(h));
            double sum = 0;
            for (int i = 0; i < 100; i++)
                sum += h->y[i];
            EXPECT_EQ(sum, h->stat->nc);
            hst_function_unlock(HST_FUNCTION(h));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::thread> fillers;
    for (int t = 0; t < kThreads; t++) {
        fillers.emplace_back([h, t] {
            for (int i = 0; i < kFills; i++)
                hst_histogram2d_fill(h, (i + t) % 10 + 0.5, (i / 10 + t) % 10 + 0.5, 1.0);
        });
    }
    for (auto& t : fillers)
        t.join();
    done = true;
    reader.join();
    EXPECT_EQ(double(kThreads) * kFills, h->stat->nc);
    double sum = 0;
    for (int i = 0; i < 100; i++)
        sum += hst_histogram2d_get_cell_content(h, i % 10, i / 10);
    EXPECT_EQ(double(kThreads) * kFills, sum);
    g_object_unref(h);
}
