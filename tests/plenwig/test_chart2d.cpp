// 2D chart: colour tables, the Z range of the cells, the drawn colours, and
// histograms that are empty, uniform, sparse or hold non-finite cells.
#include <cmath>
#include <vector>

#include "WidgetTest.h"

namespace {

struct Cell {
    int ix, iy;
    double v;
};

HstHistogram2D* map_of(int nx, int ny, const std::vector<Cell>& cells)
{
    HstHistogram2D* h = hst_histogram2d_new(nx, 0, nx, ny, 0, ny, nullptr);
    for (const Cell& c : cells)
        hst_histogram2d_fill(h, c.ix + 0.5, c.iy + 0.5, c.v);
    return h;
}

Rgb table_color(HstChart2D* h, int i)
{
    return rgb_of(h->colorlst[i]);
}

} // namespace

class Chart2DTest : public WidgetTest {
protected:
    // Takes over the reference of h.
    HstChart2D* chart_of(HstHistogram2D* h)
    {
        GtkWidget* w = hst_chart2d_new(h);
        g_object_unref(h);
        hst_chart1d_set_colors(HST_CHART1D(w), "background", "white", nullptr);
        show(w, 400, 300);
        return HST_CHART2D(w);
    }

    HstCanvas* canvas(HstChart2D* h) { return HST_CHART1D(h)->cnvs; }

    void set_zrange(HstChart2D* h, double lo, double hi)
    {
        double* zr = g_new(double, 2);
        zr[0] = lo;
        zr[1] = hi;
        g_object_set_data_full(G_OBJECT(h), "zrange", zr, g_free);
    }

    // Centre pixel of a cell, as the last draw laid it out.
    std::pair<int, int> cell_centre(HstChart2D* h, int ix, int iy)
    {
        HstPoint p;
        canvas_transform(canvas(h), ix + 0.5, iy + 0.5, &p);
        return {static_cast<int>(p.x), static_cast<int>(p.y)};
    }
};

TEST_F(Chart2DTest, ColourTables)
{
    EXPECT_EQ(nullptr, hst_chart2d_new(nullptr));
    EXPECT_EQ(1, consume("ff!=0"));

    HstChart2D* h = chart_of(map_of(2, 2, {}));
    EXPECT_EQ(HST_COLOR_2D_THERMAL, h->ctype);
    ASSERT_EQ(100, h->ncol);
    EXPECT_EQ((Rgb{0, 0, 255}), table_color(h, 0));
    EXPECT_EQ(65535, h->colorlst[99].red);
    EXPECT_EQ(2621, h->colorlst[99].green);
    EXPECT_EQ(0, h->colorlst[99].blue);

    g_object_set(h, "ctype", HST_COLOR_2D_BW, nullptr);
    ASSERT_EQ(25, h->ncol);
    EXPECT_EQ(65535, h->colorlst[0].red);
    EXPECT_EQ(2621, h->colorlst[24].green);
    g_object_set(h, "ctype", HST_COLOR_2D_WB, nullptr);
    EXPECT_EQ(0, h->colorlst[0].blue);
    EXPECT_EQ(62913, h->colorlst[24].blue);
    g_object_set(h, "ctype", HST_COLOR_2D_RED, nullptr);
    EXPECT_EQ((Rgb{255, 0, 0}), table_color(h, 0));

    // The end marker is no scheme.
    g_object_set(h, "ctype", HST_COLOR_2D_LAST, nullptr);
    EXPECT_EQ(1, consume("scheme"));
    EXPECT_EQ(HST_COLOR_2D_RED, h->ctype);
    EXPECT_EQ(25, h->ncol);
    hst2d_set_2d_colors(h, -1);
    EXPECT_EQ(1, consume("scheme"));
}

TEST_F(Chart2DTest, ColourFactorSectors)
{
    EXPECT_EQ(0, color_factor(0.0, 0));
    EXPECT_EQ(32767, color_factor(0.5, 0));
    EXPECT_EQ(65535, color_factor(1.5, 0));
    EXPECT_EQ(65535, color_factor(0.0, 2));
    EXPECT_EQ(32767, color_factor(0.5, 3));
    EXPECT_EQ(0, color_factor(0.5, 4));
    EXPECT_EQ(0, color_factor(0.5, 5));
    EXPECT_EQ(32767, color_factor(0.5, 6));
}

