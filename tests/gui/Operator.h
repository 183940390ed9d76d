// What an operator does with windows that a test does not hold: answering
// modal dialogs while they run, and finding windows and widgets.
#ifndef BRISKO_TEST_GUI_OPERATOR_H
#define BRISKO_TEST_GUI_OPERATOR_H

#include <functional>
#include <vector>

#include <gtk/gtk.h>

namespace guitest {

// Runs `step` every 20 ms from the main loop, also while a modal dialog runs
// its own, until it returns true.
class Later {
public:
    explicit Later(std::function<bool()> step) : step_(std::move(step)), id_(g_timeout_add(20, &Later::tick, this)) {}
    ~Later()
    {
        if (id_)
            g_source_remove(id_);
    }
    Later(const Later&) = delete;
    Later& operator=(const Later&) = delete;

    bool done() const { return id_ == 0; }

private:
    static gboolean tick(gpointer self)
    {
        auto* l = static_cast<Later*>(self);
        if (!l->step_())
            return G_SOURCE_CONTINUE;
        l->id_ = 0;
        return G_SOURCE_REMOVE;
    }
    std::function<bool()> step_;
    guint id_;
};

// The mapped top-level window of that type, or null.
inline GtkWidget* shown(GType type)
{
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next)
        if (G_TYPE_CHECK_INSTANCE_TYPE(l->data, type) && gtk_widget_get_mapped(GTK_WIDGET(l->data)))
            found = GTK_WIDGET(l->data);
    g_list_free(tops);
    return found;
}

// Every widget of that type below a container, in order.
inline void collect(GtkWidget* w, GType type, std::vector<GtkWidget*>& out)
{
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type))
        out.push_back(w);
    if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* l = children; l; l = l->next)
            collect(GTK_WIDGET(l->data), type, out);
        g_list_free(children);
    }
}

} // namespace guitest

#endif
