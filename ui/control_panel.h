#pragma once

#include <memory>

class AudioEngine;
class Server;
class PanelWindow;

// The on-demand settings window. Hidden: no window, graphics device or ImGui context
// exists. show() creates all three and writes the shown line; hide() destroys them and
// always writes the hidden line. runFrame() paces the control loop.
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
