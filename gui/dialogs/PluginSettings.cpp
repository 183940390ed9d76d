#include "gui/dialogs/PluginSettings.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iostream>
#include <mutex>
#include <vector>

#include <glib/gstdio.h>
#include <libxml/tree.h>

#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "config/PathConfig.h"
#include "config/PathUtils.h"
#include "config/PluginParser.h"
#include "daq/GenModule.h"
#include "gui/ConfigReload.h"
#include "gui/GtkUtils.h"
#include "gui/MessageBox.h"
#include "daq/MainWindowView.h"
#include "gui/dialogs/PluginHook.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"

namespace {

// Interrupt entries and the elements they stand for.
const struct {
    const char* entry;
    const char* element;
} interrupt_fields[] = {
    {"entryIntLibrary", "lib"}, {"entryIntEnable", "enable"}, {"entryIntDisable", "disable"},
    {"entryIntStart", "start"}, {"entryIntStop", "stop"},     {"entryIntReset", "reset"},
};

const char* const run_manager_types[] = {"data", "int_trg", "pulse", "pedestal", "scan"};

const char* const library_filters[] = {"Libraries|*.so", "Libraries|*.dylib", "Libraries|*.dll", "All|*",
                                       nullptr};

// What may name an element of the document.
bool is_element_name(const std::string& name)
{
    return !name.empty() && xmlValidateName(BAD_CAST name.c_str(), 0) == 0;
}

bool named(xmlNodePtr n, const char* name)
{
    return n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string cell(GtkListStore* store, GtkTreeIter* it, int column)
{
    gchar* text = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store), it, column, &text, -1);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

void append(GtkListStore* store, std::initializer_list<std::string> texts)
{
    GtkTreeIter it;
    gtk_list_store_append(store, &it);
    int column = 0;
    for (const std::string& text : texts)
        gtk_list_store_set(store, &it, column++, text.c_str(), -1);
}

// Every row of the store, in view order, as its texts.
std::vector<std::vector<std::string>> rows(GtkListStore* store)
{
    std::vector<std::vector<std::string>> out;
    const int columns = gtk_tree_model_get_n_columns(GTK_TREE_MODEL(store));
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(store), &it); ok;
         ok = gtk_tree_model_iter_next(GTK_TREE_MODEL(store), &it)) {
        std::vector<std::string> row;
        for (int c = 0; c < columns; ++c)
            row.push_back(cell(store, &it, c));
        out.push_back(row);
    }
    return out;
}

void add_column(GtkWidget* view, const char* title, int column, bool editable)
{
    GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
    if (editable) {
        g_object_set(renderer, "editable", TRUE, nullptr);
        g_object_set_data(G_OBJECT(renderer), "tree", view);
        g_signal_connect(renderer, "edited", G_CALLBACK(&PluginSettings::on_cell_edited), GINT_TO_POINTER(column));
    } else {
        g_object_set(renderer, "xalign", 0.0, nullptr);
    }
    gtk_tree_view_insert_column_with_attributes(GTK_TREE_VIEW(view), -1, title, renderer, "text", column, nullptr);
}

// The child element `name` of `parent`, made when there is none.
xmlNodePtr child(ConfigParser* config, xmlNodePtr parent, const std::string& name)
{
    xmlNodePtr n = config->find_element(parent, name);
    return n ? n : config->create_element(parent, name);
}

std::string child_text(ConfigParser* config, xmlNodePtr node, const char* name)
{
    return config->get_value<std::string>(node, name, std::string());
}

} // namespace

PluginSettings::PluginSettings(MainWindowView* window) : main_window(window) {}

PluginSettings::~PluginSettings()
{
    for (GtkListStore* store : {plugin_store, rm_store, md_store, drv_store})
        if (store)
            g_object_unref(store);
}

int PluginSettings::run(GladeApp* from, MainWindowView* window)
{
    if (!from)
        return -1;
    auto* dialog = new PluginSettings(window);
    int response = -1;
    if (from->init_application(dialog, "plugin_dialog") == 0 && GTK_IS_DIALOG(dialog->get_main_window()))
        response = run_past_help(dialog->get_main_window());
    delete dialog;
    return response;
}

