// Chart interaction: synthesised pointer events zoom, fix the value range and
// restore; the range dialog's logic; the context menu's entries.
#include <cmath>
#include <string>
#include <vector>

#include "WidgetTest.h"

namespace {

gboolean send(GtkWidget* w, GdkEventType type, guint button, double x, double y, guint state)
{
    GdkEvent* ev = gdk_event_new(type);
    GdkWindow* win = gtk_widget_get_window(w);
    if (type == GDK_MOTION_NOTIFY) {
        ev->motion.window = GDK_WINDOW(g_object_ref(win));
        ev->motion.x = x;
        ev->motion.y = y;
        ev->motion.state = state;
        ev->motion.time = GDK_CURRENT_TIME;
    } else {
        ev->button.window = GDK_WINDOW(g_object_ref(win));
        ev->button.x = x;
        ev->button.y = y;
        ev->button.state = state;
        ev->button.button = button;
        ev->button.time = GDK_CURRENT_TIME;
    }
    const gboolean handled = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return handled;
}

std::vector<std::string> item_labels(GtkWidget* menu)
{
    std::vector<std::string> labels;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* l = children; l; l = l->next) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(l->data));
        labels.push_back(GTK_IS_LABEL(child) ? gtk_label_get_text(GTK_LABEL(child)) : "-");
    }
    g_list_free(children);
    return labels;
}

} // namespace

class InteractionTest : public WidgetTest {
protected:
    void SetUp() override
    {
        WidgetTest::SetUp();
        if (IsSkipped())
            return;
        h_ = hst_histogram_new(100, 0.0, 100.0, nullptr);
        for (int i = 0; i < 100; i++)
            hst_histogram_set_bin_content(h_, i, i);
        GtkWidget* w = hst_chart1d_new(HST_FUNCTION(h_));
        show(w, 400, 300);
        chart_ = HST_CHART1D(w);
        c_ = chart_->cnvs;
        chart1d_draw_canvas(chart_, nullptr);
    }

    void TearDown() override
    {
        WidgetTest::TearDown();
        if (h_)
            g_object_unref(h_);
    }

    // Pixel of a data point, as the last draw laid the chart out.
    HstPoint at(double x, double y)
    {
        HstPoint p;
        canvas_transform(c_, x, y, &p);
        return p;
    }

    // A button-1 drag from one data point to another with the modifiers.
    void drag(double x0, double y0, double x1, double y1, guint state)
    {
        GtkWidget* w = GTK_WIDGET(chart_);
        const HstPoint a = at(x0, y0), b = at(x1, y1);
        send(w, GDK_MOTION_NOTIFY, 0, a.x, a.y, 0);
        send(w, GDK_BUTTON_PRESS, 1, a.x, a.y, state);
        send(w, GDK_MOTION_NOTIFY, 0, b.x, b.y, state);
        send(w, GDK_BUTTON_RELEASE, 1, b.x, b.y, state);
    }

    double tolerance() const { return 1.0 / c_->xstp; }

    HstHistogram* h_ = nullptr;
    HstChart1D* chart_ = nullptr;
    HstCanvas* c_ = nullptr;
};

TEST_F(InteractionTest, CtrlDragZoomsAndMiddleButtonRestores)
{
    drag(20, 50, 60, 50, GDK_CONTROL_MASK);
    EXPECT_NEAR(20.0, chart_->xmin, tolerance());
    EXPECT_NEAR(60.0, chart_->xmax, tolerance());
    EXPECT_FALSE(c_->fixed);
    // The next draw shows the zoom.
    chart1d_draw_canvas(chart_, nullptr);
    double hxmin = 0;
    g_object_get(chart_, "hxmin", &hxmin, nullptr);
    EXPECT_NEAR(20.0, hxmin, tolerance());

    send(GTK_WIDGET(chart_), GDK_BUTTON_PRESS, 2, 10, 10, 0);
    send(GTK_WIDGET(chart_), GDK_BUTTON_RELEASE, 2, 10, 10, 0);
    EXPECT_EQ(0.0, chart_->xmin);
    EXPECT_EQ(100.0, chart_->xmax);
    EXPECT_FALSE(c_->fixed);
}

