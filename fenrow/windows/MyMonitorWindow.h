// The monitor window of one board stream: the stock data monitor of the
// stream's analysis, with a trace of the board temperature that the operator
// can show in place of the common mode ("Temperature" in the monitor's
// selector).
#ifndef BRISKO_FENROW_WINDOWS_MYMONITORWINDOW_H
#define BRISKO_FENROW_WINDOWS_MYMONITORWINDOW_H

#include <string>

#include "gui/MonitorWindow.h"
#include "ostrel/DAQid.h"
#include "plenwig/hst_tracer.h"

class DefaultMonitorGUI;
class GladeApp;

// GTK main thread only. The window keeps the stream's id, never the module:
// every tick looks the module up and fills nothing when it is gone, so that
// a configuration reload may delete the module while the window is open.
//
// The temperature tracer (50 values, named "Temperature") is the object
// data "temp" of the stock monitor's chart "trCommonMode".
class MyMonitorWindow : public MonitorWindow {
public:
    // name: the stream module's id. The stock monitor is built from the
    // parent's description; without a parent (or when that fails) the window
    // has no widget, which the panel takes as no monitor window.
    MyMonitorWindow(const std::string& name, GladeApp* parent);
    // The timer off, the stock monitor (and with it the top-level) deleted.
    ~MyMonitorWindow() override;

    void inLocal() override;
    void inGlobal() override;

    DefaultMonitorGUI* mon() const { return _mon; }
    // The temperature timer's source, 0 when none runs.
    guint temperature_timer() const { return tmout; }

    // The event display shows at most the first n channels of whatever the
    // analysis gives it, whatever the chart resets its range to. The
    // analysis's histograms keep their bins: the monitor thread fills them.
    void show_channels(int n);

    // Every 500 ms: the temperature of the stream's last decoded event.
    static gboolean on_update_temperature(gpointer window);
    // The top-level goes: the timer stops.
    static void on_monitor_destroy(GtkWidget* w, gpointer window);

private:
    void stop_timer();

    DefaultMonitorGUI* _mon;
    Ostrel::DAQid _id;
    guint tmout = 0;
    gulong destroy_handler = 0;
    HstTracer* temp = nullptr;   // the window's reference
};

// "optMonitorSelect" changed (data: the stock monitor): the first two rows
// are the stock monitor's, a later one shows the temperature alone.
void on_change_hst(GtkWidget* combo, DefaultMonitorGUI* monitor);

#endif
