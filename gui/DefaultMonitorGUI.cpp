#include "gui/DefaultMonitorGUI.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>

#include "config/ConfigParser.h"
#include "config/GeneralConfig.h"
#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "gui/GtkUtils.h"
#include "gui/RunMenu.h"
#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_chart2d.h"
#include "plenwig/hst_gauge.h"
#include "plenwig/hst_tracer.h"

namespace {

// Values a strip chart keeps per chip.
const int tracer_depth = 50;
// Feeding of the strip charts and the queue bar, ms.
const int refresh_period = 500;

GtkWidget* no_data(const char* name)
{
    GtkWidget* label = gtk_label_new("no data");
    if (name)
        gtk_widget_set_name(label, name);
    return label;
}


// The chart draws f from now on, and carries it as "hst".
void show_function(GtkWidget* chart, HstFunction* f)
{
    g_object_set(chart, "func", f, nullptr);
    g_object_set_data_full(G_OBJECT(chart), "hst", g_object_ref(f), g_object_unref);
}

GPtrArray* tracer_array(GtkWidget* chart, const char* key)
{
    return chart ? static_cast<GPtrArray*>(g_object_get_data(G_OBJECT(chart), key)) : nullptr;
}

// The chart's pointer state at the button's own position: a press may come
// without a motion before it (the pointer put there at once).
void point_chart_at(GtkWidget* chart, const GdkEventButton& b)
{
    GdkEventMotion m{};
    m.type = GDK_MOTION_NOTIFY;
    m.window = b.window;
    m.send_event = TRUE;
    m.time = b.time;
    m.x = b.x;
    m.y = b.y;
    m.state = b.state & ~GDK_CONTROL_MASK;
    m.x_root = b.x_root;
    m.y_root = b.y_root;
    m.device = b.device;
    gboolean handled = FALSE;
    g_signal_emit_by_name(chart, "motion-notify-event", &m, &handled);
}

int combo_entry(GtkWidget* combo)
{
    return combo && GTK_IS_COMBO_BOX(combo) ? gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) : -1;
}

} // namespace

void DefaultMonitorGUI::set_tracer_colors(GtkWidget* chart)
{
    auto* general = ConfigParser::section<GeneralConfig>("general");
    if (!general)
        return;
    const HstColor& c = general->tracers();
    const std::pair<const char*, const std::string*> keys[] = {
        {"foreground", &c.fg()}, {"background", &c.bg()}, {"axis", &c.axis()}};
    for (const auto& k : keys)
        if (!k.second->empty())
            hst_chart1d_set_colors(HST_CHART1D(chart), k.first, k.second->c_str(), nullptr);
}

DefaultMonitorGUI::DefaultMonitorGUI(const Ostrel::DAQid& id, GladeApp*, Analysis*) : _id(id)
{
    gpointer klass = g_type_class_ref(HST_TYPE_HISTOGRAM);
    has_stats_prop = g_object_class_find_property(G_OBJECT_CLASS(klass), "stats") != nullptr;
    g_type_class_unref(klass);
}

