// The pedestal dialog and the pedestal file: saved from the analysis and read
// back, short and damaged files, an empty name, resets, no modules, a full
// disk, a file typed and confirmed with Enter, a load while another thread
// analyses, and windows closed by their own buttons for a screen reader.
#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>

#include "DialogTest.h"
#include "analysis/Synthetic.h"
#include "common/FileSizeLimit.h"
#include "common/LogLines.h"
#include "common/TestModule.h"
#include "config/ModuleParser.h"
#include "gui/MessageBox.h"
#include "gui/dialogs/PedestalGui.h"
#include "gui/dialogs/Preferences.h"

namespace {

struct Section : ModuleParser {
    void parse_node(xmlNodePtr) override {}
};

// The file's number forms first, then plain values.
double ped_of(int i)
{
    const double forms[] = {512.25, 1234.5678, 0.000012345, 0.0};
    return i < 4 ? forms[i] : 100 + 0.37 * i;
}

int files_in(const std::string& dir)
{
    GDir* d = g_dir_open(dir.c_str(), 0, nullptr);
    int n = 0;
    while (d && g_dir_read_name(d))
        ++n;
    if (d)
        g_dir_close(d);
    return n;
}

} // namespace

class PedestalDialogTest : public DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        if (IsSkipped())
            return;
        module = std::make_unique<TestModule>("0x10", new SyntheticAnalysis(2, 128));
        ana = module->get_analysis();
        section = new Section;
        section->set_id("0x10");
        ConfigParser::theConfig()->register_handler("board", section);
        ConfigParser::theConfig()->register_id_handler(16, section);
    }
    void TearDown() override
    {
        module.reset();
        DialogTest::TearDown();
    }
    PedestalGui* open(bool for_read, const std::string& file, bool from_module = false)
    {
        auto* d = new PedestalGui(for_read, for_read ? "Load Pedestals" : "Save Pedestals");
        EXPECT_TRUE(build(d, "Pedestals"));
        d->set_text("entryFilename", file);
        if (from_module)
            d->click_button("pedFromModule");
        return d;
    }
    // OK; true when the dialog closed (once the click is over).
    bool ok(PedestalGui* d)
    {
        const unsigned id = d->window_id();
        d->click_button("btnOK");
        guitest::pump();
        return gone(id);
    }
    std::vector<double> bins(HstHistogram* h)
    {
        std::vector<double> out;
        for (int i = 0; i < ana->Ntot(); ++i)
            out.push_back(hst_histogram_get_bin_content(h, i));
        return out;
    }

    std::unique_ptr<TestModule> module;
    Analysis* ana = nullptr;
    Section* section = nullptr;
};

TEST_F(PedestalDialogTest, SavedFromMonitorReadsBackAndShortFilesAreNotTrusted)
{
    std::vector<double> ped(256), noise(256);
    for (int i = 0; i < 256; ++i) {
        ped[i] = ped_of(i);
        noise[i] = 1.5 + i / 1000.0;
    }
    ana->set_pedestals(ped, noise);
    const std::string file = dir + "/run7";   // no extension is added
    ASSERT_TRUE(ok(open(false, file)));
    const std::string text = testutil::read_file(file);
    EXPECT_EQ(0u, text.find("512.25 1.5\n1234.57 1.501\n1.2345e-05 1.502\n0 1.503\n"));
    EXPECT_EQ(256, std::count(text.begin(), text.end(), '\n'));

    ana->reset_pedestals();
    ASSERT_TRUE(ok(open(true, file)));
    EXPECT_EQ(file, section->get_pedestal_file());
    EXPECT_EQ(0, ana->get_n_pre());
    for (int i = 0; i < 256; ++i) {
        EXPECT_NEAR(ped[i], module->pedestals()[i], std::fabs(ped[i]) * 1e-5) << i;
        EXPECT_NEAR(noise[i], bins(ana->get_noise())[i], 1e-5) << i;
    }

    // Ten lines into 256 channels: those ten change, the analysis gets all
    // 256, nothing is trusted or recorded, and the dialog says so.
    std::ostringstream ten;
    for (int i = 0; i < 10; ++i)
        ten << 100 + i << ' ' << 2 << '\n';
    testutil::write_file(dir + "/ten.ped", ten.str());
    module->set_par("pedestal", std::vector<double>(256, 7.0), false);
    PedestalGui* d = open(true, dir + "/ten.ped");
    LogLines warnings(Ostrel::LOG_WARNING);
    EXPECT_FALSE(ok(d));
    EXPECT_EQ(109.0, module->pedestals()[9]);
    EXPECT_EQ(7.0, module->pedestals()[10]);
    EXPECT_EQ(7.0, bins(ana->get_ped())[255]);
    EXPECT_EQ(256, ana->get_n_pre());
    EXPECT_EQ(file, section->get_pedestal_file());
    const std::string said = "Only 10 of 256 channels in " + dir + "/ten.ped: the pedestals are not trusted";
    EXPECT_EQ(said, d->get_text("lblPedMsg"));
    EXPECT_TRUE(warnings.has(said));

    // Three numbers on a line and one on the next are two channels.
    testutil::write_file(dir + "/odd.ped", "1 2 3\n4\n");
    d->set_text("entryFilename", dir + "/odd.ped");
    EXPECT_FALSE(ok(d));
    const std::vector<double> p = module->pedestals();
    EXPECT_EQ((std::vector<double>{1, 3, 102}), std::vector<double>(p.begin(), p.begin() + 3));
    EXPECT_EQ(4.0, module->noises()[1]);

    // An empty name forgets the recorded file and touches no value.
    d->set_text("entryFilename", "");
    EXPECT_TRUE(ok(d));
    EXPECT_EQ("", section->get_pedestal_file());
    EXPECT_EQ(3.0, module->pedestals()[1]);
}

