// Why this file exists: Xlib ends the process when the connection to the X server breaks
// (the default I/O error handler calls exit) and when the server refuses a request (the
// default error handler does). Neither is worth the audio: a broken connection is noted
// here and the panel dropped by the frame loop, a refused request is logged. Xlib's
// handlers are process-wide, and so are the three libX11 functions replaced below: they
// take the place of libX11's own for SDL, Mesa and everything else in the process. The
// window backend calls guardXlib(), which also keeps this file in the link.
#include "xlib_guard.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <xcb/xcb.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logger.h"

namespace {

std::atomic<bool> connectionBroken{false};
constexpr int protocolErrorsLogged = 20;
int protocolErrors = 0;

// Replaces the exit that follows the I/O error handler. Xlib takes it from the
// connection before that handler runs, so it must be in place on every connection
// beforehand (see XOpenDisplay below).
void carryOn(Display*, void*) {}

int onConnectionBroken(Display*) {
    connectionBroken.store(true);
    return 0;
}

int onProtocolError(Display* display, XErrorEvent* event) {
    if (protocolErrors < protocolErrorsLogged) {
        char text[128] = {};
        XGetErrorText(display, event->error_code, text, sizeof text);
        Logger::instance().warn("Panel", std::string("X服务器拒绝了请求 ") + std::to_string(event->request_code) +
                                             "." + std::to_string(event->minor_code) + ": " + text);
    } else if (protocolErrors == protocolErrorsLogged) {
        Logger::instance().warn("Panel", "X服务器拒绝的请求过多, 不再逐一记录");
    }
    ++protocolErrors;
    return 0;
}
} // namespace

void guardXlib() {
    XSetIOErrorHandler(onConnectionBroken);
    XSetErrorHandler(onProtocolError);
    connectionBroken.store(false);
}

void guardConnection(Display* display) { XSetIOErrorExitHandler(display, carryOn, nullptr); }

bool xConnectionBroken() { return connectionBroken.load(); }

// The socket tells of the hang-up even while events are still buffered in it. SDL must
// not be let near the connection then: its event handling trusts the replies of the
// requests it makes.
bool xServerHungUp(Display* display) {
    pollfd connection{ConnectionNumber(display), POLLRDHUP, 0};
    if (::poll(&connection, 1, 0) > 0 && (connection.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
        connectionBroken.store(true);
    return connectionBroken.load();
}

// SDL opens an X connection of its own beside the one it hands out, and closes it when
// its video subsystem quits; closing one that has not yet noticed a dead server makes
// Xlib exit. Every connection this process opens gets the exit handler that carries on
// instead: this definition takes the place of libX11's for SDL and Mesa alike.
extern "C" Display* XOpenDisplay(const char* name) {
    using Open = Display* (*)(const char*);
    static const Open openDisplay = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "XOpenDisplay"));
    Display* display = openDisplay ? openDisplay(name) : nullptr;
    if (display)
        XSetIOErrorExitHandler(display, carryOn, nullptr);
    return display;
}

// SDL asks for the name of every property that changes on the root window and
// compares it without looking, so a connection that breaks in the middle of its event
// handling would crash the process there. Once the connection is broken a failed
// lookup gives an empty name, which matches nothing, instead of none.
extern "C" char* XGetAtomName(Display* display, Atom atom) {
    using GetName = char* (*)(Display*, Atom);
    static const GetName getName = reinterpret_cast<GetName>(dlsym(RTLD_NEXT, "XGetAtomName"));
    char* name = getName ? getName(display, atom) : nullptr;
    if (!name && connectionBroken.load())
        return static_cast<char*>(std::calloc(1, 1)); // released with XFree, which is free()
    return name;
}

// SDL reads the modifier map on every focus change. libX11's own XGetModifierMapping
// reads the reply's body even when the reply never came, and libX11 aborts the process
// for that when the server goes away in the middle of it. The request goes through the
// connection's XCB side instead, which answers a broken connection with no reply: an
// empty map then (no keys per modifier, so no lock keys found), never none.
extern "C" XModifierKeymap* XGetModifierMapping(Display* display) {
    xcb_connection_t* connection = XGetXCBConnection(display);
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
    if (!reply) {
        if (xcb_connection_has_error(connection))
            connectionBroken.store(true);
        return XNewModifiermap(0);
    }
    XModifierKeymap* map = XNewModifiermap(reply->keycodes_per_modifier);
    if (map && map->modifiermap)
        std::memcpy(map->modifiermap, xcb_get_modifier_mapping_keycodes(reply),
                    static_cast<std::size_t>(xcb_get_modifier_mapping_keycodes_length(reply)));
    std::free(reply);
    return map;
}
