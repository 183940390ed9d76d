// The stock monitor window of a module: pedestals, noise, signal spectrum
// and hit map (each 1D or 2D), a strip chart of every chip's common mode or
// noise, an event display, the cuts, the energy window of the signal, the
// monitor queue's fill level and the run menu of the module's own run
// manager.
#ifndef BRISKO_GUI_DEFAULTMONITORGUI_H
#define BRISKO_GUI_DEFAULTMONITORGUI_H

#include <vector>

#include "gui/GladeApp.h"
#include "ostrel/DAQid.h"
#include "plenwig/hst_function.h"

class Analysis;
class RunMenu;

// Built by its owner from the interface description with the root
// "dsp-monitor" (init_application), which runs set_handlers, auto_connect
// and user_init. GTK main thread only.
//
// The window never keeps the module or its analysis: every tick and every
// handler looks the module up by its id and does nothing when it is gone,
// so that a configuration reload may delete modules while the window is
// open. The charts draw the analysis's histograms under the histograms' own
// locks; each refresh tick brings every chart to the objects the analysis
// holds then (set_bins, set_map and a new chip count replace them), taking
// the analysis's fill lock only to read which objects those are, and never
// waiting for it.
//
// Object data on the widgets, which other code reads:
//   every chart:            "hst", the data object it draws (one reference)
//   "trCommonMode":         "common_mode" and "noise", each a GPtrArray of
//                           one HstTracer per chip (the array's length is the
//                           chip count it was made for)
//   "hstSignal", "hstHitMap" (frames): "Hst1D", "Hst2D" (the charts),
//                           "Box1D", "Box2D" (their boxes, each with "hst" =
//                           its chart) and "hidden" (the box not shown)
class DefaultMonitorGUI : public GladeApp {
public:
    // The chart refresh period, ms.
    static const int hst_update_freq = 1000;

    // The strip chart takes the tracer colours of the "general" section,
    // those that are set.
    static void set_tracer_colors(GtkWidget* chart);

    // The last two arguments are not used: the analysis is the module's.
    DefaultMonitorGUI(const Ostrel::DAQid& id, GladeApp* app = nullptr, Analysis* ana = nullptr);
    // Removes the timers, deletes the run menu of "rm." + id and stops
    // every chart's timer; the window base then destroys the window.
    ~DefaultMonitorGUI() override;

    void user_init() override;
    void auto_connect() override;
    void set_handlers() override;

    // The module's own run manager drives it (local), or "main" (global):
    // the run control and trigger type are sensitive only when local.
    void inLocal();
    void inGlobal();

    // A window owned by another object (a module family's MonitorWindow)
    // is deleted by its owner: its quit button then only closes the window
    // (timers off, top-level destroyed), and the owner learns it from the
    // top-level's "destroy". An unowned window deletes itself on quit.
    void set_owned(bool owned) { _owned = owned; }
    bool is_owned() const { return _owned; }

    const Ostrel::DAQid& get_id() const { return _id; }
    // The module's analysis now; null when the module is gone, is not a
    // GenModule or has none. Not to be kept past the current call.
    Analysis* get_analysis() const;
    // The chip count the per-chip arrays and the chip selector were made
    // for.
    int chip_count() const { return nchips; }
    // The refresh and statistics timers (0 when none), and every chart.
    guint refresh_timer() const { return tmout; }
    guint stats_timer() const { return tmout_stats; }
    std::vector<GtkWidget*> charts() const;

    void update_histograms();
    void stop_histograms();
    void resize_hst1d(GtkWidget* w, int nx, double xmin, double xmax, double* ptr, double hmin, double hmax);
    void resize_hst2d(GtkWidget* w, int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                      double* ptr);
    void toggle2Dhst(const char* frame, GtkToggleButton* button);
    GtkWidget* create_2D_frame(const char* prefix, const char* xtitle1, const char* ytitle1, const char* xtitle2,
                               const char* ytitle2);
    // Every chart to the analysis's current objects, and the per-chip
    // arrays and the chip selector to its chip count. The refresh tick does
    // it; nothing when the analysis is busy (the next tick does it).
    void follow_analysis();