DefaultMonitorGUI::~DefaultMonitorGUI()
{
    stop_timers();
    if (run_menu)
        RunMenu::delete_menu(Ostrel::DAQid("rm." + _id.str()), run_menu);
    // The charts are not the description's widgets, whose handlers the
    // window base disconnects: nothing they emit may reach this object.
    for (Chart& c : hlist) {
        g_signal_handlers_disconnect_matched(c.widget, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        g_object_unref(c.widget);
    }
    hlist.clear();
}

DefaultMonitorGUI* DefaultMonitorGUI::self_of(gpointer data)
{
    return static_cast<DefaultMonitorGUI*>(static_cast<GladeApp*>(data));
}

DefaultMonitorGUI* DefaultMonitorGUI::from_timer(gpointer data)
{
    return dynamic_cast<DefaultMonitorGUI*>(GladeApp::find_window(GPOINTER_TO_UINT(data)));
}

Analysis* DefaultMonitorGUI::get_analysis() const
{
    GenModule* module = GenModule::find_module(_id);
    return module ? module->get_analysis() : nullptr;
}

std::vector<GtkWidget*> DefaultMonitorGUI::charts() const
{
    std::vector<GtkWidget*> out;
    for (const Chart& c : hlist)
        out.push_back(c.widget);
    return out;
}

// ---- building --------------------------------------------------------------

void DefaultMonitorGUI::set_handlers()
{
    handlers["create_hst_pedestals"] = &DefaultMonitorGUI::create_hst_pedestals;
    handlers["create_hst_noise"] = &DefaultMonitorGUI::create_hst_noise;
    handlers["create_event_display"] = &DefaultMonitorGUI::create_event_display;
    handlers["create_hitmap"] = &DefaultMonitorGUI::create_hitmap;
    handlers["create_tracer_cmmd"] = &DefaultMonitorGUI::create_tracer_cmmd;
    handlers["create_hst_signal"] = &DefaultMonitorGUI::create_hst_signal;
    handlers["create_gauge_rate"] = &DefaultMonitorGUI::create_gauge_rate;
    handlers["create_gauge_eff"] = &DefaultMonitorGUI::create_gauge_eff;
}

void DefaultMonitorGUI::auto_connect()
{
    connect["on_ResetPed"] = G_CALLBACK(&DefaultMonitorGUI::on_ResetPed);
    connect["on_Reset"] = G_CALLBACK(&DefaultMonitorGUI::on_Reset);
    connect["on_Quit"] = G_CALLBACK(&DefaultMonitorGUI::on_Quit);
    connect["on_Help"] = G_CALLBACK(&DefaultMonitorGUI::on_Help);
    connect["on_Btn2DSignal"] = G_CALLBACK(&DefaultMonitorGUI::on_Btn2DSignal);
    connect["on_Btn2DMap"] = G_CALLBACK(&DefaultMonitorGUI::on_Btn2DMap);
    connect["on_BtnApplyCut"] = G_CALLBACK(&DefaultMonitorGUI::on_BtnApplyCut);
    connect["on_BtnResetCut"] = G_CALLBACK(&DefaultMonitorGUI::on_BtnResetCut);
    connect["on_seed_cut"] = G_CALLBACK(&DefaultMonitorGUI::on_seed_cut);
    connect["on_neighbor_cut"] = G_CALLBACK(&DefaultMonitorGUI::on_neighbor_cut);
}

void DefaultMonitorGUI::user_init()
{
    if (window && GTK_IS_WINDOW(window))
        gtk_window_set_title(GTK_WINDOW(window), (_id.str() + " - Data Monitor").c_str());
    if (window)
        g_signal_connect(window, "destroy", G_CALLBACK(&DefaultMonitorGUI::on_window_destroy), this);

    if (Analysis* a = get_analysis()) {
        int n = 0;
        {
            std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
            n = a->Nchip();
        }
        fill_chip_selector(n);
        double2spin("spinSeedCut", a->get_seed_cut());
        double2spin("spinAdjCut", a->get_neighbor_cut());
    }
    if (GtkWidget* w = get_widget("optMonitorSelect")) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(w), 0);
        g_signal_connect(w, "changed", G_CALLBACK(&DefaultMonitorGUI::on_Change2Noise), this);
    }
    if (GtkWidget* w = get_widget("optViewData")) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(w), 0);
        g_signal_connect(w, "changed", G_CALLBACK(&DefaultMonitorGUI::on_ChangeView), this);
    }
    if (window)
        gtk_widget_show_all(window);

    run_menu = RunMenu::new_menu(Ostrel::DAQid("rm." + _id.str()), get_widget("btnMonitorRunControl"),
                                 Ostrel::RunState::NotReady);

    tmout = g_timeout_add(refresh_period, &DefaultMonitorGUI::on_Update, GUINT_TO_POINTER(window_id()));
    tmout_stats = g_timeout_add(2 * hst_update_freq, &DefaultMonitorGUI::on_UpdateStats,
                                GUINT_TO_POINTER(window_id()));
    on_NewChip(get_widget("optChipSelect"), this);
    on_Update(GUINT_TO_POINTER(window_id()));
}

