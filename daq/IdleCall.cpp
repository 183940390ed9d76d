#include "daq/IdleCall.h"

// The main loop's lock, which hands a record over, is GLib's and unseen by
// ThreadSanitizer: the hand-over is told to it, so that the values a record
// carries are no race where they are read on the GTK main thread.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace {

void handed_over(void* record)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(record);
#else
    static_cast<void>(record);
#endif
}

void taken_over(void* record)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(record);
#else
    static_cast<void>(record);
#endif
}

gboolean run_idle_call(gpointer data)
{
    taken_over(data);
    (*static_cast<std::function<void()>*>(data))();
    return FALSE;
}

void free_idle_call(gpointer data)
{
    taken_over(data);
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

guint idle_call_function(std::function<void()> call, int priority)
{
    auto* record = new std::function<void()>(std::move(call));
    handed_over(record);
    return g_idle_add_full(priority, &run_idle_call, record, &free_idle_call);
}
