// The main window built from the compiled-in description, over modules that
// make events on every trigger: its panels, its controls against the run
// manager "main" that they replace and set, and its refresh.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include "DialogTest.h"
#include "Modal.h"
#include "common/LogLines.h"
#include "common/SetUpAcquisition.h"
#include "common/SyntheticModule.h"
#include "config/GeneralConfig.h"
#include "config/ScanConfig.h"
#include "daq/DAQcontroller.h"
#include "daq/DataLogger.h"
#include "daq/RunManagers.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "gui/MainWindow.h"
#include "gui/RunMenu.h"
#include "gui/module_gui.h"
#include "plenwig/hst_chart_private.h"

using guitest::pump_until;

TEST(MainWindowText, MemoryFilterAndScanPoint)
{
    EXPECT_EQ("    512 kb", MainWindow::format_memory(512));
    EXPECT_EQ("      2 Mb", MainWindow::format_memory(2048));
    EXPECT_EQ("1.02e+03 Mb", MainWindow::format_memory(1048576));
    EXPECT_EQ("      3 Gb", MainWindow::format_memory(3 * 1048576ULL));
    EXPECT_NE(std::string::npos, MainWindow::get_proc_mem().find("b"));

    const bool error_and_warning[7] = {false, true, false, true, false, false, false};
    EXPECT_EQ(20, MainWindow::filter_mask(error_and_warning));

    ScanPoint p("p1");
    ScanVar pulse(ScanVar::pulse, 0, 20, 0.5, 0);
    pulse.set_value(12.5);
    ScanVar channel(ScanVar::channel, 0, 10, 1, 0);
    channel.set_value(3);
    p.add_var(pulse);
    p.add_var(channel);
    EXPECT_EQ("p1:> Pulse:  12.50 Channel:   3.00 ", MainWindow::scan_text(p));
}

namespace {

TellumRunManager* main_rm()
{
    return DAQcontroller::instance()->get_run_manager();
}

// The scan dialog answered OK with its scan switch on.
bool scan_switched_on()
{
    GtkWidget* d = guitest::shown(GTK_TYPE_DIALOG, "Scan configuration");
    if (!d)
        return false;
    std::vector<GtkWidget*> toggles;
    guitest::collect(d, GTK_TYPE_TOGGLE_BUTTON, toggles);
    for (GtkWidget* t : toggles)
        if (std::string(gtk_widget_get_name(t)) == "btnDoScan")
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(t), TRUE);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
    return true;
}

class MainWindowTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(ConfigParser::theConfig()->parse(nullptr));
    }
    void TearDown() override
    {
        if (!IsSkipped()) {
            delete window;
            DAQcontroller::instance()->stop_daq();
            RunMenu::delete_all();
            modules.clear();
        }
        DialogTest::TearDown();
    }

    void start(int nmodules)
    {
        for (int i = 0; i < nmodules; ++i)
            modules.push_back(new SyntheticModule(Ostrel::DAQid(10 + i)));
        testutil::set_up_acquisition();
        window = new MainWindow;
        ASSERT_TRUE(build(window, "brisko"));
        DAQcontroller::instance()->set_main_window(window);
        guitest::show_and_wait(window->get_main_window());
    }

    bool sensitive(const char* id) const { return gtk_widget_get_sensitive(window->get_widget(id)); }
    void toggle(const char* id, bool on)
    {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(window->get_widget(id)), on);
    }

    MainWindow* window = nullptr;
    // The acquisition's reset deletes them.
    std::vector<SyntheticModule*> modules;
};

} // namespace

