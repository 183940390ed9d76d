#include "gui/UpdateLabelTime.h"

#include <cmath>
#include <cstdio>

int UpdateLabelTime::update(Update& u)
{
    // Whole seconds, toward zero; a time beyond any run shows as 0.
    const long long t = std::isfinite(u.time) && std::fabs(u.time) < 1e15 ? static_cast<long long>(u.time) : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%lld %2lld:%02lld:%02lld", t / 86400, (t / 3600) % 24, (t / 60) % 60, t % 60);
    set_label(text);
    return 0;
}