void PluginSettings::auto_connect()
{
    connect["on_help"] = G_CALLBACK(&PluginSettings::on_help);
    connect["on_btnAdd"] = G_CALLBACK(&PluginSettings::on_btnAdd);
    connect["on_btnDelete"] = G_CALLBACK(&PluginSettings::on_btnDelete);
    connect["on_btnUp"] = G_CALLBACK(&PluginSettings::on_btnUp);
    connect["on_btnDown"] = G_CALLBACK(&PluginSettings::on_btnDown);
    connect["on_btnEdit"] = G_CALLBACK(&PluginSettings::on_btnEdit);
    connect["on_btnHook"] = G_CALLBACK(&PluginSettings::on_btnHook);
    connect["on_btnOK"] = G_CALLBACK(&PluginSettings::on_btnOK);
    connect["on_btnBrowseInt"] = G_CALLBACK(&PluginSettings::on_btnBrowseInt);
    connect["on_btnEnable"] = G_CALLBACK(&PluginSettings::on_btnEnable);
    connect["on_btnDisable"] = G_CALLBACK(&PluginSettings::on_btnDisable);
    connect["on_btnStart"] = G_CALLBACK(&PluginSettings::on_btnStart);
    connect["on_btnStop"] = G_CALLBACK(&PluginSettings::on_btnStop);
    connect["on_btnReset"] = G_CALLBACK(&PluginSettings::on_btnReset);
    connect["on_runmanager_add"] = G_CALLBACK(&PluginSettings::on_runmanager_add);
    connect["on_runmanager_remove"] = G_CALLBACK(&PluginSettings::on_runmanager_remove);
    connect["on_runmanager_hook"] = G_CALLBACK(&PluginSettings::on_runmanager_hook);
    connect["on_data_logger"] = G_CALLBACK(&PluginSettings::on_data_logger);
    connect["on_enable_data_logger"] = G_CALLBACK(&PluginSettings::on_enable_data_logger);
    connect["on_module_add"] = G_CALLBACK(&PluginSettings::on_module_add);
    connect["on_module_remove"] = G_CALLBACK(&PluginSettings::on_module_remove);
    connect["on_driver_add"] = G_CALLBACK(&PluginSettings::on_driver_add);
    connect["on_driver_remove"] = G_CALLBACK(&PluginSettings::on_driver_remove);
    connect["on_driver_hook"] = G_CALLBACK(&PluginSettings::on_driver_hook);
}

// ---- start-up ---------------------------------------------------------------

void PluginSettings::user_init()
{
    build_views();
    read_document();
    read_modules();
    auto* general = ConfigParser::section<GeneralConfig>("general");
    append(drv_store, {"VME", general ? general->get_vme_factory() : "", general ? general->get_vme_lib() : ""});
}

