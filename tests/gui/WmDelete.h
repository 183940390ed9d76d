// WM_DELETE_WINDOW as a window manager sends it when its close button is
// pressed: the window tests' displays have no window manager to do it.
#ifndef BRISKO_TEST_GUI_WM_DELETE_H
#define BRISKO_TEST_GUI_WM_DELETE_H

#include <cstring>

#include <X11/Xlib.h>

inline bool send_wm_delete(Display* dpy, Window window)
{
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(dpy, window, False, NoEventMask, &ev);
    XSync(dpy, False);
    return sent != 0;
}

#endif
