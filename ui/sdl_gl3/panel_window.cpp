// Panel window backend: SDL2 + OpenGL 3 on X11.
// Implemented: the tool window at its fixed place and outer size, fitted before it is mapped to the
//              frame the window manager announces; only move and close offered (_MOTIF_WM_HINTS);
//              keep-above through the window manager (_NET_WM_STATE_ABOVE); the first frame drawn
//              offscreen and set as the window's background before mapping, so the window never
//              shows undrawn; vsync, or pacing to the refresh period where the driver refuses it;
//              a broken X connection or a refused X request never ends the process; freed heap
//              given back to the system on hide; ImGui's SDL2 and OpenGL 3 backends.
// Missing:     keep-above without an EWMH window manager (reported as error code 50); on video
//              drivers other than X11 the window is shown by SDL after its first frame is drawn,
//              without the background picture, the frame fitting or the Motif hints.
#include "panel_window.h"

#include "frame_pacer.h"
#include "logger.h"
#include "panel_font.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <dlfcn.h>
#include <poll.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* windowTitle = "Sondrel: 音频控制面板";
constexpr int windowX = 100;
constexpr int windowY = 100;
constexpr int outerWidth = 500;
constexpr int outerHeight = 176;
constexpr float clearRed = 114.0f / 255.0f;
constexpr float clearGreen = 140.0f / 255.0f;
constexpr float clearBlue = 153.0f / 255.0f;
constexpr int fallbackRefreshRate = 60;
// How long a showing waits for the window manager to map the window. The window
// carries its first frame as background, so a late map shows nothing undrawn either.
constexpr auto mapWait = std::chrono::milliseconds(1000);
// After mapping, the frame the window manager gives the window is checked once per
// frame for this many frames: it may not have announced it in time, or may decide on
// another one when it takes the window over.
constexpr int lateFrameChecks = 120;

// The code reported when the window manager cannot keep the panel above other windows.
// X11 has no last-error value for this (the request is a client message the window
// manager answers silently), so the parent gets the code it would see for an
// unsupported request on its own platform: ERROR_NOT_SUPPORTED.
constexpr unsigned long topmostUnsupported = 50;

// _MOTIF_WM_HINTS: which functions and decorations the window manager should offer.
constexpr unsigned long motifFunctionsGiven = 1ul << 0;
constexpr unsigned long motifDecorationsGiven = 1ul << 1;
constexpr unsigned long motifFunctionMove = 1ul << 2;
constexpr unsigned long motifFunctionClose = 1ul << 5;
constexpr unsigned long motifDecorationBorder = 1ul << 1;
constexpr unsigned long motifDecorationTitle = 1ul << 3;

std::runtime_error sdlFailure(const std::string& what) { return std::runtime_error(what + ": " + SDL_GetError()); }

// Xlib ends the process when the connection to the X server breaks (the default I/O
// error handler calls exit) and when the server refuses a request (the default error
// handler does). Neither is worth the audio: a broken connection is noted here and
// the panel dropped by the frame loop, a refused request is logged.
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

// The SDL video subsystem, initialised for one showing and shut down with it. The X
// handlers are in place before SDL opens its connections.
class VideoSubsystem {
public:
    VideoSubsystem() {
        XSetIOErrorHandler(onConnectionBroken);
        XSetErrorHandler(onProtocolError);
        connectionBroken.store(false);
        // The process handles SIGINT and SIGTERM itself.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            throw sdlFailure("SDL_InitSubSystem");
        // Without a display SDL falls back to drivers that draw into memory; a panel
        // nobody can see is not shown.
        const std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
        if (driver == "offscreen" || driver == "dummy" || driver.empty()) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            throw std::runtime_error("no display (SDL video driver \"" + driver + "\")");
        }
    }
    ~VideoSubsystem() { SDL_QuitSubSystem(SDL_INIT_VIDEO); }
    VideoSubsystem(const VideoSubsystem&) = delete;
    VideoSubsystem& operator=(const VideoSubsystem&) = delete;
};

struct WindowDeleter {
    void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};
using WindowHandle = std::unique_ptr<SDL_Window, WindowDeleter>;

class GlContext {
public:
    explicit GlContext(SDL_Window* window) : context(SDL_GL_CreateContext(window)) {
        if (!context)
            throw sdlFailure("SDL_GL_CreateContext");
        if (SDL_GL_MakeCurrent(window, context) != 0) {
            SDL_GL_DeleteContext(context);
            throw sdlFailure("SDL_GL_MakeCurrent");
        }
    }
    ~GlContext() { SDL_GL_DeleteContext(context); }
    GlContext(const GlContext&) = delete;
    GlContext& operator=(const GlContext&) = delete;

