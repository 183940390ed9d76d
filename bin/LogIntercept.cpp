#include "bin/LogIntercept.h"

#include <cstdio>
#include <cstring>

void setup_log_intercept()
{
    static const char* const domains[] = {"GLib-GObject", "Gtk", "GLib", "XPath", "libglade",
                                          "Tellum"};
    const GLogLevelFlags all = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL |
                                                           G_LOG_FLAG_RECURSION);
    for (const char* domain : domains)
        g_log_set_handler(domain, all, my_log, nullptr);
}

void my_log(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer)
{
    if (!domain)
        domain = "";
    if (!message)
        message = "";
    if (std::strcmp(domain, "libglade") == 0 && std::strstr(message, "unknown"))
        return;
    std::printf("KorvaneTellum[%s]: %s\n", domain, message);
}
