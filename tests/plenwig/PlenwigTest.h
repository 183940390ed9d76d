// Test fixture for the chart library's data objects: captures the library's
// GLib warnings so that tests of bad arguments can check them, and fails any
// test that leaves a warning it did not expect.
#ifndef BRISKO_TEST_PLENWIG_TEST_H
#define BRISKO_TEST_PLENWIG_TEST_H

#include <mutex>
#include <string>
#include <vector>

#include <glib-object.h>
#include <gtest/gtest.h>

#include "plenwig/plenwig.h"

class PlenwigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                                        G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : {"Plenwig", "GLib-GObject"})
            handlers_.push_back({domain, g_log_set_handler(domain, levels, &PlenwigTest::capture, this)});
    }

    void TearDown() override
    {
        for (const auto& h : handlers_)
            g_log_remove_handler(h.first, h.second);
        handlers_.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& m : messages_)
            ADD_FAILURE() << "unexpected GLib message: " << m;
    }

    // Removes and counts the captured messages that contain the text.
    int consume(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (auto it = messages_.begin(); it != messages_.end();) {
            if (it->find(text) != std::string::npos) {
                it = messages_.erase(it);
                n++;
            } else {
                ++it;
            }
        }
        return n;
    }

    size_t pending()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

private:
    static void capture(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer self)
    {
        auto* t = static_cast<PlenwigTest*>(self);
        std::lock_guard<std::mutex> lock(t->mutex_);
        t->messages_.push_back(std::string(domain ? domain : "") + ": " + (message ? message : ""));
    }

    std::vector<std::pair<const char*, guint>> handlers_;
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

// Counts the emissions of a signal without arguments; keeps the object alive
// until the counter goes.
struct SignalCounter {
    SignalCounter(gpointer object, const char* signal)
        : object_(g_object_ref(object)),
          id_(g_signal_connect_swapped(object, signal, G_CALLBACK(&SignalCounter::bump), this))
    {
    }
    ~SignalCounter()
    {
        g_signal_handler_disconnect(object_, id_);
        g_object_unref(object_);
    }
    static void bump(SignalCounter* self) { self->count++; }

    int count = 0;

private:
    gpointer object_;
    gulong id_;
};

// Points of one sampling, released on scope exit.
struct Tuple {
    HstTuple t{0, nullptr};
    ~Tuple() { hst_function_clear_tuple(&t); }
};

inline std::string take_text(GString* s)
{
    if (!s)
        return "<null>";
    std::string text(s->str, s->len);
    g_string_free(s, TRUE);
    return text;
}

#endif
