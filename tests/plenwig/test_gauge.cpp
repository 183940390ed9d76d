// Gauge: needle angles, the needle on screen, the label factor, the tracer of
// recent values and colours.
#include <cmath>

#include "WidgetTest.h"

class GaugeTest : public WidgetTest {
protected:
    HstGauge* gauge(float xmin, float xmax, int size = 300)
    {
        GtkWidget* w = hst_gauge_new(xmin, xmax);
        show(w, size, size);
        return HST_GAUGE(w);
    }

    // Darkness of a pixel: the needle and marks are the style's foreground.
    static bool dark(const Rgb& p) { return p[0] + p[1] + p[2] < 200; }
};

TEST_F(GaugeTest, NeedleAtMidRangePointsStraightUp)
{
    HstGauge* gg = gauge(0.0f, 100.0f);
    hst_gauge_set_value(gg, 50.0f);
    GdkPixbuf* pb = snapshot();
    ASSERT_NE(nullptr, pb);
    const HstGaugePrivate* p = gg->priv;
    EXPECT_NEAR(G_PI / 2, gauge_get_phi(gg, 50.0f), 1e-6);
    const int ox = static_cast<int>(p->ox), oy = static_cast<int>(p->oy);
    // Between the hub and the labels: the needle above the centre, nothing
    // beside it or below it.
    for (double f : {0.2, 0.35, 0.5}) {
        const int r = static_cast<int>(f * p->rx);
        EXPECT_TRUE(dark(pixel(pb, ox, oy - r))) << f;
        EXPECT_FALSE(dark(pixel(pb, ox - 15, oy - r))) << f;
        EXPECT_FALSE(dark(pixel(pb, ox + 15, oy - r))) << f;
        EXPECT_FALSE(dark(pixel(pb, ox - r, oy))) << f;
        EXPECT_FALSE(dark(pixel(pb, ox + r, oy))) << f;
    }
    // The band is the gauge colour (beside the major mark at the top).
    const Rgb band = pixel(pb, ox + 8, oy - static_cast<int>(0.95 * p->rx));
    EXPECT_EQ(255, band[0]);
    g_object_unref(pb);
}

TEST_F(GaugeTest, NeedleLeavesTheScaleNowhere)
{
    HstGauge* gg = gauge(0.0f, 100.0f);
    snapshot();
    EXPECT_NEAR(5 * G_PI / 4, gauge_get_phi(gg, -10.0f), 1e-6);
    EXPECT_NEAR(-G_PI / 4, gauge_get_phi(gg, 1e6f), 1e-6);
    EXPECT_NEAR(-G_PI / 4, gauge_get_phi(gg, NAN), 1e-6);
    EXPECT_NEAR(5 * G_PI / 4, gauge_get_phi(gg, 0.0f), 1e-6);
}

TEST_F(GaugeTest, LabelFactor)
{
    HstGauge* gg = gauge(0.0f, 5000.0f);
    hst_gauge_set_value(gg, 2500.0f);
    snapshot();
    EXPECT_EQ(3.0, gg->priv->ex);
    hst_gauge_set_range(gg, 0.0f, 100.0f);
    snapshot();
    EXPECT_EQ(0.0, gg->priv->ex);
}

TEST_F(GaugeTest, RangesWithoutAScaleStillPaint)
{
    HstGauge* gg = gauge(5.0f, 5.0f);
    hst_gauge_set_value(gg, NAN);
    GdkPixbuf* pb = snapshot();
    ASSERT_NE(nullptr, pb);
    EXPECT_EQ(0.0, gg->priv->step);
    g_object_unref(pb);
    hst_gauge_set_range(gg, 10.0f, 0.0f);
    g_object_set(gg, "xmax", 1e300, nullptr);
    EXPECT_TRUE(std::isfinite(gg->xmax));
    hst_gauge_set_range(gg, 1e9f, 1e9f + 100.0f);
    hst_gauge_set_value(gg, 1e9f);
    pb = snapshot();
    g_object_unref(pb);
}

TEST_F(GaugeTest, TracerDepthTitleAndColour)
{
    HstGauge* gg = gauge(0.0f, 10.0f);
    for (float v : {2.0f, 4.0f})
        hst_gauge_set_value(gg, v);
    EXPECT_EQ(4.0f, hst_gauge_get_value(gg));
    EXPECT_DOUBLE_EQ(3.0, hst_tracer_get_mean(hst_gauge_get_tracer(gg)));
    g_object_set(gg, "depth", 64, nullptr);
    int depth = 0;
    g_object_get(gg, "depth", &depth, nullptr);
    EXPECT_EQ(64, depth);
    EXPECT_EQ(64, hst_function_get_npts(HST_FUNCTION(hst_gauge_get_tracer(gg))));

    hst_gauge_set_title(gg, "Rate (Hz)");
    EXPECT_STREQ("Rate (Hz)", hst_gauge_get_title(gg));
    hst_gauge_set_title(gg, nullptr);
    EXPECT_EQ(nullptr, hst_gauge_get_title(gg));
    // A long title has no buffer to overrun.
    const std::string long_title(500, 'T');
    hst_gauge_set_title(gg, long_title.c_str());
    g_object_unref(snapshot());

    EXPECT_STREQ("red", gg->color);
    hst_gauge_set_color(gg, "no such colour");
    EXPECT_STREQ("red", gg->color);
    hst_gauge_set_color(gg, "#00ff00");
    EXPECT_STREQ("#00ff00", gg->color);
    EXPECT_EQ(65535, gg->priv->color.green);
    hst_gauge_set_color(nullptr, "red");
    EXPECT_EQ(1, consume("gg!=NULL"));
}
