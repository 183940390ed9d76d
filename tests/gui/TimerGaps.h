// A GUI timer that notes the longest wait between its ticks: how responsive
// the main loop stayed while it ran.
//
// A gap counts what the main loop's thread did or waited for (work, a lock,
// a sleep, a reply), not the time it stood ready to run while other
// processes had the processors: that time, which the system keeps per
// thread, is taken off each gap. A busy machine then does not fail a test
// whose main loop never blocks, while a main loop that blocks still does.
#ifndef BRISKO_TEST_GUI_TIMER_GAPS_H
#define BRISKO_TEST_GUI_TIMER_GAPS_H

#include <algorithm>
#include <cstdio>
#include <string>

#include <glib.h>
#include <sys/syscall.h>
#include <unistd.h>

class TimerGaps {
public:
    // On the thread whose main loop is watched.
    explicit TimerGaps(guint period_ms = 100)
        : schedstat("/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) + "/schedstat"),
          last(g_get_monotonic_time()), last_ready(ready_us()), source(g_timeout_add(period_ms, tick, this))
    {
    }
    ~TimerGaps() { g_source_remove(source); }
    TimerGaps(const TimerGaps&) = delete;
    TimerGaps& operator=(const TimerGaps&) = delete;

    // Measuring starts again from now.
    void restart()
    {
        last = g_get_monotonic_time();
        last_ready = ready_us();
        worst = 0;
    }
    // The longest wait so far, in milliseconds, the wait since the last tick
    // included.
    gint64 worst_ms() const { return std::max(worst, gap(g_get_monotonic_time(), ready_us())) / 1000; }

private:
    static gboolean tick(gpointer data)
    {
        auto* self = static_cast<TimerGaps*>(data);
        const gint64 now = g_get_monotonic_time();
        const gint64 ready = self->ready_us();
        self->worst = std::max(self->worst, self->gap(now, ready));
        self->last = now;
        self->last_ready = ready;
        return TRUE;
    }

    // The time since the last tick less the time the thread stood ready
    // meanwhile.
    gint64 gap(gint64 now, gint64 ready) const { return std::max<gint64>(0, (now - last) - (ready - last_ready)); }

    // Microseconds the watched thread has stood ready to run, waiting for a
    // processor (0 where the system does not say).
    gint64 ready_us() const
    {
        unsigned long long running_ns = 0, waiting_ns = 0;
        FILE* f = std::fopen(schedstat.c_str(), "r");
        if (!f)
            return 0;
        const int n = std::fscanf(f, "%llu %llu", &running_ns, &waiting_ns);
        std::fclose(f);
        return n == 2 ? static_cast<gint64>(waiting_ns / 1000) : 0;
    }

    std::string schedstat;
    gint64 last;
    gint64 last_ready;
    gint64 worst = 0;
    guint source;
};

#endif
