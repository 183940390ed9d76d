#include "GuiTest.h"

#include "WmDelete.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <glib/gstdio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace guitest {

bool display_ok()
{
    static const bool ok = [] {
        // A busy X server may refuse a connection now and then.
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

void pump()
{
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

void pump_for(int ms)
{
    const gint64 end = g_get_monotonic_time() + gint64(ms) * 1000;
    while (g_get_monotonic_time() < end) {
        pump();
        g_usleep(2000);
    }
}

bool pump_until(const std::function<bool()>& cond, double seconds)
{
    const gint64 end = g_get_monotonic_time() + gint64(seconds * 1e6);
    for (;;) {
        pump();
        if (cond())
            return true;
        if (g_get_monotonic_time() >= end)
            return false;
        g_usleep(2000);
    }
}

namespace {

struct Child {
    bool done = false;
    int status = -1;
};

void child_ended(GPid pid, gint status, gpointer data)
{
    auto* c = static_cast<Child*>(data);
    c->done = true;
    c->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    g_spawn_close_pid(pid);
}

} // namespace

int run_pumping(const std::vector<std::string>& argv, double timeout, std::string* out)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    GPid pid;
    gint out_fd = -1;
    GError* error = nullptr;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD);
    if (!g_spawn_async_with_pipes(nullptr, args.data(), nullptr, flags, nullptr, nullptr, &pid, nullptr,
                                  out ? &out_fd : nullptr, nullptr, &error)) {
        ADD_FAILURE() << "cannot run " << argv[0] << ": " << error->message;
        g_error_free(error);
        return -1;
    }
    Child child;
    g_child_watch_add(pid, child_ended, &child);
    std::string text;
    const gint64 end = g_get_monotonic_time() + gint64(timeout * 1e6);
    while (!child.done && g_get_monotonic_time() < end) {
        if (out_fd >= 0) {
            // The pipe stays small: drain it as the program writes, so it
            // never blocks on a full pipe.
            GPollFD p = {out_fd, G_IO_IN | G_IO_HUP, 0};
            if (g_poll(&p, 1, 0) > 0) {
                char buf[4096];
                const ssize_t n = read(out_fd, buf, sizeof buf);
                if (n > 0)
                    text.append(buf, size_t(n));
                else
                    { close(out_fd); out_fd = -1; }
            }
        }
        pump();
        g_usleep(1000);
    }
    if (!child.done) {
        kill(pid, SIGKILL);
        pump_until([&] { return child.done; }, 5);
        ADD_FAILURE() << argv[0] << " did not end within " << timeout << " s";
        child.status = -1;
    }
    if (out_fd >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(out_fd, buf, sizeof buf)) > 0)
            text.append(buf, size_t(n));
        close(out_fd);
    }
    if (out)
        *out = text;
    return child.status;
}

void show_and_wait(GtkWidget* toplevel)
{
    gtk_widget_show_all(toplevel);
    pump_until([&] { return gtk_widget_get_mapped(toplevel); }, 5);
    gdk_window_process_all_updates();
    // The X server maps the window a moment after GTK asked for it.
    gdk_display_sync(gdk_display_get_default());
    pump_for(50);
}

GdkRectangle screen_rect(GtkWidget* widget)
{
    GtkWidget* top = gtk_widget_get_toplevel(widget);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, top, 0, 0, &x, &y);
    int ox = 0, oy = 0;
    gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    return GdkRectangle{ox + x, oy + y, a.width, a.height};
}

unsigned long xid(GtkWidget* toplevel)
{
    return GDK_WINDOW_XID(gtk_widget_get_window(gtk_widget_get_toplevel(toplevel)));
}

bool click_at(int x, int y, int button)
{
    // A move to where the pointer already is makes no motion event, and
    // xdotool's --sync would wait for one for ever: click where it stands.
    int px = -1, py = -1;
    gdk_display_get_pointer(gdk_display_get_default(), nullptr, &px, &py, nullptr);
    if (px == x && py == y)
        return run_pumping({"xdotool", "click", std::to_string(button)}) == 0;
    return run_pumping({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click",
                        std::to_string(button)}) == 0;
}

bool drag(int x0, int y0, int x1, int y1, int button)
{
    const std::string b = std::to_string(button);
    const bool ok = run_pumping({"xdotool", "mousemove", "--sync", std::to_string(x0), std::to_string(y0),
                                 "mousedown", b, "mousemove", "--sync", std::to_string(x1), std::to_string(y1),
                                 "mouseup", b}) == 0;
    pump_for(30);
    return ok;
}

bool click(GtkWidget* widget, int button)
{
    const GdkRectangle r = screen_rect(widget);
    const bool ok = click_at(r.x + r.width / 2, r.y + r.height / 2, button);
    pump_for(30);
    return ok;
}