    SDL_GLContext get() const { return context; }

private:
    SDL_GLContext context;
};

// One ImGui context with its SDL and OpenGL 3 backends, made current on creation, with
// the font atlas built and uploaded.
class ImGuiSession {
public:
    ImGuiSession(SDL_Window* window, SDL_GLContext gl) {
        IMGUI_CHECKVERSION();
        ImGui::CreateContext();
        ImGui::StyleColorsLight();
        if (!ImGui_ImplSDL2_InitForOpenGL(window, gl)) {
            ImGui::DestroyContext();
            throw std::runtime_error("ImGui_ImplSDL2_InitForOpenGL failed");
        }
        if (!ImGui_ImplOpenGL3_Init("#version 130")) {
            ImGui_ImplSDL2_Shutdown();
            ImGui::DestroyContext();
            throw std::runtime_error("ImGui_ImplOpenGL3_Init failed");
        }
        buildFonts();
    }
    ~ImGuiSession() {
        ImGui_ImplOpenGL3_Shutdown();
        ImGui_ImplSDL2_Shutdown();
        ImGui::DestroyContext();
    }
    ImGuiSession(const ImGuiSession&) = delete;
    ImGuiSession& operator=(const ImGuiSession&) = delete;

private:
    // Rasterising the Chinese glyphs is the slow part of a showing; it is done here,
    // before the window is mapped, instead of in the first frame.
    static void buildFonts() {
        ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
        atlas.Flags |= ImFontAtlasFlags_NoPowerOfTwoHeight;
        const bool fromFile = addPanelFont(atlas);
        ImGui_ImplOpenGL3_CreateDeviceObjects();
        if (!atlas.IsBuilt() && fromFile) {
            // ImGui would assert in the first frame; its built-in font always builds.
            Logger::instance().warn("Panel",
                                    std::string("字体文件") + panelFontPath + "无法生成字模, 改用内置字体");
            ImGui_ImplOpenGL3_DestroyFontsTexture();
            atlas.Clear();
            ImGui_ImplOpenGL3_CreateFontsTexture();
        }
        // The texture holds the glyphs now; the atlas's pixel copies (tens of MB for
        // the Chinese ranges) and the font file's bytes are not needed again.
        atlas.ClearTexData();
        atlas.ClearInputData();
    }
};

// The X11 side of the SDL window, when SDL runs on X11.
struct X11Window {
    Display* display;
    Window window;
};

std::optional<X11Window> x11Window(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return std::nullopt;
    return X11Window{info.info.x11.display, info.info.x11.window};
}

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

// What the running window manager declares on the root window (EWMH _NET_SUPPORTED).
// Only X11 can be asked; on other video drivers a window manager is assumed.
struct WindowManagerSupport {
    bool present = true;         // some EWMH window manager runs
    bool keepAbove = true;       // it honours _NET_WM_STATE_ABOVE
    bool frameOnRequest = false; // it announces a window's frame before mapping it
};

WindowManagerSupport windowManagerSupport(const X11Window& x) {
    const std::vector<unsigned long> supported =
        property32(x, DefaultRootWindow(x.display), "_NET_SUPPORTED", XA_ATOM, 4096);
    const auto declares = [&](const char* name) {
        return std::find(supported.begin(), supported.end(), XInternAtom(x.display, name, False)) !=
               supported.end();
    };
    return {!supported.empty(), declares("_NET_WM_STATE_ABOVE"), declares("_NET_REQUEST_FRAME_EXTENTS")};
}

// A title bar with a close box and a border; only moving and closing offered.
void offerOnlyMoveAndClose(const X11Window& x) {
    const Atom hintsAtom = XInternAtom(x.display, "_MOTIF_WM_HINTS", False);
    // flags, functions, decorations, input mode, status
    const long hints[5] = {static_cast<long>(motifFunctionsGiven | motifDecorationsGiven),
                           static_cast<long>(motifFunctionMove | motifFunctionClose),
                           static_cast<long>(motifDecorationBorder | motifDecorationTitle), 0, 0};
    XChangeProperty(x.display, x.window, hintsAtom, hintsAtom, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(hints), 5);
}

struct FrameExtents {
    long left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
};

std::optional<FrameExtents> frameExtents(const X11Window& x) {
    const std::vector<unsigned long> values = property32(x, x.window, "_NET_FRAME_EXTENTS", XA_CARDINAL, 4);
    if (values.size() != 4)
        return std::nullopt;
    return FrameExtents{static_cast<long>(values[0]), static_cast<long>(values[1]), static_cast<long>(values[2]),
                        static_cast<long>(values[3])};
}