TEST_F(InteractionTest, DragDirectionDoesNotMatter)
{
    drag(60, 50, 20, 50, GDK_CONTROL_MASK);
    EXPECT_NEAR(20.0, chart_->xmin, tolerance());
    EXPECT_NEAR(60.0, chart_->xmax, tolerance());
}

TEST_F(InteractionTest, CtrlShiftSetsBothRanges)
{
    drag(20, 30, 60, 70, GDK_CONTROL_MASK | GDK_SHIFT_MASK);
    EXPECT_NEAR(20.0, chart_->xmin, tolerance());
    EXPECT_TRUE(c_->fixed);
    const double ytol = 1.0 / c_->ystp;
    EXPECT_NEAR(30.0, chart_->vmin, ytol);
    EXPECT_NEAR(70.0, chart_->vmax, ytol);
    // Middle button: back to the automatic value range.
    send(GTK_WIDGET(chart_), GDK_BUTTON_PRESS, 2, 10, 10, 0);
    EXPECT_FALSE(c_->fixed);
}

TEST_F(InteractionTest, PlainDragMovesOnlyTheReadOut)
{
    drag(20, 30, 60, 70, 0);
    EXPECT_EQ(0.0, chart_->xmin);
    EXPECT_EQ(100.0, chart_->xmax);
    EXPECT_FALSE(c_->fixed);
    EXPECT_NEAR(60.0, chart_->evt->x, tolerance());
    EXPECT_TRUE(chart_->evt->button & HST_BUTTON_RELEASE);
    EXPECT_FALSE(chart_->evt->button & HST_BUTTON_PRESS);

    // With Ctrl held the read-out stays where it was.
    const HstPoint p = at(80, 50);
    send(GTK_WIDGET(chart_), GDK_MOTION_NOTIFY, 0, p.x, p.y, GDK_CONTROL_MASK);
    EXPECT_NEAR(60.0, chart_->evt->x, tolerance());
}

TEST_F(InteractionTest, ClickWithoutDragChangesNoRange)
{
    drag(40, 50, 40, 50, GDK_CONTROL_MASK | GDK_SHIFT_MASK);
    EXPECT_EQ(0.0, chart_->xmin);
    EXPECT_EQ(100.0, chart_->xmax);
    EXPECT_FALSE(c_->fixed);
    // And the read-out of such a click draws without a quotient of zeros.
    send(GTK_WIDGET(chart_), GDK_BUTTON_PRESS, 1, at(40, 50).x, at(40, 50).y, 0);
    chart1d_draw_canvas(chart_, nullptr);
    EXPECT_TRUE(std::isfinite(c_->xstp));
}

TEST_F(InteractionTest, RangeDialogLogic)
{
    EXPECT_TRUE(_hst_chart_offers_rebin(chart_));
    // Y: limits in any order; equal limits change nothing.
    EXPECT_TRUE(_hst_chart_set_range(chart_, 1, "5", "1", nullptr));
    EXPECT_EQ(1.0, chart_->vmin);
    EXPECT_EQ(5.0, chart_->vmax);
    EXPECT_TRUE(c_->fixed);
    EXPECT_FALSE(_hst_chart_set_range(chart_, 1, "3", "3", nullptr));
    EXPECT_EQ(1.0, chart_->vmin);
    EXPECT_FALSE(_hst_chart_set_range(chart_, 1, "inf", "3", nullptr));

    // X with a bin count rebins the histogram over the new range.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(_hst_chart_set_range(chart_, 0, "10", "60", "25"));
    EXPECT_EQ(25, hst_function_get_npts(HST_FUNCTION(h_)));
    EXPECT_EQ(10.0, hst_function_get_xmin(HST_FUNCTION(h_)));
    EXPECT_EQ(60.0, chart_->xmax);
    // A count that is no number keeps the bins.
    EXPECT_TRUE(_hst_chart_set_range(chart_, 0, "0", "50", "many"));
    EXPECT_EQ(25, hst_function_get_npts(HST_FUNCTION(h_)));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("**New numnber of bins: 25"));

    // With two curves there is no bin count: the range is set.
    HstHistogram* other = hst_histogram_new(7, 0, 7, nullptr);
    hst_chart1d_add_curve(chart_, HST_FUNCTION(other));
    g_object_unref(other);
    EXPECT_FALSE(_hst_chart_offers_rebin(chart_));
    EXPECT_TRUE(_hst_chart_set_range(chart_, 0, "-5", "5", nullptr));
    EXPECT_EQ(-5.0, hst_function_get_xmin(HST_FUNCTION(h_)));
    EXPECT_EQ(25, hst_function_get_npts(HST_FUNCTION(h_)));
}

