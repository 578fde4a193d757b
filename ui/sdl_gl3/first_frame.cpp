#include "first_frame.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <optional>

namespace {

// Functions of OpenGL 3 that libGL does not export by name.
struct FramebufferFunctions {
    PFNGLGENFRAMEBUFFERSPROC genFramebuffers;
    PFNGLDELETEFRAMEBUFFERSPROC deleteFramebuffers;
    PFNGLBINDFRAMEBUFFERPROC bindFramebuffer;
    PFNGLGENRENDERBUFFERSPROC genRenderbuffers;
    PFNGLDELETERENDERBUFFERSPROC deleteRenderbuffers;
    PFNGLBINDRENDERBUFFERPROC bindRenderbuffer;
    PFNGLRENDERBUFFERSTORAGEPROC renderbufferStorage;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC framebufferRenderbuffer;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC checkFramebufferStatus;
};

template <typename Function>
bool load(Function& function, const char* name) {
    function = reinterpret_cast<Function>(SDL_GL_GetProcAddress(name));
    return function != nullptr;
}

std::optional<FramebufferFunctions> framebufferFunctions() {
    FramebufferFunctions gl{};
    if (!load(gl.genFramebuffers, "glGenFramebuffers") || !load(gl.deleteFramebuffers, "glDeleteFramebuffers") ||
        !load(gl.bindFramebuffer, "glBindFramebuffer") || !load(gl.genRenderbuffers, "glGenRenderbuffers") ||
        !load(gl.deleteRenderbuffers, "glDeleteRenderbuffers") ||
        !load(gl.bindRenderbuffer, "glBindRenderbuffer") ||
        !load(gl.renderbufferStorage, "glRenderbufferStorage") ||
        !load(gl.framebufferRenderbuffer, "glFramebufferRenderbuffer") ||
        !load(gl.checkFramebufferStatus, "glCheckFramebufferStatus"))
        return std::nullopt;
    return gl;
}

// One 8-bit channel placed into a pixel by the visual's mask for it.
unsigned long channel(unsigned char value, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long maximum = mask >> shift;
    return ((value * maximum + 127) / 255) << shift;
}

} // namespace

std::vector<unsigned char> renderOffscreen(int width, int height, const std::function<void(int, int)>& render) {
    const std::optional<FramebufferFunctions> gl = framebufferFunctions();
    if (!gl || width <= 0 || height <= 0)
        return {};
    GLuint colour = 0, framebuffer = 0;
    gl->genRenderbuffers(1, &colour);
    gl->bindRenderbuffer(GL_RENDERBUFFER, colour);
    gl->renderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    gl->genFramebuffers(1, &framebuffer);
    gl->bindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    gl->framebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);

    std::vector<unsigned char> rows;
    if (gl->checkFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) {
        render(width, height);
        std::vector<unsigned char> bottomUp(static_cast<std::size_t>(width) * height * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
        const std::size_t stride = static_cast<std::size_t>(width) * 4;
        rows.resize(bottomUp.size());
        for (int y = 0; y < height; ++y)
            std::copy_n(bottomUp.data() + (height - 1 - y) * stride, stride, rows.data() + y * stride);
    }
    gl->bindFramebuffer(GL_FRAMEBUFFER, 0);
    gl->deleteFramebuffers(1, &framebuffer);
    gl->deleteRenderbuffers(1, &colour);
    return rows;
}

void setBackground(const X11Window& x, const std::vector<unsigned char>& rgba, int width, int height) {
    XWindowAttributes attributes;
    if (rgba.empty() || !XGetWindowAttributes(x.display, x.window, &attributes) || !attributes.visual)
        return;
    // SDL gives a DirectColor window a linear colour ramp, so both classes compose a
    // pixel from the masks alone.
    if (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)
        return;
    const Visual& visual = *attributes.visual;
    XImage* image = XCreateImage(x.display, attributes.visual, static_cast<unsigned>(attributes.depth), ZPixmap, 0,
                                 nullptr, static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (!image)
        return;
    image->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * height));
    if (!image->data) {
        XDestroyImage(image);
        return;
    }
    // A 32-bit visual keeps alpha in the bits no colour uses; the panel is opaque.
    const unsigned long opaque =
        attributes.depth == 32 ? 0xFFFFFFFFul & ~(visual.red_mask | visual.green_mask | visual.blue_mask) : 0;
    for (int y = 0; y < height; ++y) {
        for (int column = 0; column < width; ++column) {
            const unsigned char* p = rgba.data() + (static_cast<std::size_t>(y) * width + column) * 4;
            XPutPixel(image, column, y,
                      channel(p[0], visual.red_mask) | channel(p[1], visual.green_mask) |
                          channel(p[2], visual.blue_mask) | opaque);
        }
    }
    const Pixmap pixmap = XCreatePixmap(x.display, x.window, static_cast<unsigned>(width),
                                        static_cast<unsigned>(height), static_cast<unsigned>(attributes.depth));
    const GC gc = XCreateGC(x.display, pixmap, 0, nullptr);
    XPutImage(x.display, pixmap, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
    XFreeGC(x.display, gc);
    // The window keeps the pixmap for as long as it is its background.
    XSetWindowBackgroundPixmap(x.display, x.window, pixmap);
    XFreePixmap(x.display, pixmap);
    XDestroyImage(image);
}
