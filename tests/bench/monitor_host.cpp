// A plug-in for the monitor window benchmarks, loaded by the program like any
// other.
//
// Without the program's window: while the file that BENCH_MONITOR_MARKER
// names exists, every module of ours has a monitor window open (the stock
// one, as the module panels open it), and none while it does not. It says so
// on standard output each time the number of open windows changes.
//
// With the window: the benchmark writes "<number> <command>" into the file
// that BENCH_DRIVER_COMMANDS names, and the plug-in does it on the GTK main
// thread with the window's own controls, as an operator's click would, then
// prints "done <number>":
//   monitor 1 | monitor 0    every module panel's monitor toggle on or off;
//                            prints "monitor windows open: <n>"
//   trigger internal | trigger external   the trigger-type switch
//   quit                     the window's Quit: the program ends in order
//   reload FILE              the configuration read anew from FILE, as
//                            "Load config" does
//   heap                     prints "heap in use <kB> kB, free <kB> kB": the
//                            allocator's account of the program's memory
//   stalls                   prints "stalls longest <ms> (<what the main
//                            thread did meanwhile>) over <n> ticks, above
//                            50 ms: <counts>" for the time since the last
//                            "stalls", and starts anew
//
// In both, a 20 ms timer of the GTK main loop measures its own lateness: the
// longest time the main loop left it waiting is the longest stall of every
// window's drawing and refresh.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <glib.h>
#include <malloc.h>
#include <glib/gstdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/StockMonitorWindow.h"
#include "config/SectionParser.h"
#include "daq/DAQcontroller.h"
#include "gui/MainWindow.h"
#include "gui/module_gui.h"

namespace {

// A toggle switched as a click switches it: its handlers run.
void press(GladeApp* window, const char* id, bool state)
{
    GtkWidget* w = window->get_widget(id);
    if (w && GTK_IS_TOGGLE_BUTTON(w))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), state);
}

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The lateness of a 20 ms timer: gaps between its ticks beyond 20 ms. Of
// the longest, what the GTK main thread did meanwhile, from the kernel's
// account of it (/proc/self/task/<id>/schedstat): on a processor (its own
// work), runnable but waiting for one (starved), or neither (blocked: a
// lock, the X server, a sleep).
class StallProbe {
public:
    static constexpr int period_ms = 20;
    // Upper edges of the histogram's bins of stalls above 50 ms, ms.
    static constexpr int edges[] = {100, 150, 250, 500, 1000};
    static constexpr int bins = sizeof edges / sizeof edges[0] + 1;

    StallProbe() : schedstat("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/schedstat")
    {
        g_timeout_add(period_ms, &StallProbe::tick, this);
    }

    std::string report()
    {
        auto ms = [](gint64 us) { return std::to_string(us / 1000); };
        std::string out = "stalls longest " + ms(longest.stall) + " ms (on a processor " + ms(longest.running) +
                          ", waiting for one " + ms(longest.waiting) + ", blocked " +
                          ms(longest.stall + period_ms * 1000 - longest.running - longest.waiting) + ") over " +
                          std::to_string(ticks) + " ticks, above 50 ms:";
        int from = 50;
        for (int b = 0; b < bins; ++b) {
            out += " " + std::to_string(from) + (b < bins - 1 ? "-" + std::to_string(edges[b]) : "+") + "=" +
                   std::to_string(counts[b]);
            if (b < bins - 1)
                from = edges[b];
        }
        longest = Gap{};
        ticks = 0;
        std::fill(counts, counts + bins, 0);
        return out;
    }

private:
    // A time between two ticks, us.
    struct Gap {
        gint64 stall = 0;
        gint64 running = 0;
        gint64 waiting = 0;
    };
    struct Account {
        gint64 when = 0;
        gint64 running = 0;
        gint64 waiting = 0;
    };

    static gboolean tick(gpointer data)
    {
        static_cast<StallProbe*>(data)->measure();
        return G_SOURCE_CONTINUE;
    }

    Account now() const
    {
        Account a;
        a.when = g_get_monotonic_time();
        unsigned long long run = 0;
        unsigned long long wait = 0;
        if (std::FILE* f = std::fopen(schedstat.c_str(), "r")) {
            if (std::fscanf(f, "%llu %llu", &run, &wait) == 2) {
                a.running = static_cast<gint64>(run / 1000);
                a.waiting = static_cast<gint64>(wait / 1000);
            }
            std::fclose(f);
        }
        return a;
    }

