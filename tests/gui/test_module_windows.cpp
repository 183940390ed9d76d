// Module panels and monitor windows as the operator uses them during runs:
// a monitor window shows what the analysis fills, follows the chip selector,
// the strip chart's quantity, the energy window and a chip count that
// changes, and closes with every timer; panels move modules between runs,
// and close their windows before they go, whatever the modules do.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GuiTest.h"
#include "common/LogLines.h"
#include "common/LoopbackBoards.h"
#include "common/SetUpAcquisition.h"
#include "common/StockMonitorWindow.h"
#include "common/SyntheticModule.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/DAQcontroller.h"
#include "gui/ListRows.h"
#include "gui/Update.h"
#include "gui/module_gui.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"
#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_tracer.h"

using guitest::click;
using guitest::pump_for;
using guitest::pump_until;

namespace {

// A module family whose monitor window is the stock one and whose
// configuration dialog is a window with an entry.
class MonitoredSection : public ModuleParser {
public:
    MonitorWindow* monitor(const std::string& id, module_gui* panel) override
    {
        return new StockMonitorWindow(id, panel);
    }
    GtkWidget* config(const std::string&) override
    {
        GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWidget* entry = gtk_entry_new();
        gtk_container_add(GTK_CONTAINER(top), entry);
        gtk_widget_show_all(top);
        ++dialogs;
        return entry;
    }
    int dialogs = 0;
};

Ostrel::RunManager* find_rm(const std::string& id)
{
    return Ostrel::DAQmanager::theDAQmanager()->find_runmanager(id);
}

bool in(Ostrel::RunManager* rm, Ostrel::Module* m)
{
    for (Ostrel::Module* x : rm->modules())
        if (x == m)
            return true;
    return false;
}

double contents(HstFunction* f)
{
    double sum = 0;
    for (int i = 0; i < hst_function_get_npts(f); ++i)
        sum += hst_histogram_get_bin_content(HST_HISTOGRAM(f), i);
    return sum;
}

HstFunction* drawn(GtkWidget* chart)
{
    return HST_CHART1D(chart)->func;
}

// Texts of a combo box's rows.
std::vector<std::string> rows(GtkWidget* combo)
{
    return column_texts(gtk_combo_box_get_model(GTK_COMBO_BOX(combo)));
}

// The strip chart shows the given tracers, one curve per chip.
bool shows_tracers(GtkWidget* chart, const char* key)
{
    auto* tracers = static_cast<GPtrArray*>(g_object_get_data(G_OBJECT(chart), key));
    if (!tracers || hst_chart1d_get_n_func(HST_CHART1D(chart)) != int(tracers->len))
        return false;
    for (guint k = 0; k < tracers->len; ++k)
        if (hst_chart1d_get_func(HST_CHART1D(chart), int(k)) != g_ptr_array_index(tracers, k))
            return false;
    return true;
}

// The main window's stand-in: it holds the description the panels are built
// from.
class Host : public GladeApp {
    static void nothing() {}
    void auto_connect() override
    {
        for (const char* h : {"on_btnConfig", "on_swLocal", "on_swMonitor"})
            connect[h] = G_CALLBACK(&Host::nothing);
    }
};

class ModuleWindows : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        if (IsSkipped())
            return;
        cfg = ConfigParser::theConfig();
        cfg->set_config_path("");
        cfg->reset();
        ASSERT_TRUE(cfg->parse(nullptr));
        section = new MonitoredSection;
        cfg->register_handler("monitored", section);
        ASSERT_EQ(0, init_from_bundle(&host, "dsp-window"));
    }
    void TearDown() override
    {
        if (!IsSkipped()) {
            for (module_gui* p : panels) {
                p->close_windows();
                delete p;
            }
            for (GtkWidget* top : tops)
                gtk_widget_destroy(top);
            pump_for(50);
            EXPECT_EQ(0, StockMonitorWindow::live());
            cfg->reset();
        }
        GuiTest::TearDown();
    }

    // A module making events with hits on every third, spread over the
    // chips, with the section as its handler.
    SyntheticModule* add_module(int id, int nchip)
    {
        auto* m = new SyntheticModule(Ostrel::DAQid(id), SyntheticModule::Timed, 2000, nchip, 16);
        m->set_pulse_pattern([](uint32_t s) { return s % 3 == 0 ? 10.0 + s % 60 : 0.0; });
        cfg->register_id_handler(id, section);
        return m;
    }

    // A panel built as the main window builds it, shown in a window.
    module_gui* panel(const std::string& id)
    {
        auto* p = new module_gui(id);
        EXPECT_EQ(0, host.init_application(p, "dsp-frame"));
        GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        // Beside the monitor windows and dialogs, which open at the origin.
        gtk_window_move(GTK_WINDOW(top), 1000, 120 * int(tops.size()));
        gtk_container_add(GTK_CONTAINER(top), p->get_main_window());
        guitest::show_and_wait(top);
        panels.push_back(p);
        tops.push_back(top);
        return p;
    }

    static DefaultMonitorGUI* open_monitor(module_gui* p)
    {
        if (!click(p->get_widget("swMonitor")) || !pump_until([&] { return p->get_monitor() != nullptr; }, 5))
            return nullptr;
        DefaultMonitorGUI* mon = static_cast<StockMonitorWindow*>(p->get_monitor())->mon;
        guitest::show_and_wait(mon->get_main_window());
        return mon;
    }

    ConfigParser* cfg = nullptr;
    MonitoredSection* section = nullptr;
    Host host;
    std::vector<module_gui*> panels;
    std::vector<GtkWidget*> tops;
};

} // namespace