void DefaultMonitorGUI::fill_chip_selector(int n)
{
    GtkWidget* w = get_widget("optChipSelect");
    if (!w || !GTK_IS_COMBO_BOX(w))
        return;
    GtkComboBox* combo = GTK_COMBO_BOX(w);
    const int previous = gtk_combo_box_get_active(combo);
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    GtkTreeIter row;
    gtk_list_store_append(store, &row);
    gtk_list_store_set(store, &row, 0, "All", -1);
    for (int k = 0; k < n; ++k) {
        gtk_list_store_append(store, &row);
        gtk_list_store_set(store, &row, 0, std::to_string(k).c_str(), -1);
    }
    // A new model is no choice of the operator's.
    g_signal_handlers_block_by_func(w, reinterpret_cast<gpointer>(&DefaultMonitorGUI::on_NewChip), this);
    gtk_combo_box_set_model(combo, GTK_TREE_MODEL(store));
    g_object_unref(store);
    GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(combo));
    if (!cells) {
        GtkCellRenderer* text = gtk_cell_renderer_text_new();
        gtk_cell_layout_pack_start(GTK_CELL_LAYOUT(combo), text, TRUE);
        gtk_cell_layout_add_attribute(GTK_CELL_LAYOUT(combo), text, "text", 0);
    }
    g_list_free(cells);
    g_signal_handlers_unblock_by_func(w, reinterpret_cast<gpointer>(&DefaultMonitorGUI::on_NewChip), this);
    nchips = n;

    if (!g_signal_handler_find(w, GSignalMatchType(G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA), 0, 0, nullptr,
                               reinterpret_cast<gpointer>(&DefaultMonitorGUI::on_NewChip), this))
        g_signal_connect(w, "changed", G_CALLBACK(&DefaultMonitorGUI::on_NewChip), this);
    gtk_combo_box_set_active(combo, previous >= 0 && previous <= n ? previous : 0);
}

void DefaultMonitorGUI::track(GtkWidget* chart, Role role)
{
    for (const Chart& c : hlist)
        if (c.widget == chart)
            return;
    hlist.push_back({GTK_WIDGET(g_object_ref(chart)), role});
}

GtkWidget* DefaultMonitorGUI::new_chart(HstFunction* f, Role role, const char* xtitle, const char* ytitle,
                                        int period)
{
    GtkWidget* chart = HST_IS_HISTOGRAM2D(f) ? hst_chart2d_new(HST_HISTOGRAM2D(f)) : hst_chart1d_new(f);
    HstChart1D* h = HST_CHART1D(chart);
    g_object_set_data_full(G_OBJECT(chart), "hst", g_object_ref(f), g_object_unref);
    if (xtitle)
        hst_chart1d_set_xtitle(h, xtitle);
    if (ytitle)
        hst_chart1d_set_ytitle(h, ytitle);
    hst_chart1d_set_colors(h, "background", "white", nullptr);
    hst_chart1d_sync_range(h, TRUE);
    if (period > 0)
        hst_chart1d_monitor_start(h, period);
    track(chart, role);
    return chart;
}

HstFunction* DefaultMonitorGUI::object_for(const Analysis* a, Role role) const
{
    switch (role) {
    case Role::Pedestals:
        return HST_FUNCTION(a->get_ped());
    case Role::Noise:
        return HST_FUNCTION(a->get_noise());
    case Role::Signal1D: {
        HstHistogram* h = a->get_hsig(g_chip < 0 ? 0 : g_chip);
        return h ? HST_FUNCTION(h) : nullptr;
    }
    case Role::Signal2D:
        return a->get_hsig2() ? HST_FUNCTION(a->get_hsig2()) : nullptr;
    case Role::Map1D:
        return HST_FUNCTION(a->get_hitmap());
    case Role::Map2D:
        return a->get_h2dmap() ? HST_FUNCTION(a->get_h2dmap()) : nullptr;
    case Role::EventDisplay:
        return HST_FUNCTION(combo_entry(get_widget("optViewData")) > 0 ? a->get_chan() : a->get_out());
    default:
        return nullptr;
    }
}

GtkWidget* DefaultMonitorGUI::analysis_chart(const char* name, Role role, const char* xtitle, const char* ytitle,
                                             int period)
{
    Analysis* a = get_analysis();
    if (!a)
        return no_data(name);
    std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
    return new_chart(object_for(a, role), role, xtitle, ytitle, period);
}

GtkWidget* DefaultMonitorGUI::create_hst_pedestals(GladeApp* app, const char* name, const char*, const char*,
                                                   int, int)
{
    return self_of(app)->analysis_chart(name, Role::Pedestals, "Channel", "Pedestals", hst_update_freq);
}

