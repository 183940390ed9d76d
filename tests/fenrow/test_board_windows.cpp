// The board plug-in's dialogs as the operator uses them: the plug-in loaded
// from the configuration, simulated boards (fenrow_board_sim) on loopback,
// the GTK main loop running, and the dialogs answered with real X input.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <glade/glade.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include "GuiTest.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/DAQcontroller.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Module.h"

namespace {

using Words = std::vector<unsigned>;

int free_udp_port()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// One simulated board process that records every datagram it receives.
class Board {
public:
    explicit Board(const std::string& ip) : _record(testutil::make_temp_dir("board") + "/received.txt")
    {
        std::vector<std::string> args = {BOARD_SIM, "--address", ip, "--record", _record};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        GError* error = nullptr;
        if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &_pid,
                           &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            _pid = 0;
        }
    }
    ~Board()
    {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }

    // The commands (not knocks) received so far, as words.
    std::vector<Words> commands() const { return datagrams(false); }
    std::size_t knocks() const { return datagrams(true).size(); }

private:
    std::vector<Words> datagrams(bool knocks) const
    {
        std::vector<Words> out;
        std::ifstream in(_record);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            Words w;
            for (std::string hex; words >> hex;)
                w.push_back(static_cast<unsigned>(std::stoul(hex, nullptr, 16)));
            if (w.size() > 1 && ((w[1] & 0x7F) == 11) == knocks)
                out.push_back(w);
        }
        return out;
    }

    std::string _record;
    GPid _pid = 0;
};

// The body runs inside the GTK main loop, as in a program with windows.
void in_gtk_main(const std::function<void()>& body)
{
    struct Call {
        const std::function<void()>* body;
    } call{&body};
    g_idle_add(
        [](gpointer data) -> gboolean {
            (*static_cast<Call*>(data)->body)();
            gtk_main_quit();
            return FALSE;
        },
        &call);
    gtk_main();
}

std::vector<GtkWidget*> dialogs(const char* title)
{
    std::vector<GtkWidget*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        auto* w = static_cast<GtkWidget*>(l->data);
        const char* t = gtk_window_get_title(GTK_WINDOW(w));
        if (GTK_IS_DIALOG(w) && !GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w) && t
            && std::string(t) == title)
            out.push_back(w);
    }
    g_list_free(all);
    return out;
}

// The visible message over the dialog, or null.
GtkWidget* message_over(GtkWidget* dialog)
{
    GtkWidget* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        auto* w = static_cast<GtkWidget*>(l->data);
        if (GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w)
            && gtk_window_get_transient_for(GTK_WINDOW(w)) == GTK_WINDOW(dialog))
            found = w;
    }
    g_list_free(all);
    return found;
}

std::string message_text(GtkWidget* message)
{
    gchar* text = nullptr;
    g_object_get(message, "text", &text, nullptr);
    std::string s = text ? text : "";
    g_free(text);
    return s;
}

GtkWidget* part(GtkWidget* top, const char* id)
{
    return glade_xml_get_widget(glade_get_widget_tree(top), id);
}

// A button pressed with the pointer, wherever the pointer was before (a
// dialog opened again lies where the last one was).
bool press(GtkWidget* button)
{
    guitest::run_pumping({"xdotool", "mousemove", "0", "0"});
    return guitest::click(button);
}

// A dialog's button, by its response.
GtkWidget* button_of(GtkWidget* dialog, int response)
{
    return gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
}

// Opens a combo's menu with the pointer and moves down in it with keys.
void choose(GtkWidget* combo, int steps_down)
{
    ASSERT_TRUE(guitest::click(combo));
    guitest::pump_for(200);
    for (int i = 0; i < steps_down; ++i)
        ASSERT_EQ(guitest::run_pumping({"xdotool", "key", "Down"}), 0);
    ASSERT_EQ(guitest::run_pumping({"xdotool", "key", "Return"}), 0);
    guitest::pump_for(100);
}

