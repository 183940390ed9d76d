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
