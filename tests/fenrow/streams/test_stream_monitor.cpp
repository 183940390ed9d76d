// The board stream's monitor window as the operator uses it: the plug-in
// loaded from the configuration, a simulated board process on loopback
// sending a stream's events during a run, and the window opened with the
// module panel's monitor toggle.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <glade/glade.h>

#include "GlibLog.h"
#include "GuiTest.h"
#include "TimerGaps.h"
#include "common/LoopbackBoards.h"
#include "common/SetUpAcquisition.h"
#include "common/StockMonitorWindow.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "daq/DAQcontroller.h"
#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "gui/MonitorWindow.h"
#include "gui/Update.h"
#include "gui/module_gui.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"
#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_chart_private.h"
#include "plenwig/hst_tracer.h"

using guitest::click;
using guitest::pump_for;
using guitest::pump_until;

namespace {

GtkWidget* part(GtkWidget* top, const char* id)
{
    return glade_xml_get_widget(glade_get_widget_tree(top), id);
}

using Ranges = std::vector<std::pair<double, double>>;

// How much of a pixel the colour covers over the white background, as an
// antialiased line blends it; 0 when the pixel is no such blend.
double coverage(const guchar* p, const GdkColor& c)
{
    const double want[3] = {c.red / 257.0, c.green / 257.0, c.blue / 257.0};
    const double a = (255.0 - p[0]) / (255.0 - want[0]);
    double off = 0;
    for (int k = 0; k < 3; ++k)
        off = std::max(off, std::fabs(p[k] - (255.0 - a * (255.0 - want[k]))));
    return off < 12 ? a : 0.0;
}

// The first and the last column of the picture, inside the widget's
// rectangle, that hold a pixel of the colour; -1 when none does.
std::pair<int, int> columns_of(GdkPixbuf* shot, GtkWidget* widget, const char* colour)
{
    GdkColor c;
    gdk_color_parse(colour, &c);
    int x0 = 0, y0 = 0;
    gtk_widget_translate_coordinates(widget, gtk_widget_get_toplevel(widget), 0, 0, &x0, &y0);
    const int n = gdk_pixbuf_get_n_channels(shot), stride = gdk_pixbuf_get_rowstride(shot);
    const guchar* px = gdk_pixbuf_get_pixels(shot);
    std::pair<int, int> found{-1, -1};
    for (int x = x0; x < x0 + widget->allocation.width && x < gdk_pixbuf_get_width(shot); ++x)
        for (int y = y0; y < y0 + widget->allocation.height && y < gdk_pixbuf_get_height(shot); ++y) {
            const guchar* p = px + y * stride + x * n;
            if (coverage(p, c) > 0.3) {
                if (found.first < 0)
                    found.first = x - x0;
                found.second = x - x0;
                break;
            }
        }
    return found;
}

std::vector<std::string> y_labels(GtkWidget* chart)
{
    std::vector<std::string> out;
    GPtrArray* a = _hst_chart_axis_labels(HST_CHART1D(chart), HST_Y_AXIS);
    for (guint i = 0; i < a->len; ++i)
        out.push_back(static_cast<const char*>(g_ptr_array_index(a, i)));
    return out;
}

void note_range(GtkWidget* w, GtkAllocation*, gpointer ranges)
{
    static_cast<Ranges*>(ranges)->emplace_back(HST_CHART1D(w)->xmin, HST_CHART1D(w)->xmax);
}

class StreamMonitor : public GuiTest {
protected:
    void TearDown() override
    {
        if (cfg) {
            stop_run();
            if (p) {
                p->close_windows();
                delete p;
            }
            if (top)
                gtk_widget_destroy(top);
            pump_for(50);
            sim.reset();
            cfg->reset();
        }
        GuiTest::TearDown();
    }

