#include "gui/updatecheck/TellumDownloadProgess.h"

TellumDownloadProgess::TellumDownloadProgess(GtkProgressBar* b)
{
    if (b)
        set_progress_bar(b);
}

TellumDownloadProgess::~TellumDownloadProgess()
{
    set_progress_bar(nullptr);
}

void TellumDownloadProgess::set_progress_bar(GtkProgressBar* b)
{
    if (b)
        g_object_ref(b);
    if (bar)
        g_object_unref(bar);
    bar = b;
    latest = 0;
    if (bar)
        gtk_progress_bar_set_fraction(bar, 0.0);
    if (bar && !timer)
        timer = g_timeout_add(100, &TellumDownloadProgess::show, this);
    if (!bar && timer) {
        g_source_remove(timer);
        timer = 0;
    }
}

void TellumDownloadProgess::set_progress(double fraction)
{
    latest = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
}

gboolean TellumDownloadProgess::show(gpointer data)
{
    auto* self = static_cast<TellumDownloadProgess*>(data);
    const double fraction = self->latest.load();
    if (gtk_progress_bar_get_fraction(self->bar) != fraction) {
        gtk_progress_bar_set_fraction(self->bar, fraction);
        gtk_widget_queue_draw(GTK_WIDGET(self->bar));
    }
    return G_SOURCE_CONTINUE;
}

double TellumDownloadProgess::get_progress()
{
    return bar ? gtk_progress_bar_get_fraction(bar) : 0.0;
}
