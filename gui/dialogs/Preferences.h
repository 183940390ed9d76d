// The preferences dialog: output settings of the "IO" section, pedestal,
// monitor-buffer, SOAP-port and colour settings of the "general" section,
// the search paths of the "paths" section (all in the configuration held in
// memory, applied by Apply or OK), and the monitor binning of a module's
// analysis, changed at once.
//
// The main window opens it as
//     main_window->init_application(new Preferences, "Preferences");
// and forgets it: it deletes itself on OK, Cancel or the window manager's
// close.
#ifndef BRISKO_GUI_DIALOGS_PREFERENCES_H
#define BRISKO_GUI_DIALOGS_PREFERENCES_H

#include <map>
#include <string>

#include "config/GeneralConfig.h"
#include "config/PathConfig.h"
#include "gui/GladeApp.h"

class GenModule;

class Preferences : public GladeApp {
public:
    // Bin counts a module's monitor histograms may take.
    static const int max_bins = 65536;

    Preferences();
    ~Preferences() override;

    void user_init() override;
    void auto_connect() override;
    void set_handlers() override;

    // The module of the active row of "cmbHstModule", found by its id; null
    // when none is active or it is gone.
    GenModule* find_module() const;

    // "#rrrrggggbbbb": each 16-bit component as four lower-case hex digits.
    static std::string color_text(const GdkColor& color);

    static void on_OK(GtkWidget*, gpointer self);
    static void on_Apply(GtkWidget*, gpointer self);
    static void on_Cancel(GtkWidget*, gpointer self);
    static void on_Help(GtkWidget*, gpointer self);
    static gboolean on_Close(GtkWidget*, GdkEvent*, gpointer self);
    static void on_path_type(GtkWidget*, gpointer self);
    static void on_btnAddPath(GtkWidget*, gpointer self);
    static void on_btnRemovePath(GtkWidget*, gpointer self);
    static void on_btnPathUp(GtkWidget*, gpointer self);
    static void on_btnPathDown(GtkWidget*, gpointer self);
    static void on_btn_color_set(GtkWidget*, gpointer self);
    static void on_select_module(GtkWidget*, gpointer self);
    static void on_change_binning(GtkWidget*, gpointer self);

private:
    void apply();
    void show_paths();

    PathConfig::PathType path_type;
    std::map<PathConfig::PathType, GtkListStore*> stores;
    HstColor hcolor;
    HstColor tcolor;
};

#endif
