#include "panel_harness.h"

#include "audio_window.h"

#include <gtest/gtest.h>

#include <algorithm>

FakeEngine::FakeEngine(std::string settingsPath) : AudioEngine(std::move(settingsPath), Detached{}) {
    waitLimit = std::chrono::seconds(60); // the tests check each click's effect right after it
}

PanelHarness::PanelHarness(AudioEngine& engine, Font font)
    : engine(engine), panelFont(SONDREL_PANEL_FONT), context(ImGui::CreateContext()) {
    // CreateContext makes the new context current only when there is none.
    ImGui::SetCurrentContext(context);
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(500.0f, 176.0f);
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::StyleColorsLight();
    // The atlas the window builds: the characters the panel can draw for this engine.
    ImFontGlyphRangesBuilder characters;
    addPanelCharacters(engine, characters);
    if (font == Font::panel)
        panelFont.build(*io.Fonts, characters);
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    // Layout queries (font size, window) need one finished frame.
    frame();
}

PanelHarness::~PanelHarness() { ImGui::DestroyContext(context); }

std::string PanelHarness::frame() {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(mouseX, mouseY);
    io.MouseDown[0] = mouseDown;
    ImGui::NewFrame();
    drawAudioWindow(engine);
    ImGui::Render();
    return textOf(audioWindow());
}

bool PanelHarness::hasChineseFont() const { return ImGui::GetFont()->FindGlyphNoFallback(0x8BBE) != nullptr; }

std::string PanelHarness::textOf(const ImGuiWindow* window) const {
    if (!window || !window->WasActive)
        return {};
    // Glyph quads are recognised by their texture corners; other shapes use the white pixel.
    const ImFont* font = ImGui::GetFont();
    std::string text;
    const ImVector<ImDrawVert>& v = window->DrawList->VtxBuffer;
    for (int i = 0; i + 2 < v.Size; ++i) {
        for (const ImFontGlyph& glyph : font->Glyphs) {
            if (v[i].uv.x == glyph.U0 && v[i].uv.y == glyph.V0 && v[i + 1].uv.x == glyph.U1 &&
                v[i + 1].uv.y == glyph.V0 && v[i + 2].uv.x == glyph.U1 && v[i + 2].uv.y == glyph.V1 &&
                glyph.Visible) {
                char utf8[8] = {};
                ImTextCharToUtf8(utf8, glyph.Codepoint);
                text += utf8;
                i += 3;
                break;
            }
        }
    }
    return text;
}

std::string PanelHarness::popupText() const { return textOf(openPopup()); }

std::string PanelHarness::tooltipText() const { return textOf(ImGui::FindWindowByName("##Tooltip_00")); }

void PanelHarness::moveMouse(float x, float y) {
    mouseX = x;
    mouseY = y;
}

void PanelHarness::click(float x, float y) {
    moveMouse(x, y);
    frame();
    frame();
    mouseDown = true;
    frame();
    mouseDown = false;
    frame();
    frame();
}

ImGuiWindow* PanelHarness::audioWindow() const { return ImGui::FindWindowByName("Audio"); }

ImGuiWindow* PanelHarness::openPopup() const {
    return context->OpenPopupStack.empty() ? nullptr : context->OpenPopupStack.back().Window;
}

ImGuiID PanelHarness::hoveredId() const { return context->HoveredId; }

ImGuiID PanelHarness::comboId(const char* label) const { return ImHashStr(label, 0, audioWindow()->ID); }

ImGuiID PanelHarness::buttonId(const char* label) const { return ImHashStr(label, 0, audioWindow()->ID); }

ImGuiID PanelHarness::rowId(const ImGuiWindow* popup, int row, const char* label) {
    const ImGuiID rowSeed = ImHashData(&row, sizeof row, popup->ID);
    return ImHashStr(label, 0, rowSeed);
}

ImVec2 PanelHarness::comboCentre(int k) const {
    const ImGuiStyle& style = ImGui::GetStyle();
    const float height = ImGui::GetFrameHeight();
    const float top = style.WindowPadding.y + static_cast<float>(k) * (height + style.ItemSpacing.y);
    return ImVec2(style.WindowPadding.x + 40.0f, top + height / 2.0f);
}

ImVec2 PanelHarness::refreshCentre() const {
    const Rect button = refreshButton();
    return ImVec2((button.left + button.right) / 2.0f, (button.top + button.bottom) / 2.0f);
}

ImVec2 PanelHarness::rowCentre(int j) const {
    const ImGuiWindow* popup = openPopup();
    const ImGuiStyle& style = ImGui::GetStyle();
    const float pitch = ImGui::GetFontSize() + style.ItemSpacing.y;
    return ImVec2(popup->Pos.x + popup->WindowPadding.x + 10.0f, popup->Pos.y + popup->WindowPadding.y +
                                                                     static_cast<float>(j) * pitch +
                                                                     ImGui::GetFontSize() / 2.0f);
}

bool PanelHarness::choose(int k, int j) {
    const ImVec2 combo = comboCentre(k);
    moveMouse(combo.x, combo.y);
    frame();
    frame();
    EXPECT_EQ(hoveredId(), comboId(labels[static_cast<std::size_t>(k)])) << "pointer not over list " << k;
    if (hoveredId() != comboId(labels[static_cast<std::size_t>(k)]))
        return false;
    click(combo.x, combo.y);
    frame();
    ImGuiWindow* popup = openPopup();
    EXPECT_NE(popup, nullptr) << "list " << k << " did not open";
    if (!popup)
        return false;
    const ImVec2 row = rowCentre(j);
    moveMouse(row.x, row.y);
    frame();
    frame();
    EXPECT_EQ(context->HoveredWindow, popup) << "pointer not over the open list";
    EXPECT_NE(hoveredId(), 0u) << "pointer not over row " << j;
    if (context->HoveredWindow != popup || hoveredId() == 0)
        return false;
    click(row.x, row.y);
    return true;
}

std::vector<Vertex> PanelHarness::verticesOf(ImU32 colour) const {
    std::vector<Vertex> found;
    const ImDrawList* list = audioWindow()->DrawList;
    for (const ImDrawVert& v : list->VtxBuffer)
        if (v.col == colour)
            found.push_back({v.pos.x, v.pos.y});
    return found;
}

std::vector<Rect> PanelHarness::rectanglesOf(ImU32 colour) const {
    const std::vector<Vertex> corners = verticesOf(colour);
    std::vector<Rect> rects;
    for (std::size_t i = 0; i + 3 < corners.size(); i += 4) {
        Rect r{corners[i].x, corners[i].y, corners[i].x, corners[i].y};
        for (std::size_t k = i; k < i + 4; ++k) {
            r.left = std::min(r.left, corners[k].x);
            r.right = std::max(r.right, corners[k].x);
            r.top = std::min(r.top, corners[k].y);
            r.bottom = std::max(r.bottom, corners[k].y);
        }
        rects.push_back(r);
    }
    return rects;
}

Rect PanelHarness::refreshButton() const {
    const std::vector<Rect> rects = rectanglesOf(ImGui::GetColorU32(ImGuiCol_Button));
    Rect button{};
    for (const Rect& r : rects)
        if (r.right > button.right)
            button = r;
    return button;
}
