#include "fenrow/windows/MyMonitorWindow.h"

#include <algorithm>

#include "daq/GenModule.h"
#include "fenrow/streams/FenrowAnalysis.h"
#include "gui/DefaultMonitorGUI.h"
#include "plenwig/hst_chart1d.h"

namespace {

const int temperature_period = 500;   // ms
const int temperature_depth = 50;     // values the trace keeps

// Object data of the event display: how many channels it shows at most.
const char* const channels_key = "channels";

// Keeps the event display's X range within its first channels. The chart
// puts its range back to the whole function on every resize, new function
// and range change; the range is written into the chart's fields, not its
// properties, which would queue a resize and so come back here for ever.
// A range the operator zoomed to inside the limit stays.
void keep_range(GtkWidget* w)
{
    if (!w || !HST_IS_CHART1D(w))
        return;
    const int n = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), channels_key));
    HstChart1D* h = HST_CHART1D(w);
    // A function the analysis is filling keeps the chart's range as it is
    // (its allocation keeps it too): the GTK main thread does not wait.
    if (n <= 0 || !h->func || !hst_function_trylock(h->func))
        return;
    const int bins = hst_function_get_npts(h->func);
    const double lo = hst_function_get_xmin(h->func);
    const double hi = hst_function_get_xmax(h->func);
    hst_function_unlock(h->func);
    if (bins <= n)
        return;
    const double top = lo + (hi - lo) * n / bins;
    double from = std::max(h->xmin, lo);
    double to = std::min(h->xmax, top);
    if (!(from < to)) {
        from = lo;
        to = top;
    }
    if (from == h->xmin && to == h->xmax)
        return;
    h->xmin = from;
    h->xmax = to;
    gtk_widget_queue_draw(w);
}

void on_display_allocated(GtkWidget* w, GtkAllocation*, gpointer)
{
    keep_range(w);
}

} // namespace

MyMonitorWindow::MyMonitorWindow(const std::string& name, GladeApp* parent)
    : MonitorWindow(nullptr), _mon(new DefaultMonitorGUI(Ostrel::DAQid(name), parent)), _id(name)
{
    _mon->set_owned(true);
    if (!parent || parent->init_application(_mon, "dsp-monitor") != 0 || !_mon->get_main_window())
        return;
    _widget = GTK_WIDGET(g_object_ref(_mon->get_main_window()));

    temp = hst_tracer_new(temperature_depth);
    hst_function_set_name(HST_FUNCTION(temp), "Temperature");
    if (GtkWidget* tr = _mon->get_widget("trCommonMode"))
        g_object_set_data_full(G_OBJECT(tr), "temp", g_object_ref(temp), g_object_unref);

    GtkWidget* combo = _mon->get_widget("optMonitorSelect");
    if (combo && GTK_IS_COMBO_BOX(combo)) {
        GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
        if (model && GTK_IS_LIST_STORE(model)) {
            GtkTreeIter row;
            gtk_list_store_append(GTK_LIST_STORE(model), &row);
            gtk_list_store_set(GTK_LIST_STORE(model), &row, 0, "Temperature", -1);
        }
        // Ours takes over, and hands the stock rows back to the stock one.
        // Connected with the stock monitor as data: it goes with it.
        g_signal_handlers_disconnect_by_func(combo, reinterpret_cast<gpointer>(&DefaultMonitorGUI::on_Change2Noise),
                                             _mon);
        g_signal_connect(combo, "changed", G_CALLBACK(&on_change_hst), _mon);
    }

    destroy_handler = g_signal_connect(_widget, "destroy", G_CALLBACK(&MyMonitorWindow::on_monitor_destroy), this);
    tmout = g_timeout_add(temperature_period, &MyMonitorWindow::on_update_temperature, this);
}

MyMonitorWindow::~MyMonitorWindow()
{
    stop_timer();
    if (_widget) {
        if (destroy_handler && g_signal_handler_is_connected(_widget, destroy_handler))
            g_signal_handler_disconnect(_widget, destroy_handler);
        g_object_unref(_widget);
        _widget = nullptr;
    }
    delete _mon;
    if (temp)
        g_object_unref(temp);
}

void MyMonitorWindow::inLocal()
{
    _mon->inLocal();
}

void MyMonitorWindow::inGlobal()
{
    _mon->inGlobal();
}

void MyMonitorWindow::stop_timer()
{
    if (tmout)
        g_source_remove(tmout);
    tmout = 0;
}

void MyMonitorWindow::show_channels(int n)
{
    GtkWidget* w = _mon->get_widget("evtDisplay");
    if (!w || !HST_IS_CHART1D(w))
        return;
    const bool first = !g_object_get_data(G_OBJECT(w), channels_key);
    g_object_set_data(G_OBJECT(w), channels_key, GINT_TO_POINTER(n));
    // The handler keeps nothing but the widget: nothing of it outlives the
    // chart.
    if (first)
        g_signal_connect_after(w, "size-allocate", G_CALLBACK(&on_display_allocated), nullptr);
    keep_range(w);
}

gboolean MyMonitorWindow::on_update_temperature(gpointer data)
{
    auto* self = static_cast<MyMonitorWindow*>(data);
    keep_range(self->_mon->get_widget("evtDisplay"));
    GtkWidget* tr = self->_mon->get_widget("trCommonMode");
    auto* tracer = tr ? static_cast<HstTracer*>(g_object_get_data(G_OBJECT(tr), "temp")) : nullptr;
    GenModule* module = GenModule::find_module(self->_id);
    auto* analysis = module ? dynamic_cast<FenrowAnalysis*>(module->get_analysis()) : nullptr;
    if (tracer && analysis)
        hst_histogram_fill(HST_HISTOGRAM(tracer), analysis->temperature(), 1.0);
    return TRUE;
}

void MyMonitorWindow::on_monitor_destroy(GtkWidget*, gpointer data)
{
    auto* self = static_cast<MyMonitorWindow*>(data);
    self->stop_timer();
    self->destroy_handler = 0;
}

void on_change_hst(GtkWidget* combo, DefaultMonitorGUI* monitor)
{
    if (gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) < 2) {
        DefaultMonitorGUI::on_Change2Noise(combo, monitor);
        return;
    }
    GtkWidget* tr = monitor->get_widget("trCommonMode");
    auto* tracer = tr ? static_cast<HstFunction*>(g_object_get_data(G_OBJECT(tr), "temp")) : nullptr;
    if (!tracer || !HST_IS_CHART1D(tr))
        return;
    hst_chart1d_remove_curves(HST_CHART1D(tr));
    g_object_set(tr, "func", tracer, nullptr);
    g_object_set_data_full(G_OBJECT(tr), "hst", g_object_ref(tracer), g_object_unref);
}
