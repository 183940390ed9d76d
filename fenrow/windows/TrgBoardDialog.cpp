#include "fenrow/windows/TrgBoardDialog.h"

#include <algorithm>
#include <string>

#include "config/ConfigParser.h"
#include "fenrow/TriggerBoard.h"
#include "fenrow/TriggerModuleConf.h"
#include "gui/GtkUtils.h"
#include "ostrel/Log.h"

namespace {

constexpr int inputs = Ostrel::TRIGGER_INPUTS;
constexpr int max_majority = Ostrel::TRIGGER_MAX_MAJORITY;

// What the dialog's handlers share; freed with the dialog.
struct Dialog {
    int section_id;
    GtkWidget* operation;
    GtkWidget* majority;
    GtkWidget* mask[inputs];
};

Ostrel::TriggerModuleConf* section_of(const Dialog* d)
{
    return dynamic_cast<Ostrel::TriggerModuleConf*>(ConfigParser::theConfig()->get_id_handler(d->section_id));
}

// The majority entry labelled n stands for majority n.
int majority_entry(int majority)
{
    return std::min(std::max(majority, 1), max_majority) - 1;
}

// What the dialog shows becomes the section's.
void take_shown(const Dialog* d)
{
    Ostrel::TriggerModuleConf* conf = section_of(d);
    if (!conf)
        return;
    conf->set_operation(gtk_combo_box_get_active(GTK_COMBO_BOX(d->operation)) == 0);
    conf->set_majority(gtk_combo_box_get_active(GTK_COMBO_BOX(d->majority)) + 1);
    unsigned mask = 0;
    for (int i = 0; i < inputs; ++i)
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(d->mask[i])))
            mask |= 1u << i;
    conf->set_mask(mask);
}

void on_changed(GtkWidget*, gpointer data)
{
    take_shown(static_cast<Dialog*>(data));
}

void apply(const Dialog* d)
{
    take_shown(d);
    Ostrel::TriggerModuleConf* conf = section_of(d);
    if (!conf)
        return;
    Ostrel::TriggerModule* module = conf->get_module();
    if (!module) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "TrgBoard " << conf->get_id()
            << ": no trigger module yet; the settings are kept and sent when the board is found" << std::endl;
        return;
    }
    module->set_operation(conf->get_operation() ? 1 : 0);
    module->set_majority(conf->get_majority());
    module->set_mask(conf->get_mask());
    module->GetReady();
}

void on_response(GtkDialog* dialog, gint response, gpointer data)
{
    const auto* d = static_cast<Dialog*>(data);
    switch (response) {
    case GTK_RESPONSE_APPLY:
        apply(d);
        return;
    case GTK_RESPONSE_OK:
        apply(d);
        break;
    default:
        break;
    }
    // Its own button's click is not over yet.
    destroy_later(GTK_WIDGET(dialog));
}

void on_destroy(GtkWidget* dialog, gpointer data)
{
    Ostrel::TriggerModuleConf* conf = section_of(static_cast<Dialog*>(data));
    if (conf && conf->get_dialog() == dialog)
        conf->set_dialog(nullptr);
}

GtkWidget* left_label(const char* text)
{
    GtkWidget* label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
    return label;
}

GtkWidget* text_combo(int first, int last, const char* const* names, const char* tip)
{
    GtkWidget* combo = gtk_combo_box_new_text();
    for (int i = first; i <= last; ++i)
        gtk_combo_box_append_text(GTK_COMBO_BOX(combo), names ? names[i - first] : std::to_string(i).c_str());
    gtk_widget_set_tooltip_text(combo, tip);
    return combo;
}

} // namespace

namespace trg_board_dialog {

GtkWidget* open(int section_id)
{
    Ostrel::TriggerModuleConf* conf =
        dynamic_cast<Ostrel::TriggerModuleConf*>(ConfigParser::theConfig()->get_id_handler(section_id));
    if (!conf)
        return nullptr;

    GtkWidget* dialog = gtk_dialog_new_with_buttons("TrgBoard", nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, "gtk-ok",
                                                    GTK_RESPONSE_OK, "gtk-apply", GTK_RESPONSE_APPLY, "gtk-cancel",
                                                    GTK_RESPONSE_CANCEL, nullptr);
    auto* d = new Dialog{section_id, nullptr, nullptr, {}};
    g_object_set_data_full(G_OBJECT(dialog), "trg-board", d, [](gpointer p) { delete static_cast<Dialog*>(p); });

    GtkWidget* table = gtk_table_new(3, 2, TRUE);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), table, TRUE, TRUE, 0);
    const char* const labels[] = {"Operation", "Majority", "Mask"};
    for (guint row = 0; row < 3; ++row)
        gtk_table_attach_defaults(GTK_TABLE(table), left_label(labels[row]), 0, 1, row, row + 1);

    const char* const operations[] = {"AND", "OR"};
    // Named for the accessibility tree and the tests.
    d->operation = text_combo(0, 1, operations, "Choose the logic operation (AND/OR)");
    gtk_widget_set_name(d->operation, "cmbOperation");
    gtk_table_attach_defaults(GTK_TABLE(table), d->operation, 1, 2, 0, 1);
    d->majority = text_combo(1, max_majority, nullptr,
                             "When in OR, select the minimum number of channels triggering to fire a signal");
    gtk_widget_set_name(d->majority, "cmbMajority");
    gtk_table_attach_defaults(GTK_TABLE(table), d->majority, 1, 2, 1, 2);
    GtkWidget* row = gtk_hbox_new(FALSE, 0);
    for (int i = 0; i < inputs; ++i) {
        d->mask[i] = gtk_check_button_new_with_label(std::to_string(i).c_str());
        g_object_set_data(G_OBJECT(d->mask[i]), "index", GINT_TO_POINTER(i));
        gtk_widget_set_name(d->mask[i], ("chkMask" + std::to_string(i)).c_str());
        gtk_widget_set_tooltip_text(d->mask[i], "Selected channels are masked away");
        gtk_box_pack_start(GTK_BOX(row), d->mask[i], FALSE, FALSE, 0);
    }
    gtk_table_attach_defaults(GTK_TABLE(table), row, 1, 2, 2, 3);

    // The settings the board has: the module's, or the section's until
    // there is a module. Shown before the handlers are connected, so that
    // opening the dialog changes nothing.
    int operation = conf->get_operation() ? 1 : 0;
    int majority = conf->get_majority();
    unsigned mask = conf->get_mask();
    if (Ostrel::TriggerModule* module = conf->get_module()) {
        operation = module->get_operation();
        majority = module->get_majority();
        mask = module->get_mask();
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(d->operation), operation != 0 ? 0 : 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(d->majority), majority_entry(majority));
    for (int i = 0; i < inputs; ++i)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(d->mask[i]), (mask >> i & 1u) != 0);

    g_signal_connect(d->operation, "changed", G_CALLBACK(on_changed), d);
    g_signal_connect(d->majority, "changed", G_CALLBACK(on_changed), d);
    for (GtkWidget* check : d->mask)
        g_signal_connect(check, "toggled", G_CALLBACK(on_changed), d);
    g_signal_connect(dialog, "response", G_CALLBACK(on_response), d);
    g_signal_connect(dialog, "destroy", G_CALLBACK(on_destroy), d);

    gtk_widget_show_all(dialog);
    return dialog;
}

} // namespace trg_board_dialog
