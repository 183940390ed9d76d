// The board plug-in's dialogs as the operator uses them: the plug-in loaded
// from the configuration, simulated boards (fenrow_board_sim) on loopback,
// the GTK main loop running, and the dialogs answered with real X input.
#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include <gio/gio.h>
#include <glade/glade.h>
#include <sys/wait.h>

#include "GuiTest.h"
#include "common/LoopbackPort.h"
#include "common/SetUpAcquisition.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/DAQcontroller.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Module.h"

namespace {

using Words = std::vector<unsigned>;

std::string free_udp_port()
{
    return std::to_string(loopback::unused_port(SOCK_DGRAM));
}

// A simulated board process; it records every datagram it receives.
class Board {
public:
    explicit Board(const std::string& ip) : _record(testutil::make_temp_dir("board") + "/received.txt")
    {
        const gchar* argv[] = {BRISKO_BOARD_SIM, "--address", ip.c_str(), "--record", _record.c_str(), nullptr};
        EXPECT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                  nullptr, &_pid, nullptr));
    }
    ~Board()
    {
        kill(_pid, SIGKILL);
        waitpid(_pid, nullptr, 0);
    }

    // The datagrams received so far with one of the codes, as words.
    std::vector<Words> received(const std::set<unsigned>& codes) const
    {
        std::vector<Words> out;
        std::ifstream in(_record);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            Words w;
            for (std::string hex; words >> hex;)
                w.push_back(static_cast<unsigned>(std::stoul(hex, nullptr, 16)));
            if (w.size() > 1 && codes.count(w[1] & 0x7F))
                out.push_back(w);
        }
        return out;
    }

private:
    std::string _record;
    GPid _pid = 0;
};

Words stop_of(unsigned stream)
{
    return {0xCAFE, stream << 8 | 10, 0xFF00, 0, 0xACAB};
}

Words init_of(unsigned stream, unsigned nibbles, unsigned chips)
{
    return {0xCAFE, 1, stream << 8 | nibbles, chips << 8, 0xACAB};
}

// The body runs inside the GTK main loop, as in a program with windows.
void in_gtk_main(const std::function<void()>& body)
{
    g_idle_add(
        [](gpointer data) -> gboolean {
            (*static_cast<const std::function<void()>*>(data))();
            gtk_main_quit();
            return FALSE;
        },
        const_cast<std::function<void()>*>(&body));
    gtk_main();
}

// The visible dialogs with that title, or (over is given) the message
// shown over that dialog.
std::vector<GtkWidget*> shown(const char* title, GtkWidget* over = nullptr)
{
    std::vector<GtkWidget*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        auto* w = static_cast<GtkWidget*>(l->data);
        const char* t = gtk_window_get_title(GTK_WINDOW(w));
        if (!GTK_IS_DIALOG(w) || !gtk_widget_get_visible(w) || !t || title != std::string(t))
            continue;
        if (over ? gtk_window_get_transient_for(GTK_WINDOW(w)) == GTK_WINDOW(over) : !GTK_IS_MESSAGE_DIALOG(w))
            out.push_back(w);
    }
    g_list_free(all);
    return out;
}

GtkWidget* part(GtkWidget* top, const char* id)
{
    return glade_xml_get_widget(glade_get_widget_tree(top), id);
}

GtkWidget* button_of(GtkWidget* dialog, int response)
{
    return gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
}

// A button pressed with the pointer, from wherever the pointer was (a
// dialog opened again lies where the last one was).
bool press(GtkWidget* button)
{
    guitest::run_pumping({"xdotool", "mousemove", "0", "0"});
    return guitest::click(button);
}

// A combo's menu opened with the pointer, and an entry further down chosen
// with keys.
void choose(GtkWidget* combo, int steps_down)
{
    ASSERT_TRUE(press(combo));
    guitest::pump_for(200);
    for (int i = 0; i < steps_down; ++i)
        ASSERT_EQ(guitest::run_pumping({"xdotool", "key", "Down"}), 0);
    ASSERT_EQ(guitest::run_pumping({"xdotool", "key", "Return"}), 0);
    guitest::pump_for(100);
}

