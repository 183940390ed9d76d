// The run menu as the operator uses it: clicks on its button and items drive
// a run manager of the framework through its states, the button label
// follows through the framework's notices, and a menu that goes away while
// work for it is pending is never reached.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "GlibLog.h"
#include "GuiTest.h"
#include "TimerGaps.h"
#include "common/LogLines.h"
#include "common/TestUtil.h"
#include "gui/RunMenu.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"

using guitest::pump_for;
using guitest::pump_until;
using Status = Ostrel::RunState::StatusType;

namespace {

// A run manager whose run, once asked to stop, stays active until released.
class HeldManager : public Ostrel::RunManager {
public:
    using Ostrel::RunManager::RunManager;
    ~HeldManager() override
    {
        hold = false;
        shutdown();
    }
    void EndOfRun() override
    {
        while (hold.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Ostrel::RunManager::EndOfRun();
    }
    std::atomic<bool> hold{false};
};

struct MenuWindow {
    explicit MenuWindow(const std::string& id) : id(id)
    {
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        button = gtk_button_new_with_label("?");
        gtk_container_add(GTK_CONTAINER(window), button);
        rm = RunMenu::new_menu(id, button, Ostrel::RunState::NotReady);
        menu = rm->get_menu();
        g_signal_connect(menu, "command", G_CALLBACK(record), &commands);
        guitest::show_and_wait(window);
    }
    ~MenuWindow()
    {
        RunMenu::delete_menu(id);
        gtk_widget_destroy(window);
    }
    static void record(Runmenu*, guint cmd, std::vector<unsigned>* to) { to->push_back(cmd); }

    std::string label() const { return gtk_button_get_label(GTK_BUTTON(button)); }
    // Sensitivity of Get Ready, Start, Stop, Pause, Continue, Reset.
    std::string items() const
    {
        std::string s;
        for (GtkWidget* w : {menu->igetready, menu->istartrun, menu->istoprun, menu->ipauserun,
                             menu->icontinuerun, menu->ireset})
            s += gtk_widget_get_sensitive(w) ? '1' : '0';
        return s;
    }
    bool shows(const std::string& text)
    {
        return pump_until([&] { return label() == text; }, 10);
    }
    // A click on the button pops the menu up; a click on the item chooses it.
    bool choose(GtkWidget* item)
    {
        GtkWidget* popup = GTK_WIDGET(menu);
        return guitest::click(button) && pump_until([&] { return gtk_widget_get_mapped(popup); }, 5) &&
               guitest::click(item) && pump_until([&] { return !gtk_widget_get_mapped(popup); }, 5);
    }

