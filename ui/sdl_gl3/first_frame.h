#pragma once

#include <functional>
#include <vector>

#include "x11_window.h"

// The window's first frame, drawn before the window is mapped and made its background:
// the X server paints it the moment the window appears, so nobody ever sees the window
// undrawn, whatever the window manager and the driver do before the first buffer swap.

// Renders one frame with render(width, height) into an offscreen buffer of the current
// GL context and reads it back as RGBA rows, top row first; empty when the driver cannot
// render offscreen.
std::vector<unsigned char> renderOffscreen(int width, int height, const std::function<void(int, int)>& render);

// Makes the picture the window's background. Does nothing for an empty picture or a
// visual it cannot compose pixels for.
void setBackground(const X11Window& x, const std::vector<unsigned char>& rgba, int width, int height);