void retype(GtkWidget* entry, const std::string& text)
{
    ASSERT_TRUE(guitest::click(entry));
    ASSERT_TRUE(guitest::key(entry, "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(entry, text));
}

// A widget of a dialog built in code, by its name.
GtkWidget* named(GtkWidget* w, const std::string& name)
{
    if (name == gtk_widget_get_name(w))
        return w;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* l = children; l && !found; l = l->next)
            found = named(static_cast<GtkWidget*>(l->data), name);
        g_list_free(children);
    }
    return found;
}

// The trigger board dialog's state, such as "OR 3 11100000".
std::string trg_state(GtkWidget* dialog)
{
    std::string out;
    for (const char* combo : {"cmbOperation", "cmbMajority"}) {
        gchar* text = gtk_combo_box_get_active_text(GTK_COMBO_BOX(named(dialog, combo)));
        out += std::string(text ? text : "-") + " ";
        g_free(text);
    }
    for (int i = 0; i < 8; ++i)
        out += gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(named(dialog, "chkMask" + std::to_string(i)))) ? '1'
                                                                                                            : '0';
    return out;
}

class BoardWindows : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        if (IsSkipped())
            return;
        g_setenv("FENROW_BIND_ADDRESS", "127.0.0.1", TRUE);
        g_setenv("FENROW_KNOCK_ADDRESS", "127.255.255.255", TRUE);
        for (const char* port : {"FENROW_HOST_PORT", "FENROW_TRIGGER_PORT", "FENROW_BOARD_PORT"})
            g_setenv(port, free_udp_port().c_str(), TRUE);
        config = ConfigParser::theConfig();
        config->set_config_path("");
        config->set_do_validate(false);
    }
    void TearDown() override
    {
        if (config)
            config->reset();
        boards.clear();
        GuiTest::TearDown();
    }

    // The plug-in loaded by the configuration, and "main" made.
    void load(const std::string& module, const std::string& hook, const std::string& modules)
    {
        dir = testutil::make_temp_dir("windows");
        testutil::write_file(dir + "/boards.xml", "<Sorbek><plugins><plugin name=\"p\" module=\"" + module
                                                      + "\"><lib>" BRISKO_FENROW_PLUGIN "</lib><hook>" + hook
                                                      + "</hook></plugin></plugins><modules>" + modules
                                                      + "</modules><general/></Sorbek>\n");
        config->reset();
        ASSERT_EQ(config->parse((dir + "/boards.xml").c_str()), 1);
        testutil::set_up_acquisition();
    }

    Board& board(const std::string& ip)
    {
        boards.push_back(std::make_unique<Board>(ip));
        return *boards.back();
    }

    static std::string par(const char* module, const char* name)
    {
        // The framework knows a module from its base's construction on, a
        // moment before the module has added its parameters.
        Ostrel::Module* m = Ostrel::DAQmanager::theDAQmanager()->find_module(module);
        return m && m->has_par(name) ? m->get_par(name)->get_as_string() : "<no module>";
    }
    int count(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return config->get_node(xpath, nodes);
    }
    std::string saved()
    {
        EXPECT_GT(config->save_config((dir + "/saved.xml").c_str()), 0);
        return testutil::read_file(dir + "/saved.xml");
    }

    // The one new-board dialog, once it is up (boards answer a knock every
    // 5 s), or null.
    GtkWidget* asked(double seconds = 12)
    {
        guitest::pump_until([] { return !shown("Config Board").empty(); }, seconds);
        return shown("Config Board").size() == 1 ? shown("Config Board").front() : nullptr;
    }

    ConfigParser* config = nullptr;
    std::string dir;
    std::vector<std::unique_ptr<Board>> boards;
};

} // namespace