TEST_F(MainWindowTest, PanelsRunLengthAndSettingsLockedWhileARunGoes)
{
    start(5);
    // Four panels a row: the fifth opens the second row.
    ASSERT_EQ(5u, window->get_panels().size());
    GtkWidget* fifth = window->get_panels()[4]->get_main_window();
    guint left = 9, top = 9;
    gtk_container_child_get(GTK_CONTAINER(window->get_widget("module-table")), fifth, "left-attach", &left,
                            "top-attach", &top, nullptr);
    EXPECT_EQ(0u, left);
    EXPECT_EQ(1u, top);

    // What does not parse, or is not positive, is a run without end.
    for (const char* text : {"-1", "abc", "-5"}) {
        main_rm()->set_max_events(77);
        window->set_text("txtNoOfEvents", text);
        window->change_run_duration();
        EXPECT_EQ(0u, main_rm()->get_max_events()) << text;
    }
    window->set_text("txtNoOfEvents", "10");
    toggle("btnTime", true);
    EXPECT_DOUBLE_EQ(10.0, main_rm()->get_run_duration());
    window->set_text("txtNoOfEvents", "-3");
    window->change_run_duration();
    EXPECT_DOUBLE_EQ(0.0, main_rm()->get_run_duration());

    window->set_text("txtNoOfEvents", "200000");
    toggle("btnEvts", true);
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return !sensitive("swLogData"); }, 5));
    for (const char* id : {"txtNoOfEvents", "btnTime", "swTriggerInternal", "swInterruptInt", "btnScan", "btnPedestal"})
        EXPECT_FALSE(sensitive(id)) << id;
    EXPECT_FALSE(gtk_widget_get_sensitive(window->get_panels()[0]->get_widget("swLocal")));
    // A panel rebuild while the run goes keeps its switches locked.
    DAQcontroller::instance()->set_module_list();
    EXPECT_FALSE(gtk_widget_get_sensitive(window->get_panels()[0]->get_widget("swLocal")));
    main_rm()->PrepareToStop(true);
    ASSERT_TRUE(pump_until([&] { return sensitive("swLogData"); }, 10));
    for (const char* id : {"txtNoOfEvents", "btnTime", "swTriggerInternal", "btnScan", "btnPedestal"})
        EXPECT_TRUE(sensitive(id)) << id;
}

TEST_F(MainWindowTest, TriggerTypeScanAndPedestalRunReplaceMainKeepingTheControls)
{
    start(1);
    window->set_text("txtNoOfEvents", "500");
    window->change_run_duration();
    toggle("toggleMonitor", false);
    EXPECT_EQ(nullptr, main_rm()->get_monitor());

    // Internal and back: two new run managers, each without monitoring and
    // polling, with the run length.
    TellumRunManager* first = main_rm();
    toggle("swTriggerInternal", true);
    ASSERT_NE(nullptr, dynamic_cast<IntTrgRunManager*>(main_rm()));
    EXPECT_NE(first, main_rm());
    toggle("swTriggerType", true);
    TellumRunManager* data = main_rm();
    ASSERT_NE(nullptr, dynamic_cast<DataRunManager*>(data));
    EXPECT_EQ(nullptr, data->get_monitor());
    EXPECT_FALSE(data->get_par_value<bool>("doInterrupts"));
    EXPECT_EQ(500u, data->get_max_events());
    MainWindow::onUpdate(static_cast<GladeApp*>(window));
    EXPECT_EQ("Data", window->get_text("lblRunMode"));

    // The logging switch says what "main" does: on for a file opened
    // elsewhere, off again when there is none.
    ASSERT_TRUE(data->log_data((dir + "/remote").c_str(), false, 0));
    MainWindow::onUpdate(static_cast<GladeApp*>(window));
    EXPECT_TRUE(window->btn_active("swLogData"));
    EXPECT_EQ(dir + "/remote.h5", window->get_text("lblDataFile"));
    data->stop_logging();
    MainWindow::onUpdate(static_cast<GladeApp*>(window));
    EXPECT_FALSE(window->btn_active("swLogData"));
    EXPECT_EQ("Not logging", window->get_text("lblDataFile"));

    // A scan accepted with the scan switch on makes "main" a scan run
    // manager; the trigger type stays.
    auto* scans = dynamic_cast<ScanConfig*>(ConfigParser::theConfig()->get_handler("scans"));
    ASSERT_NE(nullptr, scans);
    ScanList list;
    ScanPoint p("p1");
    p.add_var(ScanVar(ScanVar::pulse, 0, 3, 1, 0));
    list.add_point("p1", p);
    scans->set_scan_list(list);
    guitest::Later answer(scan_switched_on);
    MainWindow::onScan(nullptr, static_cast<GladeApp*>(window));
    EXPECT_TRUE(answer.done());
    auto* scan = dynamic_cast<ScanRunManager*>(main_rm());
    ASSERT_NE(nullptr, scan);
    EXPECT_EQ(1, scan->get_n_var());
    EXPECT_EQ("data", window->trigger_type());

    // A pedestal run: its button is off while it runs, and then "main" is
    // of the trigger type again with the run length it had.
    auto* general = dynamic_cast<GeneralConfig*>(ConfigParser::theConfig()->get_handler("general"));
    general->set_ped_nevts(300);
    const int min_sample = general->get_ped_min_sample();
    main_rm()->set_max_events(1234);
    MainWindow::onPedestal(nullptr, static_cast<GladeApp*>(window));
    EXPECT_TRUE(window->pedestal_running());
    EXPECT_NE(nullptr, dynamic_cast<PedestalRunManager*>(main_rm()));
    EXPECT_FALSE(sensitive("btnPedestal"));
    ASSERT_TRUE(pump_until([&] { return !window->pedestal_running(); }, 20));
    EXPECT_GE(modules[0]->n_trigger.load(), 300u);
    ASSERT_NE(nullptr, dynamic_cast<DataRunManager*>(main_rm()));
    EXPECT_EQ(1234u, main_rm()->get_max_events());
    EXPECT_EQ(min_sample, general->get_ped_min_sample());
    EXPECT_TRUE(sensitive("btnPedestal"));
}

