#pragma once

#include <memory>
#include <optional>

// The settings panel's always-on-top tool window with its graphics device and ImGui
// context: everything that exists only while the panel is shown. One implementation
// per platform (sdl_gl3/, win32_dx9/); control_panel.cpp and the panel drawing are
// shared. Main thread only.
class PanelWindow {
public:
    struct Opened {
        std::unique_ptr<PanelWindow> window;
        // Set when the window could not be made topmost: the platform's error code.
        std::optional<unsigned long> topmostError;
    };

    // Creates the window, the device and the ImGui context with its backends and
    // fonts, and shows the window. Throws std::runtime_error when no window can be made.
    static Opened open();
    ~PanelWindow();
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    // Handles every pending window event without blocking; true once the user asked
    // to close the window. The caller decides when to close it.
    bool pumpEvents();
    // Starts an ImGui frame; the caller submits its windows in between.
    void beginFrame();
    // Renders and presents the frame, pacing the caller to the display.
    void endFrame();

private:
    struct Impl;
    explicit PanelWindow(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};
