// Why this file exists: Xlib ends the process when the connection to the X server breaks
// (the default I/O error handler calls exit) and when the server refuses a request (the
// default error handler does). Neither is worth the audio: a broken connection is noted
// here and the panel dropped by the frame loop, a refused request is logged. Xlib's
// handlers are process-wide, and so are the three libX11 functions replaced below: they
// take the place of libX11's own for SDL, Mesa and everything else in the process. The
// window backend calls guardXlib(), which also keeps this file in the link.
#include "xlib_guard.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
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

// The same for the modifier map SDL reads on every focus change: once the connection
// is broken an empty map (no keys per modifier, so no lock keys found) instead of none.
extern "C" XModifierKeymap* XGetModifierMapping(Display* display) {
    using GetMap = XModifierKeymap* (*)(Display*);
    static const GetMap getMap = reinterpret_cast<GetMap>(dlsym(RTLD_NEXT, "XGetModifierMapping"));
    XModifierKeymap* map = getMap ? getMap(display) : nullptr;
    if (!map && connectionBroken.load())
        return XNewModifiermap(0);
    return map;
}
