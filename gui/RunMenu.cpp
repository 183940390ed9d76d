#include "gui/RunMenu.h"

#include <iostream>
#include <set>

#include "config/ConfigParser.h"
#include "config/PluginParser.h"
#include "daq/IdleCall.h"
#include "gui/Registry.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Exception.h"
#include "ostrel/RunManager.h"
#include "ostrel/Thread.h"

namespace {

// Never destroyed: framework threads may post state changes while the
// process exits.
Registry<RunMenu>& vlist()
{
    static auto* menus = new Registry<RunMenu>;
    return *menus;
}

// The wait for a stopped run manager to go inactive: a 100 ms timer on the
// GUI thread, so that the window keeps repainting. It holds only the id and
// looks the run manager up on every tick.
struct StopWait {
    std::string id;
    Ostrel::DAQTimer clock;
    double threshold = 1.0;
};

// Ids with a wait going on: a second Stop does not start a second wait.
std::set<std::string>& waiting()
{
    static std::set<std::string> ids;
    return ids;
}

bool still_active(const std::string& id)
{
    Ostrel::RunManager* rm = Ostrel::DAQmanager::theDAQmanager()->find_runmanager(id);
    return rm && rm->isActive();
}

gboolean stop_wait_tick(gpointer data)
{
    auto* wait = static_cast<StopWait*>(data);
    if (!still_active(wait->id))
        return FALSE;
    if (wait->clock() > wait->threshold) {
        std::cout << "." << std::flush;
        wait->threshold += 1.0;
    }
    if (wait->threshold > 20.0) {
        std::cout << "RunManager does not seem to stop..." << std::endl;
        return FALSE;
    }
    return TRUE;
}

void stop_wait_end(gpointer data)
{
    auto* wait = static_cast<StopWait*>(data);
    waiting().erase(wait->id);
    delete wait;
}

void start_stop_wait(const std::string& id)
{
    if (!still_active(id) || !waiting().insert(id).second)
        return;
    auto* wait = new StopWait;
    wait->id = id;
    wait->clock.start();
    g_timeout_add_full(G_PRIORITY_DEFAULT, 100, stop_wait_tick, wait, stop_wait_end);
}

} // namespace

// ---- registry --------------------------------------------------------------

RunMenu* RunMenu::new_menu(const Ostrel::DAQid& id, GtkWidget* button, StatusType state)
{
    RunMenu* menu = new RunMenu(id, button, state);
    delete vlist().put(id.str(), menu);
    return menu;
}

RunMenu* RunMenu::find(const std::string& id)
{
    return vlist().find(id);
}

void RunMenu::delete_menu(const Ostrel::DAQid& id)
{
    delete vlist().take(id.str());
}

void RunMenu::delete_menu(const Ostrel::DAQid& id, RunMenu* menu)
{
    delete vlist().take(id.str(), menu);
}

void RunMenu::delete_all()
{
    for (auto& entry : vlist().take_all())
        delete entry.second;
}

void RunMenu::post_update(const std::string& id, StatusType state)
{
    vlist().with(id, [state](RunMenu* menu) { menu->update(state); });
}

RunMenu::StatusType RunMenu::translate(unsigned int status)
{
    // A value that is no run state gives one the menu leaves itself alone
    // for.
    if (status > Ostrel::RunState::TimeOut)
        return Ostrel::RunState::Starting;
    return static_cast<StatusType>(status);
}

// ---- one menu --------------------------------------------------------------

RunMenu::RunMenu(const Ostrel::DAQid& id, GtkWidget* button, StatusType state)
    : btn(GTK_BUTTON(button)), _id(id)
{
    runmenu = RUNMENU(gtk_runmenu_new());
    // The menu's own popup window holds it; this reference keeps it until
    // the destructor.
    g_object_ref(runmenu);
    command_handler = g_signal_connect(runmenu, "command", G_CALLBACK(daq_command), this);
    if (btn) {
        g_object_add_weak_pointer(G_OBJECT(btn), reinterpret_cast<gpointer*>(&btn));
        clicked_handler = g_signal_connect(btn, "clicked", G_CALLBACK(btn_clicked), runmenu);
        g_object_set_data(G_OBJECT(btn), "runmenu", runmenu);
    }
    update(state);
}

