// Panel window backend: SDL2 + OpenGL 3 on X11.
// Implemented: the tool window at its fixed place and outer size; keep-above through the
//              window manager (_NET_WM_STATE_ABOVE); vsync, or pacing to the refresh period
//              where the driver refuses it; ImGui's SDL2 and OpenGL 3 backends.
// Missing:     keep-above without an EWMH window manager (reported as error code 50).
#include "panel_window.h"

#include "frame_pacer.h"
#include "logger.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* windowTitle = "Sondrel: 音频控制面板";
constexpr int windowX = 100;
constexpr int windowY = 100;
constexpr int outerWidth = 500;
constexpr int outerHeight = 176;
constexpr const char* fontPath = "./SourceHanSansSC-VF.ttf";
constexpr float fontSize = 16.0f;
constexpr int fallbackRefreshRate = 60;
constexpr auto frameReportWait = std::chrono::milliseconds(1000);

// The code reported when the window manager cannot keep the panel above other windows.
// X11 has no last-error value for this (the request is a client message the window
// manager answers silently), so the parent gets the code it would see for an
// unsupported request on its own platform: ERROR_NOT_SUPPORTED.
constexpr unsigned long topmostUnsupported = 50;

std::runtime_error sdlFailure(const std::string& what) {
    return std::runtime_error(what + ": " + SDL_GetError());
}

// The SDL video subsystem, initialised for one showing and shut down with it.
class VideoSubsystem {
public:
    VideoSubsystem() {
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

// One ImGui context with its SDL and OpenGL 3 backends, made current on creation.
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
        ImGuiIO& io = ImGui::GetIO();
        // A missing font is not an error: ImGui then uses its built-in font. The
        // library asserts on an unreadable file, so only a readable one is handed on.
        if (fontReadable())
            io.Fonts->AddFontFromFileTTF(fontPath, fontSize, nullptr, io.Fonts->GetGlyphRangesChineseFull());
    }
    ~ImGuiSession() {
        ImGui_ImplOpenGL3_Shutdown();
        ImGui_ImplSDL2_Shutdown();
        ImGui::DestroyContext();
    }
    ImGuiSession(const ImGuiSession&) = delete;
    ImGuiSession& operator=(const ImGuiSession&) = delete;

private:
    static bool fontReadable() {
        SDL_RWops* file = SDL_RWFromFile(fontPath, "rb");
        if (!file)
            return false;
        const Sint64 size = SDL_RWsize(file);
        SDL_RWclose(file);
        return size > 0;
    }
};

// What the running window manager declares on the root window (EWMH _NET_SUPPORTED).
// Only X11 can be asked; on other video drivers both are assumed.
struct WindowManagerSupport {
    bool present = true;    // some EWMH window manager runs
    bool keepAbove = true;  // it honours _NET_WM_STATE_ABOVE
};

WindowManagerSupport windowManagerSupport(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return {};
    Display* display = info.info.x11.display;
    const Atom supportedAtom = XInternAtom(display, "_NET_SUPPORTED", False);
    const Atom aboveAtom = XInternAtom(display, "_NET_WM_STATE_ABOVE", False);

    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, DefaultRootWindow(display), supportedAtom, 0, 4096, False,
                                          XA_ATOM, &type, &format, &count, &remaining, &data);
    WindowManagerSupport support{false, false};
    if (status == Success && type == XA_ATOM && format == 32 && data) {
        support.present = true;
        const Atom* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count && !support.keepAbove; ++i)
            support.keepAbove = atoms[i] == aboveAtom;
    }
    if (data)
        XFree(data);
    return support;
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

// Once the window is mapped the window manager reports its frame; the client area is
// then shrunk so that the frame's outer edge is 500 x 176 at (100, 100). The report
// arrives asynchronously, so it is awaited for a short while.
void fitOuterFrame(SDL_Window* window) {
    const auto deadline = std::chrono::steady_clock::now() + frameReportWait;
    int top = 0, left = 0, bottom = 0, right = 0;
    for (;;) {
        SDL_PumpEvents();
        const bool known = SDL_GetWindowBordersSize(window, &top, &left, &bottom, &right) == 0;
        if (known && top + left + bottom + right > 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        SDL_Delay(5);
    }
    if (top + bottom >= outerHeight || left + right >= outerWidth)
        return;
    SDL_SetWindowSize(window, outerWidth - left - right, outerHeight - top - bottom);
    SDL_SetWindowPosition(window, windowX + left, windowY + top);
}

} // namespace

struct PanelWindow::Impl {
    // Released in reverse order: ImGui before the GL context, the window, then the
    // video subsystem.
    std::unique_ptr<VideoSubsystem> video;
    WindowHandle window;
    std::unique_ptr<GlContext> gl;
    std::unique_ptr<ImGuiSession> imgui;
    std::unique_ptr<FramePacer> pacer; // only without vsync
};

PanelWindow::PanelWindow(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

PanelWindow::~PanelWindow() = default;

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
    Opened opened;
    const WindowManagerSupport support = windowManagerSupport(panel->window.get());
    if (!support.keepAbove)
        opened.topmostError = topmostUnsupported;

    panel->gl = std::make_unique<GlContext>(panel->window.get());
    if (SDL_GL_SetSwapInterval(1) != 0) {
        panel->pacer = std::make_unique<FramePacer>(refreshPeriod(panel->window.get()));
        Logger::instance().info("Panel", std::string("垂直同步不可用, 按显示刷新周期限速: ") + SDL_GetError());
    }

    SDL_ShowWindow(panel->window.get());
    // Without a window manager there is no frame to wait for.
    if (support.present)
        fitOuterFrame(panel->window.get());
    panel->imgui = std::make_unique<ImGuiSession>(panel->window.get(), panel->gl->get());
    opened.window.reset(new PanelWindow(std::move(panel)));
    return opened;
}

// A close request is only noted here; the caller hides the panel once every queued
// event has been handled.
bool PanelWindow::pumpEvents() {
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
    return closeRequested;
}

void PanelWindow::beginFrame() {
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplSDL2_NewFrame();
    ImGui::NewFrame();
}

void PanelWindow::endFrame() {
    ImGui::Render();
    int width = 0, height = 0;
    SDL_GL_GetDrawableSize(impl->window.get(), &width, &height);
    glViewport(0, 0, width, height);
    glClearColor(114.0f / 255.0f, 140.0f / 255.0f, 153.0f / 255.0f, 1.0f);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    SDL_GL_SwapWindow(impl->window.get());
    if (impl->pacer)
        impl->pacer->wait();
}
