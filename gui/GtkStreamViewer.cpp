#include "gui/GtkStreamViewer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "daq/IdleCall.h"
#include "gui/Registry.h"

namespace {

// The live viewers by serial: an idle callback whose viewer has gone finds
// nothing. Never destroyed, like the logger that feeds the viewers.
Registry<GtkStreamViewer>& viewers()
{
    static auto* live = new Registry<GtkStreamViewer>;
    return *live;
}

std::string key_of(guint serial)
{
    return std::to_string(serial);
}

guint next_serial()
{
    static std::atomic<guint> serial{0};
    return ++serial;
}

// Lines a round of the GUI thread moves into the buffer before it looks at
// the clock, and how long a round may take: timers and redraws come between
// rounds.
const size_t batch_lines = 64;
const gint64 round_us = 20000;

} // namespace

GtkStreamViewer::Severity GtkStreamViewer::severity_of(const char* line)
{
    if (std::strstr(line, "DEBUG"))
        return Debug;
    if (std::strstr(line, "FATAL") || std::strstr(line, "ERROR"))
        return Error;
    if (std::strstr(line, "WARNING"))
        return Warn;
    return Info;
}

GtkStreamViewer::GtkStreamViewer(GtkTextView* view, unsigned short mask)
    : Ostrel::StreamItem(mask), serial(next_serial())
{
    viewers().put(key_of(serial), this);
    set_text_view(view);
    Ostrel::Logger::instance()->add_stream(this);
}

GtkStreamViewer::~GtkStreamViewer()
{
    // The logger calls write with its lock held: once out of its list, no
    // write runs or will start.
    Ostrel::Logger::instance()->remove_stream(this);
    viewers().take(key_of(serial));
    release_view();
    for (LineInfo& line : text_fifo)
        g_free(line.msg);
}

void GtkStreamViewer::release_view()
{
    if (_text_view) {
        if (destroy_handler && g_signal_handler_is_connected(_text_view, destroy_handler))
            g_signal_handler_disconnect(_text_view, destroy_handler);
        g_object_unref(_text_view);
    }
    if (_buffer)
        g_object_unref(_buffer);
    if (_table)
        g_object_unref(_table);
    _text_view = nullptr;
    _buffer = nullptr;
    _table = nullptr;
    _error_tag = _warn_tag = _info_tag = _debug_tag = nullptr;
    _end_mark = nullptr;
    destroy_handler = 0;
}

void GtkStreamViewer::view_destroyed(GtkWidget*, GtkStreamViewer* viewer)
{
    viewer->release_view();
}

void GtkStreamViewer::set_text_view(GtkTextView* view)
{
    release_view();
    if (!view)
        return;
    _text_view = view;
    g_object_ref(_text_view);
    destroy_handler = g_signal_connect(view, "destroy", G_CALLBACK(view_destroyed), this);
    _table = gtk_text_tag_table_new();
    _buffer = gtk_text_buffer_new(_table);
    gtk_text_view_set_buffer(view, _buffer);
    _error_tag = gtk_text_buffer_create_tag(_buffer, "error_tag", "foreground", "red", nullptr);
    _info_tag = gtk_text_buffer_create_tag(_buffer, "info_tag", "foreground", "black", nullptr);
    _warn_tag = gtk_text_buffer_create_tag(_buffer, "warn_tag", "foreground", "tomato", nullptr);
    _debug_tag =
        gtk_text_buffer_create_tag(_buffer, "debug_tag", "foreground", "lightsteelblue", nullptr);
    // Scrolling to a mark waits for the lines' heights, which scrolling to
    // an iterator takes as they are.
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(_buffer, &end);
    _end_mark = gtk_text_buffer_create_mark(_buffer, nullptr, &end, FALSE);

    PangoFontDescription* font =
        pango_font_description_copy(gtk_widget_get_style(GTK_WIDGET(view))->font_desc);
    pango_font_description_set_family(font, "monospace");
    gtk_widget_modify_font(GTK_WIDGET(view), font);
    pango_font_description_free(font);
}

