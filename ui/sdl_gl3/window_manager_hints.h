#pragma once

#include <chrono>
#include <optional>

#include <SDL.h>

#include "x11_window.h"

// What the panel asks of the X window manager, and how it finds out what it got: the
// EWMH properties (_NET_SUPPORTED, _NET_FRAME_EXTENTS, _NET_ACTIVE_WINDOW) and the Motif
// hints. Nothing here waits without a bound: a stuck window manager must not stall the
// control loop.

// What the running window manager declares on the root window (EWMH _NET_SUPPORTED).
// Only X11 can be asked; on other video drivers a window manager is assumed.
struct WindowManagerSupport {
    bool present = true;         // some EWMH window manager runs
    bool keepAbove = true;       // it honours _NET_WM_STATE_ABOVE
    bool frameOnRequest = false; // it announces a window's frame before mapping it
};
WindowManagerSupport windowManagerSupport(const X11Window& x);

// A title bar with a close box and a border; only moving and closing offered.
void offerOnlyMoveAndClose(const X11Window& x);

struct FrameExtents {
    long left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
};
// The frame the window manager has given the window, if it has said.
std::optional<FrameExtents> frameExtents(const X11Window& x);
// Asks the window manager to announce the frame it will give the still unmapped window,
// and waits for the answer at most until the deadline.
std::optional<FrameExtents> announcedFrame(const X11Window& x, std::chrono::steady_clock::time_point deadline);
// Shrinks the client area so that the frame's outer edge has the given size. The window
// manager keeps the frame's corner where the window asked to be.
void fitOuterFrame(SDL_Window* window, const FrameExtents& frame, int outerWidth, int outerHeight);
// Moves the frame's corner back to (left, top) where the window manager placed it
// elsewhere.
void keepOuterFrameInPlace(const X11Window& x, const FrameExtents& frame, int left, int top);

bool viewable(const X11Window& x);
// Maps the window and waits, at most for `wait`, until the window manager has put it on
// screen. SDL's own show waits without a bound for the map, which a stuck window manager
// would turn into a stuck control loop.
void mapAndWait(const X11Window& x, bool windowManager, std::chrono::milliseconds wait);
// Asks the window manager to show a minimised window again.
void restoreAndRaise(const X11Window& x);
