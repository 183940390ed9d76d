// A sink of the framework log that shows every line in a GTK text view,
// coloured by the severity word it holds, trimmed to at most 1000 lines and
// scrolled to the end.
#ifndef BRISKO_GUI_GTKSTREAMVIEWER_H
#define BRISKO_GUI_GTKSTREAMVIEWER_H

#include <cstddef>
#include <deque>
#include <mutex>

#include <gtk/gtk.h>

#include "ostrel/Log.h"

// write() is called from any thread that logs; it only queues the line and
// posts an idle callback when none is pending. The text view is touched on
// the GTK main thread only, and the viewer is made and deleted there.
// Lines written while no view is held, or while it is not realized, wait
// in the queue until a line is written after the view is ready. The queue
// is capped: in a logging storm its oldest lines go, and one line in the
// view says how many.
class GtkStreamViewer : public Ostrel::StreamItem {
public:
    enum Severity { Info, Warn, Error, Debug };
    // Severity of a line: the first of DEBUG, FATAL or ERROR, WARNING that
    // it holds (case matters), else Info.
    static Severity severity_of(const char* line);

    struct LineInfo {
        gchar* msg;          // the line, freed with g_free after insertion
        Severity severity;   // its tag is looked up on the GUI thread
    };

    // Most lines the queue holds.
    static const size_t max_queued = 1000;

    // Adds itself to the framework's logger.
    GtkStreamViewer(GtkTextView* view, unsigned short mask);
    // Leaves the logger first, so that no write runs any more.
    ~GtkStreamViewer() override;

    // Lets go of the view held (if any) and, for a view, makes a buffer
    // with the colour tags for it and sets its font to monospace. A view
    // that is destroyed is let go of at once.
    void set_text_view(GtkTextView* view);

    long write(const char* text, size_t count) override;
    int flush() override { return 0; }
    int close() override { return 0; }

private:
    // The idle records carry the viewer's serial only: on the GUI thread
    // they look the viewer up and do nothing when it has gone.
    static void post_write(guint serial);
    static void write_text_to_buffer(guint serial);
    static void scroll_to_end(guint serial);
    static void view_destroyed(GtkWidget* view, GtkStreamViewer* viewer);

    // GUI thread: moves queued lines into the buffer for a while; when
    // lines are left, posts the next round.
    void drain();
    void insert(const char* msg, Severity severity);
    GtkTextTag* tag_of(Severity severity) const;
    void release_view();

    const guint serial;   // the idle callbacks' key to this viewer

    std::mutex fifo_mutex;
    std::deque<LineInfo> text_fifo;
    size_t dropped = 0;
    bool write_pending = false;
    bool scroll_pending = false;   // GUI thread only

    GtkTextView* _text_view = nullptr;
    GtkTextBuffer* _buffer = nullptr;
    GtkTextTagTable* _table = nullptr;
    GtkTextTag* _error_tag = nullptr;
    GtkTextTag* _warn_tag = nullptr;
    GtkTextTag* _info_tag = nullptr;
    GtkTextTag* _debug_tag = nullptr;
    GtkTextMark* _end_mark = nullptr;
    gulong destroy_handler = 0;
};

#endif
