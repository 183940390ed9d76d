// The scan definition dialog: points recomputed from the range, refused
// steps and sizes, variables added, moved and deleted, scans added, switched
// and deleted, a value confirmed with Enter taken by OK, and OK refused for
// a scan too large to run.
#include "DialogTest.h"
#include "Modal.h"
#include "gui/GtkUtils.h"
#include "gui/dialogs/ScanDialog.h"
#include "gui/TextCombo.h"

namespace {

ScanList two_scans()
{
    ScanList list;
    ScanPoint alpha("alpha");
    alpha.add_var(ScanVar(ScanVar::channel, 0, 127, 1, 0));
    list.add_point("alpha", alpha);
    ScanPoint beta("beta");
    beta.add_var(ScanVar(ScanVar::threshold, 0, 10, 2, 0));
    list.add_point("beta", beta);
    return list;
}

// The four entries of one variable: points, step, from, to.
std::string shown(const ScanDialog& d)
{
    return d.get_text("txtNpoints") + " " + d.get_text("txtStep") + " " + d.get_text("txtFrom") + " " +
           d.get_text("txtTo");
}

void edit(ScanDialog& d, const char* id, const char* text)
{
    d.set_text(id, text);
    d.process_text(id, d.get_widget(id));
}

void select_row(ScanDialog& d, const char* view, int row)
{
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(d.get_widget(view))), path);
    gtk_tree_path_free(path);
}

std::vector<int> types(const ScanDialog& d)
{
    ScanPoint point;
    d.copy_scan_point(point);
    std::vector<int> out;
    for (const ScanVar& v : point)
        out.push_back(v.type());
    return out;
}

} // namespace

TEST_F(DialogTest, ScanDialogEditsRefusesAndKeepsScans)
{
    ScanDialog d(50, two_scans());
    d.scan(true);
    d.set_scan_point("beta");
    d.delay(1.5);
    d.burst(true);
    d.is_time(true);
    d.rate(250);
    ASSERT_TRUE(build(&d, "ScanDialog"));
    EXPECT_EQ("beta", combo_active_text(d.get_widget("comboScanList")));
    EXPECT_EQ("50", d.get_text("txtNevtPerPoint"));
    EXPECT_EQ("6 2 0 10", shown(d));
    EXPECT_TRUE(d.btn_active("btnDoScan") && d.btn_active("btnBurst") && d.btn_active("btnScanTime"));
    EXPECT_EQ(1.5, d.spin2double("spinDelay"));
    EXPECT_EQ(250, d.rate());

    // A type the scan lacks; points always follow from the range; from
    // above to is shown swapped.
    select_row(d, "lstVariables", ScanVar::channel);
    EXPECT_EQ("11 1 0 10", shown(d));
    edit(d, "txtNpoints", "99");
    EXPECT_EQ("11 1 0 10", shown(d));
    edit(d, "txtTo", "3.5");
    EXPECT_EQ("4 1 0 3", shown(d));
    edit(d, "txtFrom", "9");
    EXPECT_EQ("7 1 3 9", shown(d));
    edit(d, "txtStep", "1.5");
    EXPECT_EQ("5 1.5 3 9", shown(d));

    // Refused, keeping what was shown: a step of 0, a step down from below,
    // too many points.
    for (auto bad : {std::make_pair("txtStep", "0"), std::make_pair("txtStep", "-1"), std::make_pair("txtTo", "2e6")}) {
        edit(d, bad.first, bad.second);
        EXPECT_EQ("5 1.5 3 9", shown(d)) << bad.second;
        EXPECT_NE("", d.get_text("lblScanMessage")) << bad.second;
    }
    EXPECT_EQ("The step cannot be 0", (edit(d, "txtStep", "0"), d.get_text("lblScanMessage")));

    d.click_button("btnScanAdd");
    EXPECT_EQ((std::vector<int>{ScanVar::threshold, ScanVar::channel}), types(d));
    // 6 thresholds times 200000 channels is more than a scan takes.
    edit(d, "txtStep", "1");
    edit(d, "txtTo", "200002");
    d.click_button("btnScanAdd");
    EXPECT_EQ(0u, d.get_text("lblScanMessage").find("Not a scan to run: the scan has 1200000 points"));
    ScanPoint point;
    d.copy_scan_point(point);
    EXPECT_EQ(5, point.find_type(ScanVar::channel)->n_points());

    // Moving the first row up changes nothing; down swaps it.
    select_row(d, "clistScan", 0);
    d.click_button("btnScanUp");
    EXPECT_EQ((std::vector<int>{ScanVar::threshold, ScanVar::channel}), types(d));
    d.click_button("btnScanDown");
    EXPECT_EQ((std::vector<int>{ScanVar::channel, ScanVar::threshold}), types(d));
    select_row(d, "clistScan", 0);
    d.click_button("btnScanDelete");
    EXPECT_EQ(1, d.get_n_var());

    edit(d, "txtNevtPerPoint", "many");
    EXPECT_EQ(10, d.get_nevts());

    // A new scan starts as the one shown; a cancelled prompt adds nothing.
    {
        guitest::Later operator_(guitest::answer_prompt("New scan name", "gamma"));
        d.click_button("btnAddScan");
    }
    {
        guitest::Later operator_(guitest::answer_prompt("New scan name", nullptr));
        d.click_button("btnAddScan");
    }
    ScanList list;
    d.copy_scan_list(list);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(1, list.find("gamma")->second.nvar());
    EXPECT_EQ(list.end(), list.find(""));
    EXPECT_EQ("gamma", combo_active_text(d.get_widget("comboScanList")));

    // Switching keeps gamma's edits and shows alpha's variables.
    select_row(d, "lstVariables", ScanVar::trim);
    d.click_button("btnScanAdd");
    gtk_combo_box_set_active(GTK_COMBO_BOX(d.get_widget("comboScanList")), 0);
    EXPECT_EQ((std::vector<int>{ScanVar::channel}), types(d));
    EXPECT_EQ("128 1 0 127", shown(d));
    d.copy_scan_list(list);
    EXPECT_EQ(2, list.find("gamma")->second.nvar());

    for (int i = 0; i < 3; ++i)
        d.click_button("btnDeleteScan");
    d.copy_scan_list(list);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ("None", combo_active_text(d.get_widget("comboScanList")));
}

