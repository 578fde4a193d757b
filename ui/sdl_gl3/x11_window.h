#pragma once

#include <X11/Xlib.h>

// The X11 side of the panel's SDL window, when SDL runs on X11: what the window-manager
// hints, the first frame and the Xlib guard work on.
struct X11Window {
    Display* display;
    Window window;
};