TEST_F(PedestalDialogTest, DamagedLineIsAnErrorAndTheSetIsNeitherTrustedNorRecorded)
{
    // 257 lines for 256 channels: read as two numbers, line 11 would shift
    // every later channel and still make a full set.
    std::ostringstream text;
    for (int i = 0; i < 257; ++i)
        text << (i == 10 ? std::string("510.25.7 3.1") : std::to_string(500 + i) + " 1.5") << '\n';
    const std::string file = dir + "/damaged.ped";
    testutil::write_file(file, text.str());
    module->set_par("pedestal", std::vector<double>(256, 7.0), false);
    module->set_par("noise", std::vector<double>(256, 9.0), false);
    ana->trust_pedestals();
    section->set_pedestal_file(dir + "/good.ped");

    PedestalGui* d = open(true, file);
    LogLines warnings(Ostrel::LOG_WARNING);
    EXPECT_FALSE(ok(d));
    EXPECT_EQ(509.0, module->pedestals()[9]);
    EXPECT_EQ(1.5, module->noises()[9]);
    for (int i : {10, 11, 255}) {
        EXPECT_EQ(7.0, module->pedestals()[i]) << i;
        EXPECT_EQ(9.0, module->noises()[i]) << i;
    }
    EXPECT_EQ(256, ana->get_n_pre());
    EXPECT_EQ(dir + "/good.ped", section->get_pedestal_file());
    const std::string said =
        file + ", line 11: \"510.25.7\" is not a number (10 of 256 channels read): the pedestals are not trusted";
    EXPECT_EQ(said, d->get_text("lblPedMsg"));
    EXPECT_TRUE(warnings.has(said));
    d->click_button("btnCancel");
}

TEST_F(PedestalDialogTest, ResetsFullDiskAndNoModules)
{
    ana->set_pedestals(std::vector<double>(256, 5.0), std::vector<double>(256, 1.0));
    ana->trust_pedestals();
    module->set_par("pedestal", std::vector<double>(256, 9.0), false);
    module->set_par("noise", std::vector<double>(256, 9.0), false);
    PedestalGui* d = open(false, dir + "/kept.ped", true);
    d->click_button("btnPedReset");
    EXPECT_EQ(std::vector<double>(256, 0.0), module->pedestals());
    EXPECT_EQ(5.0, bins(ana->get_ped())[0]);
    EXPECT_EQ(0, ana->get_n_pre());
    d->click_button("pedFromMonitor");
    module->set_par("pedestal", std::vector<double>(256, 9.0), false);
    d->click_button("btnPedReset");
    EXPECT_EQ(std::vector<double>(256, 0.0), bins(ana->get_ped()));
    EXPECT_EQ(9.0, module->pedestals()[0]);
    EXPECT_EQ(256, ana->get_n_pre());   // zeroes are no pedestals to trust

    // A file that cannot be written in full leaves the one before and the
    // dialog open, saying why.
    testutil::write_file(dir + "/kept.ped", "old\n");
    d->click_button("pedFromModule");
    {
        FileSizeLimit limit(100);
        EXPECT_FALSE(ok(d));
    }
    EXPECT_EQ("old\n", testutil::read_file(dir + "/kept.ped"));
    EXPECT_EQ(1, files_in(dir));
    EXPECT_EQ(0u, d->get_text("lblPedMsg").find("Could not write pedestal file " + dir + "/kept.ped: "));
    d->set_text("entryFilename", dir + "/none/x.ped");
    LogLines errors(Ostrel::LOG_ERROR);
    EXPECT_FALSE(ok(d));
    EXPECT_TRUE(errors.has("Could not open pedestal file for output: " + dir + "/none/x.ped"));
    d->click_button("btnCancel");

    module.reset();
    d = open(true, dir + "/kept.ped");
    EXPECT_FALSE(ok(d));
    EXPECT_EQ("Load Pedestals", d->get_text("lblPedMsg"));
    const unsigned id = d->window_id();
    guitest::wm_delete(d->get_main_window());
    EXPECT_TRUE(guitest::pump_until([&] { return gone(id); }, 5));
}

