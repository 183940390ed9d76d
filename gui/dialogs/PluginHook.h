// The hook chooser: a shared library and one of its entry points by name.
#ifndef BRISKO_GUI_DIALOGS_PLUGINHOOK_H
#define BRISKO_GUI_DIALOGS_PLUGINHOOK_H

#include <string>
#include <vector>

#include "gui/GladeApp.h"

// The dialog "hook_dialog", run modally by whoever wants a hook; read lib()
// and hook() after an OK answer (after flush_entries, so that a library
// typed and confirmed with Enter counts).
class PluginHook : public GladeApp {
public:
    PluginHook(const std::string& lib, const std::string& hook);

    std::string lib() const { return _lib; }
    std::string hook() const { return _hook; }

    void user_init() override;
    void auto_connect() override;
    void process_text(const char* name, GtkWidget* widget) override;

    static void on_help(GtkWidget*, GladeApp*);
    static void on_browse_lib(GtkWidget*, GladeApp* self);
    static void on_find_symbols(GtkWidget*, GladeApp* self);
    static void on_hook_selected(GtkWidget*, GladeApp* self);

private:
    void find_hooks();

    std::string _lib;
    std::string _hook;
    std::string _lang;
};

// The entry points of the library at `path`. A library that is loaded in
// the process already gives its own list (tellum_get_exported_symbols), in
// its order; any other is listed with nm, without being opened (opening a
// library runs its constructors): its defined functions (global text
// symbols without a parameter list), sorted. The nm exit status (0 for a
// list of the library's own), or -1 when nm cannot be run.
int find_symbols(const std::string& path, std::vector<std::string>& names);
// The function names of an nm listing ("address type name" lines), as
// find_symbols keeps them: sorted, none with "_init" or "_fini" in it, and
// none from the first line that says "no symbol" on.
void nm_symbols(const std::string& listing, std::vector<std::string>& names);
// "c++" for a library extension (so, dll, dylib and their parts, in any
// case), "python" for anything else.
std::string figure_out_lang(const std::string& path);

#endif