TEST_F(Chart2DTest, HighestCellTakesTheTopColourOfItsScheme)
{
    HstChart2D* h = chart_of(map_of(10, 8, {{2, 3, 1.0}, {5, 5, 4.0}, {7, 1, 9.0}, {1, 1, 2.0}}));
    for (int scheme : {HST_COLOR_2D_THERMAL, HST_COLOR_2D_GREEN, HST_COLOR_2D_WB}) {
        g_object_set(h, "ctype", scheme, nullptr);
        GString* png = nullptr;
        g_object_get(h, "png", &png, nullptr);
        GdkPixbuf* pb = decode(png);
        g_string_free(png, TRUE);
        ASSERT_NE(nullptr, pb);
        EXPECT_EQ(9.0, canvas(h)->zmax);
        const auto top = cell_centre(h, 7, 1);
        EXPECT_EQ(table_color(h, h->ncol - 1), pixel(pb, top.first, top.second)) << scheme;
        const auto low = cell_centre(h, 2, 3);
        EXPECT_EQ(table_color(h, 0), pixel(pb, low.first, low.second)) << scheme;
        // Empty cells are never painted.
        const auto empty = cell_centre(h, 4, 6);
        EXPECT_EQ((Rgb{255, 255, 255}), pixel(pb, empty.first, empty.second)) << scheme;
        g_object_unref(pb);
    }
}

TEST_F(Chart2DTest, UserZRangeLeavesOutTheExtremes)
{
    HstChart2D* h = chart_of(map_of(5, 1, {{0, 0, 1}, {1, 0, 2}, {2, 0, 3}, {3, 0, 4}, {4, 0, 10}}));
    set_zrange(h, 0.5, 1.0);
    chart1d_draw_canvas(HST_CHART1D(h), nullptr);
    EXPECT_EQ(5, h->nindx);
    EXPECT_EQ(5, h->ntot);
    EXPECT_DOUBLE_EQ(3.0, canvas(h)->zmin);
    EXPECT_DOUBLE_EQ(4.0, canvas(h)->zmax);
    g_object_set_data(G_OBJECT(h), "zrange", nullptr);
    chart1d_draw_canvas(HST_CHART1D(h), nullptr);
    EXPECT_EQ(1.0, canvas(h)->zmin);
    EXPECT_EQ(10.0, canvas(h)->zmax);
}

TEST_F(Chart2DTest, SparseEmptyUniformAndNonFiniteHistograms)
{
    auto check_finite = [this](HstChart2D* h, const char* what) {
        chart1d_draw_canvas(HST_CHART1D(h), nullptr);
        const HstCanvas* c = canvas(h);
        EXPECT_TRUE(std::isfinite(c->zmin) && std::isfinite(c->zmax)) << what;
        EXPECT_TRUE(std::isfinite(c->zstp)) << what;
        EXPECT_TRUE(std::isfinite(c->xstp) && std::isfinite(c->ystp)) << what;
    };
    HstChart2D* h = chart_of(map_of(4, 4, {}));
    check_finite(h, "empty");
    EXPECT_EQ(0, h->nindx);
    set_zrange(h, 0.2, 0.8);
    check_finite(h, "empty with a Z range");
    gtk_widget_destroy(window_);
    window_ = nullptr;

    // Fewer than three cells leave no second-smallest and second-largest.
    for (int n = 1; n <= 2; n++) {
        std::vector<Cell> cells;
        for (int i = 0; i < n; i++)
            cells.push_back({i, 0, 5.0 * (i + 1)});
        h = chart_of(map_of(4, 4, cells));
        set_zrange(h, 0.0, 1.0);
        check_finite(h, "sparse");
        EXPECT_EQ(5.0, canvas(h)->zmin);
        EXPECT_EQ(5.0 * n, canvas(h)->zmax);
        gtk_widget_destroy(window_);
        window_ = nullptr;
    }

    // One value everywhere: a Z span of 0.
    h = chart_of(map_of(2, 2, {{0, 0, 3}, {0, 1, 3}, {1, 0, 3}, {1, 1, 3}}));
    check_finite(h, "uniform");
    EXPECT_EQ(3.0, canvas(h)->zmin);
    EXPECT_EQ(3.0, canvas(h)->zmax);
    gtk_widget_destroy(window_);
    window_ = nullptr;

    // Cells that hold no number are left out of the order and the range.
    HstHistogram2D* hist = map_of(3, 1, {{0, 0, 1.0}, {2, 0, 2.0}});
    hst_histogram2d_fill(hist, 1.5, 0.5, NAN);
    h = chart_of(hist);
    check_finite(h, "NaN cell");
    EXPECT_EQ(2, h->nindx);
    EXPECT_EQ(2.0, canvas(h)->zmax);
}