RunMenu::~RunMenu()
{
    if (btn) {
        if (clicked_handler && g_signal_handler_is_connected(btn, clicked_handler))
            g_signal_handler_disconnect(btn, clicked_handler);
        // A menu made for the same button since then keeps its entry.
        if (g_object_get_data(G_OBJECT(btn), "runmenu") == runmenu)
            g_object_set_data(G_OBJECT(btn), "runmenu", nullptr);
        g_object_remove_weak_pointer(G_OBJECT(btn), reinterpret_cast<gpointer*>(&btn));
    }
    if (command_handler && g_signal_handler_is_connected(runmenu, command_handler))
        g_signal_handler_disconnect(runmenu, command_handler);
    gtk_widget_destroy(GTK_WIDGET(runmenu));
    g_object_unref(runmenu);
}

void RunMenu::update(StatusType state)
{
    const std::string id = _id.str();
    idle_call([id, state] {
        if (RunMenu* menu = find(id))
            menu->update_state(state);
    });
}

void RunMenu::update_state(StatusType state)
{
    const char* label = nullptr;
    switch (state) {
    case Ostrel::RunState::NotDefined:
    case Ostrel::RunState::NotReady:
        label = "Not Ready";
        gtk_runmenu_set_notready(runmenu);
        break;
    case Ostrel::RunState::GettingReady:
    case Ostrel::RunState::Ready:
        label = "Ready";
        gtk_runmenu_set_ready(runmenu);
        break;
    case Ostrel::RunState::Paused:
        label = "Paused";
        gtk_runmenu_set_paused(runmenu);
        break;
    case Ostrel::RunState::Running:
        label = "Running";
        gtk_runmenu_set_running(runmenu);
        break;
    case Ostrel::RunState::Stopping:
        label = "Stopping";
        gtk_runmenu_set_running(runmenu);
        break;
    case Ostrel::RunState::TimeOut:
        label = "Time Out";
        break;
    default:
        break;
    }
    if (label && btn)
        gtk_button_set_label(btn, label);
}

void RunMenu::send_command(unsigned int cmd)
{
    const std::string id = _id.str();
    idle_call([id, cmd] {
        RunMenu* menu = find(id);
        if (menu && (cmd == 1 || cmd == 2))
            gtk_runmenu_emit(menu->runmenu, cmd);
    });
}

// ---- handlers --------------------------------------------------------------

void RunMenu::btn_clicked(GtkButton*, Runmenu* menu)
{
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, 0, gtk_get_current_event_time());
}

void RunMenu::daq_command(Runmenu*, guint cmd, RunMenu* rm)
{
    if (!rm)
        return;
    // Nothing thrown here may cross the toolkit's signal emission.
    try {
        auto* plugins = ConfigParser::section<PluginParser>("plugins");
        Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
        Ostrel::RunManager* run = mgr->find_runmanager(rm->_id);
        if (!run) {
            std::cout << "RunMenu::daq_command - RunManager " << rm->_id.str() << " not found"
                      << std::endl;
            return;
        }
        bool interrupts = false;
        try {
            interrupts = run->get_par_value<bool>("doInterrupts");
        } catch (const Ostrel::Exception&) {
        }
        interrupts = interrupts && plugins;

        switch (cmd) {
        case 0:
            run->GetReady();
            break;
        case 1:
            if (interrupts)
                plugins->start_interrupts();
            mgr->startRunManager(run);
            if (!run->isActive())
                run->Activate();
            break;
        case 2:
            if (interrupts)
                plugins->stop_interrupts();
            mgr->stopRunManager(run);
            run->PrepareToStop(true);
            start_stop_wait(rm->_id.str());
            break;
        case 3:
            if (interrupts)
                plugins->stop_interrupts();
            run->Pause();
            break;
        case 4:
            if (interrupts)
                plugins->start_interrupts();
            run->Continue();
            break;
        case 5:
            if (interrupts)
                plugins->reset_interrupts();
            if (run->isActive())
                run->deActivate();
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        std::cout << "RunMenu::daq_command - " << e.what() << std::endl;
    } catch (...) {
        std::cout << "RunMenu::daq_command - unknown exception" << std::endl;
    }
}