void PluginSettings::build_views()
{
    plugin_store = gtk_list_store_new(5, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    rm_store = gtk_list_store_new(3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    md_store = gtk_list_store_new(3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    drv_store = gtk_list_store_new(3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);

    const struct {
        const char* view;
        GtkListStore* store;
        std::vector<std::pair<const char*, int>> columns;
        int editable_from;   // columns from this position on are editable
    } views[] = {
        {"treePlugins", plugin_store, {{"Name", 0}, {"Element", 1}, {"Hook", 3}, {"Lib", 4}, {"Lang", 2}}, 2},
        {"treeRunManager", rm_store, {{"Type", 0}, {"Hook", 1}, {"Library", 2}}, 3},
        {"treeModules", md_store, {{"Element", 0}, {"ID", 1}, {"Address", 2}}, 3},
        {"treeDrivers", drv_store, {{"Driver", 0}, {"Hook", 1}, {"Library", 2}}, 3},
    };
    for (const auto& v : views) {
        GtkWidget* view = get_widget(v.view);
        if (!view)
            continue;
        gtk_tree_view_set_model(GTK_TREE_VIEW(view), GTK_TREE_MODEL(v.store));
        for (size_t i = 0; i < v.columns.size(); ++i)
            add_column(view, v.columns[i].first, v.columns[i].second, int(i) >= v.editable_from);
    }
}

void PluginSettings::read_document()
{
    ConfigParser* config = ConfigParser::theConfig();
    std::lock_guard<std::recursive_mutex> lock(config->document_mutex());
    xmlNodePtr plugins = config->get_plugins_node();
    if (!plugins) {
        std::cout << "PluginSettins::user_init: something went wrong" << std::endl;
        return;
    }
    for (xmlNodePtr n = plugins->children; n; n = n->next) {
        if (named(n, "plugin")) {
            append(plugin_store, {config->get_attribute<std::string>(n, "name", ""),
                                  config->get_attribute<std::string>(n, "module", ""),
                                  config->get_attribute<std::string>(n, "lang", ""), child_text(config, n, "hook"),
                                  child_text(config, n, "lib")});
        } else if (named(n, "interrupt")) {
            for (const auto& f : interrupt_fields)
                if (config->find_element(n, f.element))
                    set_text(f.entry, child_text(config, n, f.element));
        } else if (named(n, "run_managers")) {
            for (xmlNodePtr rm = n->children; rm; rm = rm->next)
                if (rm->type == XML_ELEMENT_NODE)
                    append(rm_store, {reinterpret_cast<const char*>(rm->name), child_text(config, rm, "hook"),
                                      child_text(config, rm, "lib")});
        } else if (named(n, "data_logger")) {
            set_text("entryDlib", child_text(config, n, "lib"));
            set_text("entryDhook", child_text(config, n, "hook"));
            activate_button("toggleDataLogger", true);
            on_enable_data_logger(get_widget("toggleDataLogger"), this);
        }
    }
}

void PluginSettings::read_modules()
{
    for (const auto& entry : Ostrel::DAQmanager::theDAQmanager()->ModuleMap()) {
        if (!dynamic_cast<GenModule*>(entry.second))
            continue;
        GenModule* module = GenModule::find_module(entry.first);
        if (!module) {
            std::cout << "PluginSettings: module " << entry.first.str() << " is gone" << std::endl;
            continue;
        }
        std::string element;
        if (module->has_par("__section_name__"))
            element = module->get_par_value<std::string>("__section_name__");
        char address[32];
        std::snprintf(address, sizeof address, "0x%lx", module->get_address());
        append(md_store, {element, entry.first.str(), address});
    }
}

// ---- helpers ------------------------------------------------------------------

bool PluginSettings::selected(const char* view, GtkTreeIter& it) const
{
    GtkWidget* w = get_widget(view);
    return w && gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(w)), nullptr, &it);
}

void PluginSettings::remove_selected(const char* view, GtkListStore* store, std::map<std::string, std::string>* deleted,
                                     int key, int value)
{
    GtkTreeIter it;
    if (!selected(view, it))
        return;
    if (deleted)
        (*deleted)[cell(store, &it, key)] = cell(store, &it, value);
    gtk_list_store_remove(store, &it);
}

void PluginSettings::message(GtkMessageType type, const std::string& text) const
{
    run_message(window, type, text);
}

bool PluginSettings::choose_hook(const std::string& lib, std::string& chosen_lib, std::string& hook)
{
    auto* chooser = new PluginHook(lib, "");
    bool ok = false;
    if (init_application(chooser, "hook_dialog") == 0 && GTK_IS_DIALOG(chooser->get_main_window())) {
        ok = run_past_help(chooser->get_main_window()) == GTK_RESPONSE_OK;
        if (ok) {
            chooser->flush_entries();
            chosen_lib = chooser->lib();
            hook = chooser->hook();
        }
    }
    delete chooser;
    return ok;
}

void PluginSettings::choose_row_hook(const char* view, GtkListStore* store, int lib_column, int hook_column,
                                     bool normalise)
{
    GtkTreeIter it;
    std::string lib, hook;
    if (!selected(view, it) || !choose_hook(cell(store, &it, lib_column), lib, hook))
        return;
    if (normalise)
        lib = PathUtils::normpath(lib);
    gtk_list_store_set(store, &it, lib_column, lib.c_str(), hook_column, hook.c_str(), -1);
}

void PluginSettings::on_cell_edited(GtkCellRendererText* renderer, gchar* path, gchar* text, gpointer column)
{
    auto* view = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(renderer), "tree"));
    if (!view)
        return;
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    GtkTreeIter it;
    if (model && gtk_tree_model_get_iter_from_string(model, &it, path))
        gtk_list_store_set(GTK_LIST_STORE(model), &it, GPOINTER_TO_INT(column), text, -1);
}

void PluginSettings::on_help(GtkWidget*, GladeApp*) {}

// ---- plug-ins -------------------------------------------------------------------

void PluginSettings::on_btnAdd(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    std::vector<std::string> answers;
    if (get_a_string_list("Plugin name", "Plugin name:Plugin element", answers) != 2 || answers[0].empty() ||
        answers[1].empty()) {
        self->message(GTK_MESSAGE_ERROR, "I need both the name\nand the element");
        return;
    }
    if (!is_element_name(answers[1])) {
        self->message(GTK_MESSAGE_ERROR, "\"" + answers[1] + "\" cannot name an element");
        return;
    }
    append(self->plugin_store, {answers[0], answers[1], "c++", "", ""});
}

void PluginSettings::on_btnDelete(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->remove_selected("treePlugins", self->plugin_store, &self->deleted_plugins, 0, 1);
}

void PluginSettings::on_btnEdit(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->message(GTK_MESSAGE_INFO, "Not yet implemented");
}