GtkWidget* DefaultMonitorGUI::create_hst_noise(GladeApp* app, const char* name, const char*, const char*, int,
                                               int)
{
    return self_of(app)->analysis_chart(name, Role::Noise, "Channel", "Noise", hst_update_freq);
}

GtkWidget* DefaultMonitorGUI::create_hst_signal(GladeApp* app, const char* name, const char*, const char*, int,
                                                int)
{
    auto* self = self_of(app);
    if (!self->get_analysis())
        return no_data(name);
    return self->create_2D_frame("Signal", "Signal (ADC)", nullptr, "Signal (ADC)", "Channel");
}

GtkWidget* DefaultMonitorGUI::create_hitmap(GladeApp* app, const char* name, const char*, const char*, int, int)
{
    auto* self = self_of(app);
    if (!self->get_analysis())
        return no_data(name);
    return self->create_2D_frame("Map", "Channel", "Hit map", "Pad X", "Pad Y");
}

GtkWidget* DefaultMonitorGUI::create_event_display(GladeApp* app, const char* name, const char*, const char*,
                                                   int, int)
{
    GtkWidget* chart = self_of(app)->analysis_chart(name, Role::EventDisplay, nullptr, nullptr, hst_update_freq / 2);
    if (!HST_IS_CHART1D(chart))
        return chart;
    hst_chart1d_draw_x_axis(HST_CHART1D(chart), HST_AXIS_NONE);
    hst_chart1d_draw_y_axis(HST_CHART1D(chart), HST_AXIS_MIDDLE);
    set_tracer_colors(chart);
    return chart;
}

void DefaultMonitorGUI::make_tracers(GtkWidget* chart, int n)
{
    for (const char* key : {"common_mode", "noise"}) {
        GPtrArray* tracers = g_ptr_array_new_with_free_func(g_object_unref);
        for (int k = 0; k < n; ++k) {
            HstTracer* t = hst_tracer_new(tracer_depth);
            hst_function_set_name(HST_FUNCTION(t), ("Chip " + std::to_string(k)).c_str());
            g_ptr_array_add(tracers, t);
        }
        g_object_set_data_full(G_OBJECT(chart), key, tracers, reinterpret_cast<GDestroyNotify>(g_ptr_array_unref));
    }
}

GtkWidget* DefaultMonitorGUI::create_tracer_cmmd(GladeApp* app, const char* name, const char*, const char*, int,
                                                 int)
{
    auto* self = self_of(app);
    Analysis* a = self->get_analysis();
    int n = 0;
    if (a) {
        std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
        n = a->Nchip();
    }
    if (n < 1)
        return no_data(name);
    // The chart is made with a curve of its own, which the tracers then
    // replace.
    HstTracer* first = hst_tracer_new(tracer_depth);
    GtkWidget* chart = self->new_chart(HST_FUNCTION(first), Role::ChipMonitor, nullptr, nullptr, hst_update_freq);
    g_object_unref(first);
    self->make_tracers(chart, n);
    self->nchips = n;
    HstChart1D* h = HST_CHART1D(chart);
    hst_chart1d_set_curve_colors(h, "medium sea green", "royal blue", "firebrick", "gold", "turquoise", nullptr);
    hst_chart1d_draw_x_axis(h, HST_AXIS_NONE);
    hst_chart1d_draw_y_axis(h, HST_AXIS_MIDDLE);
    set_tracer_colors(chart);
    self->show_tracers(chart, 0);
    // The width it asks for now, with every chip's curve, stays: the chart
    // asks for more or less with each quantity shown (its legend, its
    // range), which would move the displays beside it.
    GtkRequisition req;
    gtk_widget_size_request(chart, &req);
    gtk_widget_set_size_request(chart, req.width, -1);
    return chart;
}

GtkWidget* DefaultMonitorGUI::create_gauge_rate(GladeApp*, const char*, const char*, const char*, int, int)
{
    GtkWidget* gauge = hst_gauge_new(0, 10000);
    hst_gauge_set_color(HST_GAUGE(gauge), "green");
    hst_gauge_set_title(HST_GAUGE(gauge), "Rate (Hz)");
    return gauge;
}