TEST_F(Chart2DTest, DraggingOnTheColourScale)
{
    HstChart2D* h = chart_of(map_of(4, 4, {{0, 0, 1}, {1, 1, 2}, {2, 2, 3}, {3, 3, 4}}));
    chart1d_draw_canvas(HST_CHART1D(h), nullptr);
    const HstCanvas* c = canvas(h);
    const double x = c->cscale.x + c->cscale.width / 2.0;
    const double span = c->pz0 - c->pz1;
    GtkWidget* w = GTK_WIDGET(h);
    auto button = [w](GdkEventType type, guint b, double px, double py) {
        GdkEvent* ev = gdk_event_new(type);
        ev->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
        ev->button.x = px;
        ev->button.y = py;
        ev->button.button = b;
        gtk_widget_event(w, ev);
        gdk_event_free(ev);
    };

    // From near the top to near the bottom: stored in ascending order.
    button(GDK_BUTTON_PRESS, 1, x, c->pz1 + 0.1 * span);
    EXPECT_NE(nullptr, g_object_get_data(G_OBJECT(h), "__zrange"));
    button(GDK_BUTTON_RELEASE, 1, x, c->pz1 + 0.7 * span);
    EXPECT_EQ(nullptr, g_object_get_data(G_OBJECT(h), "__zrange"));
    const double* zr = static_cast<const double*>(g_object_get_data(G_OBJECT(h), "zrange"));
    ASSERT_NE(nullptr, zr);
    EXPECT_NEAR(0.3, zr[0], 0.01);
    EXPECT_NEAR(0.9, zr[1], 0.01);

    // A drag released off the scale leaves the range in force.
    button(GDK_BUTTON_PRESS, 1, x, c->pz1 + 0.5 * span);
    button(GDK_BUTTON_RELEASE, 1, c->px0 + 5, c->pz1 + 0.5 * span);
    zr = static_cast<const double*>(g_object_get_data(G_OBJECT(h), "zrange"));
    ASSERT_NE(nullptr, zr);
    EXPECT_NEAR(0.3, zr[0], 0.01);

    // Button 2 anywhere goes back to the full range.
    button(GDK_BUTTON_PRESS, 2, c->px0 + 5, c->py0 - 5);
    EXPECT_EQ(nullptr, g_object_get_data(G_OBJECT(h), "zrange"));
}

TEST_F(Chart2DTest, WholeHistogramAlwaysShown)
{
    HstChart2D* h = chart_of(map_of(4, 3, {{1, 1, 2}}));
    HST_CHART1D(h)->xmin = 1.0;
    HST_CHART1D(h)->xmax = 2.0;
    chart1d_draw_canvas(HST_CHART1D(h), nullptr);
    EXPECT_EQ(0.0, HST_CHART1D(h)->xmin);
    EXPECT_EQ(4.0, HST_CHART1D(h)->xmax);
    EXPECT_EQ(3.0, HST_CHART1D(h)->vmax);
    g_object_set(h, "squared", TRUE, nullptr);
    chart1d_draw_canvas(HST_CHART1D(h), nullptr);
    EXPECT_EQ(canvas(h)->wx, canvas(h)->wy);
}

TEST_F(Chart2DTest, PlainFunctionDrawsAsOneDimensionalWithTheExtraMenu)
{
    HstHistogram* h1 = hst_histogram_new(4, 0, 4, nullptr);
    GtkWidget* w = GTK_WIDGET(g_object_new(HST_TYPE_CHART2D, "func", h1, nullptr));
    g_object_unref(h1);
    show(w, 300, 200);
    chart1d_draw_canvas(HST_CHART1D(w), nullptr);
    EXPECT_EQ(0, HST_CHART2D(w)->nindx);
    GtkWidget* menu = g_object_ref_sink(_hst_chart1d_menu(HST_CHART1D(w)));
    GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
    GtkWidget* squared = GTK_WIDGET(g_list_nth_data(items, 13));
    ASSERT_TRUE(GTK_IS_CHECK_MENU_ITEM(squared));
    EXPECT_STREQ("Squared", gtk_label_get_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(squared)))));
    EXPECT_EQ(21u, g_list_length(items));
    gtk_menu_item_activate(GTK_MENU_ITEM(squared));
    EXPECT_TRUE(HST_CHART2D(w)->squared);
    gtk_menu_item_activate(GTK_MENU_ITEM(g_list_nth_data(items, 15)));
    EXPECT_EQ(HST_COLOR_2D_BW, HST_CHART2D(w)->ctype);
    g_list_free(items);
    gtk_widget_destroy(menu);
    g_object_unref(menu);
}