// Replaces an entry's text as typed.
void retype(GtkWidget* entry, const std::string& text)
{
    ASSERT_TRUE(guitest::click(entry));
    ASSERT_TRUE(guitest::key(entry, "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(entry, text));
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
            g_setenv(port, std::to_string(free_udp_port()).c_str(), TRUE);
        config = ConfigParser::theConfig();
        config->set_config_path("");
        config->set_do_validate(false);
        config->reset();
    }
    void TearDown() override
    {
        if (config)
            config->reset();
        boards.clear();
        GuiTest::TearDown();
    }

    // The plug-in loaded by the configuration, "main" made, then the boards.
    void load(const std::string& module, const std::string& hook, const std::string& modules)
    {
        dir = testutil::make_temp_dir("windows");
        const std::string path = dir + "/boards.xml";
        testutil::write_file(path, "<?xml version=\"1.0\"?>\n<Sorbek><plugins><plugin name=\"p\" module=\"" + module
                                       + "\"><lib>" BRISKO_FENROW_PLUGIN "</lib><hook>" + hook
                                       + "</hook></plugin></plugins><modules>" + modules
                                       + "</modules><general/></Sorbek>\n");
        ASSERT_EQ(config->parse(path.c_str()), 1);
        DAQcontroller::instance()->setup_daq(0, nullptr);
    }

    Board& board(const std::string& ip)
    {
        boards.push_back(std::make_unique<Board>(ip));
        return *boards.back();
    }

    static bool has_module(const char* id) { return Ostrel::DAQmanager::theDAQmanager()->find_module(id); }

    int count(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return config->get_node(xpath, nodes);
    }
    std::string text(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return config->get_node(xpath, nodes) ? config->get_node_value(nodes.front()) : "<none>";
    }
    std::string saved()
    {
        const std::string path = dir + "/saved.xml";
        EXPECT_GT(config->save_config(path.c_str()), 0);
        return testutil::read_file(path);
    }

    // The new-board dialog once it is up (boards answer a knock every 5 s).
    GtkWidget* wait_dialog(const char* title = "Config Board")
    {
        guitest::pump_until([&] { return !dialogs(title).empty(); }, 12);
        const std::vector<GtkWidget*> open = dialogs(title);
        return open.size() == 1 ? open.front() : nullptr;
    }

    ConfigParser* config = nullptr;
    std::string dir;
    std::vector<std::unique_ptr<Board>> boards;
};

Words init_of(unsigned stream, unsigned nibbles, unsigned chips)
{
    return {0xCAFE, 0x0001, stream << 8 | nibbles, chips << 8, 0xACAB};
}

Words stop_of(unsigned stream)
{
    return {0xCAFE, stream << 8 | 10, 0xFF00, 0, 0xACAB};
}

// The board's start, stop and initialisation commands, in order.
std::vector<Words> starts_and_inits(const Board& board)
{
    std::vector<Words> out;
    for (const Words& w : board.commands())
        if ((w[1] & 0x7F) == 10 || (w[1] & 0x7F) == 1)
            out.push_back(w);
    return out;
}

// The trigger board dialog's controls, found as a person sees them:
// operation above majority, the mask's check buttons left to right.
struct TrgParts {
    GtkWidget* operation = nullptr;
    GtkWidget* majority = nullptr;
    std::vector<GtkWidget*> checks;

    // Such as "OR 3 11100000".
    std::string active() const
    {
        std::string out = gtk_combo_box_get_active_text(GTK_COMBO_BOX(operation));
        out += std::string(" ") + gtk_combo_box_get_active_text(GTK_COMBO_BOX(majority)) + " ";
        for (GtkWidget* c : checks)
            out += gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c)) ? '1' : '0';
        return out;
    }
};