TEST_F(MainWindowTest, TriggerSwitchKeepsTheRunFileOrSaysItCannot)
{
    start(1);
    const std::string folder = dir + "/runs";
    ASSERT_EQ(0, g_mkdir(folder.c_str(), 0755));
    ASSERT_TRUE(main_rm()->log_data((folder + "/run").c_str(), false, 0));
    MainWindow::onUpdate(static_cast<GladeApp*>(window));
    toggle("swTriggerInternal", true);
    ASSERT_NE(nullptr, main_rm()->get_logger());
    EXPECT_EQ(folder + "/run.h5", main_rm()->get_logger()->get_file_name());
    MainWindow::onUpdate(static_cast<GladeApp*>(window));
    EXPECT_TRUE(window->btn_active("swLogData"));
    EXPECT_EQ(folder + "/run.h5", window->get_text("lblDataFile"));

    // Its folder gone, the file cannot be made again: the window says so.
    ASSERT_EQ(0, g_remove((folder + "/run.h5").c_str()));
    ASSERT_EQ(0, g_rmdir(folder.c_str()));
    toggle("swTriggerType", true);
    EXPECT_EQ(nullptr, main_rm()->get_logger());
    GtkWidget* box = nullptr;
    ASSERT_TRUE(pump_until([&] { return (box = guitest::shown(GTK_TYPE_MESSAGE_DIALOG)) != nullptr; }, 5));
    gchar* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    EXPECT_THAT(std::string(text ? text : ""), ::testing::HasSubstr("The next run is not logged: the run file " +
                                                                    folder + "/run.h5 could not be opened again"));
    g_free(text);
    gtk_widget_destroy(box);
    EXPECT_FALSE(window->btn_active("swLogData"));
}

