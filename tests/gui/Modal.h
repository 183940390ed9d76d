// Answering modal dialogs as an operator would while they run their own
// main loop, and finding the windows they show.
#ifndef BRISKO_TEST_GUI_MODAL_H
#define BRISKO_TEST_GUI_MODAL_H

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include <gtk/gtk.h>

namespace guitest {

// Runs `step` every 20 ms from the main loop, also while a modal dialog
// runs its own, until it returns true.
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

// The mapped top-level window of that type (and title, when given), or null.
inline GtkWidget* shown(GType type, const char* title = nullptr)
{
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
        const char* t = GTK_IS_WINDOW(l->data) ? gtk_window_get_title(GTK_WINDOW(l->data)) : nullptr;
        if (G_TYPE_CHECK_INSTANCE_TYPE(l->data, type) && gtk_widget_get_mapped(GTK_WIDGET(l->data)) &&
            (!title || (t && std::strcmp(t, title) == 0)))
            found = GTK_WIDGET(l->data);
    }
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

// Answers the text prompt of that title (get_a_string) with the text, or
// cancels it when `text` is null.
inline std::function<bool()> answer_prompt(const char* title, const char* text)
{
    return [title, text] {
        GtkWidget* d = shown(GTK_TYPE_DIALOG, title);
        if (!d)
            return false;
        std::vector<GtkWidget*> entries;
        collect(d, GTK_TYPE_ENTRY, entries);
        if (text && !entries.empty())
            gtk_entry_set_text(GTK_ENTRY(entries.front()), text);
        gtk_dialog_response(GTK_DIALOG(d), text ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_REJECT);
        return true;
    };
}

} // namespace guitest

#endif
