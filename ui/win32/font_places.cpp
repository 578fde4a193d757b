#include "font_search.h"

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

// The program's manifest makes UTF-8 its code page, so narrow paths are UTF-8.
std::string narrowPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return narrowPath(std::filesystem::path(path).parent_path());
}

// Microsoft YaHei, which every Simplified Chinese Windows has.
std::string systemChineseFont() {
    std::wstring folder(MAX_PATH, L'\0');
    const UINT length = GetWindowsDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length == 0 || length >= folder.size())
        return {};
    folder.resize(length);
    return narrowPath(std::filesystem::path(folder) / L"Fonts" / L"msyh.ttc");
}

} // namespace

FontPlaces panelFontPlaces() {
    // No installed data folder: the zip keeps everything beside the program.
    static const std::string systemFont = systemChineseFont();
    return {programFolder(), {}, systemFont};
}