// Asks the window manager to announce the frame it will give the still unmapped window,
// and waits for the answer at most until the deadline.
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
        if (Clock::now() >= deadline || connectionBroken.load())
            return std::nullopt;
        SDL_Delay(1);
    }
}

// Shrinks the client area so that the frame's outer edge is 500 x 176. The window
// manager keeps the frame's corner where the window asked to be, at (100, 100).
void fitOuterFrame(SDL_Window* window, const FrameExtents& frame) {
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
void keepOuterFrameInPlace(const X11Window& x, const FrameExtents& frame) {
    int rootX = 0, rootY = 0;
    Window child = None;
    if (!XTranslateCoordinates(x.display, x.window, DefaultRootWindow(x.display), 0, 0, &rootX, &rootY, &child))
        return;
    if (rootX - frame.left != windowX || rootY - frame.top != windowY) {
        XMoveWindow(x.display, x.window, windowX, windowY);
        XFlush(x.display);
    }
}

FramePacer::Clock::duration refreshPeriod(SDL_Window* window) {
    SDL_DisplayMode mode{};
    int rate = 0;
    if (SDL_GetCurrentDisplayMode(SDL_GetWindowDisplayIndex(window), &mode) == 0)
        rate = mode.refresh_rate;
    if (rate <= 0)
        rate = fallbackRefreshRate;
    return std::chrono::duration_cast<FramePacer::Clock::duration>(std::chrono::duration<double>(1.0 / rate));
}

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

void renderFrame(int width, int height) {
    glViewport(0, 0, width, height);
    glClearColor(clearRed, clearGreen, clearBlue, 1.0f);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
}

// The rendered frame read back as RGBA rows, top row first; empty when the driver
// cannot render offscreen.
std::vector<unsigned char> renderOffscreen(int width, int height) {
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
        renderFrame(width, height);
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

// One 8-bit channel placed into a pixel by the visual's mask for it.
unsigned long channel(unsigned char value, unsigned long mask) {
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long maximum = mask >> shift;
    return ((value * maximum + 127) / 255) << shift;
}

// Makes the picture the window's background: the X server paints it the moment the
// window is mapped, before the first buffer swap can reach the screen.
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

// True once the X server has closed the connection: the socket tells of the hang-up
// even while events are still buffered in it. SDL must not be let near the connection
// then: its event handling trusts the replies of the requests it makes.
bool serverHungUp(const X11Window& x) {
    pollfd connection{ConnectionNumber(x.display), POLLRDHUP, 0};
    return ::poll(&connection, 1, 0) > 0 && (connection.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool viewable(const X11Window& x) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(x.display, x.window, &attributes) && attributes.map_state == IsViewable;
}

// Maps the window and waits, with a bound, until the window manager has put it on
// screen. SDL's own show waits without a bound for the map, which a stuck window
// manager would turn into a stuck control loop.
void mapAndWait(const X11Window& x, bool windowManager) {
    XMapRaised(x.display, x.window);
    XFlush(x.display);
    const Clock::time_point deadline = Clock::now() + mapWait;
    while (!viewable(x) && !connectionBroken.load() && Clock::now() < deadline)
        SDL_Delay(1);
    // Without a window manager nobody hands the window the keyboard.
    if (!windowManager && viewable(x))
        XSetInputFocus(x.display, x.window, RevertToParent, CurrentTime);
}

// Asks the window manager to show a minimised window again: mapping an iconified
// window de-iconifies it, and an activation request raises it.
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

} // namespace

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

struct PanelWindow::Impl {
    // Released in reverse order: ImGui before the GL context, the window, then the
    // video subsystem.
    std::unique_ptr<VideoSubsystem> video;
    WindowHandle window;
    std::unique_ptr<GlContext> gl;
    std::unique_ptr<ImGuiSession> imgui;
    std::unique_ptr<FramePacer> pacer; // only without vsync
    std::optional<X11Window> x11;
    WindowManagerSupport support;
    std::optional<FrameExtents> fittedFrame;
    int frameChecksLeft = 0;

    void present();
    void fitLateFrame();
};

void PanelWindow::Impl::present() {
    int width = 0, height = 0;
    SDL_GL_GetDrawableSize(window.get(), &width, &height);
    renderFrame(width, height);
    SDL_GL_SwapWindow(window.get());
    if (pacer)
        pacer->wait();
}

// The client area and the frame's place follow the frame the window manager has
// actually given, without waiting for it.
void PanelWindow::Impl::fitLateFrame() {
    if (frameChecksLeft <= 0 || !x11)
        return;
    --frameChecksLeft;
    const std::optional<FrameExtents> frame = frameExtents(*x11);
    if (!frame)
        return;
    if (frame != fittedFrame) {
        fitOuterFrame(window.get(), *frame);
        fittedFrame = frame;
    }
    keepOuterFrameInPlace(*x11, *frame);
}

PanelWindow::PanelWindow(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

PanelWindow::~PanelWindow() {
    impl.reset();
    // The atlas and the driver leave tens of MB of freed heap behind; give it back.
    malloc_trim(0);
}

PanelWindow::Opened PanelWindow::open() {
    auto panel = std::make_unique<Impl>();
    panel->video = std::make_unique<VideoSubsystem>();

    SDL_GL_SetAttribute(SDL_GL_CONTEXT_FLAGS, 0);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, 0);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 0);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);

    const Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN | SDL_WINDOW_UTILITY | SDL_WINDOW_ALWAYS_ON_TOP;
    panel->window.reset(SDL_CreateWindow(windowTitle, windowX, windowY, outerWidth, outerHeight, flags));
    if (!panel->window)
        throw sdlFailure("SDL_CreateWindow");
    panel->x11 = x11Window(panel->window.get());
    Opened opened;
    if (panel->x11) {
        // Already done when SDL opened the connection through XOpenDisplay below; this
        // covers a libX11 that SDL reaches some other way.
        XSetIOErrorExitHandler(panel->x11->display, carryOn, nullptr);
        offerOnlyMoveAndClose(*panel->x11);
        panel->support = windowManagerSupport(*panel->x11);
    }
    if (!panel->support.keepAbove)
        opened.topmostError = topmostUnsupported;

    panel->gl = std::make_unique<GlContext>(panel->window.get());
    const FramePacer::Clock::duration framePeriod = refreshPeriod(panel->window.get());
    if (SDL_GL_SetSwapInterval(1) != 0) {
        panel->pacer = std::make_unique<FramePacer>(framePeriod);
        Logger::instance().info("Panel", std::string("垂直同步不可用, 按显示刷新周期限速: ") + SDL_GetError());
    }

    // The window is mapped at its final size when the window manager tells its frame
    // in time; one frame interval is all a showing waits for that.
    if (panel->x11 && panel->support.present) {
        if (panel->support.frameOnRequest)
            panel->fittedFrame = announcedFrame(*panel->x11, Clock::now() + framePeriod);
        if (panel->fittedFrame)
            fitOuterFrame(panel->window.get(), *panel->fittedFrame);
        panel->frameChecksLeft = lateFrameChecks;
    }

    panel->imgui = std::make_unique<ImGuiSession>(panel->window.get(), panel->gl->get());
    if (connectionBroken.load())
        throw std::runtime_error("connection to the X server lost");
    opened.window.reset(new PanelWindow(std::move(panel)));
    return opened;
}

