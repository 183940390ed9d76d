// The plug-in settings dialog: the plug-ins, interrupt hooks, run-manager
// factories, data logger and modules of the configuration, applied by
// reading the whole configuration again while the program runs.
#ifndef BRISKO_GUI_DIALOGS_PLUGINSETTINGS_H
#define BRISKO_GUI_DIALOGS_PLUGINSETTINGS_H

#include <map>
#include <string>

#include "gui/GladeApp.h"

class MainWindowView;

// The dialog "plugin_dialog". Edits stay in its lists until OK (but for
// the data-logger switch, which acts at once). OK stops the acquisition and
// the main window's refresh, writes the lists into the document, saves it
// into a private temporary folder, resets the configuration and reads the
// saved file back, and sets the acquisition up again. When the new file
// does not read, the configuration as it was before OK is read again and
// the operator is told; the program goes on either way.
class PluginSettings : public GladeApp {
public:
    // The window whose refresh stops during the reload and whose panels
    // come back after it; may be null.
    explicit PluginSettings(MainWindowView* main_window);
    ~PluginSettings() override;

    // The main window's "on_plugins_activate": the dialog built from the
    // description `from` was built from, run modally and deleted. The
    // dialog's response, or -1 when it could not be built.
    static int run(GladeApp* from, MainWindowView* main_window);

    void user_init() override;
    void auto_connect() override;

    static void on_help(GtkWidget*, GladeApp*);
    static void on_btnAdd(GtkWidget*, GladeApp* self);
    static void on_btnDelete(GtkWidget*, GladeApp* self);
    static void on_btnUp(GtkWidget*, GladeApp* self);
    static void on_btnDown(GtkWidget*, GladeApp* self);
    static void on_btnEdit(GtkWidget*, GladeApp* self);
    static void on_btnHook(GtkWidget*, GladeApp* self);
    static void on_btnOK(GtkWidget*, GladeApp* self);
    static void on_btnBrowseInt(GtkWidget*, GladeApp* self);
    static void on_btnEnable(GtkWidget*, GladeApp* self);
    static void on_btnDisable(GtkWidget*, GladeApp* self);
    static void on_btnStart(GtkWidget*, GladeApp* self);
    static void on_btnStop(GtkWidget*, GladeApp* self);
    static void on_btnReset(GtkWidget*, GladeApp* self);
    static void on_runmanager_add(GtkWidget*, GladeApp* self);
    static void on_runmanager_remove(GtkWidget*, GladeApp* self);
    static void on_runmanager_hook(GtkWidget*, GladeApp* self);
    static void on_data_logger(GtkWidget*, GladeApp* self);
    static void on_enable_data_logger(GtkWidget*, GladeApp* self);
    static void on_module_add(GtkWidget*, GladeApp* self);
    static void on_module_remove(GtkWidget*, GladeApp* self);
    static void on_driver_add(GtkWidget*, GladeApp* self);
    static void on_driver_remove(GtkWidget*, GladeApp* self);
    static void on_driver_hook(GtkWidget*, GladeApp* self);
    // An editable cell: the column comes as the user data, the view on the
    // renderer under "tree".
    static void on_cell_edited(GtkCellRendererText* cell, gchar* path, gchar* text, gpointer column);

private:
    void build_views();
    void read_document();
    void read_modules();
    // Shows the hook chooser from `lib`; on OK its library and hook.
    bool choose_hook(const std::string& lib, std::string& chosen_lib, std::string& hook);
    // The hook chooser for the view's selected row, from the library in its
    // column `lib_column`; on OK the row takes the library (normalised with
    // `normalise`) and the hook.
    void choose_row_hook(const char* view, GtkListStore* store, int lib_column, int hook_column,
                         bool normalise = false);
    // The hook chooser for the interrupt entry `entry`.
    void choose_interrupt(const char* entry);
    bool selected(const char* view, GtkTreeIter& it) const;
    // Removes the view's selected row; with `deleted`, records the row's
    // text of column `key` with that of column `value` there first.
    void remove_selected(const char* view, GtkListStore* store,
                         std::map<std::string, std::string>* deleted = nullptr, int key = 0, int value = 0);
    void message(GtkMessageType type, const std::string& text) const;
    // The lists into the document, under its lock.
    void write_document();
    void reload();

    GtkListStore* plugin_store = nullptr;
    GtkListStore* rm_store = nullptr;
    GtkListStore* md_store = nullptr;
    GtkListStore* drv_store = nullptr;
    std::map<std::string, std::string> deleted_modules;
    std::map<std::string, std::string> deleted_plugins;
    MainWindowView* main_window;
};

#endif
