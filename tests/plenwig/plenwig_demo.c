/* A window with a 1D chart, a 2D chart and a gauge, fed by a worker thread
 * as the acquisition feeds them: the histograms are filled directly (they
 * lock themselves), the gauge only through the GTK main loop.
 *
 *   plenwig_demo [--seconds N]
 *
 * Once the window has been drawn it prints "window <X id> <width> <height>"
 * and one line "widget <name> <x> <y> <width> <height>" per widget, so that
 * a screenshot can be checked; with --seconds it quits after N seconds. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plenwig/plenwig.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
#include <gdk/gdkx.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

typedef struct {
    HstHistogram* h1;
    HstHistogram2D* h2;
    GtkWidget* gauge;
    GtkWidget* widgets[3];
    GtkWidget* window;
    gint stop;
} Demo;

typedef struct {
    Demo* demo;
    float value;
} GaugeValue;

static double gaussian(GRand* r)
{
    const double u = g_rand_double_range(r, 1e-12, 1.0);
    const double v = g_rand_double(r);
    return sqrt(-2.0 * log(u)) * cos(2.0 * G_PI * v);
}

/* Runs in the main loop: the only way the worker reaches a widget. */
static gboolean set_gauge(gpointer data)
{
    GaugeValue* gv = data;
    if (!g_atomic_int_get(&gv->demo->stop))
        hst_gauge_set_value(HST_GAUGE(gv->demo->gauge), gv->value);
    g_free(gv);
    return FALSE;
}

static gpointer worker(gpointer data)
{
    Demo* d = data;
    GRand* r = g_rand_new_with_seed(4711);
    for (int round = 0; !g_atomic_int_get(&d->stop); round++) {
        for (int i = 0; i < 200; i++) {
            hst_histogram_fill(d->h1, gaussian(r), 1.0);
            hst_histogram2d_fill(d->h2, 1.5 * gaussian(r), gaussian(r), 1.0);
        }
        if (round % 20 == 0) {
            GaugeValue* gv = g_new(GaugeValue, 1);
            gv->demo = d;
            gv->value = (float)(500.0 + 300.0 * sin(round / 200.0));
            g_idle_add(set_gauge, gv);
        }
        g_usleep(2000);
    }
    g_rand_free(r);
    return NULL;
}

static gboolean report_geometry(gpointer data)
{
    Demo* d = data;
    static const char* const names[] = {"chart1d", "chart2d", "gauge"};
    GtkAllocation a;
    gtk_widget_get_allocation(d->window, &a);
    printf("window 0x%lx %d %d\n", (unsigned long)GDK_WINDOW_XID(gtk_widget_get_window(d->window)), a.width,
           a.height);
    for (int i = 0; i < 3; i++) {
        gtk_widget_get_allocation(d->widgets[i], &a);
        printf("widget %s %d %d %d %d\n", names[i], a.x, a.y, a.width, a.height);
    }
    fflush(stdout);
    return FALSE;
}

static gboolean quit(gpointer data)
{
    (void)data;
    gtk_main_quit();
    return FALSE;
}

/* The gauge goes with the window: values still on their way must not reach
 * it. */
static void on_destroy(GtkWidget* w, gpointer data)
{
    (void)w;
    Demo* d = data;
    g_atomic_int_set(&d->stop, 1);
    gtk_main_quit();
}

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    int seconds = 0;
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "--seconds") == 0)
            seconds = atoi(argv[i + 1]);

    Demo d = {0};
    d.h1 = hst_histogram_new(100, -5.0, 5.0, NULL);
    hst_function_set_name(HST_FUNCTION(d.h1), "signal");
    d.h2 = hst_histogram2d_new(50, -5.0, 5.0, 40, -4.0, 4.0, NULL);

    GtkWidget* c1 = hst_chart1d_new(HST_FUNCTION(d.h1));
    hst_chart1d_filled(HST_CHART1D(c1), TRUE);
    hst_chart1d_set_xtitle(HST_CHART1D(c1), "Signal (ADC)");
    hst_chart1d_set_colors(HST_CHART1D(c1), "background", "white", "curve", "steel blue", NULL);
    hst_chart1d_monitor_start(HST_CHART1D(c1), 200);
    GtkWidget* c2 = hst_chart2d_new(d.h2);
    hst_chart1d_set_colors(HST_CHART1D(c2), "background", "white", NULL);
    hst_chart1d_monitor_start(HST_CHART1D(c2), 300);
    d.gauge = hst_gauge_new(0.0f, 1000.0f);
    hst_gauge_set_title(HST_GAUGE(d.gauge), "Rate (Hz)");

    d.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(d.window), "plenwig demo");
    gtk_window_set_default_size(GTK_WINDOW(d.window), 960, 320);
    g_signal_connect(d.window, "destroy", G_CALLBACK(on_destroy), &d);
    GtkWidget* box = gtk_hbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box), c1, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), c2, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), d.gauge, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(d.window), box);
    d.widgets[0] = c1;
    d.widgets[1] = c2;
    d.widgets[2] = d.gauge;
    gtk_widget_show_all(d.window);

    GThread* thread = g_thread_new("filler", worker, &d);
    g_timeout_add(1000, report_geometry, &d);
    if (seconds > 0)
        g_timeout_add_seconds((guint)seconds, quit, NULL);
    gtk_main();

    g_atomic_int_set(&d.stop, 1);
    g_thread_join(thread);
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
    g_object_unref(d.h1);
    g_object_unref(d.h2);
    return 0;
}
