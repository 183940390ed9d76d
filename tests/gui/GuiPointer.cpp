#include "GuiPointer.h"

#include <string>

#include "GuiTest.h"

namespace guitest {

bool drag(int x0, int y0, int x1, int y1, int button)
{
    const std::string b = std::to_string(button);
    const bool ok = run_pumping({"xdotool", "mousemove", "--sync", std::to_string(x0), std::to_string(y0),
                                 "mousedown", b, "mousemove", "--sync", std::to_string(x1), std::to_string(y1),
                                 "mouseup", b}) == 0;
    pump_for(30);
    return ok;
}

bool click_widget(GtkWidget* widget, int button)
{
    const GdkRectangle r = screen_rect(widget);
    int x = r.x + r.width / 2;
    const int y = r.y + r.height / 2;
    int px = 0;
    int py = 0;
    gdk_display_get_pointer(gdk_display_get_default(), nullptr, &px, &py, nullptr);
    if (px == x && py == y)
        ++x;
    const bool ok = click_at(x, y, button);
    pump_for(30);
    return ok;
}

} // namespace guitest