TEST_F(DialogTest, ScanDialogTakesAValueConfirmedWithEnter)
{
    ScanDialog d(100, ScanList());
    ASSERT_TRUE(build(&d, "ScanDialog"));
    EXPECT_EQ("none", combo_active_text(d.get_widget("comboScanList")));
    int response = 0;
    g_signal_connect(d.get_main_window(), "response", G_CALLBACK(+[](GtkDialog*, int r, int* out) { *out = r; }),
                     &response);
    guitest::show_and_wait(d.get_main_window());
    GtkWidget* entry = d.get_widget("txtNevtPerPoint");
    gtk_widget_grab_focus(entry);
    gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    ASSERT_TRUE(guitest::type_text(entry, "250"));
    ASSERT_TRUE(guitest::key(entry, "Return"));
    EXPECT_TRUE(guitest::pump_until([&] { return response != 0; }, 5));
    EXPECT_EQ(GTK_RESPONSE_OK, response);
    EXPECT_EQ(250, d.get_nevts());
}

TEST_F(DialogTest, NewScanNameIsTakenWithReturn)
{
    ScanDialog d(100, two_scans());
    ASSERT_TRUE(build(&d, "ScanDialog"));
    guitest::show_and_wait(d.get_main_window());
    gint64 typed = 0;
    guitest::Later operator_([&] {
        GtkWidget* prompt = guitest::shown(GTK_TYPE_DIALOG, "New scan name");
        if (typed) {
            // Still asking long after Return: it did not answer OK.
            if (prompt && g_get_monotonic_time() - typed > 3000000) {
                ADD_FAILURE() << "Return did not answer the prompt";
                gtk_dialog_response(GTK_DIALOG(prompt), GTK_RESPONSE_REJECT);
            }
            return !prompt || g_get_monotonic_time() - typed > 3000000;
        }
        if (!prompt)
            return false;
        guitest::show_and_wait(prompt);
        std::vector<GtkWidget*> entries;
        guitest::collect(prompt, GTK_TYPE_ENTRY, entries);
        EXPECT_TRUE(guitest::type_text(entries.front(), "gamma"));
        EXPECT_TRUE(guitest::key(entries.front(), "Return"));
        typed = g_get_monotonic_time();
        return false;
    });
    ASSERT_TRUE(guitest::click(d.get_widget("btnAddScan")));
    EXPECT_TRUE(guitest::pump_until([&] { return operator_.done(); }, 20));
    EXPECT_EQ("gamma", combo_active_text(d.get_widget("comboScanList")));
}

TEST_F(DialogTest, ScanDialogOkSaysAScanIsTooLargeAndStaysOpen)
{
    // Each variable fits; the grid has more points than a scan may have.
    ScanList list;
    ScanPoint grid("grid");
    grid.add_var(ScanVar(ScanVar::channel, 0, 999, 1, 0));
    grid.add_var(ScanVar(ScanVar::threshold, 0, 1000, 1, 0));
    list.add_point("grid", grid);
    ScanDialog d(100, list);
    ASSERT_TRUE(build(&d, "ScanDialog"));

    guitest::Later press_ok([&] {
        if (!gtk_widget_get_mapped(d.get_main_window()))
            return false;
        d.click_button("btnScanOK");
        return true;
    });
    std::string said;
    int ticks = 0;
    guitest::Later read_and_cancel([&] {
        if (GtkWidget* box = guitest::shown(GTK_TYPE_MESSAGE_DIALOG)) {
            gchar* text = nullptr;
            g_object_get(box, "text", &text, nullptr);
            said = text ? text : "";
            g_free(text);
            gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
            return false;
        }
        // Cancelled after 10 s whatever happened, so that the test ends.
        if ((said.empty() || !press_ok.done()) && ++ticks < 500)
            return false;
        gtk_dialog_response(GTK_DIALOG(d.get_main_window()), GTK_RESPONSE_CANCEL);
        return true;
    });
    EXPECT_EQ(GTK_RESPONSE_CANCEL, run_past_help(d.get_main_window()));
    EXPECT_EQ("Not a scan to run: the scan has 1001000 points, more than the 1000000 points a scan may have", said);
}
