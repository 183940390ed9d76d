#include "gui/dialogs/Preferences.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "config/ConfigParser.h"
#include "config/IOConfig.h"
#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "gui/GtkUtils.h"
#include "gui/ListRows.h"
#include "gui/TextCombo.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunManager.h"

namespace {

const PathConfig::PathType kept_paths[] = {PathConfig::libpath, PathConfig::gladepath, PathConfig::configpath};

Preferences* me(gpointer data)
{
    return static_cast<Preferences*>(static_cast<GladeApp*>(data));
}

GtkWidget* create_color_button(GladeApp*, const char*, const char*, const char*, int, int)
{
    return gtk_color_button_new();
}

// The six buttons, each with the colour it shows.
const char* const color_buttons[] = {"btnHstBg", "btnHstFg", "btnHstAx", "btnTrBg", "btnTrFg", "btnTrAx"};

const std::string& color_of(const HstColor& colors, int which)
{
    return which == 0 ? colors.bg() : which == 1 ? colors.fg() : colors.axis();
}

void set_color_of(HstColor& colors, int which, const std::string& text)
{
    if (which == 0)
        colors.bg(text);
    else if (which == 1)
        colors.fg(text);
    else
        colors.axis(text);
}

// The spin buttons take a typed value once it is confirmed or left; Apply
// takes what is typed.
int spin_value(GladeApp* w, const char* id)
{
    if (GtkWidget* spin = w->get_widget(id))
        if (GTK_IS_SPIN_BUTTON(spin))
            gtk_spin_button_update(GTK_SPIN_BUTTON(spin));
    return w->spin2int(id);
}

} // namespace

Preferences::Preferences() : path_type(PathConfig::none) {}

Preferences::~Preferences()
{
    if (GtkWidget* tree = get_widget("treePaths"))
        gtk_tree_view_set_model(GTK_TREE_VIEW(tree), nullptr);
    for (auto& kept : stores)
        g_object_unref(kept.second);
}

void Preferences::set_handlers()
{
    handlers["create_color_button"] = &create_color_button;
}

void Preferences::auto_connect()
{
    connect["on_OK"] = G_CALLBACK(&Preferences::on_OK);
    connect["on_Apply"] = G_CALLBACK(&Preferences::on_Apply);
    connect["on_Cancel"] = G_CALLBACK(&Preferences::on_Cancel);
    connect["on_Help"] = G_CALLBACK(&Preferences::on_Help);
    connect["on_Close"] = G_CALLBACK(&Preferences::on_Close);
    connect["on_path_type"] = G_CALLBACK(&Preferences::on_path_type);
    connect["on_btnAddPath"] = G_CALLBACK(&Preferences::on_btnAddPath);
    connect["on_btnRemovePath"] = G_CALLBACK(&Preferences::on_btnRemovePath);
    connect["on_btnPathUp"] = G_CALLBACK(&Preferences::on_btnPathUp);
    connect["on_btnPathDown"] = G_CALLBACK(&Preferences::on_btnPathDown);
    connect["on_btn_color_set"] = G_CALLBACK(&Preferences::on_btn_color_set);
    connect["on_select_module"] = G_CALLBACK(&Preferences::on_select_module);
    connect["on_change_binning"] = G_CALLBACK(&Preferences::on_change_binning);
}