    // Board 127.0.0.2 with the stream "21" (its stream 1), the simulator
    // sending that stream's events while it runs, and the stream's panel.
    void start(const std::string& stream, const std::vector<std::string>& data)
    {
        loopback::use_private_ports();
        cfg = ConfigParser::theConfig();
        cfg->set_config_path("");
        cfg->set_do_validate(false);
        const std::string dir = testutil::make_temp_dir("monitor");
        testutil::write_file(dir + "/boards.xml",
                             "<Sorbek><plugins><plugin name=\"fenrow\" module=\"fenrow\"><lib>" BRISKO_FENROW_PLUGIN
                             "</lib><hook>create_Fenrow</hook></plugin></plugins><modules><fenrow name=\"127.0.0.2\">"
                             "<stream name=\"21\" address=\"127.0.0.2\">" +
                                 stream + "</stream></fenrow></modules><general/></Sorbek>\n");
        cfg->reset();
        ASSERT_TRUE(cfg->parse((dir + "/boards.xml").c_str()));
        testutil::set_up_acquisition();
        std::vector<std::string> args = {BRISKO_BOARD_SIM, "--address", "127.0.0.2", "--streams", "1", "--mode", "serial",
                                         "--on-start", "--count", "0", "--wait-host", "60"};
        args.insert(args.end(), data.begin(), data.end());
        sim = std::make_unique<loopback::Process>(args, dir + "/board.log");
        ASSERT_TRUE(sim->started()) << sim->error();
        ASSERT_TRUE(pump_until([] { return DAQcontroller::instance()->module_ids() == std::vector<std::string>{"21"}; },
                               30));

        p = new module_gui("21");
        ASSERT_EQ(0, init_from_bundle(p, "dsp-frame"));
        top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        // Beside the monitor window, which opens at the origin.
        gtk_window_move(GTK_WINDOW(top), 1120, 0);
        gtk_container_add(GTK_CONTAINER(top), p->get_main_window());
        guitest::show_and_wait(top);
    }

    // The monitor toggle pressed: the window's top-level, shown.
    GtkWidget* open_monitor()
    {
        if (!click(p->get_widget("swMonitor")) || !pump_until([&] { return p->get_monitor() != nullptr; }, 5))
            return nullptr;
        GtkWidget* w = p->get_monitor()->widget();
        guitest::show_and_wait(w);
        return w;
    }

    Ostrel::RunManager* main_rm() { return Ostrel::DAQmanager::theDAQmanager()->find_runmanager("main"); }
    void stop_run()
    {
        Ostrel::RunManager* main = main_rm();
        if (main && main->isActive()) {
            main->PrepareToStop(true);
            EXPECT_TRUE(pump_until([&] { return !main->isActive(); }, 30));
        }
    }
    static HstTracer* temperature(GtkWidget* monitor)
    {
        return static_cast<HstTracer*>(g_object_get_data(G_OBJECT(part(monitor, "trCommonMode")), "temp"));
    }

    ConfigParser* cfg = nullptr;
    std::unique_ptr<loopback::Process> sim;
    module_gui* p = nullptr;
    GtkWidget* top = nullptr;
};

} // namespace