    // Timers; the data is the window's window_id().
    static gboolean on_Update(gpointer data);
    static gboolean on_UpdateStats(gpointer data);

    static void on_ResetPed(GtkWidget* w, gpointer data);
    static void on_Reset(GtkWidget* w, gpointer data);
    static void on_Quit(GtkWidget* w, gpointer data);
    static void on_Help(GtkWidget* w, gpointer data);
    static void on_Btn2DSignal(GtkWidget* w, gpointer data);
    static void on_Btn2DMap(GtkWidget* w, gpointer data);
    static void on_BtnApplyCut(GtkWidget* w, gpointer data);
    static void on_BtnResetCut(GtkWidget* w, gpointer data);
    static void on_seed_cut(GtkWidget* w, gpointer data);
    static void on_neighbor_cut(GtkWidget* w, gpointer data);
    static void on_NewChip(GtkWidget* w, DefaultMonitorGUI* self);
    // The strip chart shows the common mode (entry 0) or the noise (entry
    // 1) of every chip; other entries are left to whoever added them.
    static void on_Change2Noise(GtkWidget* w, DefaultMonitorGUI* self);
    static void on_ChangeView(GtkWidget* w, DefaultMonitorGUI* self);
    // Button 1 on a signal chart writes the pointer's x into "txtEmin"
    // (press) or "txtEmax" (release). Connected to the charts' "event", so
    // that the charts' own mouse actions never see these buttons.
    static gboolean on_WindowSelDown(GtkWidget* w, GdkEvent* event, gpointer data);
    static gboolean on_WindowSelUp(GtkWidget* w, GdkEvent* event, gpointer data);

private:
    // What a chart shows of the analysis.
    enum class Role { Other, Pedestals, Noise, Signal1D, Signal2D, Map1D, Map2D, EventDisplay, ChipMonitor };
    struct Chart {
        GtkWidget* widget;   // one reference
        Role role;
    };

    static DefaultMonitorGUI* self_of(gpointer data);
    static DefaultMonitorGUI* from_timer(gpointer data);
    static void on_window_destroy(GtkWidget* w, gpointer data);

    static GtkWidget* create_hst_pedestals(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_hst_noise(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_hst_signal(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_hitmap(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_event_display(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_tracer_cmmd(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_gauge_rate(GladeApp*, const char*, const char*, const char*, int, int);
    static GtkWidget* create_gauge_eff(GladeApp*, const char*, const char*, const char*, int, int);

    // A new chart of the object, tracked under the role.
    GtkWidget* new_chart(HstFunction* f, Role role, const char* xtitle, const char* ytitle, int period);
    void track(GtkWidget* chart, Role role);
    // A chart of what the analysis gives for the role; a "no data" label
    // without an analysis.
    GtkWidget* analysis_chart(const char* name, Role role, const char* xtitle, const char* ytitle, int period);
    // The object the analysis gives for the role now (no reference).
    HstFunction* object_for(const Analysis* a, Role role) const;
    // The tracer arrays for n chips, on the strip chart.
    void make_tracers(GtkWidget* chart, int n);
    // The chip selector's rows for n chips, keeping the selected row when
    // it is still there.
    void fill_chip_selector(int n);
    // Puts the tracers of the quantity (0 common mode, 1 noise) on the
    // strip chart.
    void show_tracers(GtkWidget* chart, int entry);
    void stop_timers();
    void close_window();

    Ostrel::DAQid _id;
    // The run menu of "rm." + id that this window made.
    RunMenu* run_menu = nullptr;
    guint tmout = 0;
    guint tmout_stats = 0;
    int g_chip = -1;
    bool updating = false;
    bool has_stats_prop = false;
    bool _owned = false;
    int nchips = 0;
    std::vector<Chart> hlist;
};

#endif
