// An object bound to one GTK widget, which lives as long as the widget.
#ifndef BRISKO_GUI_WIDGET_H
#define BRISKO_GUI_WIDGET_H

#include <gtk/gtk.h>

// Holds one reference on its widget. The widget carries the list of every
// object bound to it (GObject data "WidgetPtr"); when the widget is
// destroyed, every object on the list is deleted. Deleting an object first
// unbinds it and leaves the widget alive. GTK main thread only.
class Widget {
public:
    explicit Widget(GtkWidget* o);
    Widget(const Widget&) = delete;
    Widget& operator=(const Widget&) = delete;
    virtual ~Widget();

    // Binds the object to `o` (unbinding it from the widget it had); null
    // leaves it unbound, and so does a non-widget, with a critical warning.
    void set_widget(GtkWidget* o);
    GtkWidget* wdgt() const { return w; }

    // The widget's "destroy" handler.
    static void disconnect(GtkWidget* widget, gpointer);

protected:
    GtkWidget* w = nullptr;
    bool disconnecting = false;

private:
    void unbind();
};

#endif
