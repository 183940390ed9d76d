// 1D chart: curves, properties, colours, range following, timer, Y range,
// the drawing arithmetic at its edges, and a curve that another thread holds.
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WidgetTest.h"

namespace {

HstHistogram* histogram_with(std::initializer_list<double> contents, double xmin, double xmax)
{
    HstHistogram* h = hst_histogram_new(static_cast<int>(contents.size()), xmin, xmax, nullptr);
    int i = 0;
    for (double v : contents)
        hst_histogram_set_bin_content(h, i++, v);
    return h;
}

double prop_double(gpointer obj, const char* name)
{
    double v = 0.0;
    g_object_get(obj, name, &v, nullptr);
    return v;
}

guint range_changed_id()
{
    return g_signal_lookup("range-changed", HST_TYPE_FUNCTION);
}

// A chart of the function, shown at 400 x 300; the window owns it.
struct Shown {
    HstChart1D* chart;
    HstCanvas* c;
};

} // namespace

class Chart1DTest : public WidgetTest {
protected:
    // Takes over the reference of f.
    Shown chart_of(HstFunction* f, int width = 400, int height = 300)
    {
        GtkWidget* w = hst_chart1d_new(f);
        g_object_unref(f);
        show(w, width, height);
        return {HST_CHART1D(w), HST_CHART1D(w)->cnvs};
    }

    // The Y range an automatic draw settles on.
    std::pair<double, double> drawn_y_range(HstChart1D* chart)
    {
        chart1d_draw_canvas(chart, nullptr);
        return {prop_double(chart, "hymin"), prop_double(chart, "hymax")};
    }
};

TEST_F(Chart1DTest, ConstructionAndCurveList)
{
    EXPECT_EQ(nullptr, hst_chart1d_new(nullptr));
    EXPECT_EQ(1, consume("ff!=0"));

    HstHistogram* a = hst_histogram_new(10, 0.0, 10.0, nullptr);
    HstHistogram* b = hst_histogram_new(10, 5.0, 15.0, nullptr);
    GtkWidget* w = g_object_ref_sink(hst_chart1d_new(HST_FUNCTION(a)));
    HstChart1D* chart = HST_CHART1D(w);
    EXPECT_EQ(0x11u, chart->drawaxis);
    hst_chart1d_draw_y_axis(chart, HST_AXIS_RIGHT);
    EXPECT_EQ(0x41u, chart->drawaxis);
    EXPECT_EQ(HST_FUNCTION(a), hst_chart1d_get_func(chart, 0));
    EXPECT_EQ(1, hst_chart1d_get_n_func(chart));

    // Without a main curve, an added curve becomes it, with its range.
    hst_chart1d_remove_curves(chart);
    EXPECT_EQ(nullptr, chart->func);
    EXPECT_EQ(0, hst_chart1d_get_n_func(chart));
    hst_chart1d_add_curve(chart, HST_FUNCTION(b));
    EXPECT_EQ(HST_FUNCTION(b), chart->func);
    EXPECT_EQ(5.0, chart->xmin);
    EXPECT_EQ(15.0, chart->xmax);
    hst_chart1d_add_curve(chart, HST_FUNCTION(a));
    EXPECT_EQ(2, hst_chart1d_get_n_func(chart));
    EXPECT_EQ(HST_FUNCTION(a), hst_chart1d_get_func(chart, 1));
    EXPECT_EQ(nullptr, hst_chart1d_get_func(chart, 2));

    hst_chart1d_set_xtitle(chart, "Channel");
    hst_chart1d_set_xtitle(chart, nullptr);
    EXPECT_STREQ("Channel", hst_chart1d_get_xtitle(chart));
    EXPECT_EQ(nullptr, hst_chart1d_get_ytitle(chart));

    // The chart holds a reference on each curve until it goes.
    g_object_unref(a);
    g_object_unref(b);
    EXPECT_TRUE(HST_IS_HISTOGRAM(hst_chart1d_get_func(chart, 1)));
    gtk_widget_destroy(w);
    g_object_unref(w);
}

TEST_F(Chart1DTest, ValueRangeFixesAndReturnsToAutomatic)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({0, 1, 3}, 0, 3)));
    g_object_set(s.chart, "vmin", 2.0, "vmax", 5.0, nullptr);
    EXPECT_TRUE(s.c->fixed);
    auto r = drawn_y_range(s.chart);
    EXPECT_EQ(2.0, r.first);
    EXPECT_EQ(5.0, r.second);
    g_object_set(s.chart, "vmin", 0.0, "vmax", 0.0, nullptr);
    EXPECT_FALSE(s.c->fixed);
    r = drawn_y_range(s.chart);
    EXPECT_EQ(0.0, r.first);
    EXPECT_DOUBLE_EQ(3.3, r.second);
}

