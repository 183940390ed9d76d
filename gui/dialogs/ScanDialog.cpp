#include "gui/dialogs/ScanDialog.h"

#include <cmath>
#include <iostream>
#include <vector>

#include "config/PathUtils.h"
#include "gui/GtkUtils.h"
#include "gui/ListRows.h"
#include "gui/MessageBox.h"
#include "gui/TextCombo.h"

namespace {

enum { T_NAME, T_INDEX };
enum { R_NAME, R_NPOINTS, R_STEP, R_FROM, R_TO, R_TYPE };

// What an unreadable entry gives.
const int default_npoints = 10;
const double default_step = 1.0;
const double default_from = 0.0;
const double default_to = 10.0;
const int default_nevts = 10;

ScanDialog* me(gpointer data)
{
    return static_cast<ScanDialog*>(static_cast<GladeApp*>(data));
}

void add_column(GtkWidget* view, const char* title, int column)
{
    GtkCellRenderer* text = gtk_cell_renderer_text_new();
    gtk_tree_view_append_column(GTK_TREE_VIEW(view),
                                gtk_tree_view_column_new_with_attributes(title, text, "text", column, nullptr));
}

GtkTreeSelection* selection_of(GtkWidget* view)
{
    return gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
}

// The integer in that column of the selected row, or -1 without one.
int selected(GtkWidget* view, int column, GtkTreeIter* row = nullptr)
{
    GtkTreeIter it;
    if (!selected_row(view, &it))
        return -1;
    int value = -1;
    gtk_tree_model_get(gtk_tree_view_get_model(GTK_TREE_VIEW(view)), &it, column, &value, -1);
    if (row)
        *row = it;
    return value;
}

} // namespace

ScanDialog::ScanDialog(int n, const ScanList& list)
    : do_scan(false), do_burst(false), _delay(0.0), _rate(0.0), _time(false), nevts(n), current(-1),
      shown{1, 1.0, 0.0, 10.0}, types(nullptr), rows(nullptr)
{
    scl.cpy(list);
    if (!scl.empty())
        set_scan_point(scl.begin()->first);
}

ScanDialog::~ScanDialog()
{
    // The selections are no widgets of the description: the base does not
    // part them from this object, and the views' destruction may emit.
    for (const char* view : {"lstVariables", "clistScan"})
        if (GtkWidget* w = get_widget(view))
            g_signal_handlers_disconnect_matched(selection_of(w), G_SIGNAL_MATCH_DATA, 0, 0, nullptr,
                                                 nullptr, this);
    if (types)
        g_object_unref(types);
    if (rows)
        g_object_unref(rows);
}

void ScanDialog::set_scan_point(const std::string& name)
{
    auto it = scl.find(name);
    if (it == scl.end())
        return;
    // A scan is known by the name it is kept under.
    sc = it->second;
    sc.set_name(name);
}

void ScanDialog::auto_connect()
{
    connect["on_OK"] = G_CALLBACK(&ScanDialog::on_OK);
    connect["on_Cancel"] = G_CALLBACK(&ScanDialog::on_Cancel);
    connect["on_Help"] = G_CALLBACK(&ScanDialog::on_Help);
    connect["on_SaveScan"] = G_CALLBACK(&ScanDialog::on_SaveScan);
    connect["on_AddScan"] = G_CALLBACK(&ScanDialog::on_AddScan);
    connect["on_DeleteScan"] = G_CALLBACK(&ScanDialog::on_DeleteScan);
    connect["on_ScanChanged"] = G_CALLBACK(&ScanDialog::on_ScanChanged);
    connect["on_Delete"] = G_CALLBACK(&ScanDialog::on_Delete);
    connect["on_Add"] = G_CALLBACK(&ScanDialog::on_Add);
    connect["on_Up"] = G_CALLBACK(&ScanDialog::on_Up);
    connect["on_Down"] = G_CALLBACK(&ScanDialog::on_Down);
    connect["on_doScan"] = G_CALLBACK(&ScanDialog::on_doScan);
    connect["on_toggleBurst"] = G_CALLBACK(&ScanDialog::on_toggleBurst);
    connect["on_toggleTime"] = G_CALLBACK(&ScanDialog::on_toggleTime);
    connect["on_Delay"] = G_CALLBACK(&ScanDialog::on_Delay);
    connect["on_Rate"] = G_CALLBACK(&ScanDialog::on_Rate);
}

