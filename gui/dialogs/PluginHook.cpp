#include "gui/dialogs/PluginHook.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include <dlfcn.h>

#include "config/PathConfig.h"
#include "config/PathUtils.h"
#include "gui/GtkUtils.h"

namespace {

using ExportedList = const char** (*)();

// The list of a library that the process has loaded already; false when
// it is not loaded or exports none. Never loads it.
bool exported_list(const std::string& path, std::vector<std::string>& names)
{
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return false;
    auto list = reinterpret_cast<ExportedList>(dlsym(handle, "tellum_get_exported_symbols"));
    if (list)
        for (const char** p = list(); p && *p; ++p)
            names.emplace_back(*p);
    dlclose(handle);
    return list != nullptr;
}

} // namespace

int find_symbols(const std::string& path, std::vector<std::string>& names)
{
    names.clear();
    if (exported_list(path, names))
        return 0;
    // An argument list, no shell: the path is one argument whatever it
    // holds, and "--" keeps it from reading as an option.
    const gchar* argv[] = {"nm", "-C", "--defined-only", "--", path.c_str(), nullptr};
    gchar* out = nullptr;
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr, nullptr, &out,
                      nullptr, &status, &error)) {
        std::cout << "Cannot run nm: " << error->message << std::endl;
        g_error_free(error);
        return -1;
    }
    nm_symbols(out ? out : "", names);
    g_free(out);
    return status;
}

void nm_symbols(const std::string& listing, std::vector<std::string>& names)
{
    names.clear();
    std::vector<std::string> functions;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("no symbol") != std::string::npos)
            break;
        std::istringstream fields(line);
        std::string address, type;
        if (!(fields >> address >> type) || type != "T" || line.find('(') != std::string::npos)
            continue;
        std::string name;
        std::getline(fields, name);
        name = trim_str(name);
        if (!name.empty())
            functions.push_back(name);
    }
    std::sort(functions.begin(), functions.end());
    for (const std::string& f : functions) {
        if (f.find("_fini") != std::string::npos || f.find("_init") != std::string::npos)
            continue;
        const size_t blank = f.find_last_of(" \t");
        names.push_back(blank == std::string::npos ? f : f.substr(blank + 1));
    }
}

std::string figure_out_lang(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && std::string("so dll dylib").find(downcase(path.substr(dot + 1))) != std::string::npos)
        return "c++";
    return "python";
}

// ---- the dialog -------------------------------------------------------------

PluginHook::PluginHook(const std::string& lib, const std::string& hook) : _lib(lib), _hook(hook) {}

void PluginHook::auto_connect()
{
    connect["on_help"] = G_CALLBACK(&PluginHook::on_help);
    connect["on_browse_lib"] = G_CALLBACK(&PluginHook::on_browse_lib);
    connect["on_find_symbols"] = G_CALLBACK(&PluginHook::on_find_symbols);
    connect["on_hook_selected"] = G_CALLBACK(&PluginHook::on_hook_selected);
}

void PluginHook::user_init()
{
    if (GtkWidget* combo = get_widget("comboHook")) {
        GtkCellRenderer* cell = gtk_cell_renderer_text_new();
        gtk_cell_layout_pack_start(GTK_CELL_LAYOUT(combo), cell, TRUE);
        gtk_cell_layout_add_attribute(GTK_CELL_LAYOUT(combo), cell, "text", 0);
    }
    if (!_lib.empty()) {
        set_text("entryLibrary", _lib);
        find_hooks();
    }
}

void PluginHook::process_text(const char* name, GtkWidget* widget)
{
    const std::string text = gtk_entry_get_text(GTK_ENTRY(widget));
    if (std::string(name) == "entryLibrary")
        _lib = text;
    else
        _hook = text;
}

void PluginHook::on_help(GtkWidget*, GladeApp*) {}

void PluginHook::on_browse_lib(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginHook*>(app);
    const char* filters[] = {"linux|*.so", "Mac OSX|*.dylib", "Windows|*.dll", "Python|*.py", "All|*", nullptr};
    const std::string folder = PathConfig::get_default_lib_dir();
    const std::string file =
        ::get_file_name("Find shared library", a_OpenFile, folder.empty() ? nullptr : folder.c_str(), filters);
    if (file.empty())
        return;
    self->_lib = file;
    self->_lang = figure_out_lang(file);
    self->set_text("entryLibrary", file);
}

void PluginHook::on_find_symbols(GtkWidget*, GladeApp* app)
{
    // A library typed and not left yet counts.
    app->flush_entries();
    static_cast<PluginHook*>(app)->find_hooks();
}

void PluginHook::find_hooks()
{
    const std::string typed = get_text("entryLibrary");
    if (_lib.empty() || typed.empty())
        return;
    const std::string path = PathConfig::find_library(typed);
    std::vector<std::string> names;
    if (!path.empty())
        find_symbols(path, names);
    GtkWidget* combo = get_widget("comboHook");
    if (names.empty() || !combo)
        return;
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    for (const std::string& name : names) {
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        gtk_list_store_set(store, &it, 0, name.c_str(), -1);
    }
    gtk_combo_box_set_model(GTK_COMBO_BOX(combo), GTK_TREE_MODEL(store));
    g_object_unref(store);
    // Chosen as the operator's choice is: through the combo's handler.
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    gtk_widget_queue_draw(combo);
    on_hook_selected(combo, this);
}

void PluginHook::on_hook_selected(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginHook*>(app);
    GtkWidget* combo = self->get_widget("comboHook");
    GtkTreeIter it;
    if (!combo || !gtk_combo_box_get_active_iter(GTK_COMBO_BOX(combo), &it))
        return;
    gchar* name = nullptr;
    gtk_tree_model_get(gtk_combo_box_get_model(GTK_COMBO_BOX(combo)), &it, 0, &name, -1);
    if (name)
        self->_hook = name;
    g_free(name);
}