// An acquisition thread holds a curve's lock, filling it, and the scheduler
// may keep it waiting for a processor: the chart's allocation and draw go on
// without the curve meanwhile, and show what it holds once it is free.
TEST_F(Chart1DTest, AllocationAndDrawNeverWaitForACurveAnotherThreadHolds)
{
    HstHistogram* h = histogram_with({0, 1, 3}, 0, 3);
    Shown s = chart_of(HST_FUNCTION(g_object_ref(h)));
    snapshot();
    ASSERT_DOUBLE_EQ(3.3, s.c->ymax);

    std::mutex m;
    std::condition_variable cv;
    bool holding = false;
    bool release = false;
    bool timed_out = false;
    std::thread filler([&] {
        hst_function_lock(HST_FUNCTION(h));
        hst_histogram_set_bin_content(h, 1, 10.0);
        std::unique_lock<std::mutex> lock(m);
        holding = true;
        cv.notify_all();
        // Bounded, so that a chart that waits makes the test fail, not hang.
        timed_out = !cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
        hst_function_unlock(HST_FUNCTION(h));
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return holding; });
    }
    gtk_widget_set_size_request(GTK_WIDGET(s.chart), 420, 300);
    gtk_widget_queue_draw(GTK_WIDGET(s.chart));
    snapshot();
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    filler.join();
    EXPECT_FALSE(timed_out) << "the chart waited for the curve";
    EXPECT_DOUBLE_EQ(3.3, s.c->ymax) << "drawn from a curve another thread held";

    const gint64 until = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
    while (s.c->ymax != 11.0 && g_get_monotonic_time() < until) {
        snapshot();
        g_usleep(10000);
    }
    EXPECT_DOUBLE_EQ(11.0, s.c->ymax) << "not drawn again once the curve was free";
    g_object_unref(h);
}

TEST_F(Chart1DTest, AutomaticYRangeMargins)
{
    struct Case {
        std::initializer_list<double> contents;
        double lo, hi;
    };
    // Flat at 0 opens to 10 plus the margin; a range from 0 keeps 0; a
    // narrow range far from 0 gets a tenth of its level as span. An outline
    // (not filled) keeps its level at the ends instead of dropping to 0.
    const Case cases[] = {{{0, 0, 0}, 0.0, 11.0}, {{0, 100, 200}, 0.0, 220.0}, {{100, 100.5, 101}, 99.0, 102.0}};
    for (const Case& k : cases) {
        Shown s = chart_of(HST_FUNCTION(histogram_with(k.contents, 0, 3)));
        const auto r = drawn_y_range(s.chart);
        EXPECT_DOUBLE_EQ(k.lo, r.first);
        EXPECT_DOUBLE_EQ(k.hi, r.second);
        gtk_widget_destroy(window_);
        window_ = nullptr;
    }
    Shown s = chart_of(HST_FUNCTION(histogram_with({1}, 0, 1)));
    hst_chart1d_remove_curves(s.chart);
    const auto r = drawn_y_range(s.chart);
    EXPECT_EQ(0.0, r.first);
    EXPECT_EQ(11.0, r.second);
}

TEST_F(Chart1DTest, NonFiniteValuesDoNotSpoilTheRange)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({0, NAN, INFINITY, 4}, 0, 4)));
    const auto r = drawn_y_range(s.chart);
    EXPECT_EQ(0.0, r.first);
    EXPECT_DOUBLE_EQ(4.4, r.second);
}

