#include "gui/MonitorWindow.h"

MonitorWindow::MonitorWindow(GtkWidget* w) : _widget(w)
{
    if (_widget)
        g_object_ref(_widget);
}

MonitorWindow::~MonitorWindow()
{
    if (_widget && GTK_IS_WIDGET(_widget)) {
        gtk_widget_hide(_widget);
        // A widget of a Python wrapper goes with its wrapper.
        if (!g_object_get_data(G_OBJECT(_widget), "__pygtk_brisko__"))
            g_object_unref(_widget);
    }
    _widget = nullptr;
    _updates.clear();
}

void load_monitor_window()
{
}

void gui_force_load()
{
}