GtkWidget* DefaultMonitorGUI::create_gauge_eff(GladeApp*, const char*, const char*, const char*, int, int)
{
    GtkWidget* gauge = hst_gauge_new(0, 100);
    hst_gauge_set_title(HST_GAUGE(gauge), "Efficiency");
    return gauge;
}

GtkWidget* DefaultMonitorGUI::create_2D_frame(const char* prefix, const char* xtitle1, const char* ytitle1,
                                              const char* xtitle2, const char* ytitle2)
{
    Analysis* a = get_analysis();
    if (!a)
        return no_data(prefix);
    const bool signal = std::string(prefix) == "Signal";
    GtkWidget* chart1 = nullptr;
    GtkWidget* chart2 = nullptr;
    {
        std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
        const Role r1 = signal ? Role::Signal1D : Role::Map1D;
        const Role r2 = signal ? Role::Signal2D : Role::Map2D;
        chart1 = new_chart(object_for(a, r1), r1, xtitle1, ytitle1, hst_update_freq);
        chart2 = new_chart(object_for(a, r2), r2, xtitle2, ytitle2, 0);
    }
    gtk_widget_set_name(chart1, (std::string(prefix) + "1D").c_str());
    gtk_widget_set_name(chart2, (std::string(prefix) + "2D").c_str());
    if (signal) {
        for (GtkWidget* c : {chart1, chart2}) {
            g_signal_connect(c, "event", G_CALLBACK(&DefaultMonitorGUI::on_WindowSelDown), this);
            g_signal_connect(c, "event", G_CALLBACK(&DefaultMonitorGUI::on_WindowSelUp), this);
        }
    }
    GtkWidget* box1 = gtk_hbox_new(FALSE, 0);
    gtk_widget_set_name(box1, "Box1D");
    gtk_box_pack_start(GTK_BOX(box1), chart1, TRUE, TRUE, 0);
    g_object_set_data(G_OBJECT(box1), "hst", chart1);
    GtkWidget* box2 = gtk_hbox_new(FALSE, 0);
    gtk_widget_set_name(box2, "Box2D");
    gtk_box_pack_start(GTK_BOX(box2), chart2, TRUE, TRUE, 0);
    g_object_set_data(G_OBJECT(box2), "hst", chart2);

    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_container_add(GTK_CONTAINER(frame), box1);
    // The frame keeps both boxes, whichever it shows.
    g_object_set_data_full(G_OBJECT(frame), "Box1D", g_object_ref(box1), g_object_unref);
    g_object_set_data_full(G_OBJECT(frame), "Box2D", g_object_ref_sink(box2), g_object_unref);
    g_object_set_data(G_OBJECT(frame), "Hst1D", chart1);
    g_object_set_data(G_OBJECT(frame), "Hst2D", chart2);
    g_object_set_data(G_OBJECT(frame), "hidden", box2);
    gtk_widget_show_all(box2);
    gtk_widget_show_all(frame);
    return frame;
}

// ---- the charts ------------------------------------------------------------

