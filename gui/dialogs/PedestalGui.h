// The pedestal dialog: saves one module's pedestals and noise to a pedestal
// file, loads them back into the module and its analysis, or resets them.
//
// The main window opens it as
//     auto* d = new PedestalGui(true, "Load Pedestals");   // or false, "Save Pedestals"
//     main_window->init_application(d, "Pedestals");
// and forgets it: the dialog deletes itself when it closes (OK that worked,
// Cancel, or the window manager's close).
#ifndef BRISKO_GUI_DIALOGS_PEDESTALGUI_H
#define BRISKO_GUI_DIALOGS_PEDESTALGUI_H

#include <string>
#include <vector>

#include "gui/GladeApp.h"

class GenModule;
class ModuleParser;

class PedestalGui : public GladeApp {
public:
    PedestalGui(bool for_read, const std::string& msg);
    ~PedestalGui() override;

    void user_init() override;
    void auto_connect() override;

    // The selected module, found by its id (null when none is selected or
    // it is gone); *mp gets its section handler, which may be null.
    GenModule* find_module(ModuleParser** mp = nullptr) const;
    // Whether the values come from the module's parameters ("Module")
    // rather than from its analysis ("Monitor").
    bool change_module() const;

    static void onOK(GtkWidget*, gpointer self);
    static void onCancel(GtkWidget*, gpointer self);
    static void onOpen(GtkWidget*, gpointer self);
    static void onHelp(GtkWidget*, gpointer self);
    static void onReset(GtkWidget*, gpointer self);
    static void onSelectModule(GtkWidget*, gpointer self);
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);

private:
    // Each returns whether the dialog may close.
    bool save(GenModule* module, const std::string& file);
    bool load(GenModule* module, ModuleParser* mp, const std::string& file);
    // Logs the text at the level and shows it at the top of the dialog.
    void report(int level, const std::string& text);

    bool for_read;
    std::string msg;
};

#endif