void ScanDialog::user_init()
{
    int2entry("txtNevtPerPoint", nevts);

    GtkWidget* list = get_widget("lstVariables");
    types = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_INT);
    for (int i = 0; i < ScanVar::get_n_names(); ++i) {
        GtkTreeIter row;
        gtk_list_store_append(types, &row);
        gtk_list_store_set(types, &row, T_NAME, ScanVar::get_name(i), T_INDEX, i, -1);
    }
    gtk_tree_view_set_model(GTK_TREE_VIEW(list), GTK_TREE_MODEL(types));
    add_column(list, "Test", T_NAME);
    gtk_tree_selection_set_mode(selection_of(list), GTK_SELECTION_SINGLE);
    g_signal_connect_swapped(selection_of(list), "changed", G_CALLBACK(+[](ScanDialog* d) { d->type_selected(); }),
                             this);

    GtkWidget* scan = get_widget("clistScan");
    rows = gtk_list_store_new(6, G_TYPE_STRING, G_TYPE_INT, G_TYPE_DOUBLE, G_TYPE_DOUBLE, G_TYPE_DOUBLE, G_TYPE_INT);
    gtk_tree_view_set_model(GTK_TREE_VIEW(scan), GTK_TREE_MODEL(rows));
    add_column(scan, "Test", R_NAME);
    add_column(scan, "n. points", R_NPOINTS);
    add_column(scan, "step", R_STEP);
    add_column(scan, "from", R_FROM);
    add_column(scan, "to", R_TO);
    gtk_tree_selection_set_mode(selection_of(scan), GTK_SELECTION_SINGLE);
    g_signal_connect_swapped(selection_of(scan), "changed", G_CALLBACK(+[](ScanDialog* d) { d->row_selected(); }),
                             this);

    if (!sc.get_name().empty()) {
        updateScanList(sc.get_name());
    } else {
        // The description's own entry stands for no scan.
        GtkWidget* combo = get_widget("comboScanList");
        g_signal_handlers_block_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
        g_signal_handlers_unblock_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    }

    activate_button("btnDoScan", do_scan);
    activate_button("btnBurst", do_burst);
    activate_button(_time ? "btnScanTime" : "btnEvents", true);
    GtkWidget* scale = get_widget("scaleDelay");
    gtk_spin_button_set_adjustment(GTK_SPIN_BUTTON(get_widget("spinDelay")),
                                   gtk_range_get_adjustment(GTK_RANGE(scale)));
    gtk_range_set_value(GTK_RANGE(scale), _delay);
    double2spin("spinRate", _rate);
    // Before the handler of a modal run, which ends the run.
    g_signal_connect(get_main_window(), "response", G_CALLBACK(&ScanDialog::on_Response), static_cast<GladeApp*>(this));
}

// ---- one variable ----------------------------------------------------------

void ScanDialog::set_values(const ScanVar& var)
{
    set_values(Values{var.n_points(), var.step(), var.first(), var.last()});
}

void ScanDialog::set_values(const Values& v)
{
    shown = v;
    block_signals();
    int2entry("txtNpoints", v.npoints);
    double2entry("txtStep", v.step);
    double2entry("txtFrom", v.from);
    double2entry("txtTo", v.to);
    unblock_signals();
}

ScanDialog::Values ScanDialog::get_values() const
{
    return {entry2int("txtNpoints", default_npoints), entry2double("txtStep", default_step),
            entry2double("txtFrom", default_from), entry2double("txtTo", default_to)};
}

bool ScanDialog::make_var(ScanType type, const Values& v, ScanVar& var, std::string& why) const
{
    // The variable runs from the smaller bound up by the step's size. A
    // bound above the other is taken as the other end, but a step down from
    // a lower bound never gets to a higher one.
    if (v.step == 0) {
        why = "The step cannot be 0";
    } else if (v.step < 0 && v.from < v.to) {
        why = "A step of " + double2str(v.step) + " never reaches " + double2str(v.to) + " from " +
              double2str(v.from);
    } else if (const char* bad = ScanVar::check(v.from, v.to, std::fabs(v.step))) {
        why = std::string("Not a range to scan: ") + bad;
    } else {
        var = ScanVar(type, v.from, v.to, std::fabs(v.step), v.from);
        return true;
    }
    return false;
}

void ScanDialog::message(const std::string& text)
{
    set_text("lblScanMessage", text);
}

void ScanDialog::process_text(const char* name, GtkWidget*)
{
    if (std::string(name) == "txtNevtPerPoint") {
        nevts = entry2int(name, default_nevts);
        return;
    }
    // The number of points typed is never used: it follows from the range.
    ScanVar var(ScanVar::channel, 0, 0, 1, 0);
    std::string why;
    if (make_var(current >= 0 ? ScanType(current) : ScanVar::channel, get_values(), var, why)) {
        set_values(var);
        message("");
        return;
    }
    message(why);
    set_values(Values(shown));
}

