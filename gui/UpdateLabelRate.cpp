#include "gui/UpdateLabelRate.h"

#include <cstdio>

int UpdateLabelRate::update(Update& u)
{
    char text[64];
    std::snprintf(text, sizeof text, "%6.1f", u.rate);
    set_label(text);
    return 0;
}
