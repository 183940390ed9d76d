// A GUI timer that notes the longest wait between its ticks: how responsive
// the main loop stayed while it ran.
#ifndef BRISKO_TEST_GUI_TIMER_GAPS_H
#define BRISKO_TEST_GUI_TIMER_GAPS_H

#include <algorithm>

#include <glib.h>

class TimerGaps {
public:
    explicit TimerGaps(guint period_ms = 100)
        : last(g_get_monotonic_time()), source(g_timeout_add(period_ms, tick, this))
    {
    }
    ~TimerGaps() { g_source_remove(source); }
    TimerGaps(const TimerGaps&) = delete;
    TimerGaps& operator=(const TimerGaps&) = delete;

    // Measuring starts again from now.
    void restart()
    {
        last = g_get_monotonic_time();
        worst = 0;
    }
    // The longest wait so far, in milliseconds, the wait since the last tick
    // included.
    gint64 worst_ms() const { return std::max(worst, g_get_monotonic_time() - last) / 1000; }

private:
    static gboolean tick(gpointer data)
    {
        auto* self = static_cast<TimerGaps*>(data);
        const gint64 now = g_get_monotonic_time();
        self->worst = std::max(self->worst, now - self->last);
        self->last = now;
        return TRUE;
    }

    gint64 last;
    gint64 worst = 0;
    guint source;
};

#endif