void Preferences::user_init()
{
    if (IOConfig* io = ConfigParser::section<IOConfig>("IO")) {
        set_text("entryDataDirectory", io->get_output_path());
        set_text("entryPrefix", io->get_prefix());
        int2entry("entryRunNumber", io->get_run_number());
        set_text("entryFileSize", std::to_string(io->get_max_size()));
        activate_button("BtnCompress", io->get_compression());
    }
    GeneralConfig* general = ConfigParser::section<GeneralConfig>("general");
    if (general) {
        int2spin("spinNped", general->get_ped_nevts());
        int2spin("spinMinSample", general->get_ped_min_sample());
        int2spin("spinPedPeriod", general->get_ped_period());
        activate_button(general->get_ped_method() == GeneralConfig::fast ? "btnFastPedestals" : "btnProperPedestals",
                        true);
        activate_button("btnUpdatePedestals", general->get_ped_update());
        int2spin("spinMonitorBuffer", general->get_monitor_buffer());
        int2spin("spinSOAPport", general->get_soap_port());
    }

    GtkWidget* tree = get_widget("treePaths");
    gtk_tree_view_append_column(GTK_TREE_VIEW(tree),
                                gtk_tree_view_column_new_with_attributes("Path list", gtk_cell_renderer_text_new(),
                                                                         "text", 0, nullptr));
    g_signal_handlers_block_matched(get_widget("cmbPaths"), G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    gtk_combo_box_set_active(GTK_COMBO_BOX(get_widget("cmbPaths")), 0);
    g_signal_handlers_unblock_matched(get_widget("cmbPaths"), G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    PathConfig* paths = ConfigParser::section<PathConfig>("paths");
    for (PathConfig::PathType type : kept_paths) {
        GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
        if (paths)
            for (const std::string& dir : paths->get_path(type)) {
                // The root entry heads every list of its own accord.
                if (dir.empty())
                    continue;
                GtkTreeIter row;
                gtk_list_store_append(store, &row);
                gtk_list_store_set(store, &row, 0, dir.c_str(), -1);
            }
        stores[type] = store;
    }
    path_type = PathConfig::libpath;
    show_paths();

    if (general) {
        hcolor = general->hsts();
        tcolor = general->tracers();
    }
    for (int i = 0; i < 6; ++i) {
        const std::string& text = color_of(i < 3 ? hcolor : tcolor, i % 3);
        GdkColor color;
        GtkWidget* button = get_widget(color_buttons[i]);
        if (!text.empty() && button && GTK_IS_COLOR_BUTTON(button) && gdk_color_parse(text.c_str(), &color))
            gtk_color_button_set_color(GTK_COLOR_BUTTON(button), &color);
    }

    GtkWidget* modules = get_widget("cmbHstModule");
    g_signal_handlers_block_matched(modules, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    set_combo_modules(modules);
    g_signal_handlers_unblock_matched(modules, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    on_select_module(nullptr, this);
}

GenModule* Preferences::find_module() const
{
    const std::string id = combo_active_text(get_widget("cmbHstModule"));
    return id.empty() ? nullptr : GenModule::find_module(Ostrel::DAQid(id));
}

std::string Preferences::color_text(const GdkColor& color)
{
    char text[16];
    std::snprintf(text, sizeof text, "#%04x%04x%04x", color.red, color.green, color.blue);
    return text;
}

// ---- binning ---------------------------------------------------------------

void Preferences::on_select_module(GtkWidget*, gpointer data)
{
    Preferences* self = me(data);
    GenModule* module = self->find_module();
    Analysis* analysis = module ? module->get_analysis() : nullptr;
    if (!analysis)
        return;
    self->int2entry("txtHstNbin", analysis->get_nbins());
    self->double2entry("txtHstEmin", analysis->get_range_min());
    self->double2entry("txtHstEmax", analysis->get_range_max());
}

void Preferences::on_change_binning(GtkWidget*, gpointer data)
{
    Preferences* self = me(data);
    self->flush_entries();
    const int bins = self->entry2int("txtHstNbin", -1);
    const double lower = self->entry2double("txtHstEmin", 0);
    const double upper = self->entry2double("txtHstEmax", 0);
    GenModule* module = self->find_module();
    Analysis* analysis = module ? module->get_analysis() : nullptr;
    if (!analysis)
        return;
    std::string why;
    if (bins < 1 || bins > max_bins) {
        why = "The number of bins must be 1 to " + std::to_string(max_bins);
    } else {
        try {
            // Monitor windows take the new histograms on their next refresh.
            analysis->set_bins(bins, lower, upper);
        } catch (const std::exception& e) {
            why = e.what();
        }
    }
    self->set_text("lblHstMessage", why);
    if (!why.empty())
        on_select_module(nullptr, self);
}

// ---- paths -----------------------------------------------------------------

void Preferences::show_paths()
{
    auto it = stores.find(path_type);
    gtk_tree_view_set_model(GTK_TREE_VIEW(get_widget("treePaths")),
                            it == stores.end() ? nullptr : GTK_TREE_MODEL(it->second));
}

void Preferences::on_path_type(GtkWidget*, gpointer data)
{
    Preferences* self = me(data);
    const int index = gtk_combo_box_get_active(GTK_COMBO_BOX(self->get_widget("cmbPaths")));
    self->path_type = index >= 0 && index <= 2 ? PathConfig::PathType(index) : PathConfig::none;
    self->show_paths();
}

void Preferences::on_btnAddPath(GtkWidget*, gpointer data)
{
    Preferences* self = me(data);
    auto it = self->stores.find(self->path_type);
    if (it == self->stores.end())
        return;
    const std::string answer = get_a_string("Path", "Introduce the new path");
    if (answer.empty())
        return;
    GtkTreeIter row;
    gtk_list_store_append(it->second, &row);
    gtk_list_store_set(it->second, &row, 0, answer.c_str(), -1);
    std::cout << "New path is: " << answer << std::endl;
}

void Preferences::on_btnRemovePath(GtkWidget*, gpointer data)
{
    GtkWidget* tree = me(data)->get_widget("treePaths");
    GtkTreeIter row;
    if (selected_row(tree, &row))
        gtk_list_store_remove(GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(tree))), &row);
}

void Preferences::on_btnPathUp(GtkWidget*, gpointer data)
{
    move_selected_row(me(data)->get_widget("treePaths"), true);
}

void Preferences::on_btnPathDown(GtkWidget*, gpointer data)
{
    move_selected_row(me(data)->get_widget("treePaths"), false);
}

// ---- colours ---------------------------------------------------------------

void Preferences::on_btn_color_set(GtkWidget* button, gpointer data)
{
    Preferences* self = me(data);
    GdkColor color;
    gtk_color_button_get_color(GTK_COLOR_BUTTON(button), &color);
    const char* name = glade_get_widget_name(button);
    const std::string id = name ? name : "";
    for (int i = 0; i < 6; ++i) {
        if (id == color_buttons[i]) {
            set_color_of(i < 3 ? self->hcolor : self->tcolor, i % 3, color_text(color));
            return;
        }
    }
    std::cout << "Preferences::on_btn_color_set: this should not happen" << std::endl;
}

// ---- the dialog ------------------------------------------------------------

void Preferences::apply()
{
    flush_entries();
    if (IOConfig* io = ConfigParser::section<IOConfig>("IO")) {
        io->set_output_path(get_text("entryDataDirectory"));
        io->set_prefix(get_text("entryPrefix"));
        io->set_run_number(entry2int("entryRunNumber", 0));
        // A text that is no size, as the section reads one, keeps the one
        // there is.
        unsigned long size = io->get_max_size();
        if (Ostrel::par_text::parse_byte_count(get_text("entryFileSize"), size))
            io->set_max_size(size);
        io->set_compression(btn_active("BtnCompress"));
    }
    GeneralConfig* general = ConfigParser::section<GeneralConfig>("general");
    if (general) {
        general->set_ped_nevts(spin_value(this, "spinNped"));
        general->set_ped_min_sample(spin_value(this, "spinMinSample"));
        general->set_ped_method(btn_active("btnFastPedestals") ? GeneralConfig::fast : GeneralConfig::normal);
        general->set_ped_update(btn_active("btnUpdatePedestals"));
        general->set_ped_period(spin_value(this, "spinPedPeriod"));
        const bool update = general->get_ped_update();
        if (Ostrel::RunManager* rm = Ostrel::DAQmanager::theDAQmanager()->find_runmanager(Ostrel::DAQid("main")))
            for (Ostrel::Module* m : rm->modules())
                if (GenModule* module = dynamic_cast<GenModule*>(m))
                    if (Analysis* analysis = module->get_analysis())
                        analysis->DoPedestalUpdate(update);
        general->set_monitor_buffer(spin_value(this, "spinMonitorBuffer"));
        general->set_soap_port(spin_value(this, "spinSOAPport"));
    }
    if (PathConfig* paths = ConfigParser::section<PathConfig>("paths")) {
        for (const auto& kept : stores) {
            SearchPath list;
            for (const std::string& dir : column_texts(GTK_TREE_MODEL(kept.second)))
                list.add_path(dir);
            list.purge();
            paths->set_path(kept.first, list);
        }
    }
    if (general) {
        general->hsts(hcolor);
        general->tracers(tcolor);
    }
}

void Preferences::on_Apply(GtkWidget*, gpointer data)
{
    me(data)->apply();
}

void Preferences::on_OK(GtkWidget*, gpointer data)
{
    me(data)->apply();
    on_Cancel(nullptr, data);
}

void Preferences::on_Cancel(GtkWidget*, gpointer data)
{
    me(data)->delete_later();
}

gboolean Preferences::on_Close(GtkWidget*, GdkEvent*, gpointer data)
{
    delete me(data);
    return TRUE;
}

void Preferences::on_Help(GtkWidget*, gpointer data)
{
    const int page = gtk_notebook_get_current_page(GTK_NOTEBOOK(me(data)->get_widget("notebookPreferences")));
    if (page == 0)
        gtk_help_display("acquire-data");
    else if (page == 1)
        gtk_help_display("general-config");
}