    std::string id;
    GtkWidget* window;
    GtkWidget* button;
    RunMenu* rm;
    Runmenu* menu;
    std::vector<unsigned> commands;
};

} // namespace

TEST_F(GuiTest, RunMenuDrivesARunManagerThroughEveryState)
{
    LogLines log;
    HeldManager manager("rm.gui");
    EXPECT_TRUE(log.has("MsgManager: adding run manager rm.gui"));
    MenuWindow w("rm.gui");
    ASSERT_TRUE(w.shows("Not Ready"));
    EXPECT_EQ("100001", w.items());
    EXPECT_EQ(w.rm, RunMenu::find("rm.gui"));

    using V = std::vector<unsigned>;
    ASSERT_TRUE(w.choose(w.menu->igetready));
    EXPECT_EQ((V{6, 0}), w.commands);
    EXPECT_TRUE(w.shows("Ready"));
    EXPECT_EQ("110001", w.items());

    ASSERT_TRUE(w.choose(w.menu->istartrun));
    EXPECT_TRUE(w.shows("Running"));
    EXPECT_EQ("001101", w.items());
    EXPECT_NE(0, w.menu->tmout);

    ASSERT_TRUE(w.choose(w.menu->ipauserun));
    EXPECT_TRUE(w.shows("Paused"));
    EXPECT_EQ("001011", w.items());

    ASSERT_TRUE(w.choose(w.menu->icontinuerun));
    EXPECT_TRUE(w.shows("Running"));
    EXPECT_EQ("001101", w.items());

    ASSERT_TRUE(w.choose(w.menu->istoprun));
    EXPECT_TRUE(pump_until([&] { return !manager.isActive(); }, 10));
    EXPECT_TRUE(w.shows("Ready"));
    EXPECT_EQ("110001", w.items());
    EXPECT_EQ(0, w.menu->tmout);

    // Reset ends a run without the Stop action.
    ASSERT_TRUE(w.choose(w.menu->istartrun));
    EXPECT_TRUE(w.shows("Running"));
    ASSERT_TRUE(w.choose(w.menu->ireset));
    EXPECT_TRUE(w.shows("Not Ready"));
    EXPECT_EQ("100001", w.items());
    EXPECT_EQ((V{6, 0, 1, 3, 4, 2, 1, 5}), w.commands);

    // A stop asked for from another thread, through the menu's poll.
    w.commands.clear();
    gtk_runmenu_emit(w.menu, 1);
    EXPECT_TRUE(w.shows("Running"));
    std::thread([&] { gtk_runmenu_stop(w.menu); }).join();
    EXPECT_TRUE(pump_until([&] { return !manager.isActive(); }, 10));
    EXPECT_TRUE(w.shows("Ready"));
    EXPECT_EQ(0, w.menu->tmout);
    // Without a Start the request waits, and the next Start clears it.
    std::thread([&] { gtk_runmenu_stop(w.menu); }).join();
    pump_for(300);
    gtk_runmenu_emit(w.menu, 1);
    pump_for(300);
    EXPECT_TRUE(manager.isActive());
    EXPECT_EQ((V{1, 2, 1}), w.commands);
    w.rm->send_command(0);   // dropped
    w.rm->send_command(2);
    EXPECT_TRUE(pump_until([&] { return !manager.isActive(); }, 10));
    EXPECT_EQ((V{1, 2, 1, 2}), w.commands);
    EXPECT_TRUE(w.shows("Ready"));

    // The controller's path: the status as it is; Starting and Stopped
    // leave the menu alone, Time Out changes only the label.
    EXPECT_EQ(Ostrel::RunState::Running, RunMenu::translate(Ostrel::RunState::Running));
    w.rm->update(RunMenu::translate(Ostrel::RunState::Starting));
    w.rm->update(Ostrel::RunState::Stopped);
    pump_for(100);
    EXPECT_EQ("Ready", w.label());
    w.rm->update_state(Ostrel::RunState::TimeOut);
    EXPECT_EQ("Time Out", w.label());
    EXPECT_EQ("110001", w.items());
}

TEST_F(GuiTest, RunMenuWithoutItsRunManager)
{
    MenuWindow w("nobody");
    const std::string out = testutil::capture_stdout([&] {
        gtk_runmenu_emit(w.menu, 0);
        w.rm->send_command(2);
        pump_for(100);
    });
    const std::string line = "RunMenu::daq_command - RunManager nobody not found\n";
    EXPECT_EQ(line + line + line, out);
    // The widget's own code logs without a domain of its own.
    GlibLog err(nullptr);
    gtk_runmenu_stop(nullptr);
    gtk_runmenu_stop(reinterpret_cast<Runmenu*>(gtk_label_new("x")));
    EXPECT_EQ(1, err.count("gtk_runmenu_stop: assertion 'run != NULL' failed"));
    EXPECT_EQ(1, err.count("gtk_runmenu_stop: assertion 'IS_RUNMENU (run)' failed"));
}

TEST_F(GuiTest, RunMenuGoneWithWorkPendingIsNeverReached)
{
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* box = gtk_vbox_new(FALSE, 0);
    GtkWidget* first = gtk_button_new_with_label("?");
    GtkWidget* second = gtk_button_new_with_label("?");
    gtk_box_pack_start(GTK_BOX(box), first, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), second, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    guitest::show_and_wait(window);

    // The first menu has its poll, a state update, a command and a framework
    // thread's update pending when a second menu replaces it.
    RunMenu* old = RunMenu::new_menu("gone", first, Ostrel::RunState::NotReady);
    testutil::capture_stdout([&] { gtk_runmenu_emit(old->get_menu(), 1); });
    old->update(Ostrel::RunState::Paused);
    old->send_command(2);
    std::thread([] { RunMenu::post_update("gone", Ostrel::RunState::Running); }).join();
    RunMenu* now = RunMenu::new_menu("gone", second, Ostrel::RunState::NotReady);
    EXPECT_EQ(now, RunMenu::find("gone"));
    EXPECT_EQ(nullptr, g_object_get_data(G_OBJECT(first), "runmenu"));
    testutil::capture_stdout([] { pump_for(300); });
    // What was pending went to the menu now registered under the id.
    EXPECT_EQ("?", std::string(gtk_button_get_label(GTK_BUTTON(first))));
    EXPECT_EQ("Not Ready", std::string(gtk_button_get_label(GTK_BUTTON(second))));
    // Its button pops nothing up any more.
    EXPECT_TRUE(guitest::click(first));
    EXPECT_EQ(nullptr, gtk_grab_get_current());

    now->update(Ostrel::RunState::Paused);
    std::thread([] { RunMenu::post_update("gone", Ostrel::RunState::Ready); }).join();
    RunMenu::delete_menu("gone");
    EXPECT_EQ(nullptr, RunMenu::find("gone"));
    pump_for(300);
    EXPECT_EQ("Not Ready", std::string(gtk_button_get_label(GTK_BUTTON(second))));

    // A menu whose button went first.
    RunMenu::new_menu("early", first, Ostrel::RunState::NotReady)->update(Ostrel::RunState::Ready);
    gtk_widget_destroy(window);
    pump_for(100);
    RunMenu::delete_all();
    EXPECT_EQ(nullptr, RunMenu::find("early"));
}

TEST_F(GuiTest, RunMenuStopWaitKeepsTheWindowResponsive)
{
    HeldManager manager("rm.held");
    MenuWindow w("rm.held");
    gtk_runmenu_emit(w.menu, 1);
    ASSERT_TRUE(w.shows("Running"));
    manager.hold = true;

    TimerGaps gaps;
    const std::string out = testutil::capture_stdout([&] {
        gtk_runmenu_emit(w.menu, 2);
        gaps.restart();
        pump_for(23000);
    });
    EXPECT_EQ(std::string(20, '.') + "RunManager does not seem to stop...\n", out);
    EXPECT_LE(gaps.worst_ms(), 250);
    EXPECT_EQ("Stopping", w.label());
    manager.hold = false;
    EXPECT_TRUE(pump_until([&] { return !manager.isActive(); }, 10));
    EXPECT_TRUE(w.shows("Ready"));
}
