// The board configuration dialog as an operator uses it, against a simulated
// board on loopback: the settings read from the configuration shown, chip
// edits reaching the board's configuration packet bit for bit, the readout
// modes, chip counts, the channel map, a dead board, a reload while the
// board is being configured, the window manager's close and the channel
// debug window.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FenrowNet.h"
#include "StreamOnBoard.h"
#include "GuiTest.h"
#include "Modal.h"
#include "TimerGaps.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "daq/RunManagers.h"
#include "data/Analysis.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/CommandBatch.h"
#include "fenrow/net/Packets.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/streams/FenrowStreamConf.h"
#include "fenrow/windows/FenrowGuiConfig.h"
#include "gui/ParamSlider.h"

using namespace fenrow_test;
using guitest::collect;
using guitest::Later;
using guitest::pump_until;
using guitest::shown;
using Ostrel::FenrowModuleData;
using Ostrel::FenrowStream;
using Words = std::vector<std::uint16_t>;

namespace {

const char* const chip_elements =
    "<chip id=\"0\"><slew>true</slew><mask>0200</mask></chip>"
    "<chip id=\"1\"><thrs_dac>5</thrs_dac><dltc>true</dltc></chip>";

// The configuration packet of the chip set as the chip model gives it:
// chips from the last to the first, each from its highest bit down, every
// chip on words of its own, each word from bit 15 down.
Words config_words(const TAmanager& ta, int stream)
{
    const int per = config_words_per_chip(ta.GetChipType());
    Words w(static_cast<std::size_t>(3 + per * ta.Nchip() + 1), 0);
    w[0] = 0xCAFE;
    w[1] = 0x0007;
    w[2] = static_cast<std::uint16_t>(stream << 8);
    w.back() = 0xACAB;
    std::size_t first = 3;
    for (int c = ta.Nchip() - 1; c >= 0; --c, first += static_cast<std::size_t>(per)) {
        const TAchip* chip = ta.chip(c);
        for (int b = chip->nBits() - 1, pos = 0; b >= 0; --b, ++pos)
            if (chip->Bit(b))
                w[first + static_cast<std::size_t>(pos / 16)] |= static_cast<std::uint16_t>(0x8000u >> (pos % 16));
    }
    return w;
}

std::string text_of(const TAmanager& ta)
{
    std::ostringstream os;
    ta.save(os);
    return os.str();
}

GtkWidget* cell(GtkWidget* table, int channel)
{
    std::vector<GtkWidget*> all;
    collect(table, GTK_TYPE_WIDGET, all);
    for (GtkWidget* w : all)
        if (!GTK_IS_LABEL(w) && w != table && GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), "channel")) == channel)
            return w;
    return nullptr;
}

// The shown dialog of that title, or null.
GtkWidget* dialog_titled(const std::string& title)
{
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
        const char* t = gtk_window_get_title(GTK_WINDOW(l->data));
        if (t && title == t && gtk_widget_get_mapped(GTK_WIDGET(l->data)))
            found = GTK_WIDGET(l->data);
    }
    g_list_free(tops);
    return found;
}

// The first widget of the type in the window.
GtkWidget* first(GtkWidget* top, GType type)
{
    std::vector<GtkWidget*> all;
    collect(top, type, all);
    return all.empty() ? nullptr : all.front();
}

std::string message_text(GtkWidget* box)
{
    gchar* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// The process's threads: id and name.
std::map<std::string, std::string> threads()
{
    std::map<std::string, std::string> out;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name = testutil::read_file((task.path() / "comm").string());
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        out[task.path().filename().string()] = name;
    }
    return out;
}

// Answers the prompts of that title in turn: the text with OK, or cancel
// for none.
class Answers {
public:
    Answers(std::string title, std::deque<std::optional<std::string>> answers)
        : title_(std::move(title)), answers_(std::move(answers)), later_([this] { return step(); })
    {
    }

private:
    bool step()
    {
        GtkWidget* d = dialog_titled(title_);
        if (!d)
            return answers_.empty();
        const std::optional<std::string> a = answers_.front();
        answers_.pop_front();
        if (GtkWidget* entry = first(d, GTK_TYPE_ENTRY); a && entry)
            gtk_entry_set_text(GTK_ENTRY(entry), a->c_str());
        gtk_dialog_response(GTK_DIALOG(d), a ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_REJECT);
        return answers_.empty();
    }
    std::string title_;
    std::deque<std::optional<std::string>> answers_;
    Later later_;
};

