#pragma once

#include <memory>

class AudioEngine;
class Server;
class PanelWindow;

// The on-demand settings window. Hidden: no window, graphics device or ImGui context
// exists. show() creates all three, draws the first frame, shows the window and then
// writes the shown line; while shown it only restores a minimised window. hide()
// destroys them and always writes the hidden line, as does losing the display.
// runFrame() paces the control loop.
class ControlPanel {
public:
    ControlPanel(AudioEngine& engine, Server& server);
    ~ControlPanel();
    ControlPanel(const ControlPanel&) = delete;
    ControlPanel& operator=(const ControlPanel&) = delete;

    void show();
    void hide();
    void runFrame();

    bool shown() const { return window != nullptr; }

private:
    void drawFrame();

    AudioEngine& engine;
    Server& server;
    std::unique_ptr<PanelWindow> window;
};
