#include "gui/TellumDownloadProgess.h"

#include <cmath>
#include <map>

#include "gui/IdleCall.h"

namespace {

// Live sinks by id; GTK main thread only.
std::map<unsigned, TellumDownloadProgess*>& sinks()
{
    static std::map<unsigned, TellumDownloadProgess*> table;
    return table;
}

unsigned next_serial()
{
    static unsigned serial = 0;
    return ++serial;
}

} // namespace

TellumDownloadProgess::TellumDownloadProgess(GtkProgressBar* b) : serial(next_serial())
{
    sinks()[serial] = this;
    if (b)
        set_progress_bar(b);
}

TellumDownloadProgess::~TellumDownloadProgess()
{
    sinks().erase(serial);
    if (bar)
        g_object_unref(bar);
}

void TellumDownloadProgess::set_progress_bar(GtkProgressBar* b)
{
    if (b)
        g_object_ref(b);
    if (bar)
        g_object_unref(bar);
    bar = b;
    if (bar)
        gtk_progress_bar_set_fraction(bar, 0.0);
}

void TellumDownloadProgess::set_progress(double fraction)
{
    // A transfer reports many times a second: the main loop gets a figure
    // only when the bar would move visibly.
    if (std::fabs(fraction - posted) < 0.001 && fraction < 1.0)
        return;
    posted = fraction;
    idle_call([id = serial, fraction] {
        auto it = sinks().find(id);
        if (it == sinks().end() || !it->second->bar)
            return;
        GtkProgressBar* b = it->second->bar;
        gtk_progress_bar_set_fraction(b, fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
        gtk_widget_queue_draw(GTK_WIDGET(b));
    });
}

double TellumDownloadProgess::get_progress()
{
    return bar ? gtk_progress_bar_get_fraction(bar) : 0.0;
}