// Module 23 reads stream 3 of a board at 127.0.0.2 with two gp7 chips; its
// section reads the stream element of a configuration document.
class ConfigDialog : public GuiTest, protected StreamOnBoard {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        cfg = ConfigParser::theConfig();
        cfg->clean();
        cfg->set_config_path("");
        cfg->set_do_validate(false);
    }
    void TearDown() override
    {
        delete dialog();
        cfg->register_id_handler(23, nullptr);
        conf.reset();
        close_stream();
        cfg->clean();
        GuiTest::TearDown();
    }

    void start(const std::string& body, std::uint32_t firmware = 0x010203, FenrowTiming timing = fast_timing())
    {
        open_stream(TAmanager::gp7, firmware, timing);
        ASSERT_FALSE(HasFatalFailure());
        conf = std::make_unique<Ostrel::FenrowStreamConf>(module.get());
        conf->set_parent_id("fenrow");
        const std::string path = testutil::make_temp_dir("dialog") + "/c.xml";
        testutil::write_file(path, "<?xml version=\"1.0\"?>\n<Sorbek><modules><fenrow name=\"127.0.0.2\">"
                                   "<stream name=\"23\" address=\"127.0.0.2\">" +
                                       body + "</stream></fenrow></modules></Sorbek>\n");
        ASSERT_EQ(1, cfg->parse(path.c_str()));
        conf->parse_node(conf->find_node());
        cfg->register_id_handler(23, conf.get());
    }

    // The simulated board takes commands and acknowledges none.
    void never_acknowledge()
    {
        fenrow_sim::AckRule never;
        never.answer = false;
        sim->set_ack(0, never);
    }

    // The dialog, for a board whose lost commands are re-sent `times`
    // times, `after` seconds apart.
    FenrowGuiConfig* open_resending(double after, int times)
    {
        FenrowTiming timing = fast_timing();
        timing.resend_after = after;
        timing.max_resends = times;
        start("<nchips>2</nchips>", 0x010203, timing);
        return HasFatalFailure() ? nullptr : open();
    }
    // The board announces itself, and counts as silent no more.
    bool heard_again()
    {
        boards->do_broadcast();
        return pump_until([&] { return !boards->pending().is_silent("127.0.0.2"); }, 5);
    }

    FenrowGuiConfig* open()
    {
        GtkWidget* w = conf->config("23");
        EXPECT_TRUE(w);
        if (w)
            guitest::show_and_wait(w);
        return dialog();
    }
    FenrowGuiConfig* dialog() { return FenrowGuiConfig::find(Ostrel::DAQid(23)); }
    GtkWidget* w(const char* id) { return dialog()->get_widget(id); }
    int item(const char* id) { return gtk_combo_box_get_active(GTK_COMBO_BOX(w(id))); }
    void choose(const char* id, int n) { gtk_combo_box_set_active(GTK_COMBO_BOX(w(id)), n); }
    bool on(const char* id) { return dialog()->btn_active(id); }
    void page(int chip_page, int table_page = 0)
    {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(w("notebookConfig")), chip_page);
        gtk_notebook_set_current_page(GTK_NOTEBOOK(w("notebook-ta")), table_page);
        guitest::pump_for(50);
    }
    TAmanager module_chips()
    {
        std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
        return module->chips();
    }
    template <class T>
    T par(const char* name)
    {
        return module->get_par_value<T>(name);
    }
    // Apply (or OK) clicked; waits until the board's answer is in.
    void apply(const char* button = "btnApply")
    {
        FenrowGuiConfig* d = dialog();
        const unsigned window = d->window_id();
        EXPECT_TRUE(guitest::click(w(button)));
        pump_until([&] { return !GladeApp::find_window(window) || !d->applying(); }, 60);
    }

    ConfigParser* cfg = nullptr;
    std::unique_ptr<Ostrel::FenrowStreamConf> conf;
};

} // namespace

