#include "panel_layout.h"

#include "logger.h"
#include "own_file.h"

#include <imgui.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace {

// Far above what one window's settings take.
constexpr std::size_t maxLayoutBytes = 1u << 20;

} // namespace

PanelLayout::PanelLayout(std::string path) : path(std::move(path)) {
    ImGui::GetIO().IniFilename = nullptr;
    OwnFile file(this->path.c_str(), Links::refuse);
    std::string text;
    if (file.state() == OwnFile::State::opened) {
        // ImGui writes a few hundred bytes; anything this big is some other file.
        text.resize(file.size() > maxLayoutBytes ? 0 : file.size());
        if (file.size() > maxLayoutBytes || !file.read(reinterpret_cast<unsigned char*>(text.data()))) {
            writable = false;
            Logger::instance().warn("Panel", "窗口布局文件" + this->path + "不可用(" +
                                                 (file.size() > maxLayoutBytes ? "文件过大" : file.problem()) +
                                                 "), 不读取也不保存窗口布局");
            return;
        }
    }
    if (file.state() == OwnFile::State::refused) {
        writable = false;
        Logger::instance().warn("Panel", "窗口布局文件" + this->path + "不可用(" + file.problem() +
                                             "), 不读取也不保存窗口布局");
        return;
    }
    if (!text.empty())
        ImGui::LoadIniSettingsFromMemory(text.data(), text.size());
}

void PanelLayout::saveIfChanged() {
    if (ImGui::GetIO().WantSaveIniSettings)
        save();
}

void PanelLayout::save() {
    ImGui::GetIO().WantSaveIniSettings = false;
    if (!writable)
        return;
    std::size_t size = 0;
    const char* text = ImGui::SaveIniSettingsToMemory(&size);
    if (const std::string problem = writeOwnFile(path.c_str(), std::string_view(text, size)); !problem.empty()) {
        // Once per showing; the layout only matters to the next one.
        writable = false;
        Logger::instance().warn("Panel", "窗口布局文件" + path + "无法保存(" + problem + ")");
    }
}