void PluginSettings::on_btnUp(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    GtkTreeIter it, before;
    if (!self->selected("treePlugins", it))
        return;
    GtkTreePath* path = gtk_tree_model_get_path(GTK_TREE_MODEL(self->plugin_store), &it);
    if (gtk_tree_path_prev(path) && gtk_tree_model_get_iter(GTK_TREE_MODEL(self->plugin_store), &before, path))
        gtk_list_store_swap(self->plugin_store, &it, &before);
    gtk_tree_path_free(path);
}

void PluginSettings::on_btnDown(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    GtkTreeIter it;
    if (!self->selected("treePlugins", it))
        return;
    GtkTreeIter after = it;
    if (gtk_tree_model_iter_next(GTK_TREE_MODEL(self->plugin_store), &after))
        gtk_list_store_swap(self->plugin_store, &it, &after);
}

void PluginSettings::on_btnHook(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->choose_row_hook("treePlugins", self->plugin_store, 4, 3);
}

// ---- interrupts -----------------------------------------------------------------

void PluginSettings::on_btnBrowseInt(GtkWidget*, GladeApp* app)
{
    const std::string folder = PathConfig::get_default_lib_dir();
    const std::string file = ::get_file_name("Find shared library", a_OpenFile,
                                           folder.empty() ? nullptr : folder.c_str(), library_filters);
    if (!file.empty())
        app->set_text("entryIntLibrary", file);
}

void PluginSettings::choose_interrupt(const char* entry)
{
    std::string lib, hook;
    if (choose_hook(get_text("entryIntLibrary"), lib, hook))
        set_text(entry, hook);
}

void PluginSettings::on_btnEnable(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->choose_interrupt("entryIntEnable");
}

void PluginSettings::on_btnDisable(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->choose_interrupt("entryIntDisable");
}

void PluginSettings::on_btnStart(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->choose_interrupt("entryIntStart");
}

void PluginSettings::on_btnStop(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->choose_interrupt("entryIntStop");
}

void PluginSettings::on_btnReset(GtkWidget*, GladeApp* app)
{
    static_cast<PluginSettings*>(app)->choose_interrupt("entryIntReset");
}

// ---- run managers -----------------------------------------------------------------

void PluginSettings::on_runmanager_add(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    std::vector<std::string> answers;
    if (get_a_string_list("RunManager plugin", "Type - any of data, int_trg, pulse, pedestal or scan:Hook:Library",
                          answers) != 3)
        return;
    const std::string type = downcase(answers[0]);
    for (const char* known : run_manager_types) {
        if (type == known) {
            append(self->rm_store, {type, answers[1], answers[2]});
            return;
        }
    }
    self->message(GTK_MESSAGE_ERROR,
                  "A RunManager type must be any of:\n   data\n   int_trg\n   pulse\n   pedestal\n   scan\n");
}

void PluginSettings::on_runmanager_remove(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->remove_selected("treeRunManager", self->rm_store);
}

void PluginSettings::on_runmanager_hook(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->choose_row_hook("treeRunManager", self->rm_store, 2, 1);
}

// ---- data logger --------------------------------------------------------------------

void PluginSettings::on_enable_data_logger(GtkWidget* w, GladeApp*)
{
    const bool on = w && GTK_IS_TOGGLE_BUTTON(w) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
    if (auto* plugins = ConfigParser::section<PluginParser>("plugins"))
        plugins->enable_data_logger(on);
    if (w && GTK_IS_BUTTON(w))
        gtk_button_set_label(GTK_BUTTON(w), on ? "Enabled" : "Disabled");
}

void PluginSettings::on_data_logger(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    std::string lib, hook;
    if (self->choose_hook(self->get_text("entryDlib"), lib, hook)) {
        self->set_text("entryDlib", lib);
        self->set_text("entryDhook", hook);
    }
}

// ---- modules --------------------------------------------------------------------------

void PluginSettings::on_module_add(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    std::vector<std::string> answers;
    if (get_a_string_list("New module", "Element:ID:Address", answers) != 3)
        return;
    if (!is_element_name(answers[0])) {
        self->message(GTK_MESSAGE_ERROR, "\"" + answers[0] + "\" cannot name an element");
        return;
    }
    append(self->md_store, {answers[0], answers[1], answers[2]});
}

void PluginSettings::on_module_remove(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->remove_selected("treeModules", self->md_store, &self->deleted_modules, 1, 0);
}

// ---- drivers --------------------------------------------------------------------------

void PluginSettings::on_driver_add(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    append(self->drv_store, {get_a_string("Driver type", "Type the driver identifier"), "", ""});
}

void PluginSettings::on_driver_remove(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    GtkTreeIter it;
    if (self->selected("treeDrivers", it))
        gtk_list_store_set(self->drv_store, &it, 1, "", 2, "", -1);
}