TEST_F(ConfigDialog, ShowsTheParsedSettingsAndAppliesChipEditsBitForBit)
{
    start("<nchips>2</nchips><threshold>300</threshold><vfp>600</vfp><ro_mode>sparse</ro_mode><nadj>3</nadj>"
          "<trg_type>2</trg_type><coincidence>true</coincidence><hold>true</hold>" +
          std::string(chip_elements));
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    EXPECT_STREQ("23 - Module configuration", gtk_window_get_title(GTK_WINDOW(d->get_main_window())));
    EXPECT_EQ(300, d->spin2int("spinThreshold"));
    EXPECT_EQ(600, d->spin2int("spinBias"));   // "vfp" first
    EXPECT_EQ(1, item("optROmode"));
    EXPECT_EQ(3, d->spin2int("txtNadj"));
    EXPECT_EQ(1, item("comboTrgType"));
    EXPECT_TRUE(on("btnCoinc") && on("btnHOLD"));
    EXPECT_EQ(0, item("optChipType"));
    EXPECT_EQ("2", d->get_text("txtNChips"));
    EXPECT_EQ(2, gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(w("optChip"))), nullptr));
    EXPECT_EQ(GladeApp::double2str(module->get_analysis()->get_ped_weight(), "%6.4f"), d->get_text("txtWped"));
    // 8 rows of 16 cells, each row after its label 0, 16 ... 112.
    std::vector<GtkWidget*> labels, toggles;
    collect(w("tblMask"), GTK_TYPE_LABEL, labels);
    collect(w("tblMask"), GTK_TYPE_TOGGLE_BUTTON, toggles);
    ASSERT_EQ(8u, labels.size());
    EXPECT_EQ(128u, toggles.size());
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(cell(w("tblMask"), 5))));
    EXPECT_TRUE(on("btnSlew"));
    // Asking again raises the same dialog.
    EXPECT_EQ(d->get_main_window(), conf->config("23"));

    // The operator edits chip 1, then chip 0.
    TAmanager expected = module_chips();
    page(1);
    choose("optChip", 1);
    EXPECT_FALSE(on("btnSlew"));
    EXPECT_TRUE(on("btnDLT"));
    EXPECT_EQ("5", d->get_text("txtThrsDAC"));
    ASSERT_TRUE(guitest::click(w("btnSlew")));
    ASSERT_TRUE(guitest::click(cell(w("tblMask"), 9)));
    page(1, 2);
    GtkWidget* trim = cell(w("tblTrim"), 7);
    ASSERT_TRUE(guitest::click(trim));
    ASSERT_TRUE(guitest::key(trim, "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(trim, "0x1ff"));
    expected.chip(1)->slew(true)->mask(9, true)->trim(7, 0x1ff);
    choose("optChip", 0);
    choose("optPolarity", 1);
    ASSERT_TRUE(guitest::click(w("btnDLT")));
    expected.chip(0)->Polarity(true)->dltc(true);
    EXPECT_EQ(text_of(expected), text_of(*d->get_chips()));
    EXPECT_NE(text_of(expected), text_of(module_chips()));   // staged only

    sim->clear_received();
    apply();
    EXPECT_TRUE(gtk_widget_is_sensitive(d->get_main_window()));
    EXPECT_EQ(text_of(expected), text_of(module_chips()));
    const std::vector<fenrow_sim::Datagram> packets = sim->received(CMD_CONFIG);
    ASSERT_EQ(2u, packets.size());   // "ta", then the whole configuration
    for (const fenrow_sim::Datagram& p : packets) {
        Words got = p.words();
        got.resize(p.bytes.size() / 2);
        EXPECT_EQ(config_words(expected, 3), got);
    }
}

TEST_F(ConfigDialog, AnOpenRunFileKeepsItsLayoutAndTheOperatorIsToldWhy)
{
    start("<nchips>2</nchips><ro_mode>serial</ro_mode>");
    ASSERT_FALSE(HasFatalFailure());
    DataRunManager rm("dialog_rm");
    rm.addModule(module.get());
    const std::string dir = testutil::make_temp_dir("held");
    rm.set_par<std::string>("command", "logData|file=" + dir + "/run");
    ASSERT_TRUE(rm.get_logger());
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    const std::string why = "Module 23: the run file " + dir + "/run.h5 is open with the present layout of the rows; ";
    auto told = [&](const std::string& what) {
        GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
        EXPECT_TRUE(box) << what;
        if (!box)
            return;
        EXPECT_EQ(why + what + " can change once it is closed.", message_text(box));
        gtk_widget_destroy(box);
    };

    choose("optROmode", 1);
    told("the readout mode, the adjacent channels and the chip set");
    EXPECT_EQ(1, par<int>("ro_mode"));
    EXPECT_EQ(0, item("optROmode"));
    d->set_text("txtNChips", "3");
    d->click_button("btnApply");
    told("the readout mode, the adjacent channels and the chip set");
    EXPECT_FALSE(d->applying());
    EXPECT_EQ(2, par<int>("nchip"));
    EXPECT_EQ(2, module_chips().Nchip());

    // Closed, the file binds nothing.
    rm.stop_logging();
    apply();
    EXPECT_EQ(3, par<int>("nchip"));
    EXPECT_FALSE(shown(GTK_TYPE_MESSAGE_DIALOG));
    rm.deleteModule(module.get());
}

TEST_F(ConfigDialog, ReadoutModesChipCountsAndCancel)
{
    start("<nchips>2</nchips><ro_mode>serial</ro_mode>" + std::string(chip_elements));
    guitest::load_accessibility();
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    choose("optROmode", 1);
    EXPECT_EQ(2, par<int>("ro_mode"));
    choose("optROmode", 2);
    EXPECT_EQ(4, par<int>("ro_mode"));

    // 2 -> 4 keeps chips 0 and 1 as edited ("Mask All" masks chip 1 only)
    // and adds default chips; 4 -> 2 keeps them too. "nadj" falls back to 2.
    page(1);
    choose("optChip", 1);
    ASSERT_TRUE(guitest::click(w("btnMaskAll")));
    d->set_text("txtNChips", "4");
    d->set_text("txtNadj", "many");
    // A weight that is no number from 0 to 1 keeps the analysis' weight.
    Analysis* analysis = module->get_analysis();
    const std::string weight = d->get_text("txtWnoise");
    const double noise = analysis->get_noise_weight();
    d->set_text("txtWnoise", "1.5");
    d->click_button("btnApply");
    pump_until([&] { return !d->applying(); }, 30);
    EXPECT_EQ(noise, analysis->get_noise_weight());
    EXPECT_EQ(weight, d->get_text("txtWnoise"));
    GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_TRUE(box);
    EXPECT_EQ("The weight for noise update must be a number from 0 to 1: it stays " + weight + ".", message_text(box));
    gtk_widget_destroy(box);
    TAmanager chips = module_chips();
    ASSERT_EQ(4, chips.Nchip());
    EXPECT_EQ(4, par<int>("nchip"));
    EXPECT_EQ(2, par<int>("nadj"));
    EXPECT_TRUE(chips.chip(0)->slew() && chips.chip(0)->mask(5) && !chips.chip(0)->mask(6));
    for (int ch = 0; ch < 128; ++ch)
        ASSERT_TRUE(chips.chip(1)->mask(ch) && !chips.chip(2)->mask(ch)) << ch;
    std::ostringstream added, fresh;
    chips.chip(3)->save(added);
    TAmanager(TAmanager::gp7, 1).chip(0)->save(fresh);
    EXPECT_EQ(fresh.str(), added.str());
    d->set_text("txtNChips", "2");
    d->click_button("btnApply");
    pump_until([&] { return !d->applying(); }, 30);
    chips = module_chips();
    ASSERT_EQ(2, chips.Nchip());
    EXPECT_TRUE(chips.chip(1)->mask(127) && chips.chip(0)->slew());

    // CTW goes up to 511 on the board.
    EXPECT_EQ(511, gtk_adjustment_get_upper(gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(w("spinCTW")))));
    sim->clear_received();
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(w("spinCTW")), 511);
    EXPECT_EQ(511, par<int>("ctw"));
    ASSERT_TRUE(sim->wait_for(CMD_CTW, 1, 5));
    EXPECT_EQ(511, sim->received(CMD_CTW).front().words()[3]);

    // Scope: a cancelled prompt leaves the mode; -1 and the channel count
    // are refused and asked again; channel 130 is the only one left
    // unmasked, with its test bit, on chip 1 (staged).
    {
        Answers operator_("Set the Test Channel", {std::nullopt});
        choose("optROmode", 3);
    }
    EXPECT_EQ(4, par<int>("ro_mode"));
    EXPECT_EQ(2, item("optROmode"));
    std::string out;
    {
        Answers operator_("Set the Test Channel", {"-1", "256", "130"});
        out = testutil::capture_stdout([&] { choose("optROmode", 3); });
    }
    EXPECT_EQ("Invalid channel number -1[-1]\nInvalid channel number 256[256]\n", out);
    EXPECT_EQ(9, par<int>("ro_mode"));
    EXPECT_EQ(130, par<int>("nadj"));
    const TAmanager& staged = *d->get_chips();
    for (int c = 0; c < 2; ++c) {
        EXPECT_TRUE(staged.chip(c)->Test());
        for (int ch = 0; ch < 128; ++ch) {
            const bool the_one = c == 1 && ch == 2;
            ASSERT_EQ(!the_one, staged.chip(c)->mask(ch)) << c << "/" << ch;
            ASSERT_EQ(the_one, staged.chip(c)->test(ch)) << c << "/" << ch;
        }
    }

    // Another chip type makes default chips of it; the high-dynamic-range
    // chip has 64 channels and a page of preamplifier DACs.
    choose("optChipType", 1);
    EXPECT_EQ(text_of(TAmanager(TAmanager::gp8, 2)), text_of(*d->get_chips()));
    choose("optChipType", 2);
    EXPECT_EQ(TAmanager::hdr, d->get_chips()->GetChipType());
    EXPECT_EQ(4, gtk_notebook_get_n_pages(GTK_NOTEBOOK(w("notebook-ta"))));
    std::vector<GtkWidget*> rows;
    collect(w("tblTrim"), GTK_TYPE_LABEL, rows);
    EXPECT_EQ(4u, rows.size());
    EXPECT_STREQ("Vout", gtk_button_get_label(GTK_BUTTON(w("btnDetType"))));

    // Cancel, clicked as a screen reader clicks it (it goes on with the
    // button afterwards), drops what was staged.
    const std::string before = text_of(module_chips());
    ASSERT_TRUE(guitest::click_for_screen_reader(w("btnCancel")));
    EXPECT_FALSE(dialog());
    EXPECT_EQ(before, text_of(module_chips()));
}