TrgParts trg_parts(GtkWidget* dialog)
{
    std::vector<GtkWidget*> combos, checks;
    std::function<void(GtkWidget*)> walk = [&](GtkWidget* w) {
        if (GTK_IS_COMBO_BOX(w))
            combos.push_back(w);
        else if (GTK_IS_CHECK_BUTTON(w))
            checks.push_back(w);
        else if (GTK_IS_CONTAINER(w)) {
            GList* children = gtk_container_get_children(GTK_CONTAINER(w));
            for (GList* l = children; l; l = l->next)
                walk(static_cast<GtkWidget*>(l->data));
            g_list_free(children);
        }
    };
    walk(gtk_dialog_get_content_area(GTK_DIALOG(dialog)));
    auto on_screen = [](bool by_y) {
        return [by_y](GtkWidget* x, GtkWidget* y) {
            const GdkRectangle a = guitest::screen_rect(x), b = guitest::screen_rect(y);
            return by_y ? a.y < b.y : a.x < b.x;
        };
    };
    std::sort(combos.begin(), combos.end(), on_screen(true));
    std::sort(checks.begin(), checks.end(), on_screen(false));
    TrgParts parts;
    EXPECT_EQ(combos.size(), 2u);
    EXPECT_EQ(checks.size(), 8u);
    if (combos.size() == 2) {
        parts.operation = combos[0];
        parts.majority = combos[1];
    }
    parts.checks = checks;
    return parts;
}

} // namespace

TEST_F(BoardWindows, UnknownBoardIsDefinedInTheDialogAndKnownOnesAreNotAsked)
{
    load("fenrow", "create_Fenrow",
         "<fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\"><nchips>2</nchips>"
         "<chip_type>gp8</chip_type></stream><stream name=\"23\" address=\"127.0.0.2\"><nchips>2</nchips>"
         "<chip_type>gp8</chip_type></stream></fenrow>");
    in_gtk_main([&] {
        Board& known = board("127.0.0.2");
        Board& unknown = board("127.0.0.3");
        GtkWidget* dialog = wait_dialog();
        ASSERT_TRUE(dialog);
        // The board of the configuration: slots 0 and 2, no question.
        ASSERT_TRUE(guitest::pump_until([&] { return known.commands().size() >= 4; }, 12));
        EXPECT_EQ(known.commands(), (std::vector<Words>{stop_of(1), init_of(1, 0x11, 2), stop_of(3),
                                                        init_of(3, 0x11, 2)}));
        EXPECT_TRUE(has_module("21") && has_module("23"));

        // HDR16, two hybrids of four chips in slots 2 and 5.
        guitest::pump_for(300);
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(part(dialog, "cmbChipType"))), 0);
        choose(part(dialog, "cmbChipType"), 2);
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(part(dialog, "cmbChipType"))), 2);
        retype(part(dialog, "txtNhybrid"), "2");
        retype(part(dialog, "txtNchip"), "4");
        ASSERT_TRUE(guitest::click(part(dialog, "slot2")));
        ASSERT_TRUE(guitest::click(part(dialog, "slot5")));
        ASSERT_TRUE(guitest::click(part(dialog, "btnOK")));
        EXPECT_TRUE(dialogs("Config Board").empty());

        // Registered with the board's next datagram, then configured.
        ASSERT_TRUE(guitest::pump_until([&] { return starts_and_inits(unknown).size() >= 4; }, 12));
        EXPECT_EQ(starts_and_inits(unknown), (std::vector<Words>{stop_of(2), init_of(2, 0x20, 4), stop_of(5),
                                                                 init_of(5, 0x20, 4)}));
        EXPECT_TRUE(has_module("32") && has_module("35"));
        EXPECT_FALSE(has_module("31"));
        const std::string element = "//modules/fenrow[@name='127.0.0.3']";
        EXPECT_EQ(count(element + "/stream"), 2);
        for (const char* name : {"32", "35"}) {
            const std::string stream = element + "/stream[@name='" + name + "']";
            EXPECT_EQ(text(stream + "/chip_type"), "hdr");
            EXPECT_EQ(text(stream + "/nchips"), "4");
            EXPECT_EQ(count(stream + "/chip"), 4);
        }
        EXPECT_NE(saved().find("<fenrow name=\"127.0.0.3\""), std::string::npos);
        EXPECT_TRUE(dialogs("Config Board").empty());
    });
}