void ScanDialog::type_selected()
{
    const int type = selected(get_widget("lstVariables"), T_INDEX);
    if (type < 0)
        return;
    current = type;
    auto it = sc.find_type(ScanType(type));
    if (it != sc.end())
        set_values(*it);
    else
        set_values(ScanVar(ScanType(type), 0, 10, 1, 0));
}

void ScanDialog::select_type(int type)
{
    GtkTreeModel* model = GTK_TREE_MODEL(types);
    GtkTreeIter row;
    if (!gtk_tree_model_get_iter_first(model, &row))
        return;
    const GtkTreeIter first = row;
    bool found = false;
    do {
        int index = -1;
        gtk_tree_model_get(model, &row, T_INDEX, &index, -1);
        found = index == type;
    } while (!found && gtk_tree_model_iter_next(model, &row));
    if (!found)
        row = first;
    gtk_tree_selection_select_iter(selection_of(get_widget("lstVariables")), &row);
}

void ScanDialog::row_selected()
{
    const int type = selected(get_widget("clistScan"), R_TYPE);
    if (type >= 0)
        select_type(type);
}

void ScanDialog::fill_scan_rows()
{
    gtk_list_store_clear(rows);
    for (const ScanVar& v : sc) {
        GtkTreeIter row;
        gtk_list_store_append(rows, &row);
        gtk_list_store_set(rows, &row, R_NAME, ScanVar::get_name(v.type()), R_NPOINTS, v.n_points(), R_STEP,
                           v.step(), R_FROM, v.first(), R_TO, v.last(), R_TYPE, int(v.type()), -1);
    }
}

void ScanDialog::on_Add(GtkWidget*, gpointer data)
{
    ScanDialog* self = me(data);
    self->flush_entries();
    if (self->current < 0)
        return;
    const ScanType type = ScanType(self->current);
    ScanVar var(type, 0, 0, 1, 0);
    std::string why;
    if (!self->make_var(type, self->get_values(), var, why)) {
        self->message(why);
        return;
    }
    ScanPoint grown(self->sc);
    grown.add_var(var);
    const std::string too_large = grown.size_error();
    if (!too_large.empty()) {
        self->message("Not a scan to run: " + too_large);
        return;
    }
    self->message("");

    GtkTreeModel* model = GTK_TREE_MODEL(self->rows);
    GtkTreeIter row;
    bool found = false;
    for (bool ok = gtk_tree_model_get_iter_first(model, &row); ok; ok = gtk_tree_model_iter_next(model, &row)) {
        int t = -1;
        gtk_tree_model_get(model, &row, R_TYPE, &t, -1);
        if (t == int(type)) {
            found = true;
            break;
        }
    }
    if (!found) {
        gtk_list_store_append(self->rows, &row);
        gtk_list_store_set(self->rows, &row, R_NAME, ScanVar::get_name(type), R_TYPE, int(type), -1);
    }
    gtk_list_store_set(self->rows, &row, R_NPOINTS, var.n_points(), R_STEP, var.step(), R_FROM, var.first(), R_TO,
                       var.last(), -1);
    self->sc.add_var(var);
}

void ScanDialog::on_Delete(GtkWidget*, gpointer data)
{
    ScanDialog* self = me(data);
    GtkTreeIter row;
    const int type = selected(self->get_widget("clistScan"), R_TYPE, &row);
    if (type < 0)
        return;
    gtk_list_store_remove(self->rows, &row);
    self->sc.remove_var(ScanType(type));
}

void ScanDialog::moveRow(bool up)
{
    move_selected_row(get_widget("clistScan"), up);
    // The rows' order is the order of the variables.
    sc.reset();
    GtkTreeModel* model = GTK_TREE_MODEL(rows);
    GtkTreeIter row;
    for (bool ok = gtk_tree_model_get_iter_first(model, &row); ok; ok = gtk_tree_model_iter_next(model, &row)) {
        int type = 0;
        double step = 1;
        double from = 0;
        double to = 0;
        gtk_tree_model_get(model, &row, R_TYPE, &type, R_STEP, &step, R_FROM, &from, R_TO, &to, -1);
        sc.add_var(ScanVar(ScanType(type), from, to, step, from));
    }
}

void ScanDialog::on_Up(GtkWidget*, gpointer data)
{
    me(data)->moveRow(true);
}

void ScanDialog::on_Down(GtkWidget*, gpointer data)
{
    me(data)->moveRow(false);
}

// ---- the scans -------------------------------------------------------------