TEST_F(ConfigDialog, FastChipSwitchesKeepEachChipsBits)
{
    start("<nchips>2</nchips>" + std::string(chip_elements));
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    page(1, 1);
    const std::string before = text_of(*d->get_chips());
    // Every refresh queued before the loop runs again: none may write one
    // chip's buttons into another chip.
    for (int i = 0; i < 42; ++i)
        choose("optChip", i % 2);
    guitest::pump_for(200);
    EXPECT_EQ(before, text_of(*d->get_chips()));
    EXPECT_EQ(1, d->WhichChip());
    EXPECT_TRUE(!on("btnSlew") && on("btnDLT"));

    // The calibration sources: internal step sets calib_gen, an external
    // capacitor sets calib_ctrl; the radio buttons follow the chip shown.
    ASSERT_TRUE(guitest::click(w("btnStepInt")));
    ASSERT_TRUE(guitest::click(w("btnCapExt")));
    EXPECT_TRUE(d->get_chips()->chip(1)->calib_gen());
    EXPECT_TRUE(d->get_chips()->chip(1)->calib_ctrl());
    choose("optChip", 0);
    EXPECT_TRUE(on("btnCapInt") && on("btnStepExt") && on("btnSlew") && !on("btnDLT"));
    choose("optChip", 1);
    EXPECT_TRUE(on("btnCapExt") && on("btnStepInt"));
    ASSERT_TRUE(guitest::click(w("btnCapInt")));
    EXPECT_FALSE(d->get_chips()->chip(1)->calib_ctrl());
    EXPECT_FALSE(d->get_chips()->chip(0)->calib_gen() || d->get_chips()->chip(0)->calib_ctrl());

    // Bit commands: the second prompt of a chip offers the first command
    // at the top; another chip's prompt starts empty.
    std::vector<std::string> offered;
    auto offer = [&](std::optional<std::string> answer) {
        Later operator_([&] {
            GtkWidget* p = dialog_titled("Force bits");
            if (!p)
                return false;
            GtkWidget* combo = first(p, GTK_TYPE_COMBO_BOX);
            GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
            GtkTreeIter it;
            offered.push_back("");
            if (gtk_tree_model_get_iter_first(model, &it)) {
                gchar* first = nullptr;
                gtk_tree_model_get(model, &it, 0, &first, -1);
                offered.back() = first;
                g_free(first);
            }
            if (answer)
                gtk_entry_set_text(GTK_ENTRY(gtk_bin_get_child(GTK_BIN(combo))), answer->c_str());
            gtk_dialog_response(GTK_DIALOG(p), answer ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_REJECT);
            return true;
        });
        return testutil::capture_stdout([&] { d->click_button("btnBits"); });
    };
    EXPECT_EQ("Input: 3=1,5-6=1\nSet(3,1) \nSet(5,1) \nSet(6,1) \n", offer(std::string("3=1,5-6=1")));
    EXPECT_TRUE(d->get_chips()->chip(1)->Bit(3) && d->get_chips()->chip(1)->Bit(6));
    EXPECT_EQ("Input: \n", offer(std::nullopt));
    choose("optChip", 0);
    offer(std::nullopt);
    EXPECT_EQ((std::vector<std::string>{"", "3=1,5-6=1", ""}), offered);
}