    void measure()
    {
        const Account a = now();
        if (last.when) {
            Gap g;
            g.stall = std::max<gint64>(0, a.when - last.when - period_ms * 1000);
            g.running = a.running - last.running;
            g.waiting = a.waiting - last.waiting;
            if (g.stall >= longest.stall)
                longest = g;
            ++ticks;
            if (g.stall > 50000) {
                int b = 0;
                while (b < bins - 1 && g.stall > edges[b] * 1000)
                    ++b;
                ++counts[b];
            }
        }
        last = a;
    }

    std::string schedstat;
    Account last;
    Gap longest;
    long ticks = 0;
    long counts[bins] = {};
};

// Does the benchmark's commands with the main window's controls. It lives
// as long as the process, since a reload deletes the section handlers.
class Driver {
public:
    Driver() { g_timeout_add(100, &Driver::tick, this); }

private:
    static gboolean tick(gpointer data)
    {
        static_cast<Driver*>(data)->follow();
        return G_SOURCE_CONTINUE;
    }

    void follow()
    {
        const char* file = g_getenv("BENCH_DRIVER_COMMANDS");
        gchar* text = nullptr;
        if (!file || !g_file_get_contents(file, &text, nullptr, nullptr))
            return;
        gchar* rest = nullptr;
        const long number = std::strtol(text, &rest, 10);
        const std::string command = g_strstrip(rest);
        g_free(text);
        if (number <= done)
            return;
        done = number;
        run(command);
        say("done " + std::to_string(number));
    }

    void run(const std::string& command)
    {
        auto* window = dynamic_cast<MainWindow*>(DAQcontroller::instance()->get_main_window());
        if (command == "stalls") {
            say(probe.report());
        } else if (command == "heap") {
            // In use, and kept free by the allocator, over all its arenas.
            const struct mallinfo2 m = mallinfo2();
            say("heap in use " + std::to_string((m.uordblks + m.hblkhd) >> 10) + " kB, free " +
                std::to_string(m.fordblks >> 10) + " kB");
        } else if (!window) {
            say("no main window for " + command);
        } else if (command == "monitor 1" || command == "monitor 0") {
            size_t open = 0;
            for (module_gui* panel : window->get_panels()) {
                press(panel, "swMonitor", command == "monitor 1");
                open += panel->get_monitor() != nullptr;
            }
            say("monitor windows open: " + std::to_string(open));
        } else if (command == "trigger internal") {
            press(window, "swTriggerInternal", true);
        } else if (command == "trigger external") {
            press(window, "swTriggerType", true);
        } else if (command == "quit") {
            MainWindow::onQuit(nullptr, window);
        } else if (command.compare(0, 7, "reload ") == 0) {
            window->load_new_configuration(command.substr(7));
        } else {
            say("unknown command " + command);
        }
    }

    StallProbe probe;
    long done = 0;
};

class MonitorHost : public SectionParser {
public:
    MonitorHost() { timer = g_timeout_add(250, &MonitorHost::tick, this); }
    ~MonitorHost() override
    {
        g_source_remove(timer);
        windows.clear();
    }

private:
    static gboolean tick(gpointer data)
    {
        static_cast<MonitorHost*>(data)->follow();
        return TRUE;
    }

    void follow()
    {
        const char* marker = g_getenv("BENCH_MONITOR_MARKER");
        if (!marker)
            return;
        const bool wanted = g_file_test(marker, G_FILE_TEST_EXISTS);
        if (!wanted)
            windows.clear();
        else
            for (const std::string& id : DAQcontroller::instance()->module_ids())
                if (!windows.count(id))
                    windows[id].reset(new StockMonitorWindow(id, nullptr));
        if (windows.size() != told) {
            told = windows.size();
            say("monitor windows open: " + std::to_string(told));
        }
    }

    guint timer = 0;
    std::map<std::string, std::unique_ptr<StockMonitorWindow>> windows;
    size_t told = 0;
};

} // namespace

extern "C" SectionParser* monitor_host()
{
    // Made once, on the GTK main thread that parses the configuration.
    static Driver driver;
    return new MonitorHost;
}
