// Test fixture for the chart library's widgets: a display (the tests skip
// without one), widgets shown in an offscreen window of a given size, and the
// pixels of what they drew.
#ifndef BRISKO_TEST_PLENWIG_WIDGET_TEST_H
#define BRISKO_TEST_PLENWIG_WIDGET_TEST_H

#include <array>
#include <cstdio>
#include <string>

#include <sys/wait.h>

#include "PlenwigTest.h"
#include "plenwig/hst_chart_private.h"

class WidgetTest : public PlenwigTest {
protected:
    void SetUp() override
    {
        if (!display_ok())
            GTEST_SKIP() << "no display: run the widget tests under xvfb-run";
        PlenwigTest::SetUp();
    }

    void TearDown() override
    {
        if (window_)
            gtk_widget_destroy(window_);
        window_ = nullptr;
        pump();
        if (display_ok())
            PlenwigTest::TearDown();
    }

    // A busy X server may refuse a connection now and then: try again for a
    // moment before skipping.
    static bool display_ok()
    {
        static const bool ok = [] {
            for (int attempt = 0; attempt < 10; ++attempt) {
                if (gtk_init_check(nullptr, nullptr))
                    return true;
                if (!g_getenv("DISPLAY"))
                    return false;
                g_usleep(200000);
            }
            return false;
        }();
        return ok;
    }

    static void pump()
    {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
    }

    // Shows the widget alone in an offscreen window of that size and lets
    // it be allocated and drawn; the window owns the widget.
    GtkWidget* show(GtkWidget* widget, int width, int height)
    {
        window_ = gtk_offscreen_window_new();
        gtk_widget_set_size_request(widget, width, height);
        gtk_container_add(GTK_CONTAINER(window_), widget);
        gtk_widget_show_all(window_);
        pump();
        return widget;
    }

    // What the offscreen window shows now, after pending redraws.
    GdkPixbuf* snapshot()
    {
        gdk_window_process_all_updates();
        pump();
        return gtk_offscreen_window_get_pixbuf(GTK_OFFSCREEN_WINDOW(window_));
    }

    GtkWidget* window_ = nullptr;
};

using Rgb = std::array<int, 3>;

inline Rgb pixel(GdkPixbuf* pb, int x, int y)
{
    const guchar* p = gdk_pixbuf_get_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) +
                      x * gdk_pixbuf_get_n_channels(pb);
    return {p[0], p[1], p[2]};
}

inline Rgb rgb_of(const GdkColor& c)
{
    return {c.red >> 8, c.green >> 8, c.blue >> 8};
}

// The picture a GString holds, decoded; NULL when it is none.
inline GdkPixbuf* decode(GString* s)
{
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    GdkPixbuf* pb = nullptr;
    if (s && gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(s->str), s->len, nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        pb = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pb)
            g_object_ref(pb);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return pb;
}

// Runs a command line; its exit status, with its output in *out.
inline int run_command(const std::string& cmd, std::string* out = nullptr)
{
    gchar* so = nullptr;
    gchar* se = nullptr;
    gint status = -1;
    GError* err = nullptr;
    if (!g_spawn_command_line_sync(cmd.c_str(), &so, &se, &status, &err)) {
        if (out)
            *out = err ? err->message : "spawn failed";
        g_clear_error(&err);
        return -1;
    }
    if (out)
        *out = std::string(so ? so : "") + (se ? se : "");
    g_free(so);
    g_free(se);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string temp_path(const std::string& name)
{
    return std::string(g_get_home_dir()) + "/" + name;
}

inline std::string read_file(const std::string& path)
{
    gchar* data = nullptr;
    gsize len = 0;
    if (!g_file_get_contents(path.c_str(), &data, &len, nullptr))
        return "<missing>";
    std::string s(data, len);
    g_free(data);
    return s;
}

#endif