void PluginSettings::on_driver_hook(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->choose_row_hook("treeDrivers", self->drv_store, 2, 1, true);
}

// ---- OK -------------------------------------------------------------------------------

void PluginSettings::write_document()
{
    ConfigParser* config = ConfigParser::theConfig();
    // The board plug-in's thread may add a board to the document meanwhile.
    std::lock_guard<std::recursive_mutex> lock(config->document_mutex());
    if (!config->root())
        return;
    xmlNodePtr plugins = config->get_plugins_node();
    if (!plugins)
        plugins = config->create_section("plugins");

    for (const auto& gone : deleted_plugins)
        config->remove_plugin(gone.first);
    deleted_plugins.clear();

    for (const auto& row : rows(plugin_store)) {
        xmlNodePtr plugin = config->find_plugin(row[0]);
        if (!plugin) {
            plugin = config->create_element(plugins, "plugin");
            config->set_attribute<std::string>(plugin, "name", row[0]);
            config->set_attribute<std::string>(plugin, "module", row[1]);
            config->set_attribute<std::string>(plugin, "lang", row[2]);
        }
        config->check_value<std::string>(plugin, "hook", row[3]);
        config->check_value<std::string>(plugin, "lib", row[4]);
    }

    const std::string logger_hook = get_text("entryDhook");
    if (!logger_hook.empty()) {
        xmlNodePtr logger = child(config, plugins, "data_logger");
        config->set_value<std::string>(logger, "lib", get_text("entryDlib"));
        config->set_value<std::string>(logger, "hook", logger_hook);
    }

    if (auto* handler = dynamic_cast<PluginParser*>(config->get_handler("plugins")))
        for (const auto& row : rows(rm_store))
            handler->set_runmanager(row[0], row[2], row[1]);

    xmlNodePtr irq = child(config, plugins, "interrupt");
    for (const auto& f : interrupt_fields) {
        const std::string text = get_text(f.entry);
        if (!text.empty())
            config->set_value<std::string>(irq, f.element, text);
    }

    for (const auto& gone : deleted_modules)
        config->remove_module(gone.second, gone.first);
    deleted_modules.clear();

    xmlNodePtr modules = config->get_module_node();
    for (const auto& row : rows(md_store)) {
        if (!is_element_name(row[0])) {
            std::cout << "PluginSettings: module " << row[1] << " has no element name to be saved under"
                      << std::endl;
            continue;
        }
        if (config->find_module(row[0], row[1]))
            continue;
        if (!modules)
            modules = config->create_section("modules");
        xmlNodePtr module = config->create_element(modules, row[0]);
        config->set_attribute<std::string>(module, "name", row[1]);
        config->set_attribute<std::string>(module, "address", row[2]);
        if (SectionParser* handler = config->get_handler(row[0]))
            handler->save_config_node(module);
    }
}

void PluginSettings::on_btnOK(GtkWidget*, GladeApp* app)
{
    auto* self = static_cast<PluginSettings*>(app);
    self->flush_entries();
    // Nothing may leave a signal handler.
    try {
        self->reload();
    } catch (const std::exception& e) {
        Ostrel::ostream(Ostrel::LOG_ERROR) << "Plugin settings: " << e.what() << std::endl;
    } catch (...) {
        Ostrel::ostream(Ostrel::LOG_ERROR) << "Plugin settings: the reload failed" << std::endl;
    }
}

void PluginSettings::reload()
{
    ConfigReload reload;
    if (!reload.error().empty()) {
        message(GTK_MESSAGE_ERROR, std::string("Cannot make a folder for the new configuration in ") +
                                       g_get_tmp_dir() + ":\n" + reload.error() + "\nNothing is changed.");
        return;
    }
    if (!reload.keep_previous()) {
        message(GTK_MESSAGE_ERROR, "The configuration cannot be saved as it is:\nnothing is changed.");
        return;
    }

    ConfigReload::stop(main_window);
    write_document();
    const std::string fresh = reload.path("___tellum___.xml");
    const bool saved = ConfigReload::save_new(fresh);
    const ConfigReload::Outcome outcome = reload.load(saved ? fresh : std::string(), main_window);
    if (outcome == ConfigReload::Loaded)
        return;
    std::string text = "The new configuration could not be read";
    text += outcome == ConfigReload::Restored ? ":\nthe previous one runs again."
                                              : ",\nnor the previous one: the configuration is empty.";
    if (saved) {
        reload.keep(fresh);
        text += "\nThe new one is kept in\n" + fresh;
    }
    message(GTK_MESSAGE_ERROR, text);
}