TEST_F(Chart1DTest, CurveColoursWrapAndLegendFallsBackToForeground)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 2}, 0, 2)));
    HstFunction* b = HST_FUNCTION(histogram_with({1, 2}, 0, 2));
    HstFunction* c = HST_FUNCTION(histogram_with({1, 2}, 0, 2));
    hst_function_set_name(b, "b<&>");
    hst_chart1d_add_curve(s.chart, b);
    hst_chart1d_add_curve(s.chart, c);
    g_object_unref(b);
    g_object_unref(c);

    hst_chart1d_set_colors(s.chart, "foreground", "#0000ff", nullptr);
    gchar* legend = _hst_chart_legend_markup(s.chart);
    EXPECT_STREQ("<span foreground=\"#0000ff\">[unnamed]</span>\n"
                 "<span foreground=\"#0000ff\">b&lt;&amp;&gt;</span>\n"
                 "<span foreground=\"#0000ff\">[unnamed]</span>\n",
                 legend);
    g_free(legend);
    EXPECT_EQ(nullptr, _hst_chart_curve_color(s.chart, 0));

    hst_chart1d_set_curve_colors(s.chart, "red", "green", nullptr);
    const GdkColor* third = _hst_chart_curve_color(s.chart, 2);
    ASSERT_NE(nullptr, third);
    EXPECT_EQ(rgb_of(*_hst_chart_curve_color(s.chart, 0)), rgb_of(*third));
    hst_chart1d_add_curve_color(s.chart, "no such colour");
    EXPECT_EQ(2u, g_list_length(s.c->curve_colors));
}

TEST_F(Chart1DTest, ColourKeys)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1}, 0, 1)));
    hst_chart1d_set_colors(s.chart, "border", "red", "axis", "white", nullptr);
    EXPECT_EQ((Rgb{255, 255, 255}), rgb_of(s.chart->colors[HST_COLOR_AXIS]));
    EXPECT_EQ(0u, pending());
    hst_chart1d_set_colors(s.chart, "axis", nullptr, "curve", "red", nullptr);
    EXPECT_EQ(1, consume("no color name given for axis"));
    EXPECT_EQ((Rgb{0, 0, 0}), rgb_of(s.chart->colors[HST_COLOR_CURVE]));
    // The first draw took the style's background, by name.
    ASSERT_NE(nullptr, s.c->color_names[HST_COLOR_BACKGROUND]);
}

TEST_F(Chart1DTest, RangeFollowingEndsWithTheChart)
{
    HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
    g_object_ref(h);
    Shown s = chart_of(HST_FUNCTION(h));
    hst_chart1d_sync_range(s.chart, TRUE);
    g_object_set(h, "xmax", 20.0, nullptr);
    EXPECT_EQ(20.0, s.chart->xmax);

    // Removing the curves disconnects, but the next main curve is followed.
    hst_chart1d_remove_curves(s.chart);
    EXPECT_FALSE(g_signal_has_handler_pending(h, range_changed_id(), 0, TRUE));
    hst_chart1d_add_curve(s.chart, HST_FUNCTION(h));
    EXPECT_TRUE(g_signal_has_handler_pending(h, range_changed_id(), 0, TRUE));
    hst_chart1d_sync_range(s.chart, FALSE);
    EXPECT_FALSE(g_signal_has_handler_pending(h, range_changed_id(), 0, TRUE));
    hst_chart1d_sync_range(s.chart, TRUE);

    // The histogram outlives its window: its signal must not reach the
    // chart any more.
    gtk_widget_destroy(window_);
    window_ = nullptr;
    EXPECT_FALSE(g_signal_has_handler_pending(h, range_changed_id(), 0, TRUE));
    g_object_set(h, "xmin", 1.0, nullptr);
    g_object_unref(h);
}

TEST_F(Chart1DTest, TimerRestartsAndStops)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1}, 0, 1)));
    hst_chart1d_monitor_start(s.chart, 50);
    const int first = s.chart->tmout;
    hst_chart1d_monitor_start(s.chart, 50);
    EXPECT_NE(first, s.chart->tmout);
    EXPECT_EQ(nullptr, g_main_context_find_source_by_id(nullptr, static_cast<guint>(first)));
    EXPECT_NE(nullptr, g_main_context_find_source_by_id(nullptr, static_cast<guint>(s.chart->tmout)));
    hst_chart1d_monitor_stop(s.chart);
    EXPECT_EQ(-1, s.chart->tmout);
    // A running timer goes with the chart.
    hst_chart1d_monitor_start(s.chart, 50);
    const guint id = static_cast<guint>(s.chart->tmout);
    gtk_widget_destroy(window_);
    window_ = nullptr;
    EXPECT_EQ(nullptr, g_main_context_find_source_by_id(nullptr, id));
}

TEST_F(Chart1DTest, ResizeResetsAZoom)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 2, 3, 4}, 0, 4)));
    s.chart->xmin = 1.0;
    s.chart->xmax = 2.0;
    gtk_widget_set_size_request(GTK_WIDGET(s.chart), 350, 250);
    pump();
    EXPECT_EQ(0.0, s.chart->xmin);
    EXPECT_EQ(4.0, s.chart->xmax);
}

