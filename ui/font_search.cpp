#include "font_search.h"

#include <algorithm>
#include <filesystem>

namespace {

std::string inFolder(const std::string& folder) {
    return (std::filesystem::path(folder) / std::filesystem::path(panelFontPath).filename()).string();
}

} // namespace

std::vector<FontCandidate> panelFontCandidates(const FontPlaces& places) {
    std::vector<FontCandidate> candidates{{FontOrigin::workingDirectory, panelFontPath}};
    if (!places.programFolder.empty())
        candidates.push_back({FontOrigin::programFolder, inFolder(places.programFolder)});
    if (!places.dataFolder.empty())
        candidates.push_back({FontOrigin::dataFolder, inFolder(places.dataFolder)});
    if (!places.systemFont.empty())
        candidates.push_back({FontOrigin::system, places.systemFont});
    return candidates;
}

const FontCandidate* chooseFont(const std::vector<FontCandidate>& candidates,
                                const std::function<bool(const FontCandidate&)>& usable) {
    for (const FontCandidate& candidate : candidates)
        if (usable(candidate))
            return &candidate;
    return nullptr;
}

std::string chineseFontFromMatch(std::string_view output) {
    const std::size_t fileEnd = output.find('\n');
    if (fileEnd == std::string_view::npos || fileEnd == 0)
        return {};
    std::string_view languages = output.substr(fileEnd + 1);
    languages = languages.substr(0, languages.find('\n'));
    // A list such as "ja|ko|zh-cn|zh-sg".
    std::size_t start = 0;
    while (start <= languages.size()) {
        const std::size_t end = std::min(languages.find('|', start), languages.size());
        if (languages.substr(start, end - start) == "zh-cn")
            return std::string(output.substr(0, fileEnd));
        start = end + 1;
    }
    return {};
}

const char* describeFontOrigin(FontOrigin origin) {
    switch (origin) {
    case FontOrigin::workingDirectory:
        return "工作目录";
    case FontOrigin::programFolder:
        return "程序所在目录";
    case FontOrigin::dataFolder:
        return "安装数据目录";
    case FontOrigin::system:
        return "系统字体";
    }
    return "";
}
