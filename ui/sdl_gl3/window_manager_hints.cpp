#include "window_manager_hints.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <vector>

#include "xlib_guard.h"

namespace {

using Clock = std::chrono::steady_clock;

// _MOTIF_WM_HINTS: which functions and decorations the window manager should offer.
constexpr unsigned long motifFunctionsGiven = 1ul << 0;
constexpr unsigned long motifDecorationsGiven = 1ul << 1;
constexpr unsigned long motifFunctionMove = 1ul << 2;
constexpr unsigned long motifFunctionClose = 1ul << 5;
constexpr unsigned long motifDecorationBorder = 1ul << 1;
constexpr unsigned long motifDecorationTitle = 1ul << 3;

// A property of 32-bit items (Xlib hands each over as a long); empty when the window
// has no such property of that type.
std::vector<unsigned long> property32(const X11Window& x, Window window, const char* name, Atom type,
                                      long maxItems) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(x.display, window, XInternAtom(x.display, name, False), 0, maxItems, False, type,
                           &actualType, &format, &count, &remaining, &data) == Success &&
        actualType == type && format == 32 && data) {
        const unsigned long* values = reinterpret_cast<const unsigned long*>(data);
        items.assign(values, values + count);
    }
    if (data)
        XFree(data);
    return items;
}

} // namespace

WindowManagerSupport windowManagerSupport(const X11Window& x) {
    const std::vector<unsigned long> supported =
        property32(x, DefaultRootWindow(x.display), "_NET_SUPPORTED", XA_ATOM, 4096);
    const auto declares = [&](const char* name) {
        return std::find(supported.begin(), supported.end(), XInternAtom(x.display, name, False)) !=
               supported.end();
    };
    return {!supported.empty(), declares("_NET_WM_STATE_ABOVE"), declares("_NET_REQUEST_FRAME_EXTENTS")};
}

void offerOnlyMoveAndClose(const X11Window& x) {
    const Atom hintsAtom = XInternAtom(x.display, "_MOTIF_WM_HINTS", False);
    // flags, functions, decorations, input mode, status
    const long hints[5] = {static_cast<long>(motifFunctionsGiven | motifDecorationsGiven),
                           static_cast<long>(motifFunctionMove | motifFunctionClose),
                           static_cast<long>(motifDecorationBorder | motifDecorationTitle), 0, 0};
    XChangeProperty(x.display, x.window, hintsAtom, hintsAtom, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(hints), 5);
}

std::optional<FrameExtents> frameExtents(const X11Window& x) {
    const std::vector<unsigned long> values = property32(x, x.window, "_NET_FRAME_EXTENTS", XA_CARDINAL, 4);
    if (values.size() != 4)
        return std::nullopt;
    return FrameExtents{static_cast<long>(values[0]), static_cast<long>(values[1]), static_cast<long>(values[2]),
                        static_cast<long>(values[3])};
}

std::optional<FrameExtents> announcedFrame(const X11Window& x, Clock::time_point deadline) {
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = x.window;
    request.xclient.message_type = XInternAtom(x.display, "_NET_REQUEST_FRAME_EXTENTS", False);
    request.xclient.format = 32;
    XSendEvent(x.display, DefaultRootWindow(x.display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &request);
    XFlush(x.display);
    for (;;) {
        if (auto extents = frameExtents(x))
            return extents;
        if (Clock::now() >= deadline || xConnectionBroken())
            return std::nullopt;
        SDL_Delay(1);
    }
}

void fitOuterFrame(SDL_Window* window, const FrameExtents& frame, int outerWidth, int outerHeight) {
    const long width = outerWidth - frame.left - frame.right;
    const long height = outerHeight - frame.top - frame.bottom;
    if (width <= 0 || height <= 0)
        return;
    int currentWidth = 0, currentHeight = 0;
    SDL_GetWindowSize(window, &currentWidth, &currentHeight);
    if (width != currentWidth || height != currentHeight)
        SDL_SetWindowSize(window, static_cast<int>(width), static_cast<int>(height));
}

// Some window managers place a new window by their own rules whatever position it
// asks for; the frame is then moved where it belongs. Asked of a mapped window, the
// position is the frame's corner (the window's gravity is north-west).
void keepOuterFrameInPlace(const X11Window& x, const FrameExtents& frame, int left, int top) {
    int rootX = 0, rootY = 0;
    Window child = None;
    if (!XTranslateCoordinates(x.display, x.window, DefaultRootWindow(x.display), 0, 0, &rootX, &rootY, &child))
        return;
    if (rootX - frame.left != left || rootY - frame.top != top) {
        XMoveWindow(x.display, x.window, left, top);
        XFlush(x.display);
    }
}

bool viewable(const X11Window& x) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(x.display, x.window, &attributes) && attributes.map_state == IsViewable;
}

void mapAndWait(const X11Window& x, bool windowManager, std::chrono::milliseconds wait) {
    XMapRaised(x.display, x.window);
    XFlush(x.display);
    const Clock::time_point deadline = Clock::now() + wait;
    while (!viewable(x) && !xConnectionBroken() && Clock::now() < deadline)
        SDL_Delay(1);
    // Without a window manager nobody hands the window the keyboard.
    if (!windowManager && viewable(x))
        XSetInputFocus(x.display, x.window, RevertToParent, CurrentTime);
}

// Mapping an iconified window de-iconifies it, and an activation request raises it.
void restoreAndRaise(const X11Window& x) {
    XMapRaised(x.display, x.window);
    XEvent activate{};
    activate.xclient.type = ClientMessage;
    activate.xclient.window = x.window;
    activate.xclient.message_type = XInternAtom(x.display, "_NET_ACTIVE_WINDOW", False);
    activate.xclient.format = 32;
    activate.xclient.data.l[0] = 1; // the request comes from the application
    activate.xclient.data.l[1] = CurrentTime;
    XSendEvent(x.display, DefaultRootWindow(x.display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &activate);
    XFlush(x.display);
}