TEST_F(Chart1DTest, LogAxesTransformDataValuesBothWays)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 10, 100, 1000}, 1, 1000)));
    hst_chart1d_logx(s.chart, TRUE);
    hst_chart1d_logy(s.chart, TRUE);
    chart1d_draw_canvas(s.chart, nullptr);
    ASSERT_TRUE(s.c->logx && s.c->logy);
    for (double v : {3.0, 100.0, 500.0}) {
        HstPoint p;
        canvas_transform(s.c, v, v, &p);
        double x = 0, y = 0;
        canvas_transform_inv(s.c, static_cast<int>(lround(p.x)), static_cast<int>(lround(p.y)), &x, &y);
        // One pixel is a few percent of a value at this scale.
        EXPECT_NEAR(1.0, x / v, 0.05) << v;
        EXPECT_NEAR(1.0, y / v, 0.05) << v;
    }
}

TEST_F(Chart1DTest, DegenerateRangesDrawWithFiniteScales)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({0, 5, 0}, 0, 3)));
    auto check = [&](const char* what) {
        chart1d_draw_canvas(s.chart, nullptr);
        EXPECT_TRUE(std::isfinite(s.c->xstp) && s.c->xstp != 0.0) << what;
        EXPECT_TRUE(std::isfinite(s.c->ystp) && s.c->ystp != 0.0) << what;
        HstPoint p;
        canvas_transform(s.c, 1.0, 1.0, &p);
        EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y)) << what;
        double x = 0, y = 0;
        canvas_transform_inv(s.c, 10, 10, &x, &y);
        EXPECT_FALSE(std::isnan(x) || std::isnan(y)) << what;
        EXPECT_EQ(CAIRO_STATUS_SUCCESS, cairo_surface_status(s.c->surface)) << what;
    };
    // Lower edges at or below 0 on log axes.
    hst_chart1d_logx(s.chart, TRUE);
    hst_chart1d_logy(s.chart, TRUE);
    check("log axes from 0");
    s.chart->xmin = -5.0;
    s.chart->xmax = 0.0;
    check("log axis entirely below 0");
    hst_chart1d_logx(s.chart, FALSE);
    hst_chart1d_logy(s.chart, FALSE);
    s.chart->xmin = s.chart->xmax = 2.0;
    check("empty X range");
    g_object_set(s.chart, "vmin", 7.0, "vmax", 3.0, nullptr);
    check("reversed value range");
    s.chart->xmin = -1e300;
    s.chart->xmax = 1e300;
    check("huge X range");
    s.chart->xmin = NAN;
    check("X range not a number");
}

TEST_F(Chart1DTest, TicksEndForRangesFarFromZero)
{
    // In single precision a step of 10 vanishes against 1e9: a loop that
    // adds the step would never end.
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 2, 3, 4}, 1e9, 1e9 + 100)));
    hst_chart1d_show_stats(s.chart, TRUE);
    chart1d_draw_canvas(s.chart, nullptr);
    g_object_set(s.chart, "vmin", 1e12, "vmax", 1e12 + 1, nullptr);
    chart1d_draw_canvas(s.chart, nullptr);
    s.chart->xmin = 1e-30;
    s.chart->xmax = 2e-30;
    chart1d_draw_canvas(s.chart, nullptr);
    SUCCEED();
}

TEST_F(Chart1DTest, TickLabels)
{
    GString* t = g_string_new(nullptr);
    EXPECT_EQ(0.0, get_value_for_label(4e-6f, 1.0, FALSE, t));
    EXPECT_STREQ("0", t->str);
    EXPECT_FLOAT_EQ(2.5f, static_cast<float>(get_value_for_label(2500.0f, 1000.0, FALSE, t)));
    EXPECT_STREQ("2.5", t->str);
    EXPECT_DOUBLE_EQ(100.0, get_value_for_label(2.0f, 1.0, TRUE, t));
    EXPECT_STREQ("100", t->str);
    g_string_free(t, TRUE);
}

