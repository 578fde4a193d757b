#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

struct ImFontGlyphRangesBuilder;

// The settings panel's always-on-top tool window with its graphics device and ImGui
// context: everything that exists only while the panel is shown. One implementation
// per platform (sdl_gl3/, win32_dx9/); control_panel.cpp and the panel drawing are
// shared. Main thread only.
//
// What every backend must do (control_panel.cpp relies on it):
//
// open()       Creates the window without showing it: title "Sondrel: 音频控制面板", a
//              non-resizable tool window with a title bar and a close box only (no
//              minimise or maximise box where the platform lets the window say so),
//              outer frame 500 x 176 at (100, 100), kept above other windows. Then the
//              device, the ImGui context (light style; the caller takes imgui.ini over,
//              see panel_layout.h), the platform and renderer backends, the font atlas
//              for `characters` from a PanelFont (panel_font.h) and the renderer's
//              device objects (font texture) are all made before open() returns, so
//              that nothing slow is left for the first frame. The CPU copies of the
//              atlas are dropped once the texture holds them. Nothing is visible yet.
//              Opened::topmostError carries the platform's code when the window cannot
//              be kept above others. Throws std::runtime_error when no window can be
//              made; then nothing of it is left behind. When the platform had refused
//              to keep the window above others before that, the exception is an
//              OpenFailed that carries the code. Never waits for the window
//              manager longer than one frame interval, and never without a bound.
// reveal()     Starts a frame, calls drawContents (which submits the ImGui windows),
//              renders it and only then makes the window visible, so that the first
//              picture anyone can see of the window is that frame: never a black or
//              undrawn client area. Returns once the window is on screen (or a bounded
//              wait for the window manager has passed). Throws std::runtime_error when
//              the display is lost meanwhile.
// useCharacters()
//              Between frames: when `characters` holds one the atlas was not built for,
//              the atlas is built again from the font file and the font texture is
//              destroyed and made anew through the renderer backend, so that the next
//              frame draws every character with its glyph. Otherwise nothing happens.
// restore()    The window is open already: when it is minimised it is restored and
//              raised; a window on screen is left as it is. Never blocks.
// pumpEvents() Handles every pending window event without blocking and says what the
//              caller must do: nothing, close the window (the user asked), or drop it:
//              the connection to the display is gone (see below), or the graphics
//              device is lost for good while the display remains (graphicsLost; the
//              backend has logged why, tag "Panel").
// beginFrame() / endFrame()
//              One frame: the backend's NewFrame calls and ImGui::NewFrame; then
//              ImGui::Render, clear to the panel colour (114, 140, 153), render and
//              present, paced to the display (vertical sync, or a sleep of one refresh
//              period where the driver has none).
// ~PanelWindow()
//              Destroys the ImGui context, the device and the window, and gives the
//              freed memory back to the system where the platform allows, so a hidden
//              panel holds no memory of the atlas. Never throws, also after the display
//              was lost.
//
// A lost display never ends the process: where the platform's window library would
// exit on a broken connection, the backend prevents that, reports
// Event::displayLost from pumpEvents(), and keeps every later call harmless until the
// window is destroyed.
class PanelWindow {
public:
    struct Opened {
        std::unique_ptr<PanelWindow> window;
        // Set when the window could not be made topmost: the platform's error code.
        std::optional<unsigned long> topmostError;
    };

    struct OpenFailed : std::runtime_error {
        OpenFailed(const std::string& what, unsigned long topmostError)
            : std::runtime_error(what), topmostError(topmostError) {}
        unsigned long topmostError;
    };

    enum class Event { none, closeRequested, displayLost, graphicsLost };

    static Opened open(const ImFontGlyphRangesBuilder& characters);
    ~PanelWindow();
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    void reveal(const std::function<void()>& drawContents);
    void useCharacters(const ImFontGlyphRangesBuilder& characters);
    void restore();
    Event pumpEvents();
    void beginFrame();
    void endFrame();

private:
    struct Impl;
    explicit PanelWindow(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};
