// The run-control menu of one run manager: a Runmenu popped up by a button
// whose label shows the run state, and the process-wide registry of these
// menus by run-manager id.
#ifndef BRISKO_GUI_RUNMENU_H
#define BRISKO_GUI_RUNMENU_H

#include <string>

#include <gtk/gtk.h>

#include "gui/GtkRunmenu.h"
#include "ostrel/DAQid.h"
#include "ostrel/RunState.h"

// Widget work happens on the GTK main thread only. Other threads reach a
// menu through update, post_update and send_command, which post idle
// records carrying the run manager's id: the callback looks the menu up in
// the registry and does nothing when it has gone in the meantime.
class RunMenu {
public:
    using StatusType = Ostrel::RunState::StatusType;

    RunMenu(const RunMenu&) = delete;
    RunMenu& operator=(const RunMenu&) = delete;

    // Registry. new_menu, delete_menu and delete_all belong to the GUI
    // thread; find may be called from any thread, but the menu it returns
    // is only safe to use there (elsewhere use post_update).
    // A menu replaced under its id is deleted.
    static RunMenu* new_menu(const Ostrel::DAQid& id, GtkWidget* button, StatusType state);
    static RunMenu* find(const std::string& id);
    static void delete_menu(const Ostrel::DAQid& id);
    // Deletes `menu` when it is still the one registered under the id: a
    // window that goes does not take a newer window's menu of the same id
    // with it.
    static void delete_menu(const Ostrel::DAQid& id, RunMenu* menu);
    static void delete_all();
    // From any thread: the menu registered under the id, if any, follows
    // the state (lookup and posting in one step, so the menu cannot be
    // deleted in between).
    static void post_update(const std::string& id, StatusType state);

    // The run state a framework status stands for.
    static StatusType translate(unsigned int status);

    // From any thread: update_state with the status, later, on the GUI
    // thread.
    void update(StatusType state);
    // GUI thread: the button label and the item sensitivity of the status.
    void update_state(StatusType state);
    // From any thread: a Start (1) or Stop (2) as if chosen from the menu;
    // other commands are dropped.
    void send_command(unsigned int cmd);

    const Ostrel::DAQid& get_id() const { return _id; }
    Runmenu* get_menu() const { return runmenu; }

    // Handlers: the button's "clicked" pops the menu up; the menu's
    // "command" drives the run manager.
    static void btn_clicked(GtkButton* button, Runmenu* menu);
    static void daq_command(Runmenu* widget, guint cmd, RunMenu* rm);

private:
    RunMenu(const Ostrel::DAQid& id, GtkWidget* button, StatusType state);
    // Destroys the popup menu (and with it its stop poll) and disconnects
    // the button, so that nothing reaches the deleted object.
    ~RunMenu();

    Runmenu* runmenu = nullptr;
    GtkButton* btn = nullptr;   // cleared when the button goes
    Ostrel::DAQid _id;
    gulong command_handler = 0;
    gulong clicked_handler = 0;
};

#endif
