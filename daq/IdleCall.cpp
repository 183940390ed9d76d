#include "daq/IdleCall.h"

namespace {

gboolean run_idle_call(gpointer data)
{
    (*static_cast<std::function<void()>*>(data))();
    return FALSE;
}

void free_idle_call(gpointer data)
{
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

guint idle_call_function(std::function<void()> call, int priority)
{
    return g_idle_add_full(priority, &run_idle_call, new std::function<void()>(std::move(call)), &free_idle_call);
}
