#include "control_panel.h"

#include "audio_window.h"
#include "frame_pacer.h"
#include "logger.h"
#include "panel_layout.h"
#include "panel_window.h"
#include "stdout_lines.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>

namespace {

// The control loop's pace while no window is shown.
constexpr auto hiddenSleep = std::chrono::milliseconds(16);

} // namespace

ControlPanel::ControlPanel(AudioEngine& engine) : engine(engine) {}

ControlPanel::~ControlPanel() {
    try {
        hide();
    } catch (...) {
    }
}

void ControlPanel::show() {
    if (window) {
        // The parent believes the window is visible; make it so if it was minimised.
        window->restore();
        return;
    }
    std::unique_ptr<PanelWindow> opening;
    std::unique_ptr<PanelLayout> openingLayout;
    try {
        PanelWindow::Opened opened = PanelWindow::open(panelCharacters());
        opening = std::move(opened.window);
        openingLayout = std::make_unique<PanelLayout>();
        if (opened.topmostError)
            writeErrorLine(*opened.topmostError);
        // Built, drawn, then shown: the window never appears without its contents.
        opening->reveal([this] { drawAudioWindow(engine); });
    } catch (const PanelWindow::OpenFailed& e) {
        writeErrorLine(e.topmostError);
        Logger::instance().error("Panel", std::string("控制面板窗口创建失败, ") + e.what());
        return;
    } catch (const std::exception& e) {
        Logger::instance().error("Panel", std::string("控制面板窗口创建失败, ") + e.what());
        return;
    }
    window = std::move(opening);
    layout = std::move(openingLayout);
    writeShownLine();
}

void ControlPanel::hide() {
    if (layout)
        layout->save();
    layout.reset();
    window.reset();
    writeHiddenLine();
}

void ControlPanel::runFrame() {
    if (!window) {
        FramePacer::sleepUntil(FramePacer::Clock::now() + hiddenSleep);
        return;
    }
    switch (window->pumpEvents()) {
    case PanelWindow::Event::none:
        drawFrame();
        break;
    case PanelWindow::Event::closeRequested:
        hide();
        break;
    case PanelWindow::Event::displayLost:
        // Capture and streaming go on; a later "show" may find a display again.
        Logger::instance().error("Panel", "与显示服务器的连接已断开, 控制面板已关闭");
        hide();
        break;
    case PanelWindow::Event::graphicsLost:
        // Logged by the backend, which knows what failed; a later "show" makes a new device.
        hide();
        break;
    }
}

void ControlPanel::drawFrame() {
    // A refresh, a selection or the parent's commands may have brought new names since
    // the last frame.
    window->useCharacters(panelCharacters());
    window->beginFrame();
    drawAudioWindow(engine);
    window->endFrame();
    layout->saveIfChanged();
}

const ImFontGlyphRangesBuilder& ControlPanel::panelCharacters() {
    characters.Clear();
    addPanelCharacters(engine, characters);
    return characters;
}