TEST_F(ConfigDialog, WindowManagerCloseFreesTheDialogAndItsSliders)
{
    start("<nchips>2</nchips>", 517);
    ASSERT_TRUE(pump_until([&] { return module->get_firmware() == 517; }, 5));
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    // Firmware 517 sets one main bias at a time.
    EXPECT_TRUE(gtk_widget_is_sensitive(w("optMbiasChan")));
    EXPECT_EQ(0, item("optMbiasChan"));
    choose("optMbiasChan", 2);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(w("spinMBias")), 1000);
    EXPECT_EQ((std::vector<int>{1460, 1460, 1000, 1460}), par<std::vector<int>>("mbias"));
    // One spin button for six biases, each with its own value.
    choose("comboBias", 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(w("spinBias")), 1234);
    choose("comboBias", 2);
    EXPECT_EQ(125, d->spin2int("spinBias"));
    choose("comboBias", 1);
    EXPECT_EQ(1234, d->spin2int("spinBias"));
    EXPECT_EQ(1234, par<int>("vthrh"));
    EXPECT_EQ(125, par<int>("vfsf"));
    const char* const keys[] = {"23/threshold", "23/vthrh", "23/vfp", "23/vfsf", "23/vfss",
                                "23/test_pulse", "23/test_point", "23/hold_delay", "23/ctw"};
    for (const char* k : keys)
        EXPECT_TRUE(ParamSlider::find(k)) << k;

    guitest::wm_delete(d->get_main_window());
    ASSERT_TRUE(pump_until([&] { return !dialog(); }, 5));
    for (const char* k : keys)
        EXPECT_FALSE(ParamSlider::find(k)) << k;
    // A change posted from another thread finds no slider to move.
    std::thread([&] { ParamSlider::post_value("23/threshold", 5); }).join();
    guitest::pump_for(50);

    // Firmware 518 sets the four together.
    node->set_firmware(518);
    ASSERT_TRUE(open());
    EXPECT_FALSE(gtk_widget_is_sensitive(w("optMbiasChan")));
    EXPECT_EQ(4, item("optMbiasChan"));
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(w("spinMBias")), 900);
    EXPECT_EQ((std::vector<int>(4, 900)), par<std::vector<int>>("mbias"));
}

