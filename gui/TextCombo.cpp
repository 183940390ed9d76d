#include "gui/TextCombo.h"

#include "daq/DAQcontroller.h"

int set_combo_texts(GtkWidget* combo, const std::vector<std::string>& texts, const std::string& active)
{
    g_return_val_if_fail(GTK_IS_COMBO_BOX(combo), -1);
    GtkCellLayout* layout = GTK_CELL_LAYOUT(combo);
    GList* cells = gtk_cell_layout_get_cells(layout);
    if (!cells) {
        GtkCellRenderer* text = gtk_cell_renderer_text_new();
        gtk_cell_layout_pack_start(layout, text, TRUE);
        gtk_cell_layout_set_attributes(layout, text, "text", 0, nullptr);
    }
    g_list_free(cells);

    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    int position = -1;
    for (size_t i = 0; i < texts.size(); ++i) {
        GtkTreeIter row;
        gtk_list_store_append(store, &row);
        gtk_list_store_set(store, &row, 0, texts[i].c_str(), -1);
        if (position < 0 && !active.empty() && texts[i] == active)
            position = static_cast<int>(i);
    }
    gtk_combo_box_set_model(GTK_COMBO_BOX(combo), GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), position);
    return position;
}

std::string combo_active_text(GtkWidget* combo)
{
    g_return_val_if_fail(GTK_IS_COMBO_BOX(combo), std::string());
    GtkTreeIter row;
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    if (!model || !gtk_combo_box_get_active_iter(GTK_COMBO_BOX(combo), &row))
        return std::string();
    gchar* text = nullptr;
    gtk_tree_model_get(model, &row, 0, &text, -1);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

void set_combo_modules(GtkWidget* combo)
{
    const std::vector<std::string> ids = DAQcontroller::instance()->module_ids();
    set_combo_texts(combo, ids, ids.empty() ? std::string() : ids.front());
}