void ScanDialog::updateScanList(const std::string& name)
{
    std::vector<std::string> names;
    for (const auto& scan : scl)
        names.push_back(scan.first);
    if (names.empty())
        names.push_back("None");
    GtkWidget* combo = get_widget("comboScanList");
    // The step below runs once, not also from the combo's own signal.
    g_signal_handlers_block_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    set_combo_texts(combo, names, name);
    g_signal_handlers_unblock_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    scan_changed();
}

void ScanDialog::scan_changed()
{
    // The edits made so far stay with the scan they were made on. A scan
    // without a name (none yet, or deleted) has nowhere to go.
    if (!sc.get_name().empty()) {
        if (scl.find(sc.get_name()) != scl.end()) {
            scl.add_point(sc.get_name(), sc);
        } else {
            std::cout << "Current scan is not in the scan list" << std::endl;
            std::cout << "... this should not happen" << std::endl;
        }
    }
    const std::string name = combo_active_text(get_widget("comboScanList"));
    auto it = name.empty() ? scl.end() : scl.find(name);
    if (it == scl.end())
        return;
    set_scan_point(name);
    fill_scan_rows();
    select_type(sc.nvar() ? int(sc.begin()->type()) : -1);
    // A row that was selected already emits nothing: show this scan's values.
    type_selected();
}

void ScanDialog::on_ScanChanged(GtkWidget*, gpointer data)
{
    me(data)->scan_changed();
}

void ScanDialog::on_SaveScan(GtkWidget*, gpointer data)
{
    ScanDialog* self = me(data);
    const std::string name = combo_active_text(self->get_widget("comboScanList"));
    // With no scans the combo shows a placeholder, which names none.
    if (name.empty() || self->scl.empty())
        return;
    self->scl.add_point(name, self->sc);
}

void ScanDialog::on_AddScan(GtkWidget*, gpointer data)
{
    ScanDialog* self = me(data);
    const std::string name = get_a_string("New scan name", "Type the name for the new scan");
    // Cancelled, or no name given.
    if (trim_str(name).empty())
        return;
    // The new scan starts as a copy of the one shown.
    self->sc.set_name(name);
    self->scl.add_point(name, self->sc);
    self->updateScanList(name);
}

void ScanDialog::on_DeleteScan(GtkWidget*, gpointer data)
{
    ScanDialog* self = me(data);
    GtkWidget* combo = self->get_widget("comboScanList");
    const std::string name = combo_active_text(combo);
    if (name.empty() || self->scl.find(name) == self->scl.end())
        return;
    self->scl.remove_point(name);
    if (self->sc.get_name() == name)
        self->sc.set_name("");
    self->updateScanList("");
    g_signal_handlers_block_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, self);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    g_signal_handlers_unblock_matched(combo, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, self);
    self->scan_changed();
}

// ---- settings --------------------------------------------------------------

void ScanDialog::on_doScan(GtkWidget*, gpointer data)
{
    me(data)->do_scan = me(data)->btn_active("btnDoScan");
}

void ScanDialog::on_toggleBurst(GtkWidget*, gpointer data)
{
    me(data)->do_burst = me(data)->btn_active("btnBurst");
}

void ScanDialog::on_toggleTime(GtkWidget*, gpointer data)
{
    me(data)->_time = me(data)->btn_active("btnScanTime");
}

void ScanDialog::on_Delay(GtkWidget*, gpointer data)
{
    me(data)->_delay = gtk_range_get_value(GTK_RANGE(me(data)->get_widget("scaleDelay")));
}

void ScanDialog::on_Rate(GtkWidget*, gpointer data)
{
    me(data)->_rate = me(data)->spin2double("spinRate");
}

void ScanDialog::on_OK(GtkWidget*, gpointer data)
{
    // The response carries the decision; a value confirmed with Enter in
    // an entry that still has the focus is taken first.
    me(data)->flush_entries();
}

void ScanDialog::on_Response(GtkDialog* dialog, int response, gpointer data)
{
    ScanDialog* self = me(data);
    if (response != GTK_RESPONSE_OK)
        return;
    const std::string too_large = self->sc.size_error();
    if (too_large.empty())
        return;
    g_signal_stop_emission_by_name(dialog, "response");
    run_message(GTK_WIDGET(dialog), GTK_MESSAGE_ERROR, "Not a scan to run: " + too_large, GTK_BUTTONS_OK);
}

void ScanDialog::on_Cancel(GtkWidget*, gpointer)
{
}

void ScanDialog::on_Help(GtkWidget*, gpointer)
{
    gtk_help_display("scan-runs");
}