namespace {

// What a message window shows, and its buttons' labels.
std::string message_text(GtkWidget* box)
{
    gchar* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    const std::string out = text ? text : "";
    g_free(text);
    return out;
}

GtkWidget* button_labelled(GtkWidget* top, const std::string& label)
{
    std::vector<GtkWidget*> buttons;
    guitest::collect(top, GTK_TYPE_BUTTON, buttons);
    for (GtkWidget* b : buttons)
        if (gtk_button_get_label(GTK_BUTTON(b)) && label == gtk_button_get_label(GTK_BUTTON(b)))
            return b;
    return nullptr;
}

// A menu's item, chosen as the operator chooses it.
bool choose(MainWindow* w, const char* menu, const char* item)
{
    return guitest::click(w->get_widget(menu)) &&
           pump_until([&] { return gtk_widget_get_mapped(w->get_widget(item)); }, 5) &&
           guitest::click(w->get_widget(item));
}

} // namespace

TEST_F(MainWindowTest, RunEndsByTheUnitChosenLast)
{
    start(1);
    GtkWidget* entry = window->get_widget("txtNoOfEvents");
    const auto enter = [&](const char* text) {
        ASSERT_TRUE(guitest::click(entry));
        ASSERT_TRUE(guitest::key(entry, "ctrl+a"));
        ASSERT_TRUE(guitest::type_text(entry, text));
        ASSERT_TRUE(guitest::key(entry, "Tab"));
    };
    // 50 events, then Time and 1 s: the run goes a second, past 50 events.
    enter("50");
    ASSERT_EQ(50u, main_rm()->get_max_events());
    ASSERT_TRUE(guitest::click(window->get_widget("btnTime")));
    enter("1");
    EXPECT_DOUBLE_EQ(1.0, main_rm()->get_run_duration());
    const gint64 begun = g_get_monotonic_time();
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return !main_rm()->isActive(); }, 20));
    EXPECT_GE(g_get_monotonic_time() - begun, 900000);
    EXPECT_GT(main_rm()->get_event_number(), 50u);

    // Back to Events: the time is no limit any more.
    ASSERT_TRUE(guitest::click(window->get_widget("btnEvts")));
    EXPECT_EQ(1u, main_rm()->get_max_events());
    EXPECT_DOUBLE_EQ(0.0, main_rm()->get_run_duration());
}

TEST_F(MainWindowTest, InterruptHelpAndAnEmptyScanSayWhyNothingHappened)
{
    LogLines log;
    g_unsetenv("TELLUM_HELPDIR");
    start(1);
    GtkWidget* shown = nullptr;
    const auto message_says = [&](const std::string& text) {
        return pump_until([&] {
            shown = guitest::shown(GTK_TYPE_MESSAGE_DIALOG);
            return shown && message_text(shown).find(text) != std::string::npos;
        }, 5);
    };
    const auto close = [&](const char* label) {
        guitest::show_and_wait(shown);
        EXPECT_TRUE(guitest::click(button_labelled(shown, label)));
        EXPECT_TRUE(pump_until([] { return !guitest::shown(GTK_TYPE_MESSAGE_DIALOG); }, 5));
    };

    // "Interrupt" without an interrupt hook: back to "poll", and why.
    ASSERT_TRUE(guitest::click(window->get_widget("swInterruptInt")));
    ASSERT_TRUE(message_says("Interrupts are not enabled: no interrupt hook is configured"))
        << (shown ? message_text(shown) : "no message");
    EXPECT_TRUE(pump_until([&] { return window->btn_active("swInterrupt"); }, 5));
    EXPECT_FALSE(main_rm()->get_par_value<bool>("doInterrupts"));
    EXPECT_FALSE(log.has("Interrupts enabled: 1"));
    close("gtk-close");

    // Help > Help without a manual folder: where it was looked for.
    ASSERT_TRUE(choose(window, "menu_help", "manual"));
    ASSERT_TRUE(message_says("TELLUM_HELPDIR is not set"));
    close("gtk-close");

    // A scan without variables is refused with an OK button.
    auto* scans = dynamic_cast<ScanConfig*>(ConfigParser::theConfig()->get_handler("scans"));
    ASSERT_NE(nullptr, scans);
    ScanList list;
    list.add_point("empty", ScanPoint("empty"));
    scans->set_scan_list(list);
    bool refused = false;
    guitest::Later answer([&] {
        if (GtkWidget* box = guitest::shown(GTK_TYPE_MESSAGE_DIALOG)) {
            shown = box;
            refused = message_text(box) == "No variables defined in the scan. Falling back to default run type.";
            guitest::show_and_wait(box);
            // Its modal run ends once this has returned.
            GtkWidget* ok = button_labelled(box, "gtk-ok");
            if (!ok || !guitest::click(ok)) {
                ADD_FAILURE() << "no OK button";
                gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);
            }
            return true;
        }
        if (GtkWidget* d = guitest::shown(GTK_TYPE_DIALOG, "Scan configuration"))
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
        return false;
    });
    MainWindow::onScan(nullptr, static_cast<GladeApp*>(window));
    EXPECT_TRUE(answer.done());
    EXPECT_TRUE(refused);
    EXPECT_EQ(nullptr, guitest::shown(GTK_TYPE_MESSAGE_DIALOG));
}

