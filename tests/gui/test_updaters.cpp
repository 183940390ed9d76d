// The status updaters: their formats, the rate gauge's scale, the
// throughput strip chart, their lifetime with their widgets and holders,
// and the run-state snapshots.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "GuiTest.h"
#include "common/TestModule.h"
#include "gui/Update.h"
#include "gui/UpdateGaugeEff.h"
#include "gui/UpdateGaugeRate.h"
#include "gui/UpdateLabelRate.h"
#include "gui/UpdateLabelTime.h"
#include "gui/UpdateThroughPut.h"
#include "gui/WidgetHolder.h"
#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_gauge.h"
#include "plenwig/hst_tracer.h"

namespace {

// Counts its deletions; answers `result` to every update.
struct Probe : WidgetUpdate {
    Probe(GtkWidget* o, int& deleted, int result = 0) : WidgetUpdate(o), deleted_(deleted), result_(result) {}
    ~Probe() override { deleted_++; }
    int update(Update&) override
    {
        updates++;
        return result_;
    }
    int updates = 0;
    int& deleted_;
    int result_;
};

GtkWidget* owned(GtkWidget* w)
{
    return GTK_WIDGET(g_object_ref_sink(w));
}

void drop(GtkWidget* w)
{
    gtk_widget_destroy(w);
    g_object_unref(w);
}

std::string label_text(UpdateLabelTime& u, double seconds)
{
    Update snap;
    snap.time = seconds;
    u.update(snap);
    return gtk_label_get_text(GTK_LABEL(u.wdgt()));
}

} // namespace

TEST_F(GuiTest, LabelsShowCountsRatesAndRunTimes)
{
    // Updaters on the stack go before their widget.
    GtkWidget* label = owned(gtk_label_new(""));
    {
        UpdateLabelTime time(label);
        for (const auto& c : std::vector<std::pair<double, const char*>>{{0, "0  0:00:00"},
                                                                        {59.9, "0  0:00:59"},
                                                                        {86399, "0 23:59:59"},
                                                                        {86400, "1  0:00:00"},
                                                                        {3725, "0  1:02:05"},
                                                                        {90061, "1  1:01:01"}})
            EXPECT_EQ(c.second, label_text(time, c.first)) << c.first;
        Update snap;
        snap.rate = 12.345;
        UpdateLabelRate rate(label);
        EXPECT_EQ(0, rate.update(snap));
        EXPECT_STREQ("  12.3", gtk_label_get_text(GTK_LABEL(label)));
    }
    drop(label);
}

TEST(UpperBin, StepsOfOneTwoFive)
{
    for (const auto& c : std::vector<std::pair<double, double>>{
             {0.5, 0.5}, {1, 1}, {1.5, 2}, {7, 10}, {20, 20}, {0.03, 0.05}, {100.000000001, 200}, {3e5, 5e5}})
        EXPECT_DOUBLE_EQ(c.second, get_upper_bin(c.first)) << c.first;
    for (double bad : {0.0, -5.0, 2e30, std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()})
        EXPECT_EQ(0.0, get_upper_bin(bad)) << bad;
}

TEST_F(GuiTest, RateGaugeFollowsTheRecentRates)
{
    GtkWidget* widget = owned(hst_gauge_new(0, 50));
    HstGauge* gauge = HST_GAUGE(widget);
    auto xmax = [&] {
        double x = 0;
        g_object_get(gauge, "xmax", &x, nullptr);
        return x;
    };
    {
        UpdateGaugeRate rate(widget);
        Update snap;
        snap.rate = 100;
        for (int i = 0; i < 5; ++i) {
            rate.update(snap);
            EXPECT_DOUBLE_EQ(200, xmax()) << i;
        }
        EXPECT_FLOAT_EQ(100, hst_gauge_get_value(gauge));

        // Rates of mean 100 and spread 10 under a scale end of 150: kept.
        HstHistogram* recent = HST_HISTOGRAM(hst_gauge_get_tracer(gauge));
        hst_histogram_reset(recent);
        for (double r : {90.0, 110.0, 90.0})
            hst_histogram_fill(recent, r, 1);
        g_object_set(gauge, "xmax", 150.0, nullptr);
        snap.rate = 110;
        rate.update(snap);
        EXPECT_DOUBLE_EQ(150, xmax());
        // Rising above the scale: the next step above mean + 10 sigma.
        snap.rate = 1000;
        rate.update(snap);
        EXPECT_DOUBLE_EQ(5000, xmax());

        UpdateGaugeEff eff(widget);
        snap.eff = 87.5;
        EXPECT_EQ(0, eff.update(snap));
        EXPECT_FLOAT_EQ(87.5, hst_gauge_get_value(gauge));
    }
    drop(widget);
}

