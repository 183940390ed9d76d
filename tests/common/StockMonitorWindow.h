// A module family's monitor window as the tests and the benchmark host make
// it: the stock monitor, owned, with an updater of its event count, built
// from the panel's description or from the compiled-in one.
//
// Header-only: the benchmark's plug-in builds it as well as the tests.
#ifndef BRISKO_TESTS_COMMON_STOCK_MONITOR_WINDOW_H
#define BRISKO_TESTS_COMMON_STOCK_MONITOR_WINDOW_H

#include <atomic>
#include <string>

#include <gio/gio.h>

#include "gui/DefaultMonitorGUI.h"
#include "gui/MonitorWindow.h"
#include "gui/UpdateLabelNtrig.h"

// Builds the window's root from the main library's compiled-in description.
inline int init_from_bundle(GladeApp* window, const char* root)
{
    GBytes* bytes =
        g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade", G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (!bytes)
        return -1;
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    const int rc = window->init(data, static_cast<int>(size), root);
    g_bytes_unref(bytes);
    return rc;
}

class StockMonitorWindow : public MonitorWindow {
public:
    // parent: the window whose description the monitor is built from; the
    // compiled-in one when null.
    StockMonitorWindow(const std::string& id, GladeApp* parent)
        : MonitorWindow(nullptr), mon(new DefaultMonitorGUI(id, parent))
    {
        mon->set_owned(true);
        if (parent)
            parent->init_application(mon, "dsp-monitor");
        else
            init_from_bundle(mon, "dsp-monitor");
        _widget = mon->get_main_window();
        if (_widget)
            g_object_ref(_widget);
        if (GtkWidget* w = mon->get_widget("lblDSPnEvts"))
            _updates.push_back(new UpdateLabelNtrig(w));
        ++live();
    }
    ~StockMonitorWindow() override
    {
        delete mon;
        --live();
    }
    void inLocal() override { mon->inLocal(); }
    void inGlobal() override { mon->inGlobal(); }

    // Windows of this class that exist.
    static std::atomic<int>& live()
    {
        static std::atomic<int> n{0};
        return n;
    }

    DefaultMonitorGUI* mon;
};

#endif