TEST_F(BoardWindows, OutOfRangeAnswersAreRefusedAndACancelledBoardIsAskedAgain)
{
    load("fenrow", "create_Fenrow", "");
    in_gtk_main([&] {
        Board& unknown = board("127.0.0.3");
        GtkWidget* dialog = wait_dialog();
        ASSERT_TRUE(dialog);
        guitest::pump_for(300);

        // Each refused with a message; the dialog stays.
        struct Try {
            const char* hybrids;
            const char* chips;
            const char* says;
        };
        ASSERT_TRUE(guitest::click(part(dialog, "slot1")));
        ASSERT_TRUE(guitest::click(part(dialog, "slot3")));
        for (const Try& t : {Try{"3", "1", "from 1 to 2,"}, Try{"0", "1", "from 1 to 2,"},
                             Try{"2", "0", "from 1 to 255"}, Try{"2", "256", "from 1 to 255"},
                             Try{"two", "1", "from 1 to 2,"}}) {
            SCOPED_TRACE(std::string(t.hybrids) + " hybrids, " + t.chips + " chips");
            retype(part(dialog, "txtNhybrid"), t.hybrids);
            retype(part(dialog, "txtNchip"), t.chips);
            ASSERT_TRUE(guitest::click(part(dialog, "btnOK")));
            GtkWidget* message = nullptr;
            ASSERT_TRUE(guitest::pump_until([&] { return (message = message_over(dialog)) != nullptr; }, 5));
            EXPECT_NE(message_text(message).find(t.says), std::string::npos) << message_text(message);
            guitest::show_and_wait(message);
            ASSERT_TRUE(press(button_of(message, GTK_RESPONSE_CLOSE)));
            ASSERT_TRUE(guitest::pump_until([&] { return !message_over(dialog); }, 5));
            ASSERT_EQ(dialogs("Config Board"), std::vector<GtkWidget*>{dialog});
        }
        // No slot at all.
        ASSERT_TRUE(guitest::click(part(dialog, "slot1")));
        ASSERT_TRUE(guitest::click(part(dialog, "slot3")));
        retype(part(dialog, "txtNhybrid"), "1");
        ASSERT_TRUE(guitest::click(part(dialog, "btnOK")));
        GtkWidget* message = nullptr;
        ASSERT_TRUE(guitest::pump_until([&] { return (message = message_over(dialog)) != nullptr; }, 5));
        EXPECT_NE(message_text(message).find("Hybrid map"), std::string::npos);

        // Cancelled just after a knock: nothing registered, and the reply to
        // the next knock (5 s later) asks again.
        const std::size_t knocks = unknown.knocks();
        ASSERT_TRUE(guitest::pump_until([&] { return unknown.knocks() > knocks; }, 7));
        ASSERT_TRUE(press(part(dialog, "btnCancel")));
        ASSERT_TRUE(dialogs("Config Board").empty());
        ASSERT_TRUE(guitest::pump_until([&] { return !dialogs("Config Board").empty(); }, 8))
            << "not asked again at the next knock";
        ASSERT_EQ(dialogs("Config Board").size(), 1u);
        GtkWidget* again = dialogs("Config Board").front();
        EXPECT_EQ(gtk_entry_get_text(GTK_ENTRY(part(again, "txtNhybrid"))), std::string("1"));
        EXPECT_EQ(count("//modules/fenrow"), 0);
        EXPECT_FALSE(has_module("31"));

        // Closed as a window manager closes it: cancelled too.
        guitest::show_and_wait(again);
        guitest::wm_delete(again);
        ASSERT_TRUE(guitest::pump_until([&] { return dialogs("Config Board").empty(); }, 5));
        guitest::pump_for(500);
        EXPECT_TRUE(unknown.commands().empty());
        EXPECT_EQ(count("//modules/fenrow"), 0);
    });
}

