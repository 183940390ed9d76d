#include "gui/Widget.h"

#include <iostream>

namespace {

const char* const key = "WidgetPtr";

GList* bound_list(GtkWidget* widget)
{
    return static_cast<GList*>(g_object_get_data(G_OBJECT(widget), key));
}

} // namespace

Widget::Widget(GtkWidget* o)
{
    set_widget(o);
}

Widget::~Widget()
{
    unbind();
}

void Widget::set_widget(GtkWidget* o)
{
    unbind();
    if (!o)
        return;
    g_return_if_fail(GTK_IS_WIDGET(o));
    GList* list = bound_list(o);
    if (!list) {
        g_object_set_data(G_OBJECT(o), key, g_list_append(nullptr, this));
        g_signal_connect(o, "destroy", G_CALLBACK(&Widget::disconnect), nullptr);
    } else if (!g_list_find(list, this)) {
        g_object_set_data(G_OBJECT(o), key, g_list_append(list, this));
    }
    w = GTK_WIDGET(g_object_ref(o));
}

void Widget::unbind()
{
    if (!w)
        return;
    GtkWidget* old = w;
    w = nullptr;
    // While its widget is destroyed the list is being walked: it is left alone.
    if (!disconnecting && GTK_IS_WIDGET(old)) {
        GList* list = bound_list(old);
        if (!list) {
            std::cout << "Widget::~Widget() : the widget does not have the list" << std::endl;
            std::cout << "\tThis should not have happened!!!" << std::endl;
        } else {
            list = g_list_remove(list, this);
            g_object_set_data(G_OBJECT(old), key, list);
            if (!list)
                g_signal_handlers_disconnect_by_func(old, reinterpret_cast<gpointer>(&Widget::disconnect),
                                                     nullptr);
        }
    }
    g_object_unref(old);
}

void Widget::disconnect(GtkWidget* widget, gpointer)
{
    GList* list = bound_list(widget);
    if (!list)
        return;
    // Taken off the widget first: the objects go while the list is walked.
    g_object_set_data(G_OBJECT(widget), key, nullptr);
    for (GList* l = list; l; l = l->next) {
        auto* object = static_cast<Widget*>(l->data);
        object->disconnecting = true;
        delete object;
    }
    g_list_free(list);
}
