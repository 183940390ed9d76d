// Sends WM_DELETE_WINDOW to a window, as a window manager does when its
// close button is pressed: window tests of other processes (the program
// itself) close windows with it on a display without a window manager.
//   x_wm_delete WINDOW-ID
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "WmDelete.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WINDOW-ID\n", argv[0]);
        return 2;
    }
    char* end = nullptr;
    const unsigned long window = std::strtoul(argv[1], &end, 0);
    if (!end || *end || !window) {
        std::fprintf(stderr, "%s: not a window id: %s\n", argv[0], argv[1]);
        return 2;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        return 1;
    }
    const bool sent = send_wm_delete(dpy, window);
    XCloseDisplay(dpy);
    return sent ? 0 : 1;
}