// A client sets the stream's settings on a thread of its own while the
// operator opens the dialog, applies and closes it: the dialog reads them
// under the stream's settings lock (ThreadSanitizer watches).
TEST_F(ConfigDialog, OpenedAndAppliedWhileAClientSetsTheSettings)
{
    start("<nchips>2</nchips>");
    ASSERT_FALSE(HasFatalFailure());
    QuietConsole quiet;
    std::atomic<bool> stop{false};
    std::thread client([&] {
        const char* const values[][3] = {{"ro_mode", "1", "4"}, {"nadj", "2", "3"}, {"trg_type", "1", "2"},
                                         {"coincidence", "1", "0"}, {"hold", "1", "0"}, {"Vout", "1", "0"},
                                         {"mbias", "1000 1000 1000 1000", "1460 1460 1460 1460"}};
        for (int round = 0; !stop; ++round) {
            boards->wait_for_command_completion(1000);
            for (const auto& v : values) {
                try {
                    module->get_par(v[0])->set_from_string(v[1 + round % 2]);
                } catch (const Ostrel::ParameterRefused&) {
                }
            }
        }
    });
    [&] {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(open());
            apply();
            guitest::wm_delete(dialog()->get_main_window());
            ASSERT_TRUE(pump_until([&] { return !dialog(); }, 10));
        }
    }();
    stop = true;
    client.join();
}

TEST_F(ConfigDialog, ADeadBoardLeavesTheWindowResponsiveAndSaysSo)
{
    // The Apply ends at its first lost command: slow enough to be seen on
    // its way.
    FenrowGuiConfig* d = open_resending(1.0, 1);
    ASSERT_TRUE(d);
    QuietConsole quiet;
    never_acknowledge();
    TimerGaps gaps(20);
    ASSERT_TRUE(guitest::click(w("btnOK")));
    EXPECT_TRUE(d->applying());
    // Nothing but Cancel takes input meanwhile.
    EXPECT_FALSE(gtk_widget_is_sensitive(w("notebookConfig")) || gtk_widget_is_sensitive(w("btnOK")));
    EXPECT_TRUE(gtk_widget_is_sensitive(w("btnCancel")));
    ASSERT_TRUE(pump_until([&] { return !d->applying(); }, 60));
    EXPECT_LT(gaps.worst_ms(), 1000);
    // OK keeps the dialog open, with the reason.
    ASSERT_EQ(d, dialog());
    EXPECT_TRUE(gtk_widget_is_sensitive(d->get_main_window()));
    GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_TRUE(box);
    EXPECT_NE(std::string::npos, message_text(box).find("Module 23: the board did not take the configuration ("));
    gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);

    // The board answers again: OK closes the dialog.
    sim->set_ack(0, fenrow_sim::AckRule());
    ASSERT_TRUE(heard_again());
    d->click_button("btnOK");
    EXPECT_TRUE(pump_until([&] { return !dialog(); }, 30));
}

