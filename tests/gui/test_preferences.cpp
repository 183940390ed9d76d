// The preferences dialog: what it shows, colour texts, search paths by
// kind, bounded port and binning, Apply, Cancel after Apply, the window
// manager's close, and OK with a value confirmed with Enter.
#include "DialogTest.h"
#include "Modal.h"
#include "common/TestModule.h"
#include "config/IOConfig.h"
#include "gui/ListRows.h"
#include "gui/dialogs/Preferences.h"

namespace {

void set_color(Preferences* p, const char* id, guint16 r, guint16 g, guint16 b)
{
    GdkColor c = {0, r, g, b};
    gtk_color_button_set_color(GTK_COLOR_BUTTON(p->get_widget(id)), &c);
    g_signal_emit_by_name(p->get_widget(id), "color-set");
}

std::vector<std::string> rows(Preferences* p)
{
    return column_texts(gtk_tree_view_get_model(GTK_TREE_VIEW(p->get_widget("treePaths"))));
}

} // namespace

TEST_F(DialogTest, PreferencesShowApplyAndCancel)
{
    IOConfig* io = ConfigParser::section<IOConfig>("IO");
    io->set_output_path("/data");
    io->set_run_number(7);
    io->set_compression(true);
    GeneralConfig* general = ConfigParser::section<GeneralConfig>("general");
    general->set_soap_port(50001);
    general->set_ped_method(GeneralConfig::fast);
    general->hsts(HstColor("#000000000000", "", "white"));
    PathConfig* paths = ConfigParser::section<PathConfig>("paths");
    paths->set_path(PathConfig::libpath, SearchPath("/lib/a"));
    TestModule module("0x20", new Analysis(1, 64, 100, 0, 500));
    Analysis* ana = module.get_analysis();

    auto* p = new Preferences;
    ASSERT_TRUE(build(p, "Preferences"));
    const unsigned id = p->window_id();
    EXPECT_EQ("/data", p->get_text("entryDataDirectory"));
    EXPECT_EQ("7", p->get_text("entryRunNumber"));
    EXPECT_TRUE(p->btn_active("BtnCompress") && p->btn_active("btnFastPedestals"));
    EXPECT_EQ(50001, p->spin2int("spinSOAPport"));
    EXPECT_EQ("100 0 500", p->get_text("txtHstNbin") + " " + p->get_text("txtHstEmin") + " " + p->get_text("txtHstEmax"));

    // Four hex digits per component, also below 0x1000.
    set_color(p, "btnHstFg", 0, 0xffff, 0);
    set_color(p, "btnTrAx", 0x0012, 0x0abc, 0xffff);

    // A path added to one kind stays with it; "a:b" is one row until Apply.
    gtk_combo_box_set_active(GTK_COMBO_BOX(p->get_widget("cmbPaths")), 1);
    {
        guitest::Later operator_(guitest::answer_prompt("Path", "/p/a:/p/b"));
        p->click_button("btnAddPath");
    }
    {
        guitest::Later operator_(guitest::answer_prompt("Path", nullptr));
        p->click_button("btnAddPath");
    }
    EXPECT_EQ("/p/a:/p/b", rows(p).back());
    gtk_combo_box_set_active(GTK_COMBO_BOX(p->get_widget("cmbPaths")), 0);
    EXPECT_EQ((std::vector<std::string>{".", "/lib/a"}), rows(p));
    gtk_combo_box_set_active(GTK_COMBO_BOX(p->get_widget("cmbPaths")), 1);
    EXPECT_EQ("/p/a:/p/b", rows(p).back());

    p->int2spin("spinSOAPport", 70000);
    EXPECT_EQ(65535, p->spin2int("spinSOAPport"));
    p->int2spin("spinSOAPport", 0);
    EXPECT_EQ(1, p->spin2int("spinSOAPport"));

    // Bins of 0, unreadable or beyond the bound change nothing; good ones
    // rebuild the histograms at once, which monitor windows see.
    for (const char* bad : {"0", "many", "65537"}) {
        p->set_text("txtHstNbin", bad);
        p->click_button("btnHstBinning");
        EXPECT_EQ(100, ana->get_nbins()) << bad;
        EXPECT_EQ("100", p->get_text("txtHstNbin")) << bad;
        EXPECT_NE("", p->get_text("lblHstMessage")) << bad;
    }
    const unsigned generation = ana->get_generation();
    p->set_text("txtHstNbin", "64");
    p->set_text("txtHstEmin", "250");
    p->set_text("txtHstEmax", "-250");
    p->click_button("btnHstBinning");
    EXPECT_EQ(64, ana->get_nbins());
    EXPECT_EQ(-250.0, ana->get_range_min());
    EXPECT_NE(generation, ana->get_generation());
    EXPECT_EQ("", p->get_text("lblHstMessage"));

    p->set_text("entryRunNumber", "seven");
    p->set_text("entryPrefix", "next");
    p->click_button("applybutton1");
    EXPECT_EQ(0, io->get_run_number());
    EXPECT_EQ("next", io->get_prefix());
    EXPECT_EQ(1, general->get_soap_port());
    EXPECT_EQ("#000000000000", general->hsts().bg());
    EXPECT_EQ("#0000ffff0000", general->hsts().fg());
    EXPECT_EQ("#00120abcffff", general->tracers().axis());
    const SearchPath glade = paths->get_path(PathConfig::gladepath);
    EXPECT_TRUE(glade.has_path("/p/a") && glade.has_path("/p/b") && !glade.has_path("/p/a:/p/b"));
    EXPECT_TRUE(paths->get_path(PathConfig::libpath).has_path("/lib/a"));

    p->set_text("entryPrefix", "discarded");
    p->click_button("cancelbutton2");
    guitest::pump();   // the window goes once its button's click is over
    EXPECT_TRUE(gone(id));
    EXPECT_EQ("next", io->get_prefix());

    // Opened again, the colour texts read back; the window manager's close
    // deletes the dialog.
    p = new Preferences;
    ASSERT_TRUE(build(p, "Preferences"));
    GdkColor c;
    gtk_color_button_get_color(GTK_COLOR_BUTTON(p->get_widget("btnHstFg")), &c);
    EXPECT_EQ(0xffff, c.green);
    EXPECT_EQ(0, c.red + c.blue);
    guitest::show_and_wait(p->get_main_window());
    const unsigned again = p->window_id();
    guitest::wm_delete(p->get_main_window());
    EXPECT_TRUE(guitest::pump_until([&] { return gone(again); }, 5));
}

TEST_F(DialogTest, PreferencesOkTakesAValueConfirmedWithEnter)
{
    auto* p = new Preferences;
    ASSERT_TRUE(build(p, "Preferences"));
    const unsigned id = p->window_id();
    guitest::show_and_wait(p->get_main_window());
    GtkWidget* entry = p->get_widget("entryRunNumber");
    gtk_widget_grab_focus(entry);
    gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    ASSERT_TRUE(guitest::type_text(entry, "42"));
    ASSERT_TRUE(guitest::key(entry, "Return"));
    EXPECT_TRUE(guitest::pump_until([&] { return gone(id); }, 5));
    EXPECT_EQ(42, ConfigParser::section<IOConfig>("IO")->get_run_number());
}