bool focus(GtkWidget* widget)
{
    const bool ok = run_pumping({"xdotool", "windowfocus", "--sync", std::to_string(xid(widget))}) == 0;
    pump_for(30);
    return ok;
}

bool type_text(GtkWidget* widget, const std::string& text)
{
    if (!focus(widget))
        return false;
    const bool ok = run_pumping({"xdotool", "type", "--delay", "20", text}) == 0;
    pump_for(30);
    return ok;
}

bool key(GtkWidget* widget, const std::string& keys)
{
    if (!focus(widget))
        return false;
    const bool ok = run_pumping({"xdotool", "key", keys}) == 0;
    pump_for(30);
    return ok;
}

void load_accessibility()
{
    static bool loaded = false;
    // The toolkit loads the modules of the setting when it changes.
    if (!loaded)
        g_object_set(gtk_settings_get_default(), "gtk-modules", "gail", nullptr);
    loaded = true;
}

bool click_for_screen_reader(GtkWidget* button)
{
    load_accessibility();
    AtkObject* accessible = gtk_widget_get_accessible(button);
    if (!ATK_IS_ACTION(accessible) || !atk_action_do_action(ATK_ACTION(accessible), 0))
        return false;
    // The click comes from the main loop.
    pump_for(50);
    return true;
}

void wm_delete(unsigned long window)
{
    send_wm_delete(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()), window);
    pump_for(50);
}

void wm_delete(GtkWidget* toplevel)
{
    wm_delete(xid(toplevel));
}

GdkPixbuf* screenshot(GtkWidget* toplevel)
{
    gchar* path = g_build_filename(g_get_tmp_dir(), "brisko-shot-XXXXXX.png", nullptr);
    const int fd = g_mkstemp(path);
    if (fd >= 0)
        close(fd);
    GdkPixbuf* picture = nullptr;
    if (fd >= 0 && run_pumping({"import", "-window", std::to_string(xid(toplevel)), path}, 30) == 0)
        picture = gdk_pixbuf_new_from_file(path, nullptr);
    g_unlink(path);
    g_free(path);
    return picture;
}

int count_colours(GdkPixbuf* picture)
{
    std::set<guint32> colours;
    const int w = gdk_pixbuf_get_width(picture), h = gdk_pixbuf_get_height(picture);
    const int n = gdk_pixbuf_get_n_channels(picture), stride = gdk_pixbuf_get_rowstride(picture);
    const guchar* px = gdk_pixbuf_get_pixels(picture);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const guchar* p = px + y * stride + x * n;
            colours.insert(guint32(p[0]) << 16 | guint32(p[1]) << 8 | p[2]);
        }
    return int(colours.size());
}

void give_chooser_settings()
{
    const std::string settings = std::string(g_get_user_config_dir()) + "/gtk-2.0";
    g_mkdir_with_parents(settings.c_str(), 0700);
    const std::string file = settings + "/gtkfilechooser.ini";
    if (!g_file_test(file.c_str(), G_FILE_TEST_EXISTS))
        g_file_set_contents(file.c_str(), "[Filechooser Settings]\n", -1, nullptr);
}

} // namespace guitest

namespace {

// A GLib critical is a fault of the code that caused it, whichever library
// reports it: a window test during which one comes fails with it. A test
// that provokes one on purpose catches it with a GlibLog of its domain,
// which takes it before the default handler sees it.
struct Criticals {
    std::mutex mutex;
    std::vector<std::string> seen;
};

Criticals& criticals()
{
    // Kept to the end: messages come while the process ends too.
    static Criticals* c = new Criticals;
    return *c;
}

void note_critical(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data)
{
    if (level & G_LOG_LEVEL_CRITICAL) {
        std::lock_guard<std::mutex> lock(criticals().mutex);
        criticals().seen.push_back(std::string(domain ? domain : "") + ": " + (message ? message : ""));
    }
    g_log_default_handler(domain, level, message, data);
}

class FailOnCriticals : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override
    {
        std::lock_guard<std::mutex> lock(criticals().mutex);
        criticals().seen.clear();
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        std::vector<std::string> seen;
        {
            std::lock_guard<std::mutex> lock(criticals().mutex);
            seen.swap(criticals().seen);
        }
        for (const std::string& m : seen)
            ADD_FAILURE() << "GLib critical: " << m;
    }
};

const bool criticals_fail = [] {
    g_log_set_default_handler(note_critical, nullptr);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailOnCriticals);
    return true;
}();

} // namespace

// The toolkit's font and type caches live until the process ends;
// LeakSanitizer, in a sanitized build, reports everything else.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