void PanelWindow::reveal(const std::function<void()>& drawContents) {
    beginFrame();
    drawContents();
    ImGui::Render();
    if (impl->x11) {
        int width = 0, height = 0;
        SDL_GL_GetDrawableSize(impl->window.get(), &width, &height);
        setBackground(*impl->x11, renderOffscreen(width, height), width, height);
        mapAndWait(*impl->x11, impl->support.present);
    } else {
        SDL_ShowWindow(impl->window.get());
    }
    impl->present();
    if (connectionBroken.load())
        throw std::runtime_error("connection to the X server lost");
}

void PanelWindow::restore() {
    if (connectionBroken.load())
        return;
    // An iconified X window is unmapped; one that is on screen is left as it is.
    if (impl->x11) {
        if (!viewable(*impl->x11))
            restoreAndRaise(*impl->x11);
    } else if (SDL_GetWindowFlags(impl->window.get()) & SDL_WINDOW_MINIMIZED) {
        SDL_RestoreWindow(impl->window.get());
        SDL_RaiseWindow(impl->window.get());
    }
}

// A close request is only noted here; the caller hides the panel once every queued
// event has been handled.
PanelWindow::Event PanelWindow::pumpEvents() {
    if (impl->x11 && serverHungUp(*impl->x11))
        connectionBroken.store(true);
    if (connectionBroken.load())
        return Event::displayLost;
    const Uint32 id = SDL_GetWindowID(impl->window.get());
    bool closeRequested = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        ImGui_ImplSDL2_ProcessEvent(&event);
        if (event.type == SDL_QUIT)
            closeRequested = true;
        else if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE &&
                 event.window.windowID == id)
            closeRequested = true;
    }
    if (connectionBroken.load())
        return Event::displayLost;
    impl->fitLateFrame();
    return closeRequested ? Event::closeRequested : Event::none;
}

void PanelWindow::beginFrame() {
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplSDL2_NewFrame();
    ImGui::NewFrame();
}

void PanelWindow::endFrame() {
    ImGui::Render();
    impl->present();
}
