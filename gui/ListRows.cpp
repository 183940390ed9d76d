#include "gui/ListRows.h"

bool selected_row(GtkWidget* view, GtkTreeIter* row)
{
    GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    return gtk_tree_selection_get_selected(selection, nullptr, row);
}

bool move_selected_row(GtkWidget* view, bool up)
{
    GtkTreeIter row;
    if (!selected_row(view, &row))
        return false;
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    GtkTreeIter other = row;
    bool exists = false;
    if (up) {
        GtkTreePath* path = gtk_tree_model_get_path(model, &row);
        exists = gtk_tree_path_prev(path) && gtk_tree_model_get_iter(model, &other, path);
        gtk_tree_path_free(path);
    } else {
        exists = gtk_tree_model_iter_next(model, &other);
    }
    if (exists)
        gtk_list_store_swap(GTK_LIST_STORE(model), &row, &other);
    return exists;
}

std::vector<std::string> column_texts(GtkTreeModel* model, int column)
{
    std::vector<std::string> out;
    GtkTreeIter row;
    for (gboolean ok = model && gtk_tree_model_get_iter_first(model, &row); ok;
         ok = gtk_tree_model_iter_next(model, &row)) {
        gchar* text = nullptr;
        gtk_tree_model_get(model, &row, column, &text, -1);
        out.emplace_back(text ? text : "");
        g_free(text);
    }
    return out;
}
