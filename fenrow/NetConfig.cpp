#include "fenrow/NetConfig.h"

#include <cstdlib>

#include <glib.h>

namespace fenrow_net {

namespace {

// A port from the environment, or the default when unset or not a port.
int port_from(const char* variable, int fallback)
{
    const char* text = g_getenv(variable);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v <= 0 || v > 65535) {
        g_warning("%s=%s is not a port; using %d", variable, text, fallback);
        return fallback;
    }
    return static_cast<int>(v);
}

std::string text_from(const char* variable)
{
    const char* text = g_getenv(variable);
    return text ? text : "";
}

} // namespace

int host_port()
{
    return port_from("FENROW_HOST_PORT", DEFAULT_HOST_PORT);
}

int trigger_port()
{
    return port_from("FENROW_TRIGGER_PORT", DEFAULT_TRIGGER_PORT);
}

int board_port()
{
    return port_from("FENROW_BOARD_PORT", DEFAULT_BOARD_PORT);
}

std::string bind_address()
{
    return text_from("FENROW_BIND_ADDRESS");
}

std::string knock_address()
{
    return text_from("FENROW_KNOCK_ADDRESS");
}

std::size_t receive_budget(std::size_t fallback)
{
    const char* text = g_getenv("FENROW_RECEIVE_BUDGET");
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long long mb = std::strtoll(text, &end, 10);
    // Up to a terabyte: beyond that the number is a mistake.
    if (*end != '\0' || mb <= 0 || mb > (1LL << 20)) {
        g_warning("FENROW_RECEIVE_BUDGET=%s is not a number of megabytes; using %zu", text, fallback >> 20);
        return fallback;
    }
    return static_cast<std::size_t>(mb) << 20;
}

} // namespace fenrow_net