TEST_F(StreamMonitor, ShowsTheBoardTemperatureAndStopsItsTimerWhenClosed)
{
    start("<ro_mode>serial</ro_mode>", {"--rate", "200"});
    GlibLog glib("GLib"), gobject("GLib-GObject"), gtk("Gtk");
    GtkWidget* mon = open_monitor();
    ASSERT_NE(nullptr, mon);
    HstTracer* temp = HST_TRACER(g_object_ref(temperature(mon)));
    // An ordinary stream's event display: every channel, 0 to 4096.
    HstChart1D* display = HST_CHART1D(part(mon, "evtDisplay"));
    double hymax = 0;
    g_object_get(display, "hymax", &hymax, nullptr);
    EXPECT_EQ(4096.0, hymax);
    EXPECT_EQ(128.0, display->xmax - display->xmin);

    // The run brings the board's temperature (stream 1's: 31 degrees).
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return hst_tracer_get_maximum(temp) == 31.0; }, 20));
    Update u;
    Module_update("21", u);
    p->update(u);
    EXPECT_EQ(std::to_string(u.ntrig), gtk_label_get_text(GTK_LABEL(part(mon, "lblDSPnEvts"))));

    // "Temperature", the selector's third row, alone on the strip chart;
    // "Noise" above it is the stock row again.
    GtkWidget* select = part(mon, "optMonitorSelect");
    HstChart1D* strip = HST_CHART1D(part(mon, "trCommonMode"));
    gtk_widget_grab_focus(select);
    ASSERT_TRUE(guitest::key(select, "Down"));
    ASSERT_TRUE(guitest::key(select, "Down"));
    ASSERT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(select)));
    EXPECT_EQ(1, hst_chart1d_get_n_func(strip));
    EXPECT_EQ(HST_FUNCTION(temp), strip->func);
    ASSERT_TRUE(guitest::key(select, "Up"));
    auto* noise = static_cast<GPtrArray*>(g_object_get_data(G_OBJECT(strip), "noise"));
    EXPECT_EQ(g_ptr_array_index(noise, 0), strip->func);

    // Quit, then the toggle: each time the trace stops moving with the
    // window, whose timer goes once.
    const auto moves = [&] {
        const int before = temp->npoints * 100 + temp->index;
        pump_for(1100);
        return temp->npoints * 100 + temp->index != before;
    };
    EXPECT_TRUE(moves());
    ASSERT_TRUE(click(part(mon, "btnQuitMonitor")));
    ASSERT_TRUE(pump_until([&] { return p->get_monitor() == nullptr; }, 5));
    EXPECT_FALSE(p->btn_active("swMonitor"));
    EXPECT_FALSE(moves());
    g_object_unref(temp);
    mon = open_monitor();
    ASSERT_NE(nullptr, mon);
    temp = HST_TRACER(g_object_ref(temperature(mon)));
    ASSERT_TRUE(click(p->get_widget("swMonitor")));
    EXPECT_EQ(nullptr, p->get_monitor());
    EXPECT_FALSE(moves());
    g_object_unref(temp);

    // A reload deletes the module while the window is open: the ticks find
    // nothing to show. The main window then closes its panels' windows.
    ASSERT_NE(nullptr, open_monitor());
    stop_run();
    cfg->reset();
    pump_for(1100);
    p->close_windows();
    EXPECT_EQ(0u, glib.messages.size() + gobject.messages.size() + gtk.messages.size());
}

TEST_F(StreamMonitor, TwoChipHdrStreamAtFullRateKeepsTheAnalysisBins)
{
    start("<chip_type>hdr</chip_type><nchips>2</nchips><ro_mode>serial</ro_mode>", {"--chips", "2", "--channels", "64"});
    Analysis* a = GenModule::find_module(Ostrel::DAQid("21"))->get_analysis();
    GtkWidget* mon = open_monitor();
    ASSERT_NE(nullptr, mon);
    HstChart1D* display = HST_CHART1D(part(mon, "evtDisplay"));
    EXPECT_EQ(HST_FUNCTION(a->get_out()), display->func);
    // The range the display has each time it is laid out, once the window
    // has had its say.
    Ranges laid_out = {{display->xmin, display->xmax}};
    g_signal_connect_after(display, "size-allocate", G_CALLBACK(&note_range), &laid_out);

    TimerGaps gaps;
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return hst_tracer_get_maximum(temperature(mon)) == 31.0; }, 20));
    gaps.restart();
    pump_for(3000);
    EXPECT_LT(gaps.worst_ms(), 1000);
    Update u;
    Module_update("21", u);
    EXPECT_GT(u.ntrig, 1000);
    std::cout << "hdr stream: " << u.ntrig << " events so far, longest GUI wait " << gaps.worst_ms() << " ms"
              << std::endl;

    // The corrected signal in the display (the stock monitor takes it on a
    // tick that finds the busy analysis free): still the first chip's 64
    // channels, and the analysis's histograms keep their 128 bins.
    gtk_combo_box_set_active(GTK_COMBO_BOX(part(mon, "optViewData")), 1);
    EXPECT_TRUE(pump_until([&] { return display->func == HST_FUNCTION(a->get_chan()); }, 10));
    pump_for(300);
    EXPECT_LT(1u, laid_out.size());
    EXPECT_EQ(Ranges(laid_out.size(), {0.0, 64.0}), laid_out);
    EXPECT_EQ(128, hst_function_get_npts(HST_FUNCTION(a->get_out())));
    EXPECT_EQ(128, hst_function_get_npts(HST_FUNCTION(a->get_chan())));
    stop_run();
}