TEST_F(ConfigDialog, ApplyShowsItsProgressEndsAtTheFirstLostCommandAndCancelStopsTheRest)
{
    // A lost command is given up within two seconds.
    FenrowGuiConfig* d = open_resending(0.5, 2);
    ASSERT_TRUE(d);
    QuietConsole quiet;
    auto answer_after = [&](double seconds) {
        fenrow_sim::AckRule rule;
        rule.delay = seconds;
        sim->set_ack(0, rule);
    };
    auto commands = [&] {
        std::vector<std::vector<std::uint8_t>> out;
        for (const fenrow_sim::Datagram& g : sim->received())
            if (g.code() != CMD_KNOCK)
                out.push_back(g.bytes);
        return out;
    };
    auto line = [&] { return std::string(gtk_label_get_text(GTK_LABEL(w("lblApply")))); };
    // Every text the line shows, however briefly.
    std::set<std::string> lines;
    g_signal_connect(w("lblApply"), "notify::label", G_CALLBACK(+[](GtkLabel* l, GParamSpec*, gpointer seen) {
                         static_cast<std::set<std::string>*>(seen)->insert(gtk_label_get_text(l));
                     }),
                     &lines);
    auto shown_step = [&](int n) {
        return std::any_of(lines.begin(), lines.end(), [n](const std::string& l) {
            return l.rfind("Command " + std::to_string(n) + " of 25: ", 0) == 0;
        });
    };

    // The board goes silent a few commands into the Apply.
    answer_after(0.03);
    sim->clear_received();
    TimerGaps gaps(20);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(guitest::click(w("btnApply")));
    ASSERT_TRUE(pump_until([&] { return shown_step(5); }, 20)) << line();
    never_acknowledge();
    ASSERT_TRUE(pump_until([&] { return !d->applying(); }, 30));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 20.0);
    EXPECT_LT(gaps.worst_ms(), 1000);
    for (int n = 1; n <= 5; ++n)
        EXPECT_TRUE(shown_step(n)) << n;
    // The first command it left unacknowledged, re-sent twice, ends it:
    // nothing after it was sent.
    const auto got = commands();
    ASSERT_GE(got.size(), 7u);
    const std::size_t lost = got.size() - 2;
    EXPECT_TRUE(got[lost - 1] == got[lost] && got[lost] == got[lost + 1]);
    const std::string said = "Module 23: the board did not take the configuration (command " + std::to_string(lost)
                             + " of 25, " + command_name(got.back()) + ", was not acknowledged after 2 re-sends)."
                             + " Applied: commands 1 to " + std::to_string(lost - 1) + ". Not applied: commands "
                             + std::to_string(lost) + " to 25.";
    EXPECT_EQ(said, line());
    GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_TRUE(box);
    EXPECT_EQ(said, message_text(box));
    gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);

    // Back, and slow: Cancel during the Apply stops what is left at once,
    // and the dialog stays to say how far it came.
    ASSERT_TRUE(heard_again());
    answer_after(0.2);
    sim->clear_received();
    ASSERT_TRUE(guitest::click(w("btnApply")));
    lines.clear();
    ASSERT_TRUE(pump_until([&] { return shown_step(4); }, 20)) << line();
    ASSERT_TRUE(guitest::click(w("btnCancel")));
    ASSERT_TRUE(pump_until([&] { return !d->applying(); }, 2));
    const std::size_t sent = commands().size();
    ASSERT_LT(sent, 25u);
    const std::string in_flight = "Cancelled. Applied: commands 1 to " + std::to_string(sent - 1)
                                  + ". Sent but not acknowledged: command " + std::to_string(sent)
                                  + ". Not sent: commands " + std::to_string(sent + 1) + " to 25.";
    const std::string between = "Cancelled. Applied: commands 1 to " + std::to_string(sent) + ". Not sent: commands "
                                + std::to_string(sent + 1) + " to 25.";
    EXPECT_TRUE(line() == in_flight || line() == between) << line();
    guitest::pump_for(1100);   // past two re-sends
    EXPECT_EQ(sent, commands().size());
    ASSERT_EQ(d, dialog());
    EXPECT_FALSE(shown(GTK_TYPE_MESSAGE_DIALOG));
    EXPECT_TRUE(gtk_widget_is_sensitive(w("btnApply")));
    ASSERT_TRUE(guitest::click(w("btnCancel")));
    EXPECT_FALSE(dialog());
}

// The Apply's progress and outcome are handed to the dialog by its window
// number: a dialog closed meanwhile gets none, nor does the next one.
TEST_F(ConfigDialog, ADialogClosedDuringItsApplyLeavesItsReportsToNone)
{
    start("<nchips>2</nchips>");
    ASSERT_TRUE(open());
    QuietConsole quiet;
    fenrow_sim::AckRule slow;
    slow.delay = 0.03;
    sim->set_ack(0, slow);
    sim->clear_received();
    auto sent = [&] {
        std::size_t n = 0;
        for (const fenrow_sim::Datagram& g : sim->received())
            n += g.code() != CMD_KNOCK;
        return n;
    };
    ASSERT_TRUE(guitest::click(w("btnApply")));
    ASSERT_TRUE(pump_until([&] { return sent() >= 2; }, 10));
    guitest::wm_delete(dialog()->get_main_window());
    ASSERT_TRUE(pump_until([&] { return !dialog(); }, 5));
    FenrowGuiConfig* next = open();
    ASSERT_TRUE(next);
    std::set<std::string> lines;
    g_signal_connect(w("lblApply"), "notify::label", G_CALLBACK(+[](GtkLabel* l, GParamSpec*, gpointer seen) {
                         static_cast<std::set<std::string>*>(seen)->insert(gtk_label_get_text(l));
                     }),
                     &lines);
    ASSERT_TRUE(pump_until([&] { return sent() >= 25; }, 20));
    guitest::pump_for(300);   // the last acknowledgement and the outcome
    EXPECT_TRUE(lines.empty()) << *lines.begin();
    EXPECT_FALSE(next->applying());
    EXPECT_FALSE(shown(GTK_TYPE_MESSAGE_DIALOG));
}