void DefaultMonitorGUI::follow_analysis()
{
    Analysis* a = get_analysis();
    if (!a)
        return;
    std::unique_lock<Ostrel::Mutex> lock(a->get_lock(), std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const int n = a->Nchip();
    std::vector<std::pair<GtkWidget*, HstFunction*>> changed;
    for (const Chart& c : hlist) {
        HstFunction* f = object_for(a, c.role);
        if (f && f != HST_CHART1D(c.widget)->func)
            changed.emplace_back(c.widget, HST_FUNCTION(g_object_ref(f)));
    }
    lock.unlock();

    // Drawn outside the analysis's lock: the new objects are held here.
    for (auto& c : changed) {
        show_function(c.first, c.second);
        g_object_unref(c.second);
    }
    if (n != nchips) {
        GtkWidget* tr = get_widget("trCommonMode");
        if (tr && HST_IS_CHART1D(tr)) {
            make_tracers(tr, n);
            const int entry = combo_entry(get_widget("optMonitorSelect"));
            if (entry == 0 || entry == 1)
                show_tracers(tr, entry);
        }
        // Sets nchips, then selects a row, which comes back here.
        fill_chip_selector(n);
        nchips = n;
    }
}

void DefaultMonitorGUI::show_tracers(GtkWidget* tr, int entry)
{
    GPtrArray* tracers = tracer_array(tr, entry == 0 ? "common_mode" : "noise");
    if (!tracers || !tracers->len)
        return;
    HstChart1D* h = HST_CHART1D(tr);
    hst_chart1d_remove_curves(h);
    for (guint k = 0; k < tracers->len; ++k)
        hst_chart1d_add_curve(h, HST_FUNCTION(g_ptr_array_index(tracers, k)));
    g_object_set_data_full(G_OBJECT(tr), "hst", g_object_ref(h->func), g_object_unref);
}

void DefaultMonitorGUI::update_histograms()
{
    if (!has_stats_prop)
        return;
    for (const Chart& c : hlist) {
        if (HST_IS_CHART2D(c.widget))
            continue;
        HstFunction* f = HST_CHART1D(c.widget)->func;
        // A histogram the analysis is filling now gets its statistics at
        // the next tick: its thread may wait long for a processor.
        if (f && HST_IS_HISTOGRAM(f) && !HST_IS_TRACER(f) && hst_function_trylock(f)) {
            g_object_set(f, "stats", 0, nullptr);
            hst_function_unlock(f);
        }
    }
}

void DefaultMonitorGUI::stop_histograms()
{
    for (const Chart& c : hlist)
        hst_chart1d_monitor_stop(HST_CHART1D(c.widget));
}

void DefaultMonitorGUI::resize_hst1d(GtkWidget* w, int nx, double xmin, double xmax, double* ptr, double hmin,
                                     double hmax)
{
    g_return_if_fail(w != 0);
    g_return_if_fail(HST_IS_CHART1D(w));
    if (HstFunction* f = HST_CHART1D(w)->func)
        g_object_set(f, "nx", nx, "xmin", xmin, "xmax", xmax, "ptr", ptr, nullptr);
    if (hmin != hmax)
        g_object_set(w, "hymin", hmin, "hymax", hmax, nullptr);
    track(w, Role::Other);
}

void DefaultMonitorGUI::resize_hst2d(GtkWidget* w, int nx, double xmin, double xmax, int ny, double ymin,
                                     double ymax, double* ptr)
{
    g_return_if_fail(w != 0);
    g_return_if_fail(HST_IS_CHART2D(w));
    if (HstFunction* f = HST_CHART1D(w)->func)
        g_object_set(f, "nx", nx, "xmin", xmin, "xmax", xmax, "ny", ny, "ymin", ymin, "ymax", ymax, "ptr", ptr,
                     nullptr);
    track(w, Role::Other);
}

void DefaultMonitorGUI::toggle2Dhst(const char* frame_id, GtkToggleButton* button)
{
    GtkWidget* frame = get_widget(frame_id);
    if (!frame || !GTK_IS_FRAME(frame) || !button)
        return;
    auto* box1 = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(frame), "Box1D"));
    auto* box2 = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(frame), "Box2D"));
    if (!box1 || !box2)
        return;
    const bool active = gtk_toggle_button_get_active(button);
    gtk_button_set_label(GTK_BUTTON(button), active ? "2D" : "1D");
    GtkWidget* wanted = active ? box2 : box1;
    GtkWidget* current = gtk_bin_get_child(GTK_BIN(frame));
    if (current && current != wanted) {
        if (auto* chart = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(current), "hst")))
            hst_chart1d_monitor_stop(HST_CHART1D(chart));
        // The frame's data keeps the box while it is out.
        g_object_set_data(G_OBJECT(frame), "hidden", current);
        gtk_container_remove(GTK_CONTAINER(frame), current);
    }
    if (current != wanted)
        gtk_container_add(GTK_CONTAINER(frame), wanted);
    gtk_widget_show_all(wanted);
    if (auto* chart = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(wanted), "hst")))
        hst_chart1d_monitor_start(HST_CHART1D(chart), hst_update_freq / 2);
}

void DefaultMonitorGUI::inLocal()
{
    if (GtkWidget* w = get_widget("btnMonitorRunControl"))
        gtk_widget_set_sensitive(w, TRUE);
    if (GtkWidget* w = get_widget("swDSPTrgType"))
        activate_group(w, true);
}

void DefaultMonitorGUI::inGlobal()
{
    if (GtkWidget* w = get_widget("btnMonitorRunControl"))
        gtk_widget_set_sensitive(w, FALSE);
    if (GtkWidget* w = get_widget("swDSPTrgType"))
        activate_group(w, false);
}

