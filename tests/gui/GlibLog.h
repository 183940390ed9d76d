// The GLib warnings and criticals of one log domain while the object lives,
// so that window tests can check what the toolkit or the program reported.
#ifndef BRISKO_TEST_GUI_GLIB_LOG_H
#define BRISKO_TEST_GUI_GLIB_LOG_H

#include <string>
#include <vector>

#include <glib.h>

class GlibLog {
public:
    explicit GlibLog(const char* domain = "Tellum") : domain_(domain)
    {
        const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING);
        id_ = g_log_set_handler(domain, levels, &GlibLog::handle, this);
    }
    ~GlibLog() { g_log_remove_handler(domain_, id_); }
    GlibLog(const GlibLog&) = delete;
    GlibLog& operator=(const GlibLog&) = delete;

    // How many messages so far contain the text.
    int count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& m : messages)
            n += m.find(text) != std::string::npos;
        return n;
    }
    std::vector<std::string> messages;

private:
    static void handle(const gchar*, GLogLevelFlags, const gchar* text, gpointer self)
    {
        static_cast<GlibLog*>(self)->messages.emplace_back(text ? text : "");
    }
    const char* domain_;
    guint id_;
};

#endif