TEST_F(ModuleWindows, MonitorDuringARunShowsFilledChartsFollowsTheOperatorAndQuitsWithEveryTimer)
{
    SyntheticModule* m = add_module(7, 3);
    testutil::set_up_acquisition();
    Ostrel::RunManager* main = find_rm("main");
    ASSERT_NE(nullptr, main);
    module_gui* p = panel("7");
    EXPECT_EQ("7", p->get_text("lblModuleID"));
    main->Activate();
    DefaultMonitorGUI* mon = open_monitor(p);
    ASSERT_NE(nullptr, mon);
    EXPECT_EQ("7 - Data Monitor", std::string(gtk_window_get_title(GTK_WINDOW(mon->get_main_window()))));
    Analysis* a = m->get_analysis();

    // The charts draw the analysis's own histograms, filling as the run goes.
    auto* frame = G_OBJECT(mon->get_widget("hstSignal"));
    auto* signal = static_cast<GtkWidget*>(g_object_get_data(frame, "Hst1D"));
    auto* hitmap = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(mon->get_widget("hstHitMap")), "Hst1D"));
    ASSERT_TRUE(pump_until([&] { return contents(drawn(signal)) > 50 && contents(drawn(hitmap)) > 50; }, 20));
    EXPECT_EQ(HST_FUNCTION(a->get_hsig(0)), drawn(signal));
    EXPECT_EQ(HST_FUNCTION(a->get_hitmap()), drawn(hitmap));
    EXPECT_EQ(HST_FUNCTION(a->get_ped()), drawn(mon->get_widget("hstPedestals")));
    EXPECT_GT(contents(drawn(mon->get_widget("hstPedestals"))), 0);
    pump_for(1500);
    GdkPixbuf* picture = guitest::screenshot(mon->get_main_window());
    ASSERT_NE(nullptr, picture);
    EXPECT_GT(guitest::count_colours(picture), 16);
    g_object_unref(picture);
    // The window's displays and the panel's counters follow the snapshot.
    Update u;
    Module_update("7", u);
    p->update(u);
    EXPECT_EQ(std::to_string(u.ntrig), mon->get_text("lblDSPnEvts"));
    EXPECT_EQ(std::to_string(u.ntrig), p->get_text("lblNtrig"));

    // Chip "1" is the third row, and its spectrum is chip 1's.
    GtkWidget* chips = mon->get_widget("optChipSelect");
    EXPECT_EQ((std::vector<std::string>{"All", "0", "1", "2"}), rows(chips));
    gtk_combo_box_set_active(GTK_COMBO_BOX(chips), 2);
    EXPECT_EQ(HST_FUNCTION(a->get_hsig(2)), drawn(signal));
    EXPECT_EQ(drawn(signal), g_object_get_data(G_OBJECT(signal), "hst"));

    // Noise and back: one curve per chip, of the quantity chosen.
    GtkWidget* strip = mon->get_widget("trCommonMode");
    GtkWidget* quantity = mon->get_widget("optMonitorSelect");
    EXPECT_TRUE(shows_tracers(strip, "common_mode"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(quantity), 1);
    EXPECT_TRUE(shows_tracers(strip, "noise"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(quantity), 0);
    EXPECT_TRUE(shows_tracers(strip, "common_mode"));
    EXPECT_TRUE(pump_until([&] { return HST_TRACER(drawn(strip))->npoints >= 2; }, 5));

    // 2D and back: the 1D spectrum again, redrawn every 500 ms.
    GtkWidget* tgl = mon->get_widget("tglHst");
    ASSERT_TRUE(click(tgl));
    EXPECT_EQ(g_object_get_data(frame, "Box2D"), gtk_bin_get_child(GTK_BIN(frame)));
    EXPECT_EQ("2D", std::string(gtk_button_get_label(GTK_BUTTON(tgl))));
    ASSERT_TRUE(click(tgl));
    EXPECT_EQ(g_object_get_data(frame, "Box1D"), gtk_bin_get_child(GTK_BIN(frame)));
    EXPECT_EQ(g_object_get_data(frame, "Box2D"), g_object_get_data(frame, "hidden"));
    EXPECT_GE(HST_CHART1D(signal)->tmout, 0);
    pump_for(300);

    // A drag on the spectrum gives the energy window; undo takes the whole
    // range again.
    const GdkRectangle r = guitest::screen_rect(signal);
    ASSERT_TRUE(guitest::drag(r.x + r.width * 3 / 10, r.y + r.height / 2, r.x + r.width * 7 / 10, r.y + r.height / 2));
    pump_for(50);
    const double emin = GladeApp::get_double(mon->get_text("txtEmin").c_str(), -1);
    const double emax = GladeApp::get_double(mon->get_text("txtEmax").c_str(), -1);
    EXPECT_LT(0, emin);
    EXPECT_LT(emin, emax);
    EXPECT_LT(emax, 100);
    ASSERT_TRUE(click(mon->get_widget("btnApplyCuts")));
    EXPECT_DOUBLE_EQ(emin, a->get_emin());
    EXPECT_DOUBLE_EQ(emax, a->get_emax());
    ASSERT_TRUE(click(mon->get_widget("btnResetCuts")));
    EXPECT_EQ("", mon->get_text("txtEmin") + mon->get_text("txtEmax"));
    EXPECT_DOUBLE_EQ(0, a->get_emin());
    EXPECT_DOUBLE_EQ(100, a->get_emax());

    // Quit: the window goes with every timer, the toggle is off, and the
    // panel's counters go on.
    std::vector<guint> timers = {mon->refresh_timer(), mon->stats_timer()};
    for (GtkWidget* chart : mon->charts())
        if (HST_CHART1D(chart)->tmout >= 0)
            timers.push_back(guint(HST_CHART1D(chart)->tmout));
    ASSERT_TRUE(click(mon->get_widget("btnQuitMonitor")));
    ASSERT_TRUE(pump_until([&] { return StockMonitorWindow::live() == 0; }, 5));
    EXPECT_EQ(nullptr, p->get_monitor());
    EXPECT_FALSE(p->btn_active("swMonitor"));
    for (guint id : timers)
        EXPECT_EQ(nullptr, g_main_context_find_source_by_id(nullptr, id)) << id;
    pump_for(600);
    main->PrepareToStop(true);
    ASSERT_TRUE(pump_until([&] { return !main->isActive(); }, 10));
    Module_update("7", u);
    p->update(u);
    EXPECT_EQ(std::to_string(u.ntrig), p->get_text("lblNtrig"));
}

TEST_F(ModuleWindows, ChipCountsBinsRebuildsAndDeletedModulesWithTheWindowsOpen)
{
    SyntheticModule* m = add_module(7, 2);
    testutil::set_up_acquisition();
    module_gui* p = panel("7");
    DefaultMonitorGUI* mon = open_monitor(p);
    ASSERT_NE(nullptr, mon);
    GtkWidget* strip = mon->get_widget("trCommonMode");
    auto* frame = G_OBJECT(mon->get_widget("hstSignal"));
    auto* signal = static_cast<GtkWidget*>(g_object_get_data(frame, "Hst1D"));
    auto* signal2d = static_cast<GtkWidget*>(g_object_get_data(frame, "Hst2D"));
    gtk_combo_box_set_active(GTK_COMBO_BOX(mon->get_widget("optChipSelect")), 2);

    // The configuration dialog: raised while open, a new one once closed.
    ASSERT_TRUE(click(p->get_widget("btnConfig")));
    ASSERT_TRUE(click(p->get_widget("btnConfig")));
    EXPECT_EQ(1, section->dialogs);
    gtk_widget_destroy(gtk_widget_get_toplevel(p->get_config()));
    EXPECT_EQ(nullptr, p->get_config());
    ASSERT_TRUE(click(p->get_widget("btnConfig")));
    EXPECT_EQ(2, section->dialogs);

    // The analysis changes on another thread while the window refreshes.
    Analysis* a = m->get_analysis();
    for (int n : {5, 1, 3}) {
        std::thread change([a, n] {
            a->Resize(n, 16);
            a->set_bins(40 + n, 0, 200);
        });
        const bool followed = pump_until(
            [&] {
                return mon->chip_count() == n && shows_tracers(strip, "common_mode") &&
                       rows(mon->get_widget("optChipSelect")).size() == size_t(n) + 1;
            },
            10);
        change.join();
        ASSERT_TRUE(followed) << n;
        ASSERT_TRUE(pump_until([&] { return drawn(signal2d) == HST_FUNCTION(a->get_hsig2()); }, 5)) << n;
        EXPECT_EQ(HST_FUNCTION(a->get_hsig(gtk_combo_box_get_active(GTK_COMBO_BOX(mon->get_widget("optChipSelect"))))),
                  drawn(signal));
        EXPECT_EQ(40 + n, hst_function_get_npts(drawn(signal)));
    }

    // A panel rebuild: the window and the dialog close first, and nothing of
    // theirs reaches the panel afterwards.
    GtkWidget* dialog = gtk_widget_get_toplevel(p->get_config());
    g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
    p->close_windows();
    EXPECT_EQ(nullptr, dialog);
    EXPECT_EQ(0, StockMonitorWindow::live());
    EXPECT_FALSE(p->btn_active("swMonitor"));
    panels.clear();
    delete p;
    gtk_widget_destroy(tops.back());
    tops.clear();
    pump_for(100);

    // The module goes while a new panel's window is open: the ticks find
    // nothing and do nothing.
    guitest::load_accessibility();
    p = panel("7");
    mon = open_monitor(p);
    ASSERT_NE(nullptr, mon);
    Ostrel::DAQmanager::theDAQmanager()->deleteModule(m);
    delete m;
    pump_for(1200);
    ASSERT_TRUE(click(p->get_widget("btnConfig")));
    EXPECT_EQ(2, section->dialogs);

    // Quit as a screen reader clicks it, which goes on with the button
    // afterwards: the window goes once the click is over.
    ASSERT_TRUE(guitest::click_for_screen_reader(mon->get_widget("btnQuitMonitor")));
    EXPECT_TRUE(pump_until([] { return StockMonitorWindow::live() == 0; }, 5));
    EXPECT_FALSE(p->btn_active("swMonitor"));
}

TEST_F(ModuleWindows, PanelsMoveModulesBetweenRunsAndRefuseToLeaveARunningOne)
{
    SyntheticModule* m = add_module(7, 1);
    testutil::set_up_acquisition();
    Ostrel::RunManager* main = find_rm("main");
    LogLines log;

    module_gui* unknown = panel("99");
    EXPECT_TRUE(log.has("module_gui: DAQmanager could not find module [99]"));
    EXPECT_EQ("Unknown", unknown->get_text("lblModuleID"));
    ASSERT_TRUE(click(unknown->get_widget("btnConfig")));
    ASSERT_TRUE(click(unknown->get_widget("swMonitor")));
    EXPECT_EQ(0, section->dialogs);
    EXPECT_EQ(0, StockMonitorWindow::live());

    module_gui* p = panel("7");
    DefaultMonitorGUI* mon = open_monitor(p);
    ASSERT_NE(nullptr, mon);
    EXPECT_FALSE(gtk_widget_get_sensitive(mon->get_widget("btnMonitorRunControl")));
    ASSERT_TRUE(click(p->get_widget("swLocal")));
    Ostrel::RunManager* local = find_rm("rm.7");
    ASSERT_NE(nullptr, local);
    EXPECT_TRUE(m->is_local());
    EXPECT_TRUE(in(local, m));
    EXPECT_FALSE(in(main, m));
    EXPECT_TRUE(gtk_widget_get_sensitive(mon->get_widget("btnMonitorRunControl")));

    // Its own run goes on: it stays local, and the GUI does not wait.
    local->Activate();
    ASSERT_TRUE(pump_until([&] { return m->produced > 10; }, 10));
    ASSERT_TRUE(click(p->get_widget("swLocal")));
    EXPECT_TRUE(p->btn_active("swLocal"));
    EXPECT_EQ(local, find_rm("rm.7"));
    EXPECT_TRUE(log.has("Module 7 stays local while rm.7 runs: stop its run first"));
    local->PrepareToStop(true);
    ASSERT_TRUE(pump_until([&] { return !local->isActive(); }, 10));

    ASSERT_TRUE(click(p->get_widget("swLocal")));
    EXPECT_EQ(nullptr, find_rm("rm.7"));
    EXPECT_FALSE(m->is_local());
    EXPECT_TRUE(in(main, m));
    EXPECT_FALSE(gtk_widget_get_sensitive(mon->get_widget("btnMonitorRunControl")));

    // Switching the toggle off closes the window and the counters go on.
    ASSERT_TRUE(click(p->get_widget("swMonitor")));
    EXPECT_EQ(0, StockMonitorWindow::live());
    Update u;
    u.ntrig = 1234;
    p->update(u);
    EXPECT_EQ("1234", p->get_text("lblNtrig"));
}

TEST_F(ModuleWindows, PanelsShowEveryStreamOfTwoBoards)
{
    loopback::use_private_ports();
    const std::string dir = testutil::make_temp_dir("boards");
    testutil::write_file(
        dir + "/boards.xml",
        "<Sorbek><plugins><plugin name=\"fenrow\" module=\"fenrow\"><lib>" BRISKO_FENROW_PLUGIN
        "</lib><hook>create_Fenrow</hook></plugin></plugins><modules>"
        "<fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\"><ro_mode>serial</ro_mode></stream>"
        "<stream name=\"23\" address=\"127.0.0.2\"><ro_mode>serial</ro_mode></stream></fenrow>"
        "<fenrow name=\"127.0.0.3\"><stream name=\"32\" address=\"127.0.0.3\"><nchips>2</nchips>"
        "<ro_mode>serial</ro_mode></stream></fenrow></modules><general/></Sorbek>\n");
    cfg->reset();
    ASSERT_TRUE(cfg->parse((dir + "/boards.xml").c_str()));
    testutil::set_up_acquisition();
    const std::vector<std::string> board = {BRISKO_BOARD_SIM, "--mode", "serial", "--on-start", "--count", "0",
                                            "--rate", "500", "--wait-host", "60"};
    std::vector<std::string> a = board, b = board;
    a.insert(a.end(), {"--address", "127.0.0.2", "--streams", "1,3"});
    b.insert(b.end(), {"--address", "127.0.0.3", "--streams", "2", "--chips", "2"});
    loopback::Process sim_a(a, dir + "/a.log"), sim_b(b, dir + "/b.log");
    ASSERT_TRUE(sim_a.started()) << sim_a.error();
    ASSERT_TRUE(sim_b.started()) << sim_b.error();
    const std::vector<std::string> streams = {"21", "23", "32"};
    ASSERT_TRUE(pump_until([&] { return DAQcontroller::instance()->module_ids() == streams; }, 30));

    std::vector<module_gui*> shown;
    for (const std::string& id : streams) {
        shown.push_back(panel(id));
        EXPECT_EQ(id, shown.back()->get_text("lblModuleID"));
        EXPECT_NE(nullptr, cfg->get_id_handler(Ostrel::DAQid(id).to_int())) << id;
    }
    // During a run each panel counts its own stream's events.
    Ostrel::RunManager* main = find_rm("main");
    main->Activate();
    EXPECT_TRUE(pump_until(
        [&] {
            bool all = true;
            for (module_gui* p : shown) {
                Update u;
                Module_update(p->id(), u);
                p->update(u);
                all = all && GladeApp::get_int(p->get_text("lblNtrig").c_str(), 0) > 50;
            }
            return all;
        },
        30));
    main->PrepareToStop(true);
    EXPECT_TRUE(pump_until([&] { return !main->isActive(); }, 30));
}