void DefaultMonitorGUI::stop_timers()
{
    if (tmout)
        g_source_remove(tmout);
    if (tmout_stats)
        g_source_remove(tmout_stats);
    tmout = tmout_stats = 0;
    stop_histograms();
}

void DefaultMonitorGUI::close_window()
{
    stop_timers();
    // From the Quit button, which is still in use once its handler returns
    // (see destroy_later).
    if (window)
        destroy_later(window);
}

void DefaultMonitorGUI::on_window_destroy(GtkWidget*, gpointer data)
{
    // Destroyed by its owner or its quit button: nothing more is drawn.
    self_of(data)->stop_timers();
}

// ---- timers ----------------------------------------------------------------

gboolean DefaultMonitorGUI::on_Update(gpointer data)
{
    DefaultMonitorGUI* self = from_timer(data);
    if (!self)
        return FALSE;
    self->updating = true;
    self->follow_analysis();
    GtkWidget* tr = self->get_widget("trCommonMode");
    GPtrArray* cmmd = tracer_array(tr, "common_mode");
    GPtrArray* noise = tracer_array(tr, "noise");
    if (Analysis* a = self->get_analysis()) {
        // The per-chip values are read under the fill lock, which a new
        // chip count takes to replace them.
        std::unique_lock<Ostrel::Mutex> lock(a->get_lock(), std::try_to_lock);
        std::vector<std::pair<double, double>> values;
        if (lock.owns_lock() && cmmd && noise) {
            const int n = std::min<int>({a->Nchip(), int(cmmd->len), int(noise->len)});
            for (int k = 0; k < n; ++k)
                values.emplace_back(a->Cmmd(k), a->AvNoise(k));
        }
        if (lock.owns_lock())
            lock.unlock();
        for (size_t k = 0; k < values.size(); ++k) {
            hst_histogram_fill(HST_HISTOGRAM(g_ptr_array_index(cmmd, k)), values[k].first, 1.0);
            hst_histogram_fill(HST_HISTOGRAM(g_ptr_array_index(noise, k)), values[k].second, 1.0);
        }
    }
    // The share of the module's events of this run that its analysis saw,
    // in whichever run manager it takes part.
    GenModule* module = GenModule::find_module(self->_id);
    GtkWidget* bar = self->get_widget("prgQueue");
    if (module && bar && GTK_IS_PROGRESS_BAR(bar)) {
        const Ostrel::RunState& st = module->get_status();
        const unsigned long monitored = st.n_monitored();
        const unsigned long taken = st.n_trigger();
        const double fraction = taken ? std::min(1.0, double(monitored) / double(taken)) : 0.0;
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), fraction);
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar),
                                  (std::to_string(static_cast<int>(fraction * 100 + 0.5)) + " %").c_str());
        gtk_widget_queue_draw(bar);
    }
    self->updating = false;
    return TRUE;
}

gboolean DefaultMonitorGUI::on_UpdateStats(gpointer data)
{
    DefaultMonitorGUI* self = from_timer(data);
    if (!self)
        return FALSE;
    self->update_histograms();
    return TRUE;
}

// ---- handlers --------------------------------------------------------------

void DefaultMonitorGUI::on_ResetPed(GtkWidget*, gpointer data)
{
    if (Analysis* a = self_of(data)->get_analysis())
        a->reset_pedestals();
}

void DefaultMonitorGUI::on_Reset(GtkWidget*, gpointer data)
{
    DefaultMonitorGUI* self = self_of(data);
    if (GenModule* m = GenModule::find_module(self->_id))
        m->reset_monitor_data();
    GtkWidget* tr = self->get_widget("trCommonMode");
    if (tr && HST_IS_CHART1D(tr)) {
        HstFunction* f = HST_CHART1D(tr)->func;
        if (f && HST_IS_HISTOGRAM(f))
            hst_histogram_reset(HST_HISTOGRAM(f));
    }
}

void DefaultMonitorGUI::on_Quit(GtkWidget*, gpointer data)
{
    DefaultMonitorGUI* self = self_of(data);
    self->updating = false;
    // An owner deletes its window itself, when the top-level goes.
    if (self->_owned)
        self->close_window();
    else
        self->delete_later();
}