TEST_F(PedestalDialogTest, FileTypedAndConfirmedWithEnter)
{
    PedestalGui* d = open(false, "");
    const unsigned id = d->window_id();
    guitest::show_and_wait(d->get_main_window());
    GtkWidget* entry = d->get_widget("entryFilename");
    gtk_widget_grab_focus(entry);
    ASSERT_TRUE(guitest::type_text(entry, dir + "/typed.ped"));
    ASSERT_TRUE(guitest::key(entry, "Return"));
    EXPECT_TRUE(guitest::pump_until([&] { return gone(id); }, 5));
    const std::string text = testutil::read_file(dir + "/typed.ped");
    EXPECT_EQ(256, std::count(text.begin(), text.end(), '\n'));
}

TEST_F(PedestalDialogTest, LoadWhileAnotherThreadAnalyses)
{
    Generator events(2, 128, 3.0);
    std::ostringstream text;
    for (int i = 0; i < 256; ++i)
        text << events.ped[i] << ' ' << events.sigma[i] << '\n';
    testutil::write_file(dir + "/live.ped", text.str());
    std::atomic<bool> stop{false};
    std::thread monitor([&] {
        Generator mine(2, 128, 3.0, 99);
        while (!stop)
            feed(*ana, mine.next());
    });
    for (int round = 0; round < 20; ++round)
        EXPECT_TRUE(ok(open(true, dir + "/live.ped")));
    stop = true;
    monitor.join();
    EXPECT_EQ(0, ana->get_n_pre());
    EXPECT_NEAR(events.ped[200], bins(ana->get_ped())[200], 10.0);
}

// A screen reader's click goes on with the button after its handlers have
// run, holding no reference of its own: the windows that close from their
// own buttons go once it is over (a button freed under it is a GLib
// critical, which fails the test).
TEST_F(PedestalDialogTest, WindowsClosedByTheirOwnButtonsForAScreenReader)
{
    guitest::load_accessibility();
    GtkWidget* box = show_message(nullptr, GTK_MESSAGE_WARNING, "Interrupts are not enabled");
    guitest::show_and_wait(box);
    g_object_add_weak_pointer(G_OBJECT(box), reinterpret_cast<gpointer*>(&box));
    ASSERT_TRUE(guitest::click_for_screen_reader(gtk_dialog_get_widget_for_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE)));
    EXPECT_EQ(nullptr, box);

    for (const char* button : {"btnCancel", "btnOK"}) {
        PedestalGui* d = open(false, dir + "/saved.ped");
        const unsigned id = d->window_id();
        guitest::show_and_wait(d->get_main_window());
        ASSERT_TRUE(guitest::click_for_screen_reader(d->get_widget(button)));
        EXPECT_TRUE(gone(id)) << button;
    }
    EXPECT_TRUE(g_file_test((dir + "/saved.ped").c_str(), G_FILE_TEST_EXISTS));

    auto* p = new Preferences;
    ASSERT_TRUE(build(p, "Preferences"));
    const unsigned id = p->window_id();
    guitest::show_and_wait(p->get_main_window());
    ASSERT_TRUE(guitest::click_for_screen_reader(p->get_widget("okbutton2")));
    EXPECT_TRUE(gone(id));
}
