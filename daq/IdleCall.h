// Runs a function object once on the GTK main thread, from any thread: the
// object is the idle record (it carries ids and values, never widgets) and
// is freed after the call, or with the main loop's context if it never runs.
#ifndef BRISKO_DAQ_IDLECALL_H
#define BRISKO_DAQ_IDLECALL_H

#include <functional>
#include <utility>

#include <glib.h>

// One runner in the main library for every record, whichever library posts
// it: the hand-over through the main loop has one place in every stack.
guint idle_call_function(std::function<void()> call, int priority);

template <class F>
guint idle_call(F call, int priority = G_PRIORITY_DEFAULT_IDLE)
{
    return idle_call_function(std::function<void()>(std::move(call)), priority);
}

#endif
