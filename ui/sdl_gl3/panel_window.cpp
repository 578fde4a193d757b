// Panel window backend: SDL2 + OpenGL 3 on X11.
// Implemented: the tool window at its fixed place and outer size, fitted before it is mapped to the
//              frame the window manager announces; only move and close offered (_MOTIF_WM_HINTS);
//              keep-above through the window manager (_NET_WM_STATE_ABOVE); the first frame drawn
//              offscreen and set as the window's background before mapping, so the window never
//              shows undrawn; vsync, or pacing to the refresh period where the driver refuses it;
//              a broken X connection or a refused X request never ends the process; freed heap
//              given back to the system on hide; ImGui's SDL2 and OpenGL 3 backends; the font texture
//              made anew between frames when the atlas is rebuilt for new characters.
// Missing:     keep-above without an EWMH window manager (reported as error code 50); on video
//              drivers other than X11 the window is shown by SDL after its first frame is drawn,
//              without the background picture, the frame fitting or the Motif hints.
#include "panel_window.h"

#include "first_frame.h"
#include "frame_pacer.h"
#include "logger.h"
#include "panel_font.h"
#include "window_manager_hints.h"
#include "x11_window.h"
#include "xlib_guard.h"

#include <SDL.h>
#include <SDL_opengl.h>
#include <SDL_syswm.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <malloc.h>

#include <chrono>
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

std::runtime_error sdlFailure(const std::string& what) { return std::runtime_error(what + ": " + SDL_GetError()); }

// The SDL video subsystem, initialised for one showing and shut down with it. The X
// handlers are in place before SDL opens its connections.
class VideoSubsystem {
public:
    VideoSubsystem() {
        guardXlib();
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
    ImGuiSession(SDL_Window* window, SDL_GLContext gl, const ImFontGlyphRangesBuilder& characters) {
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
        // Built here, before the window is mapped, instead of in the first frame.
        ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
        atlas.Flags |= ImFontAtlasFlags_NoPowerOfTwoHeight;
        font.build(atlas, characters);
        ImGui_ImplOpenGL3_CreateDeviceObjects();
        // The texture holds the glyphs now.
        atlas.ClearTexData();
    }
    ~ImGuiSession() {
        ImGui_ImplOpenGL3_Shutdown();
        ImGui_ImplSDL2_Shutdown();
        ImGui::DestroyContext();
    }
    ImGuiSession(const ImGuiSession&) = delete;
    ImGuiSession& operator=(const ImGuiSession&) = delete;

    void useCharacters(const ImFontGlyphRangesBuilder& characters) {
        if (!font.lacks(characters))
            return;
        ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
        ImGui_ImplOpenGL3_DestroyFontsTexture();
        font.build(atlas, characters);
        ImGui_ImplOpenGL3_CreateFontsTexture();
        atlas.ClearTexData();
    }

private:
    PanelFont font;
};

// The X11 side of the SDL window, when SDL runs on X11.
std::optional<X11Window> x11Window(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11)
        return std::nullopt;
    return X11Window{info.info.x11.display, info.info.x11.window};
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

void renderFrame(int width, int height) {
    glViewport(0, 0, width, height);
    glClearColor(clearRed, clearGreen, clearBlue, 1.0f);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
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
        fitOuterFrame(window.get(), *frame, outerWidth, outerHeight);
        fittedFrame = frame;
    }
    keepOuterFrameInPlace(*x11, *frame, windowX, windowY);
}

PanelWindow::PanelWindow(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

PanelWindow::~PanelWindow() {
    impl.reset();
    // The driver leaves MBs of freed heap behind; give it back.
    malloc_trim(0);
}

PanelWindow::Opened PanelWindow::open(const ImFontGlyphRangesBuilder& characters) {
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
        guardConnection(panel->x11->display);
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
            fitOuterFrame(panel->window.get(), *panel->fittedFrame, outerWidth, outerHeight);
        panel->frameChecksLeft = lateFrameChecks;
    }

    panel->imgui = std::make_unique<ImGuiSession>(panel->window.get(), panel->gl->get(), characters);
    if (xConnectionBroken())
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
        setBackground(*impl->x11, renderOffscreen(width, height, renderFrame), width, height);
        mapAndWait(*impl->x11, impl->support.present, mapWait);
    } else {
        SDL_ShowWindow(impl->window.get());
    }
    impl->present();
    if (xConnectionBroken())
        throw std::runtime_error("connection to the X server lost");
}

void PanelWindow::useCharacters(const ImFontGlyphRangesBuilder& characters) {
    if (!xConnectionBroken())
        impl->imgui->useCharacters(characters);
}

void PanelWindow::restore() {
    if (xConnectionBroken())
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
    if (impl->x11 ? xServerHungUp(impl->x11->display) : xConnectionBroken())
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
    if (xConnectionBroken())
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
