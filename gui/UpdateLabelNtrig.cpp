#include "gui/UpdateLabelNtrig.h"

#include <string>

int UpdateLabelNtrig::update(Update& u)
{
    set_label(std::to_string(u.ntrig).c_str());
    return 0;
}