TEST_F(BoardWindows, TriggerBoardDialogSendsWhatItShowsAndOpeningChangesNothing)
{
    load("trigger", "create_TriggerBoard",
         "<trigger name=\"127.0.0.7\"><majority>2</majority><operation>1</operation><mask>1 0 1</mask></trigger>"
         "<trigger name=\"127.0.0.8\"><majority>4</majority><operation>0</operation><mask>0 1</mask></trigger>");
    in_gtk_main([&] {
        // A board not found yet: the section's settings, kept as they are.
        ModuleParser* waiting = config->get_id_handler(81);
        ASSERT_TRUE(waiting);
        const std::string first = saved();
        GtkWidget* dialog = waiting->config("81");
        ASSERT_TRUE(dialog);
        guitest::show_and_wait(dialog);
        TrgParts shown = trg_parts(dialog);
        EXPECT_EQ(shown.active(), "OR 4 01000000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_APPLY)));
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_CANCEL)));
        EXPECT_TRUE(dialogs("TrgBoard").empty());
        EXPECT_EQ(saved(), first);

        Board& trigger = board("127.0.0.7");
        // Found, and given the section's settings.
        auto par = [](const char* name) {
            Ostrel::Module* m = Ostrel::DAQmanager::theDAQmanager()->find_module("71");
            return m ? m->get_par(name)->get_as_string() : std::string("<no module>");
        };
        ASSERT_TRUE(guitest::pump_until([&] { return par("majority") == "2"; }, 12));
        ModuleParser* section = config->get_id_handler(71);
        ASSERT_TRUE(section);
        const std::string before = saved();

        // Shown as the module has them; closed both ways, nothing changes.
        dialog = section->config("71");
        ASSERT_TRUE(dialog);
        EXPECT_EQ(section->config("71"), dialog);
        guitest::show_and_wait(dialog);
        EXPECT_EQ(trg_parts(dialog).active(), "AND 2 10100000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_CANCEL)));
        guitest::pump_for(100);
        EXPECT_EQ(saved(), before);

        dialog = section->config("71");
        guitest::show_and_wait(dialog);
        guitest::wm_delete(dialog);
        guitest::pump_for(100);
        EXPECT_EQ(saved(), before);
        EXPECT_TRUE(trigger.commands().empty());

        // OR, majority "3", input 1 masked too, Apply: sent, the dialog stays.
        dialog = section->config("71");
        guitest::show_and_wait(dialog);
        shown = trg_parts(dialog);
        choose(shown.operation, 1);
        choose(shown.majority, 1);
        ASSERT_TRUE(guitest::click(shown.checks[1]));
        EXPECT_EQ(shown.active(), "OR 3 11100000");
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_APPLY)));
        ASSERT_TRUE(guitest::pump_until([&] { return !trigger.commands().empty(); }, 5));
        EXPECT_EQ(trigger.commands().front(), (Words{0xCAFE, 0x4701, 0x0003, 0x0007, 0xACAB}));
        EXPECT_EQ(par("operation"), "0");
        EXPECT_EQ(par("majority"), "3");
        EXPECT_EQ(par("mask"), "7");
        EXPECT_EQ(section->config("71"), dialog);

        // OK sends again and closes; the next opening is a new dialog.
        ASSERT_TRUE(press(button_of(dialog, GTK_RESPONSE_OK)));
        ASSERT_TRUE(guitest::pump_until([&] { return trigger.commands().size() >= 2; }, 5));
        EXPECT_EQ(trigger.commands()[1], trigger.commands()[0]);
        EXPECT_TRUE(dialogs("TrgBoard").empty());
        const std::string after = saved();
        EXPECT_NE(after.find("<majority>3</majority>"), std::string::npos) << after;
        EXPECT_NE(after.find("<mask>1 1 1 0 0 0 0 0 </mask>"), std::string::npos) << after;
        GtkWidget* fresh = section->config("71");
        ASSERT_TRUE(fresh);
        EXPECT_EQ(dialogs("TrgBoard"), std::vector<GtkWidget*>{fresh});
        gtk_widget_destroy(fresh);
    });
}