TEST_F(ConfigDialog, AReloadDuringApplyStopsTheBoardWaitAtOnce)
{
    // Unanswered, the board would hold the wait for minutes.
    FenrowTiming timing = fast_timing();
    timing.resend_after = 30;
    start("<nchips>2</nchips>", 0x010203, timing);
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    QuietConsole quiet;
    never_acknowledge();
    const std::map<std::string, std::string> before = threads();
    ASSERT_TRUE(guitest::click(w("btnApply")));
    ASSERT_TRUE(d->applying());
    guitest::pump_for(200);
    ASSERT_TRUE(d->applying());

    // A configuration reload: the acquisition deletes the module, then the
    // board manager goes with the plug-in's section.
    static_cast<void>(module.release());
    const auto t0 = std::chrono::steady_clock::now();
    cfg->clean();
    boards.reset();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    for (const auto& t : threads())
        EXPECT_TRUE(before.count(t.first)) << "thread " << t.first << " (" << t.second << ") still runs";

    // The outcome still reaches the dialog, which takes edits again.
    ASSERT_TRUE(pump_until([&] { return !d->applying(); }, 5));
    EXPECT_TRUE(gtk_widget_is_sensitive(d->get_main_window()));
    GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_TRUE(box);
    EXPECT_NE(std::string::npos, message_text(box).find("Module 23 was taken down before the board took"));
    gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);
}

TEST_F(ConfigDialog, ChannelMapAndDebugWindow)
{
    start("<nchips>2</nchips><threshold>300</threshold>");
    FenrowGuiConfig* d = open();
    ASSERT_TRUE(d);
    page(2);
    std::vector<std::string> said;
    auto create = [&](const char* nx, const char* ny) {
        d->set_text("nPadX", nx);
        d->set_text("nPadY", ny);
        Later operator_([&] {
            GtkWidget* box = shown(GTK_TYPE_MESSAGE_DIALOG);
            if (box) {
                said.push_back(message_text(box));
                gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_CLOSE);
            }
            return box != nullptr;
        });
        d->click_button("btnCreateMap");
    };
    create("0", "2");
    create("4", "y");
    create("20", "20");
    EXPECT_EQ((std::vector<std::string>{"Wrong number of pixels: nx 0 ny 2", "Wrong number of pixels: nx 4 ny 0",
                                        "Too many pixels: nx 20 ny 20 for 256 channels"}),
              said);
    // The map the analysis had is kept.
    ASSERT_TRUE(d->get_map());
    EXPECT_EQ(256, d->get_map()->nx());
    create("3", "3");
    create("4", "2");
    guitest::pump_for(100);
    EXPECT_EQ(3u, said.size());
    std::vector<GtkWidget*> scrolls, pads;
    collect(w("vboxModConfig"), GTK_TYPE_SCROLLED_WINDOW, scrolls);
    EXPECT_EQ(1u, scrolls.size());
    collect(scrolls.at(0), GTK_TYPE_ENTRY, pads);
    ASSERT_EQ(8u, pads.size());
    // Row by row as the operator sees them.
    std::sort(pads.begin(), pads.end(), [](GtkWidget* a, GtkWidget* b) {
        const GdkRectangle ra = guitest::screen_rect(a), rb = guitest::screen_rect(b);
        return ra.y != rb.y ? ra.y < rb.y : ra.x < rb.x;
    });
    std::string rows;
    for (std::size_t i = 0; i < pads.size(); ++i)
        rows += gtk_entry_get_text(GTK_ENTRY(pads[i])) + std::string(i == 3 ? "|" : " ");
    EXPECT_EQ("0 1 2 3|4 5 6 7 ", rows);
    // A pad edited and left takes the channel; text without a number does
    // nothing.
    ASSERT_TRUE(guitest::click(pads[5]));
    ASSERT_TRUE(guitest::key(pads[5], "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(pads[5], "9"));
    ASSERT_TRUE(guitest::click(pads[6]));
    ASSERT_TRUE(guitest::key(pads[6], "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(pads[6], "x"));
    ASSERT_TRUE(guitest::click(pads[0]));
    EXPECT_EQ(9, d->get_map()->channel(1, 1));
    EXPECT_EQ(6, d->get_map()->channel(2, 1));
    std::string out = testutil::capture_stdout([&] {
        d->click_button("btnApply");
        pump_until([&] { return !d->applying(); }, 30);
    });
    EXPECT_NE(std::string::npos, out.find("Setting new map: 4x2\n"));
    EXPECT_EQ(9, module->get_analysis()->get_map()->channel(1, 1));

    // The debug window only for a ready stream; what changes meanwhile is
    // undone, what was applied before stays.
    d->click_button("btnDebug");
    EXPECT_FALSE(dialog_titled("Debug Channel"));
    module->get_status().set_status(Ostrel::RunState::Ready, false);
    module->set_par<int>("threshold", 777, false);
    std::string channel;
    {
        Later operator_([&] {
            GtkWidget* dbg = dialog_titled("Debug Channel");
            if (!dbg)
                return false;
            channel = gtk_entry_get_text(GTK_ENTRY(first(dbg, GTK_TYPE_ENTRY)));
            module->set_par<int>("threshold", 999, false);
            gtk_dialog_response(GTK_DIALOG(dbg), GTK_RESPONSE_CLOSE);
            return true;
        });
        d->click_button("btnDebug");
    }
    EXPECT_EQ("10", channel);
    EXPECT_EQ(777, par<int>("threshold"));
}