TEST_F(GuiTest, ThroughputStripChart)
{
    HstTracer* tracer = hst_tracer_new(10);
    GtkWidget* chart = owned(hst_chart1d_new(HST_FUNCTION(tracer)));
    auto held = [&] { return tracer->npoints; };
    auto last = [&] { return hst_histogram_get_bin_content(HST_HISTOGRAM(tracer), (tracer->index + 9) % 10); };
    auto* thru = new UpdateThroughPut(chart);
    Update snap;
    EXPECT_EQ(0, thru->update(snap));   // run time 0: nothing
    EXPECT_EQ(0, held());
    snap.time = 2;
    snap.throughput = 4096;
    thru->update(snap);
    ASSERT_EQ(1, held());
    EXPECT_DOUBLE_EQ(2, last());       // 4096 / 1024 over 2 s
    thru->update(snap);                 // unchanged: 0
    ASSERT_EQ(2, held());
    EXPECT_DOUBLE_EQ(0, last());
    // A new run: counted from its start, never negative.
    snap.time = 1;
    snap.throughput = 1024;
    thru->update(snap);
    ASSERT_EQ(3, held());
    EXPECT_DOUBLE_EQ(1, last());

    // On another widget: answers -1, for its holder to remove it.
    GtkWidget* label = owned(gtk_label_new(""));
    {
        UpdateThroughPut wrong(label);
        EXPECT_EQ(-1, wrong.update(snap));
    }
    drop(label);
    drop(chart);
    g_object_unref(tracer);
}

TEST_F(GuiTest, UpdatersLiveAsLongAsTheirWidgetsAndLeaveTheirHolders)
{
    int deleted = 0;
    GtkWidget* label = gtk_label_new("");
    auto* first = new Probe(label, deleted);
    auto* second = new Probe(label, deleted);
    WidgetHolder one, two;
    one.addUpdate(first);
    one.addUpdate(first);
    one.addUpdate(second);
    two.addUpdate(second);
    EXPECT_EQ(2, one.countUpdates());

    // Deleted directly: unbound and out of every holder; the widget and
    // the other updater stay.
    delete second;
    EXPECT_EQ(1, deleted);
    EXPECT_EQ(1, one.countUpdates());
    EXPECT_TRUE(two.empty());
    Update snap;
    one.updateAll(snap);
    EXPECT_EQ(1, first->updates);

    // The widget's destruction deletes what is bound to it.
    auto* third = new Probe(label, deleted);
    two.addUpdate(third);
    g_object_ref_sink(label);
    gtk_widget_destroy(label);
    EXPECT_EQ(3, deleted);
    EXPECT_TRUE(one.empty());
    EXPECT_TRUE(two.empty());
    g_object_unref(label);

    // An update that removes itself takes the updaters sharing its widget
    // along; the walk goes on over the others.
    GtkWidget* shared = gtk_label_new("");
    GtkWidget* other = gtk_label_new("");
    WidgetHolder walk;
    Probe* keep = new Probe(other, deleted);
    for (Probe* p : {new Probe(shared, deleted, 1), new Probe(shared, deleted), keep, new Probe(shared, deleted)})
        walk.addUpdate(p);
    walk.updateAll(snap);
    EXPECT_EQ(6, deleted);
    EXPECT_EQ(1, walk.countUpdates());
    EXPECT_EQ(1, keep->updates);

    walk.deleteUpdate(nullptr);
    walk.deleteAll();
    EXPECT_EQ(7, deleted);
    walk.deleteAll();
}

TEST_F(GuiTest, SnapshotsOfRunManagersAndModules)
{
    auto* module = new IdleModule("snap1");
    module->get_status().add_trigger(7);
    int nrm = -1, nmd = -1;
    Update* rml = nullptr;
    Update* mdl = nullptr;
    Update_all(nrm, &rml, nmd, &mdl);
    EXPECT_EQ(0, nrm);
    EXPECT_NE(nullptr, rml);   // an array of length 0
    ASSERT_EQ(1, nmd);
    EXPECT_EQ("snap1", mdl[0].id);
    EXPECT_EQ(7, mdl[0].ntrig);
    delete[] rml;
    delete[] mdl;
    delete module;
    Update u;
    u.ntrig = 3;
    Module_update("snap1", u);
    EXPECT_EQ("", u.id);
    EXPECT_EQ(0, u.ntrig);
}
