#pragma once

#include <imgui.h>

#include <memory>

class AudioEngine;
class PanelWindow;
class PanelLayout;

// The on-demand settings window. Hidden: no window, graphics device or ImGui context
// exists. show() creates all three, draws the first frame, shows the window and then
// writes the shown line; while shown it only restores a minimised window. hide()
// destroys them and always writes the hidden line, as does losing the display.
// runFrame() paces the control loop. The font atlas holds the characters the panel
// draws; a name with one it lacks has it rebuilt before the next frame.
class ControlPanel {
public:
    explicit ControlPanel(AudioEngine& engine);
    ~ControlPanel();
    ControlPanel(const ControlPanel&) = delete;
    ControlPanel& operator=(const ControlPanel&) = delete;

    void show();
    void hide();
    void runFrame();

    bool shown() const { return window != nullptr; }

private:
    void drawFrame();
    // What the panel can draw for the engine's present state.
    const ImFontGlyphRangesBuilder& panelCharacters();

    AudioEngine& engine;
    std::unique_ptr<PanelWindow> window;
    std::unique_ptr<PanelLayout> layout; // while shown
    ImFontGlyphRangesBuilder characters;
};
