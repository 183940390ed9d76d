// Parameter sliders: a value typed into a spin slider sets the module's
// integer parameter, truncated toward zero; a change of the parameter on
// another thread moves the slider without writing back; sliders that go no
// longer reach the parameter.
#include <algorithm>
#include <thread>

#include "GuiTest.h"
#include "common/LogLines.h"
#include "common/TestModule.h"
#include "common/TestUtil.h"
#include "gui/GtkSpinSlider.h"
#include "gui/MsgManager.h"
#include "gui/ParamSlider.h"

using guitest::pump_until;

namespace {

struct Counter : Ostrel::Observer {
    void update(Ostrel::Observable*, Ostrel::Argument*) override { ++n; }
    int n = 0;
};

} // namespace

TEST_F(GuiTest, SliderSetsItsParameterAndFollowsIt)
{
    IdleModule module("sl1");
    auto* threshold = new Ostrel::Par<int>(0);
    module.add_par("threshold", threshold);
    module.add_par("gain", new Ostrel::Par<double>(1.0));
    Counter count;
    threshold->addObserver(&count);
    threshold->addObserver(&MsgManager::theMsgManager()->parameter);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* widget = gtk_spinslider_new(0, -10, 10, 0.1f, 1, 0);
    SpinSlider* spin = SPINSLIDER(widget);
    gtk_spinslider_set_digits(spin, 1);
    gtk_container_add(GTK_CONTAINER(window), widget);
    guitest::show_and_wait(window);
    ParamSlider* slider = ParamSlider::new_slider("sl1", "threshold", spin->adj);
    EXPECT_EQ(slider, ParamSlider::find("sl1/threshold"));

    auto enter = [&](const char* sign, const char* digits) {
        gtk_widget_grab_focus(GTK_WIDGET(spin->mSpin));
        return (!*sign || guitest::key(window, sign)) && guitest::type_text(window, digits) &&
               guitest::key(window, "Return");
    };
    ASSERT_TRUE(enter("", "3.9"));
    EXPECT_TRUE(pump_until([&] { return threshold->get_value() == 3; }, 5));
    // The manager's observer moves the control to the value set.
    EXPECT_TRUE(pump_until([&] { return slider->get_value() == 3.0; }, 5));
    ASSERT_TRUE(enter("minus", "3.9"));
    EXPECT_TRUE(pump_until([&] { return threshold->get_value() == -3; }, 5));

    LogLines log;
    const int before = count.n;
    std::thread([&] { module.set_par<int>("threshold", 7, true); }).join();
    EXPECT_TRUE(pump_until([&] { return slider->get_value() == 7.0; }, 5));
    EXPECT_TRUE(log.has("Parameter sl1/threshold changes to 7"));
    EXPECT_EQ(before + 1, count.n);   // the move did not write back
    EXPECT_EQ(7, threshold->get_value());

    // Parameters that are no integer, or none.
    GtkAdjustment* other = GTK_ADJUSTMENT(gtk_adjustment_new(0, -10, 10, 1, 1, 0));
    ParamSlider::new_slider("sl1", "gain", other);
    ParamSlider::new_slider("nope", "gain", other);   // no such module: ignored
    std::string out = testutil::capture_stdout([&] { gtk_adjustment_set_value(other, 2); });
    EXPECT_EQ(0u, out.find("Bad parameter type matching: "));
    EXPECT_EQ(1.0, module.get_par_value<double>("gain"));
    ParamSlider::new_slider("sl1", "missing", other);
    out = testutil::capture_stdout([&] { gtk_adjustment_set_value(other, 3); });
    EXPECT_EQ(2u, std::count(out.begin(), out.end(), '\n')) << out;

    LogLines errors(Ostrel::LOG_ERROR);
    Ostrel::RunState not_a_parameter;
    MsgManager::theMsgManager()->parameter.update(&not_a_parameter, nullptr);
    EXPECT_TRUE(errors.has("I got a Request of parameter change from a non-parameter"));

    // A replaced slider and a removed one no longer set the parameter.
    ParamSlider* again = ParamSlider::new_slider("sl1", "threshold", spin->adj);
    EXPECT_EQ(again, ParamSlider::find("sl1/threshold"));
    count.n = 0;
    gtk_spinslider_set_value(spin, 5);
    EXPECT_EQ(1, count.n);
    ParamSlider::remove("sl1/threshold");
    EXPECT_EQ(nullptr, ParamSlider::find("sl1/threshold"));
    ParamSlider::post_value("sl1/threshold", 1);
    gtk_spinslider_set_value(spin, 6);
    guitest::pump_for(100);
    EXPECT_EQ(5, threshold->get_value());
    EXPECT_EQ(6.0, gtk_spinslider_get_value(spin));
    ParamSlider::delete_all();
    EXPECT_EQ(nullptr, ParamSlider::find("sl1/gain"));
    gtk_widget_destroy(window);
    threshold->removeObserver(&MsgManager::theMsgManager()->parameter);
}