long GtkStreamViewer::write(const char* text, size_t count)
{
    if (!text)
        return 0;
    // The logger's text need not end in a NUL.
    auto* msg = static_cast<gchar*>(g_malloc(count + 1));
    std::memcpy(msg, text, count);
    msg[count] = '\0';
    if (!g_utf8_validate(msg, -1, nullptr)) {
        gchar* valid = g_utf8_make_valid(msg, -1);
        g_free(msg);
        msg = valid;
    }
    const Severity severity = severity_of(msg);
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(fifo_mutex);
        text_fifo.push_back(LineInfo{msg, severity});
        if (text_fifo.size() > max_queued) {
            g_free(text_fifo.front().msg);
            text_fifo.pop_front();
            ++dropped;
        }
        post = !write_pending;
        write_pending = true;
    }
    if (post)
        post_write(serial);
    return static_cast<long>(count);
}

void GtkStreamViewer::post_write(guint serial)
{
    idle_call([serial] { write_text_to_buffer(serial); });
}

void GtkStreamViewer::write_text_to_buffer(guint serial)
{
    viewers().with(key_of(serial), [](GtkStreamViewer* v) { v->drain(); });
}

void GtkStreamViewer::drain()
{
    if (!_text_view || !gtk_widget_get_realized(GTK_WIDGET(_text_view))) {
        // The lines wait for a write after the view is ready.
        std::lock_guard<std::mutex> lock(fifo_mutex);
        write_pending = false;
        return;
    }
    const gint64 until = g_get_monotonic_time() + round_us;
    bool more = false;
    std::vector<LineInfo> batch;
    for (;;) {
        size_t lost = 0;
        batch.clear();
        {
            std::lock_guard<std::mutex> lock(fifo_mutex);
            lost = dropped;
            dropped = 0;
            const size_t n = std::min(text_fifo.size(), batch_lines);
            batch.assign(text_fifo.begin(), text_fifo.begin() + long(n));
            text_fifo.erase(text_fifo.begin(), text_fifo.begin() + long(n));
            if (batch.empty() && !lost) {
                write_pending = false;
                break;
            }
        }
        if (lost) {
            gchar* note = g_strdup_printf("[%zu earlier lines dropped]\n", lost);
            insert(note, Warn);
            g_free(note);
        }
        for (LineInfo& line : batch) {
            insert(line.msg, line.severity);
            g_free(line.msg);
        }
        if (g_get_monotonic_time() > until) {
            more = true;
            break;
        }
    }
    // The next round is posted before the scroll, so that the scroll
    // comes after it, as it did when a round kept its idle for the next.
    if (more)
        post_write(serial);
    if (!scroll_pending) {
        scroll_pending = true;
        idle_call([serial = serial] { scroll_to_end(serial); });
    }
}

void GtkStreamViewer::insert(const char* msg, Severity severity)
{
    // Trimming 750 lines at a time keeps between about 250 and 1000.
    if (gtk_text_buffer_get_line_count(_buffer) > 999) {
        GtkTextIter from, to;
        gtk_text_buffer_get_iter_at_line(_buffer, &from, 0);
        gtk_text_buffer_get_iter_at_line(_buffer, &to, 750);
        gtk_text_buffer_delete(_buffer, &from, &to);
    }
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(_buffer, &end);
    gtk_text_buffer_insert_with_tags(_buffer, &end, msg, -1, tag_of(severity), nullptr);
}

GtkTextTag* GtkStreamViewer::tag_of(Severity severity) const
{
    switch (severity) {
    case Error: return _error_tag;
    case Warn: return _warn_tag;
    case Debug: return _debug_tag;
    case Info: break;
    }
    return _info_tag;
}

void GtkStreamViewer::scroll_to_end(guint serial)
{
    viewers().with(key_of(serial), [](GtkStreamViewer* v) {
        v->scroll_pending = false;
        if (v->_text_view && v->_end_mark) {
            gtk_text_view_scroll_to_mark(v->_text_view, v->_end_mark, 0.0, FALSE, 0.0, 0.0);
            gtk_widget_queue_draw(GTK_WIDGET(v->_text_view));
        }
    });
}
