#include "fenrow/net/NetConfig.h"

#include <cstdlib>

#include <glib.h>

namespace fenrow_net {

namespace {

// A whole number from 1 to `most` from the environment, or the fallback
// when unset or not such a number (said, as `what` it should have been).
long long number_from(const char* variable, long long most, long long fallback, const char* what)
{
    const char* text = g_getenv(variable);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (*end != '\0' || v <= 0 || v > most) {
        g_warning("%s=%s is not %s; using %lld", variable, text, what, fallback);
        return fallback;
    }
    return v;
}

// A port from the environment, or the default when unset or not a port.
int port_from(const char* variable, int fallback)
{
    return static_cast<int>(number_from(variable, 65535, fallback, "a port"));
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
    // Up to a terabyte: beyond that the number is a mistake.
    const long long mb = number_from("FENROW_RECEIVE_BUDGET", 1LL << 20, static_cast<long long>(fallback >> 20),
                                     "a number of megabytes");
    return static_cast<std::size_t>(mb) << 20;
}

} // namespace fenrow_net