TEST_F(MainWindowTest, ScanPointLabelNamesItsScanAndNoFrameChangesWidth)
{
    // A scan of four variables, a point every 100 s.
    auto* scans = dynamic_cast<ScanConfig*>(ConfigParser::theConfig()->get_handler("scans"));
    ASSERT_NE(nullptr, scans);
    ScanPoint p("p1");
    for (ScanType type : {ScanVar::pulse, ScanVar::channel, ScanVar::threshold, ScanVar::trim})
        p.add_var(ScanVar(type, 10, 12, 1, 10));
    ScanList list;
    list.add_point("p1", p);
    scans->set_scan_list(list);
    scans->is_time(true);
    start(1);

    const char* frames[] = {"frmRun", "frmTrigger", "frmData", "frmStatus"};
    const auto widths = [&] {
        std::vector<int> out;
        for (const char* id : frames)
            out.push_back(guitest::screen_rect(window->get_widget(id)).width);
        return out;
    };
    guitest::pump_for(1200);
    const std::vector<int> before = widths();

    guitest::Later answer(scan_switched_on);
    MainWindow::onScan(nullptr, static_cast<GladeApp*>(window));
    ASSERT_NE(nullptr, dynamic_cast<ScanRunManager*>(main_rm()));
    main_rm()->Activate();
    ASSERT_TRUE(pump_until([&] { return window->get_text("lblScanInfo") != "<none>"; }, 10));
    EXPECT_EQ("p1:> Pulse:  10.00 Channel:  10.00 Threshold:  10.00 Trim:  10.00 ", window->get_text("lblScanInfo"));
    guitest::pump_for(300);
    EXPECT_EQ(before, widths());
    // The label shows whole inside its frame.
    const GdkRectangle label = guitest::screen_rect(window->get_widget("lblScanInfo"));
    const GdkRectangle status = guitest::screen_rect(window->get_widget("frmStatus"));
    EXPECT_GE(label.x, status.x);
    EXPECT_LE(label.x + label.width, status.x + status.width);
    EXPECT_LE(label.y + label.height, status.y + status.height);
    PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(window->get_widget("lblScanInfo")));
    int shown_width = 0;
    pango_layout_get_pixel_size(layout, &shown_width, nullptr);
    EXPECT_LE(shown_width, label.width);
    main_rm()->PrepareToStop(true);
    EXPECT_TRUE(pump_until([&] { return !main_rm()->isActive(); }, 10));
}

TEST_F(MainWindowTest, RateGaugeKeepsAReadableScaleAtRest)
{
    start(1);
    GtkWidget* gauge = window->get_widget("gauge_rate");
    ASSERT_TRUE(gauge && HST_IS_GAUGE(gauge));
    // Refreshes with no event yet: the scale stays 0 to 10 x10^3.
    guitest::pump_for(2600);
    gdk_window_process_all_updates();
    double xmax = 0;
    g_object_get(gauge, "xmax", &xmax, nullptr);
    EXPECT_EQ(10000.0, xmax);
    EXPECT_EQ(3.0, HST_GAUGE(gauge)->priv->ex);
}
