// Runs a function object once on the GTK main thread, from any thread: the
// object is the idle record (it carries ids and values, never widgets) and
// is freed after the call, or with the main loop's context if it never runs.
#ifndef BRISKO_GUI_IDLECALL_H
#define BRISKO_GUI_IDLECALL_H

#include <utility>

#include <glib.h>

template <class F>
guint idle_call(F call, int priority = G_PRIORITY_DEFAULT_IDLE)
{
    return g_idle_add_full(
        priority,
        [](gpointer data) -> gboolean {
            (*static_cast<F*>(data))();
            return FALSE;
        },
        new F(std::move(call)), [](gpointer data) { delete static_cast<F*>(data); });
}

#endif