void DefaultMonitorGUI::on_Help(GtkWidget*, gpointer)
{
    gtk_help_display("monitoring-chapter");
}

void DefaultMonitorGUI::on_Btn2DSignal(GtkWidget* w, gpointer data)
{
    self_of(data)->toggle2Dhst("hstSignal", GTK_TOGGLE_BUTTON(w));
}

void DefaultMonitorGUI::on_Btn2DMap(GtkWidget* w, gpointer data)
{
    self_of(data)->toggle2Dhst("hstHitMap", GTK_TOGGLE_BUTTON(w));
}

void DefaultMonitorGUI::on_BtnApplyCut(GtkWidget*, gpointer data)
{
    DefaultMonitorGUI* self = self_of(data);
    const double emin = self->entry2double("txtEmin", 0.0);
    const double emax = self->entry2double("txtEmax", 99999.0);
    if (Analysis* a = self->get_analysis())
        a->SetEcuts(emin, emax);
}

void DefaultMonitorGUI::on_BtnResetCut(GtkWidget*, gpointer data)
{
    DefaultMonitorGUI* self = self_of(data);
    self->set_text("txtEmin", "");
    self->set_text("txtEmax", "");
    if (Analysis* a = self->get_analysis())
        a->SetEcuts(0.0, 0.0);
}

void DefaultMonitorGUI::on_seed_cut(GtkWidget* w, gpointer data)
{
    if (Analysis* a = self_of(data)->get_analysis())
        a->set_seed_cut(gtk_spin_button_get_value(GTK_SPIN_BUTTON(w)));
}

void DefaultMonitorGUI::on_neighbor_cut(GtkWidget* w, gpointer data)
{
    if (Analysis* a = self_of(data)->get_analysis())
        a->set_neighbor_cut(gtk_spin_button_get_value(GTK_SPIN_BUTTON(w)));
}

void DefaultMonitorGUI::on_NewChip(GtkWidget* w, DefaultMonitorGUI* self)
{
    self->g_chip = combo_entry(w ? w : self->get_widget("optChipSelect"));
    GtkWidget* tr = self->get_widget("trCommonMode");
    if (tr && HST_IS_CHART1D(tr)) {
        HstFunction* f = HST_CHART1D(tr)->func;
        if (f && HST_IS_HISTOGRAM(f))
            hst_histogram_reset(HST_HISTOGRAM(f));
    }
    // The signal chart takes the chip's spectrum.
    self->follow_analysis();
}

void DefaultMonitorGUI::on_Change2Noise(GtkWidget* w, DefaultMonitorGUI* self)
{
    GtkWidget* tr = self->get_widget("trCommonMode");
    if (!tr) {
        std::cout << "**** trCommonMode does not exist !!!" << std::endl;
        return;
    }
    if (!HST_IS_CHART1D(tr))
        return;
    const int entry = combo_entry(w && GTK_IS_COMBO_BOX(w) ? w : self->get_widget("optMonitorSelect"));
    if (entry == 0 || entry == 1)
        self->show_tracers(tr, entry);
}

void DefaultMonitorGUI::on_ChangeView(GtkWidget*, DefaultMonitorGUI* self)
{
    self->follow_analysis();
}

gboolean DefaultMonitorGUI::on_WindowSelDown(GtkWidget* w, GdkEvent* event, gpointer data)
{
    if (!HST_IS_CHART1D(w) || !event)
        return FALSE;
    if (event->type != GDK_BUTTON_PRESS && event->type != GDK_2BUTTON_PRESS && event->type != GDK_3BUTTON_PRESS)
        return FALSE;
    if (event->button.button == 1 && event->type == GDK_BUTTON_PRESS) {
        point_chart_at(w, event->button);
        self_of(data)->set_text("txtEmin", double2str(HST_CHART1D(w)->evt->x));
    }
    return TRUE;
}

gboolean DefaultMonitorGUI::on_WindowSelUp(GtkWidget* w, GdkEvent* event, gpointer data)
{
    if (!HST_IS_CHART1D(w) || !event || event->type != GDK_BUTTON_RELEASE)
        return FALSE;
    if (event->button.button == 1) {
        point_chart_at(w, event->button);
        self_of(data)->set_text("txtEmax", double2str(HST_CHART1D(w)->evt->x));
    }
    return TRUE;
}
