// The log view: lines from any thread appear in order with the colour of
// their severity word, the view keeps at most 1000 lines, lines wait for a
// view that is ready, and a logging storm leaves the GUI responsive.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "GuiTest.h"
#include "TimerGaps.h"
#include "gui/GtkStreamViewer.h"
#include "ostrel/Log.h"

using guitest::pump_for;
using guitest::pump_until;

namespace {

struct Line {
    std::string text;
    std::string tag;
    bool operator==(const Line& o) const { return text == o.text && tag == o.tag; }
};

// The text lines of the view, each with the name of its tag.
std::vector<Line> shown(GtkTextView* view)
{
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
    std::vector<Line> lines;
    for (int i = 0; i < gtk_text_buffer_get_line_count(buffer); ++i) {
        GtkTextIter from, to;
        gtk_text_buffer_get_iter_at_line(buffer, &from, i);
        to = from;
        if (gtk_text_iter_ends_line(&to))
            continue;
        gtk_text_iter_forward_to_line_end(&to);
        gchar* text = gtk_text_buffer_get_text(buffer, &from, &to, FALSE);
        GSList* tags = gtk_text_iter_get_tags(&from);
        gchar* name = nullptr;
        if (tags)
            g_object_get(tags->data, "name", &name, nullptr);
        lines.push_back({text, name ? name : ""});
        g_free(name);
        g_slist_free(tags);
        g_free(text);
    }
    return lines;
}

std::string last_text(GtkTextView* view)
{
    const std::vector<Line> lines = shown(view);
    return lines.empty() ? std::string() : lines.back().text;
}

std::string colour(GtkTextView* view, const char* tag)
{
    GtkTextTag* t = gtk_text_tag_table_lookup(gtk_text_buffer_get_tag_table(gtk_text_view_get_buffer(view)), tag);
    GdkColor* c = nullptr;
    g_object_get(t, "foreground-gdk", &c, nullptr);
    gchar* text = g_strdup_printf("%02x%02x%02x", c->red >> 8, c->green >> 8, c->blue >> 8);
    std::string s = text;
    g_free(text);
    gdk_color_free(c);
    return s;
}

struct LogWindow {
    LogWindow()
    {
        // The test's lines stay out of its own output.
        Ostrel::Logger::instance()->console()->set_mask(0);
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
        GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
        view = GTK_TEXT_VIEW(gtk_text_view_new());
        gtk_container_add(GTK_CONTAINER(scroll), GTK_WIDGET(view));
        gtk_container_add(GTK_CONTAINER(window), scroll);
        guitest::show_and_wait(window);
    }
    ~LogWindow()
    {
        if (window)
            gtk_widget_destroy(window);
    }
    GtkWidget* window;
    GtkTextView* view;
};

} // namespace

TEST_F(GuiTest, LogViewColoursTrimsAndKeepsOrder)
{
    auto view = std::make_unique<LogWindow>();
    GtkStreamViewer viewer(nullptr, 0xFF);
    Ostrel::ostream os(Ostrel::LOG_INFO);
    os << "early ERROR and DEBUG" << std::endl;
    os << "a warning in lower case" << std::endl;
    pump_for(50);
    viewer.set_text_view(view->view);
    pump_for(50);
    EXPECT_TRUE(shown(view->view).empty());   // they wait for the next line
    // The logger's text ends where its count says.
    const std::string raw = "FATAL end\nGARBAGE";
    const std::vector<char> bytes(raw.begin(), raw.begin() + 10);
    viewer.write(bytes.data(), bytes.size());
    os << "WARNING bad \xff byte" << std::endl;
    ASSERT_TRUE(pump_until([&] { return shown(view->view).size() == 4; }, 5));
    const std::vector<Line> first = {{"early ERROR and DEBUG", "debug_tag"},
                                     {"a warning in lower case", "info_tag"},
                                     {"FATAL end", "error_tag"},
                                     {"WARNING bad \xef\xbf\xbd byte", "warn_tag"}};
    EXPECT_EQ(first, shown(view->view));
    EXPECT_EQ("ff0000", colour(view->view, "error_tag"));
    EXPECT_EQ("ff6347", colour(view->view, "warn_tag"));
    EXPECT_EQ("000000", colour(view->view, "info_tag"));
    EXPECT_EQ("b0c4de", colour(view->view, "debug_tag"));

    // At 999 lines nothing goes; at 1000 the first 750 go before the next.
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view->view);
    for (int i = 0; i < 995; ++i)
        os << "line " << i << std::endl;
    ASSERT_TRUE(pump_until([&] { return gtk_text_buffer_get_line_count(buffer) == 1000; }, 10));
    EXPECT_EQ(first[0], shown(view->view).front());
    os << "one more" << std::endl;
    ASSERT_TRUE(pump_until([&] { return last_text(view->view) == "one more"; }, 10));
    EXPECT_EQ(251, gtk_text_buffer_get_line_count(buffer));
    EXPECT_EQ("line 746", shown(view->view).front().text);
    // Scrolled to the end.
    GtkAdjustment* v = gtk_text_view_get_vadjustment(view->view);
    EXPECT_TRUE(pump_until([&] {
        return gtk_adjustment_get_value(v) > 0 &&
               gtk_adjustment_get_value(v) + gtk_adjustment_get_page_size(v) >= gtk_adjustment_get_upper(v) - 1;
    }, 5));

    // A view destroyed with lines on their way gets none of them; the next
    // view does.
    os << "pending 1" << std::endl;
    view.reset();
    pump_for(100);
    LogWindow next;
    viewer.set_text_view(next.view);
    os << "pending 2" << std::endl;
    ASSERT_TRUE(pump_until([&] { return shown(next.view).size() == 2; }, 5));
    EXPECT_EQ("pending 1", shown(next.view).front().text);

    // A viewer that goes with a line on its way: the record finds no viewer.
    LogWindow other;
    auto gone = std::make_unique<GtkStreamViewer>(other.view, 0);
    std::thread([&] { gone->write("on its way\n", 11); }).join();
    gone.reset();
    pump_for(100);
    EXPECT_TRUE(shown(other.view).empty());
}

TEST_F(GuiTest, LogViewStaysResponsiveInALoggingStorm)
{
    LogWindow w;
    GtkStreamViewer viewer(w.view, 0xFF);
    TimerGaps gaps;

    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &done] {
            const char* words[] = {"", " WARNING", " ERROR", " DEBUG"};
            Ostrel::ostream os(Ostrel::LOG_INFO);
            for (int i = 0; i < 10000; ++i)
                os << "thread " << t << " line " << i << words[i % 4] << std::endl;
            ++done;
        });
    EXPECT_TRUE(pump_until([&] { return done == 4; }, 120));
    for (std::thread& t : threads)
        t.join();
    Ostrel::ostream(Ostrel::LOG_INFO) << "the end" << std::endl;
    EXPECT_TRUE(pump_until([&] { return last_text(w.view) == "the end"; }, 30));
    EXPECT_LE(gaps.worst_ms(), 250);

    const std::vector<Line> lines = shown(w.view);
    EXPECT_LE(lines.size(), 1000u);
    for (const Line& l : lines) {
        const bool note = l.text.find("earlier lines dropped]") != std::string::npos;
        const char* tag = l.text.find("DEBUG") != std::string::npos     ? "debug_tag"
                          : l.text.find("ERROR") != std::string::npos   ? "error_tag"
                          : l.text.find("WARNING") != std::string::npos || note ? "warn_tag"
                                                                                : "info_tag";
        EXPECT_EQ(tag, l.tag) << l.text;
    }
}
