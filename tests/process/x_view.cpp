#include "x_view.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <bit>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

struct XView::Connection {
    Display* display = nullptr;
};

namespace {

// Xlib would end the test process when the server under test is killed.
void carryOn(Display*, void*) {}

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

int noteBrokenConnection(Display*) { return 0; }

std::uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long maximum = mask >> shift;
    return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255 / maximum);
}

std::string utf8Property(Display* display, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, AnyPropertyType, &type, &format, &count,
                           &remaining, &data) == Success &&
        data && format == 8)
        text.assign(reinterpret_cast<const char*>(data), count);
    if (data)
        XFree(data);
    return text;
}

} // namespace

int XView::Image::count(Colour colour) const {
    int n = 0;
    for (const Colour& c : pixels)
        n += c == colour;
    return n;
}

bool XView::Image::savePng(const std::filesystem::path& path) const {
    const std::filesystem::path ppm = std::filesystem::path(path).replace_extension(".ppm");
    {
        std::ofstream out(ppm, std::ios::binary);
        out << "P6\n" << width << " " << height << "\n255\n";
        for (const Colour& c : pixels)
            out.put(static_cast<char>(c.r)).put(static_cast<char>(c.g)).put(static_cast<char>(c.b));
        if (!out)
            return false;
    }
    const std::string command = "/usr/bin/convert '" + ppm.string() + "' '" + path.string() + "' 2>/dev/null";
    const bool converted = std::system(command.c_str()) == 0;
    std::filesystem::remove(ppm);
    return converted;
}

XView::XView(const std::string& display) : connection(std::make_unique<Connection>()) {
    XSetErrorHandler(ignoreProtocolError);
    XSetIOErrorHandler(noteBrokenConnection);
    connection->display = XOpenDisplay(display.c_str());
    if (!connection->display)
        throw std::runtime_error("cannot open display " + display);
    XSetIOErrorExitHandler(connection->display, carryOn, nullptr);
}

XView::~XView() { XCloseDisplay(connection->display); }

std::optional<XView::WindowId> XView::findWindow(const std::string& title) {
    Display* display = connection->display;
    const Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
    // Client windows are children of the root or, once a window manager has framed
    // them, grandchildren.
    std::vector<Window> pending{DefaultRootWindow(display)};
    for (int depth = 0; depth < 3 && !pending.empty(); ++depth) {
        std::vector<Window> next;
        for (Window parent : pending) {
            Window root = 0, grandparent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, parent, &root, &grandparent, &children, &count))
                continue;
            for (unsigned int i = 0; i < count; ++i) {
                if (utf8Property(display, children[i], nameAtom).find(title) != std::string::npos) {
                    const Window found = children[i];
                    XFree(children);
                    return found;
                }
                next.push_back(children[i]);
            }
            if (children)
                XFree(children);
        }
        pending = std::move(next);
    }
    return std::nullopt;
}

bool XView::viewable(WindowId window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(connection->display, window, &attributes) && attributes.map_state == IsViewable;
}

std::optional<XView::Image> XView::grab(WindowId window) {
    Display* display = connection->display;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable)
        return std::nullopt;
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!image)
        return std::nullopt;
    Image result;
    result.width = image->width;
    result.height = image->height;
    result.pixels.reserve(static_cast<std::size_t>(result.width) * result.height);
    const Visual* visual = attributes.visual;
    for (int y = 0; y < result.height; ++y) {
        for (int x = 0; x < result.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            result.pixels.push_back({channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                                     channel(pixel, visual->blue_mask)});
        }
    }
    XDestroyImage(image);
    return result;
}