TEST_F(InteractionTest, NumbersFromEntries)
{
    EXPECT_EQ(1.5, chart1d_get_double("1.5", 0.0));
    EXPECT_EQ(12.0, chart1d_get_double("12abc", 0.0));
    EXPECT_EQ(-1.0, chart1d_get_double("abc", -1.0));
    EXPECT_EQ(-1.0, chart1d_get_double("", -1.0));
    EXPECT_EQ(-1.0, chart1d_get_double("1e999", -1.0));
    EXPECT_EQ(-1.0, chart1d_get_double(nullptr, -1.0));
}

TEST_F(InteractionTest, FileFilters)
{
    GtkFileFilterInfo png = {GTK_FILE_FILTER_DISPLAY_NAME, nullptr, nullptr, "plot.png", nullptr};
    GtkFileFilterInfo jpg = {GTK_FILE_FILTER_DISPLAY_NAME, nullptr, nullptr, "plot.jpg", nullptr};
    GtkFileFilter* named = g_object_ref_sink(_hst_file_filter_new("PNG files|*.png"));
    EXPECT_STREQ("PNG files", gtk_file_filter_get_name(named));
    EXPECT_TRUE(gtk_file_filter_filter(named, &png));
    EXPECT_FALSE(gtk_file_filter_filter(named, &jpg));
    GtkFileFilter* bare = g_object_ref_sink(_hst_file_filter_new("*.jpg"));
    EXPECT_EQ(nullptr, gtk_file_filter_get_name(bare));
    EXPECT_TRUE(gtk_file_filter_filter(bare, &jpg));
    g_object_unref(named);
    g_object_unref(bare);
}

TEST_F(InteractionTest, ContextMenuFollowsTheFlags)
{
    hst_chart1d_show_stats(chart_, TRUE);
    GtkWidget* menu = g_object_ref_sink(_hst_chart1d_menu(chart_));
    const std::vector<std::string> expected = {"Print...", "Save as text...", "-", "colors", "-", "X axis...",
                                               "Y axis...", "-", "Show stats", "filled", "log(x)", "log(y)"};
    EXPECT_EQ(expected, item_labels(menu));
    GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
    GtkCheckMenuItem* stats = GTK_CHECK_MENU_ITEM(g_list_nth_data(items, 8));
    GtkCheckMenuItem* filled = GTK_CHECK_MENU_ITEM(g_list_nth_data(items, 9));
    EXPECT_TRUE(gtk_check_menu_item_get_active(stats));
    EXPECT_FALSE(gtk_check_menu_item_get_active(filled));
    // Building the menu changed nothing; choosing an entry does.
    EXPECT_TRUE(hst_chart1d_stats(chart_));
    gtk_menu_item_activate(GTK_MENU_ITEM(filled));
    EXPECT_TRUE(hst_chart1d_is_filled(chart_));
    GtkWidget* xaxis = gtk_menu_item_get_submenu(GTK_MENU_ITEM(g_list_nth_data(items, 5)));
    const std::vector<std::string> xs = {"down", "middle", "top", "none", "-", "Change range..."};
    EXPECT_EQ(xs, item_labels(xaxis));
    GList* xitems = gtk_container_get_children(GTK_CONTAINER(xaxis));
    gtk_menu_item_activate(GTK_MENU_ITEM(g_list_nth_data(xitems, 2)));
    EXPECT_EQ(static_cast<unsigned long>(HST_AXIS_RIGHT), chart_->drawaxis & HST_AXIS_X_MASK);
    g_list_free(xitems);
    g_list_free(items);

    // The menu may outlive its chart: its entries then do nothing.
    gtk_widget_destroy(window_);
    window_ = nullptr;
    chart_ = nullptr;
    items = gtk_container_get_children(GTK_CONTAINER(menu));
    gtk_menu_item_activate(GTK_MENU_ITEM(g_list_nth_data(items, 10)));
    g_list_free(items);
    gtk_widget_destroy(menu);
    g_object_unref(menu);
}
