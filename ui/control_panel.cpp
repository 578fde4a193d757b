#include "control_panel.h"

#include "audio_window.h"
#include "frame_pacer.h"
#include "logger.h"
#include "panel_window.h"
#include "stdout_lines.h"

#include <chrono>
#include <exception>
#include <string>

namespace {

// The control loop's pace while no window is shown.
constexpr auto hiddenSleep = std::chrono::milliseconds(16);

} // namespace

ControlPanel::ControlPanel(AudioEngine& engine, Server& server) : engine(engine), server(server) {}

ControlPanel::~ControlPanel() {
    try {
        hide();
    } catch (...) {
    }
}

void ControlPanel::show() {
    if (window)
        return;
    PanelWindow::Opened opened;
    try {
        opened = PanelWindow::open();
    } catch (const std::exception& e) {
        Logger::instance().error("Panel", std::string("控制面板窗口创建失败, ") + e.what());
        return;
    }
    if (opened.topmostError)
        writeErrorLine(*opened.topmostError);
    window = std::move(opened.window);
    writeShownLine();
}

void ControlPanel::hide() {
    window.reset();
    writeHiddenLine();
}

void ControlPanel::runFrame() {
    if (!window) {
        FramePacer::sleepUntil(FramePacer::Clock::now() + hiddenSleep);
        return;
    }
    if (window->pumpEvents()) {
        hide();
        return;
    }
    drawFrame();
}

void ControlPanel::drawFrame() {
    window->beginFrame();
    drawAudioWindow(engine);
    window->endFrame();
}
