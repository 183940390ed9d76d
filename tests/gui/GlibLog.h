// The GLib warnings and criticals of one log domain while the object lives.
#ifndef BRISKO_TEST_GUI_GLIB_LOG_H
#define BRISKO_TEST_GUI_GLIB_LOG_H

#include <string>
#include <vector>

#include <glib.h>

struct GlibLog {
    explicit GlibLog(const char* domain = "Tellum")
        : domain(domain),
          id(g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING), &handle, this))
    {
    }
    ~GlibLog() { g_log_remove_handler(domain, id); }
    // How many messages so far contain the text.
    int count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& m : messages)
            n += m.find(text) != std::string::npos;
        return n;
    }
    static void handle(const gchar*, GLogLevelFlags, const gchar* text, gpointer self)
    {
        static_cast<GlibLog*>(self)->messages.emplace_back(text ? text : "");
    }
    const char* domain;
    guint id;
    std::vector<std::string> messages;
};

#endif