// Pedestals about 2048 and ranges whose step is a fraction of the values:
// at every size the chart takes, no tick label repeats its neighbour, and a
// label says its tick's value to within a tenth of the step.
TEST_F(Chart1DTest, TickLabelsTellNeighboursApart)
{
    HstHistogram* ped = hst_histogram_new(128, 0, 128, nullptr);
    for (int i = 0; i < 128; ++i)
        hst_histogram_set_bin_content(ped, i, 2045 + (i * 7) % 5);
    Shown s = chart_of(HST_FUNCTION(ped));
    const auto labels = [&](HstChartAxisType axis) {
        std::vector<std::string> out;
        GPtrArray* a = _hst_chart_axis_labels(s.chart, axis);
        for (guint i = 0; i < a->len; ++i)
            out.push_back(static_cast<const char*>(g_ptr_array_index(a, i)));
        return out;
    };
    const auto check = [&](const std::string& what) {
        for (HstChartAxisType axis : {HST_X_AXIS, HST_Y_AXIS}) {
            const std::vector<std::string> l = labels(axis);
            ASSERT_GE(l.size(), 3u) << what;
            const double step = std::stod(l[1]) - std::stod(l[0]);
            for (size_t i = 1; i < l.size(); ++i) {
                EXPECT_NE(l[i - 1], l[i]) << what << " axis " << axis;
                EXPECT_NEAR(step, std::stod(l[i]) - std::stod(l[i - 1]), 0.1 * std::fabs(step))
                    << what << ": " << l[i - 1] << " " << l[i];
            }
        }
    };
    for (const auto& size : {std::make_pair(300, 150), {400, 300}, {640, 480}, {900, 800}}) {
        gtk_widget_set_size_request(GTK_WIDGET(s.chart), size.first, size.second);
        pump();
        chart1d_draw_canvas(s.chart, nullptr);
        check(std::to_string(size.first) + "x" + std::to_string(size.second));
        for (const std::string& l : labels(HST_Y_AXIS))
            EXPECT_EQ(4u, l.size()) << l;
        // A step of a half, then of a hundredth, around 2048.
        g_object_set(s.chart, "vmin", 2047.0, "vmax", 2050.0, nullptr);
        chart1d_draw_canvas(s.chart, nullptr);
        check("2047 to 2050");
        g_object_set(s.chart, "vmin", 2048.0, "vmax", 2048.1, nullptr);
        chart1d_draw_canvas(s.chart, nullptr);
        check("2048 to 2048.1");
        g_object_set(s.chart, "vmin", 0.0, "vmax", 0.0, nullptr);
    }
    // "%.3g" where that suffices: labels as short as they were.
    EXPECT_EQ("0", labels(HST_X_AXIS).front());
    EXPECT_EQ("120", labels(HST_X_AXIS).back());
}

TEST_F(Chart1DTest, ZoomedStatisticsUseTheVisibleBinCentres)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({0, 0, 1, 0, 0, 0, 0, 3, 0, 0}, 0, 10)));
    hst_chart1d_show_stats(s.chart, TRUE);
    // A zoom whose edge is not on a bin edge.
    s.chart->xmin = 1.5;
    s.chart->xmax = 5.0;
    chart1d_draw_canvas(s.chart, nullptr);
    EXPECT_EQ(1.0, hst_stats_get_nc(s.c->stats));
    EXPECT_DOUBLE_EQ(2.5, hst_stats_get_mean(s.c->stats, 0));
}

TEST_F(Chart1DTest, LabelDivisorOfAWideAxis)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 2}, 0, 5000)));
    hst_chart1d_set_xtitle(s.chart, "X");
    chart1d_draw_canvas(s.chart, nullptr);
    EXPECT_EQ(3.0, s.c->exponent_x);
    EXPECT_EQ(1000.0, s.c->mantisa_x);
}

TEST_F(Chart1DTest, DrawingIntoAGivenContextLeavesItUsable)
{
    Shown s = chart_of(HST_FUNCTION(histogram_with({1, 2, 3}, 0, 3)));
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 400, 300);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.0, 1.0, 0.0);
    cairo_set_line_width(cr, 7.0);
    chart1d_draw_canvas(s.chart, cr);
    EXPECT_EQ(CAIRO_STATUS_SUCCESS, cairo_status(cr));
    EXPECT_EQ(7.0, cairo_get_line_width(cr));
    double r, g, b, a;
    ASSERT_EQ(CAIRO_STATUS_SUCCESS, cairo_pattern_get_rgba(cairo_get_source(cr), &r, &g, &b, &a));
    EXPECT_EQ(1.0, g);
    EXPECT_EQ(nullptr, s.c->cairo);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}
