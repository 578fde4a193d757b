#pragma once

#include "audio_engine.h"
#include "panel_font.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <string>
#include <vector>

// An engine with a hand-made catalogue that never touches PortAudio: stopping does
// nothing without a stream and starting fails to open, but still saves the settings.
class FakeEngine : public AudioEngine {
public:
    explicit FakeEngine(std::string settingsPath);
};

struct Vertex {
    float x;
    float y;
};

// An axis-aligned rectangle as the draw list holds it.
struct Rect {
    float left, top, right, bottom;
};

// A headless ImGui context drawing the "Audio" window the way the control panel does,
// with simulated mouse input and the rendered text of each frame captured.
class PanelHarness {
public:
    // The panel's font file (when it is there) at 16 px with the characters the panel can
    // draw for the engine as it is now, as the window builds it; or ImGui's built-in font,
    // which is what a missing or unusable font file leaves the panel with.
    enum class Font { panel, builtIn };

    explicit PanelHarness(AudioEngine& engine, Font font = Font::panel);
    ~PanelHarness();
    PanelHarness(const PanelHarness&) = delete;
    PanelHarness& operator=(const PanelHarness&) = delete;

    // One frame; returns the glyphs the "Audio" window drew, in order, without spaces.
    std::string frame();
    // The glyphs of the open list and of the tooltip in the last frame, without spaces.
    std::string popupText() const;
    std::string tooltipText() const;
    // Whether the Chinese labels can be read back (the font link exists).
    bool hasChineseFont() const;

    void moveMouse(float x, float y);
    // Hover, press and release at (x, y), one frame each, then one more frame.
    void click(float x, float y);

    ImGuiWindow* audioWindow() const;
    ImGuiWindow* openPopup() const;
    ImGuiID hoveredId() const;
    ImGuiID comboId(const char* label) const;
    ImGuiID buttonId(const char* label) const;
    // The id of a list row pushed with its row number.
    static ImGuiID rowId(const ImGuiWindow* popup, int row, const char* label);

    // Centre of the k-th combo box frame of the group (0 = host API ... 3 = buffer size).
    ImVec2 comboCentre(int k) const;
    // Centre of the refresh button, right of the group.
    ImVec2 refreshCentre() const;
    // Centre of the j-th row shown in the open list.
    ImVec2 rowCentre(int j) const;

    // Opens the k-th list and clicks its j-th shown row; returns false (with a test
    // failure recorded) when the pointer was not over the expected widgets.
    bool choose(int k, int j);

    // Vertices of the "Audio" window's draw list in the last frame with exactly this colour.
    std::vector<Vertex> verticesOf(ImU32 colour) const;
    // Unrounded filled rectangles of exactly this colour (four vertices each), in the
    // order they were drawn.
    std::vector<Rect> rectanglesOf(ImU32 colour) const;
    // The refresh button's frame: of the rectangles in the button colour (the lists'
    // arrow boxes share it), the one furthest right.
    Rect refreshButton() const;

    const std::vector<const char*> labels{"设备类型", "输入设备", "采样率(Hz)", "缓冲区长度(帧)"};

private:
    std::string textOf(const ImGuiWindow* window) const;

    AudioEngine& engine;
    PanelFont panelFont;
    ImGuiContext* context;
    float mouseX = -100.0f;
    float mouseY = -100.0f;
    bool mouseDown = false;
};