TEST_F(BoardWindows, UnknownBoardIsDefinedInTheDialogWithinBounds)
{
    load("fenrow", "create_Fenrow", "");
    guitest::load_accessibility();
    in_gtk_main([&] {
        Board& unknown = board("127.0.0.3");
        GtkWidget* dialog = asked();
        ASSERT_TRUE(dialog);
        guitest::pump_for(300);

        // Refused with a message, the dialog kept open.
        ASSERT_TRUE(guitest::click(part(dialog, "slot2")));
        ASSERT_TRUE(guitest::click(part(dialog, "slot5")));
        for (const auto& t : std::vector<std::vector<std::string>>{{"3", "1", "from 1 to 2,"},
                                                                   {"2", "256", "from 1 to 255"},
                                                                   {"x", "0", "from 1 to 2,"}}) {
            retype(part(dialog, "txtNhybrid"), t[0]);
            retype(part(dialog, "txtNchip"), t[1]);
            ASSERT_TRUE(press(part(dialog, "btnBoardOK")));
            ASSERT_TRUE(guitest::pump_until([&] { return shown("Config Board", dialog).size() == 1; }, 5));
            GtkWidget* message = shown("Config Board", dialog).front();
            gchar* said = nullptr;
            g_object_get(message, "text", &said, nullptr);
            EXPECT_NE(std::string(said).find(t[2]), std::string::npos) << said;
            g_free(said);
            guitest::show_and_wait(message);
            ASSERT_TRUE(press(button_of(message, GTK_RESPONSE_CLOSE)));
            ASSERT_TRUE(guitest::pump_until([&] { return shown("Config Board", dialog).empty(); }, 5));
            ASSERT_EQ(shown("Config Board"), std::vector<GtkWidget*>{dialog});
        }

        // Cancelled just after a knock: nothing registered, and the reply to
        // the next knock (5 s later) asks again.
        // Clicked as a screen reader clicks it, which goes on with the button
        // afterwards.
        const std::size_t knocks = unknown.received({11}).size();
        ASSERT_TRUE(guitest::pump_until([&] { return unknown.received({11}).size() > knocks; }, 7));
        // After the board's answer to it has reached the dialog: an answer
        // handled after the Cancel (late, on a busy machine) rightly asks
        // again at once.
        guitest::pump_for(1000);
        ASSERT_TRUE(guitest::click_for_screen_reader(part(dialog, "btnBoardCancel")));
        // The reader's click comes from an idle call, late on a busy machine.
        ASSERT_TRUE(guitest::pump_until([] { return shown("Config Board").empty(); }, 5));
        dialog = asked(8);
        ASSERT_TRUE(dialog) << "not asked again at the next knock";
        EXPECT_EQ(count("//modules/fenrow"), 0);
        EXPECT_TRUE(unknown.received({1, 8, 10}).empty());

        // HDR16, two hybrids of four chips in slots 2 and 5.
        guitest::pump_for(300);
        choose(part(dialog, "cmbChipType"), 2);
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(part(dialog, "cmbChipType"))), 2);
        retype(part(dialog, "txtNhybrid"), "2");
        retype(part(dialog, "txtNchip"), "4");
        ASSERT_TRUE(guitest::click(part(dialog, "slot2")));
        ASSERT_TRUE(guitest::click(part(dialog, "slot5")));
        ASSERT_TRUE(press(part(dialog, "btnBoardOK")));
        EXPECT_TRUE(shown("Config Board").empty());

        // Registered with the board's next datagram, configured and saved.
        ASSERT_TRUE(guitest::pump_until([&] { return unknown.received({1, 10}).size() >= 4; }, 12));
        EXPECT_EQ(unknown.received({1, 10}),
                  (std::vector<Words>{stop_of(2), init_of(2, 0x20, 4), stop_of(5), init_of(5, 0x20, 4)}));
        EXPECT_EQ(par("32", "nchip") + par("35", "nchip"), "44");
        const std::string element = "//modules/fenrow[@name='127.0.0.3']";
        EXPECT_EQ(count(element + "/stream"), 2);
        EXPECT_EQ(count(element + "/stream[@name='32' or @name='35'][chip_type='hdr'][nchips=4]"), 2);
        EXPECT_EQ(count(element + "/stream[@name='35']/chip[@id=3]"), 1);
        EXPECT_NE(saved().find("<fenrow name=\"127.0.0.3\""), std::string::npos);
    });
}