TEST_F(GuiTest, SliderOfAValueTheModuleRefusesShowsWhatTheModuleHolds)
{
    IdleModule module("sl2");
    auto* count = new Ostrel::Par<int>(2);
    struct Owner : Ostrel::Observer {
        void update(Ostrel::Observable*, Ostrel::Argument* a) override
        {
            auto* v = dynamic_cast<Ostrel::Arg<int>*>(a);
            if (v && v->get_value() > 5)
                throw Ostrel::ParameterRefused("more than 5");
        }
    } owner;
    count->addObserver(&owner);
    module.add_par("count", count);
    GtkAdjustment* adj = GTK_ADJUSTMENT(gtk_adjustment_new(2, 0, 10, 1, 1, 0));
    ParamSlider* slider = ParamSlider::new_slider("sl2", "count", adj);
    const std::string out = testutil::capture_stdout([&] { gtk_adjustment_set_value(adj, 8); });
    EXPECT_EQ("", out);
    EXPECT_EQ(2, count->get_value());
    EXPECT_EQ(2.0, slider->get_value());
    gtk_adjustment_set_value(adj, 4);
    EXPECT_EQ(4, count->get_value());
    ParamSlider::remove("sl2/count");
    count->removeObserver(&owner);
}

TEST_F(GuiTest, SpinSliderSplitsItsWidthByRatio)
{
    GtkWidget* widget = GTK_WIDGET(g_object_ref_sink(gtk_spinslider_new(5, 0, 10, 1, 2, 0)));
    SpinSlider* s = SPINSLIDER(widget);
    EXPECT_STREQ("SpinSlider", G_OBJECT_TYPE_NAME(widget));
    EXPECT_EQ(5.0f, gtk_spinslider_get_value(s));

    auto widths = [&](int width) {
        GtkAllocation a = {10, 5, width, 30};
        gtk_widget_size_allocate(widget, &a);
        GtkAllocation sp, sc;
        gtk_widget_get_allocation(GTK_WIDGET(s->mSpin), &sp);
        gtk_widget_get_allocation(GTK_WIDGET(s->mScale), &sc);
        EXPECT_EQ(10, sp.x);
        EXPECT_EQ(10 + sp.width, sc.x);
        EXPECT_EQ(30, sc.height);
        return std::make_pair(sp.width, sc.width);
    };
    EXPECT_EQ(std::make_pair(40, 160), widths(200));
    gtk_spinslider_set_ratio(s, 0.5f);
    EXPECT_EQ(std::make_pair(100, 100), widths(200));

    int changed = 0, moved = 0;
    auto bump = +[](gpointer, int* n) { ++*n; };
    g_signal_connect(s->adj, "changed", G_CALLBACK(bump), &changed);
    g_signal_connect(widget, "value_changed", G_CALLBACK(bump), &moved);
    gtk_spinslider_reset(s, -5, 5, 0.5f, 1);
    EXPECT_EQ(1, changed);
    EXPECT_EQ(-5.0, gtk_adjustment_get_lower(s->adj));
    EXPECT_EQ(0.5, gtk_adjustment_get_step_increment(s->adj));
    gtk_spinslider_set_value(s, 3);
    EXPECT_EQ(1, moved);
    EXPECT_EQ(3.0f, gtk_spinslider_get_value(s));
    gtk_widget_destroy(widget);
    g_object_unref(widget);
}
