// Runs a function object once on the GTK main thread, from any thread. It is
// the one way another thread hands work to a window: such a record carries
// ids and values, never widgets or windows, looks its window up when it runs
// and does nothing when that has gone. (The GUI thread posts records for
// itself too, which may hold what it owns, as a window it deletes later.)
// The object is freed on the GTK main thread after the call; one that the
// main loop never gets to stays with the loop's context, which lasts as long
// as the process.
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
