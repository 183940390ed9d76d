// The new-board dialog "dlgConfigBoard": the operator tells how a board the
// configuration does not know is built (chip type, number of hybrids and
// chips, the slot of each hybrid). It answers the board manager's question
// record: the server thread only posts the question and goes on receiving;
// the dialog, on the GTK main thread, fills the record and finishes it, or
// cancels it. It is not run in a loop of its own: one dialog per board is
// open at a time, each answered when the operator presses a button.
#ifndef BRISKO_FENROW_WINDOWS_CONFIGBOARDDIALOG_H
#define BRISKO_FENROW_WINDOWS_CONFIGBOARDDIALOG_H

#include <memory>
#include <string>

#include "fenrow/Fenrow.h"
#include "gui/GladeApp.h"

class ConfigBoardDialog : public GladeApp {
public:
    // Makes the dialog the board manager's way to ask, when windows can be
    // shown: on the GTK main thread, with a display. Otherwise nothing
    // changes (a board the configuration does not know stays unregistered).
    static void install();

    // Any thread: the question goes to the GTK main loop. True.
    static bool ask(const std::shared_ptr<Ostrel::DefineModuleInfo>& info, const std::string& ip);

    // GTK main thread: shows the dialog for the board, or gives the board's
    // open dialog the new record. Without a GTK main loop running (a program
    // without windows), or without the dialog's description, the record is
    // cancelled.
    static void create_module(const std::shared_ptr<Ostrel::DefineModuleInfo>& info, const std::string& ip);

    // The board's open dialog, or null. GTK main thread.
    static ConfigBoardDialog* find(const std::string& ip);

    const std::string& ip() const { return _ip; }

private:
    ConfigBoardDialog(std::shared_ptr<Ostrel::DefineModuleInfo> info, std::string ip);
    ~ConfigBoardDialog() override;

    void auto_connect() override;
    void user_init() override;

    static void on_response(GtkDialog* dialog, gint response, gpointer self);

    // The record filled and finished from what the dialog shows; false,
    // with a message and the record untouched, when it is out of range.
    bool answer();
    void refuse(const std::string& text);
    // Hands the record over to a new question of the same board.
    void adopt(std::shared_ptr<Ostrel::DefineModuleInfo> info);

    std::shared_ptr<Ostrel::DefineModuleInfo> _info;
    const std::string _ip;
};

#endif