// What the operator reads off the window during a run at 1 kHz: the chip
// monitor's traces across the whole chart, the share of events monitored,
// pedestal labels that differ, and a chip monitor that keeps its width
// whichever quantity the selector shows.
TEST_F(StreamMonitor, ChartsReadTrueDuringARun)
{
    start("<ro_mode>serial</ro_mode>", {"--rate", "1000"});
    GtkWidget* mon = open_monitor();
    ASSERT_NE(nullptr, mon);
    GtkWidget* strip = part(mon, "trCommonMode");
    GtkWidget* frame = part(mon, "frmChipMonitor");
    GtkWidget* display = part(mon, "frmEventDisplay");
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return HST_TRACER(temperature(mon))->npoints >= 6; }, 20));
    pump_for(1200);

    // The common-mode trace (the first chip's colour) from edge to edge.
    const auto spans = [&](const char* what) {
        GdkPixbuf* shot = guitest::screenshot(mon);
        ASSERT_NE(nullptr, shot);
        const std::pair<int, int> cols = columns_of(shot, strip, "medium sea green");
        const int width = strip->allocation.width;
        EXPECT_LT(cols.first, width / 10) << what << " from " << cols.first << " to " << cols.second << " of " << width;
        EXPECT_GT(cols.second, width * 9 / 10) << what << " from " << cols.first << " to " << cols.second << " of "
                                               << width;
        g_object_unref(shot);
    };
    spans("common mode");

    // The share of this run's events that went to the analysis. The
    // monitor's thread has a low priority: on a busy machine (or a slow
    // build) it may have seen few of them yet, but once it has seen any the
    // bar shows them.
    GtkWidget* bar = part(mon, "prgQueue");
    GenModule* module = GenModule::find_module(Ostrel::DAQid("21"));
    ASSERT_TRUE(module);
    ASSERT_TRUE(pump_until([&] { return module->get_status().n_monitored() > 0; }, 20));
    EXPECT_TRUE(pump_until([&] { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)) > 0; }, 5));
    const double fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar));
    EXPECT_EQ(std::to_string(static_cast<int>(fraction * 100 + 0.5)) + " %",
              std::string(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(bar))));

    // "Temperature", by keys: its trace spans the chart too, and neither
    // the chip monitor nor the event display beside it moves.
    const GtkAllocation before = frame->allocation, beside = display->allocation;
    GtkWidget* select = part(mon, "optMonitorSelect");
    gtk_widget_grab_focus(select);
    ASSERT_TRUE(guitest::key(select, "Down"));
    ASSERT_TRUE(guitest::key(select, "Down"));
    ASSERT_EQ(2, gtk_combo_box_get_active(GTK_COMBO_BOX(select)));
    pump_for(1200);
    EXPECT_EQ(before.width, frame->allocation.width);
    EXPECT_EQ(beside.x, display->allocation.x);
    spans("temperature");

    // The pedestals, about 2048: no label repeats its neighbour.
    GtkWidget* book = part(mon, "notebook1");
    ASSERT_TRUE(click(gtk_notebook_get_tab_label(GTK_NOTEBOOK(book), gtk_notebook_get_nth_page(GTK_NOTEBOOK(book), 1))));
    ASSERT_EQ(1, gtk_notebook_get_current_page(GTK_NOTEBOOK(book)));
    GtkWidget* pedestals = part(mon, "hstPedestals");
    ASSERT_TRUE(pump_until([&] { return y_labels(pedestals).size() >= 3; }, 5));
    pump_for(1200);
    const std::vector<std::string> labels = y_labels(pedestals);
    for (size_t i = 1; i < labels.size(); ++i)
        EXPECT_NE(labels[i - 1], labels[i]) << i;
    EXPECT_NEAR(2048, std::stod(labels[labels.size() / 2]), 100);
    stop_run();
}