TEST_F(BoardWindows, TriggerBoardDialogSendsWhatItShowsAndOpeningChangesNothing)
{
    load("trigger", "create_TriggerBoard",
         "<trigger name=\"127.0.0.7\"><majority>2</majority><operation>1</operation><mask>1 0 1</mask></trigger>"
         "<trigger name=\"127.0.0.8\"><majority>4</majority><operation>0</operation><mask>0 1</mask></trigger>");
    guitest::load_accessibility();
    in_gtk_main([&] {
        // A board not found yet: the section's settings, kept by Apply.
        ModuleParser* waiting = config->get_id_handler(81);
        ASSERT_TRUE(waiting);
        const std::string first = saved();
        GtkWidget* dialog = waiting->config("81");
        guitest::show_and_wait(dialog);
        EXPECT_EQ(trg_state(dialog), "OR 4 01000000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_APPLY)));
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_CANCEL)));
        EXPECT_TRUE(shown("TrgBoard").empty());
        EXPECT_EQ(saved(), first);

        // Found, and given its section's settings.
        Board& trigger = board("127.0.0.7");
        ASSERT_TRUE(guitest::pump_until([&] { return par("71", "majority") == "2"; }, 12));
        ModuleParser* section = config->get_id_handler(71);
        ASSERT_TRUE(section);
        const std::string before = saved();

        // Shown as the module has them; opened and closed both ways,
        // nothing changes.
        dialog = section->config("71");
        EXPECT_EQ(section->config("71"), dialog);
        guitest::show_and_wait(dialog);
        EXPECT_EQ(trg_state(dialog), "AND 2 10100000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_CANCEL)));
        dialog = section->config("71");
        guitest::show_and_wait(dialog);
        guitest::wm_delete(dialog);
        // The third way, a screen reader's click, which goes on with the
        // button afterwards.
        dialog = section->config("71");
        guitest::show_and_wait(dialog);
        ASSERT_TRUE(guitest::click_for_screen_reader(button_of(dialog, GTK_RESPONSE_CANCEL)));
        EXPECT_TRUE(guitest::pump_until([] { return shown("TrgBoard").empty(); }, 5));
        guitest::pump_for(100);
        EXPECT_EQ(saved(), before);
        EXPECT_TRUE(trigger.received({1}).empty());

        // OR, majority "3", input 1 masked too; Apply sends, the dialog stays.
        dialog = section->config("71");
        guitest::show_and_wait(dialog);
        choose(named(dialog, "cmbOperation"), 1);
        choose(named(dialog, "cmbMajority"), 1);
        ASSERT_TRUE(guitest::click(named(dialog, "chkMask1")));
        EXPECT_EQ(trg_state(dialog), "OR 3 11100000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_APPLY)));
        ASSERT_TRUE(guitest::pump_until([&] { return !trigger.received({1}).empty(); }, 5));
        EXPECT_EQ(trigger.received({1}).front(), (Words{0xCAFE, 0x4701, 0x0003, 0x0007, 0xACAB}));
        EXPECT_EQ(par("71", "operation") + par("71", "majority") + par("71", "mask"), "037");
        EXPECT_EQ(shown("TrgBoard"), std::vector<GtkWidget*>{dialog});

        // OK sends again and closes; the next opening is a new dialog.
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_OK)));
        ASSERT_TRUE(guitest::pump_until([&] { return trigger.received({1}).size() >= 2; }, 5));
        EXPECT_EQ(trigger.received({1})[1], trigger.received({1})[0]);
        EXPECT_TRUE(shown("TrgBoard").empty());
        EXPECT_NE(saved().find("<mask>1 1 1 0 0 0 0 0 </mask>"), std::string::npos);
        GtkWidget* fresh = section->config("71");
        EXPECT_EQ(shown("TrgBoard"), std::vector<GtkWidget*>{fresh});
        gtk_widget_destroy(fresh);
    });
}
