#pragma once

#include <string>

// ImGui's window settings file, in the working directory under the name ImGui gives it.
inline constexpr const char* panelLayoutPath = "imgui.ini";

// ImGui's window settings, kept in "imgui.ini" as ImGui keeps them, but read and written
// here: the file is used only when it is one of ours (own_file.h, links refused), and a new
// one is readable and writable by us alone. A file that is there but not ours gives one
// warning in the log (tag "Panel"); the panel then starts without a saved layout and does
// not write the file either. Works on the current ImGui context.
class PanelLayout {
public:
    // Before the context's first frame: ImGui stops handling the file itself and gets
    // what the file holds.
    explicit PanelLayout(std::string path = panelLayoutPath);

    // After a frame: writes the settings once ImGui says they changed (it waits a few
    // seconds after a change, as it does with its own file).
    void saveIfChanged();
    // Before the context is destroyed.
    void save();

private:
    std::string path;
    bool writable = true;
};
