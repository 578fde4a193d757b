#include "panel_font.h"

#include "font_check.h"
#include "logger.h"
#include "own_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace {

constexpr ImWchar printableAscii[] = {0x0020, 0x007E, 0};
// ImGui draws it for a character the font has no glyph for, and for every character
// beyond the Basic Multilingual Plane.
constexpr ImWchar replacementCharacter = 0xFFFD;

// `last`: no other file is tried after it.
void warnUnusable(const std::string& path, const std::string& why, bool last) {
    Logger::instance().warn("Panel", "字体文件" + path + "不可用(" + why + "), " +
                                         (last ? "改用内置字体" : "尝试下一个字体文件"));
}

// The font file's bytes, in memory ImGui's allocator gave, when it is one of ours; else
// nothing, with the warning said when it is there.
FontBytes ownFont(const std::string& path, bool last) {
    OwnFile file(path.c_str(), Links::follow);
    if (file.state() == OwnFile::State::opened && file.size() == 0) {
        warnUnusable(path, "文件为空", last);
        return {};
    }
    if (file.state() == OwnFile::State::opened && file.size() > panelFontMaxBytes) {
        warnUnusable(path, "文件过大", last);
        return {};
    }
    FontBytes font;
    if (file.state() == OwnFile::State::opened) {
        font.reset(static_cast<unsigned char*>(IM_ALLOC(file.size())), file.size());
        file.read(font.data());
    }
    if (file.state() == OwnFile::State::refused) {
        warnUnusable(path, file.problem(), last);
        return {};
    }
    return font;
}

} // namespace

FontBytes::FontBytes(const unsigned char* data, std::size_t size) {
    reset(static_cast<unsigned char*>(IM_ALLOC(size)), size);
    std::memcpy(bytes, data, size);
}

FontBytes& FontBytes::operator=(FontBytes&& other) noexcept {
    if (this != &other) {
        reset(other.bytes, other.count);
        other.release();
    }
    return *this;
}

void FontBytes::reset(unsigned char* data, std::size_t size) {
    IM_FREE(bytes);
    bytes = data;
    count = data ? size : 0;
}

unsigned char* FontBytes::release() {
    unsigned char* given = bytes;
    bytes = nullptr;
    count = 0;
    return given;
}

std::string buildFontAtlas(ImFontAtlas& atlas, FontBytes font, const ImWchar* ranges, const std::string& name,
                           float pixels) {
    atlas.Clear();
    if (std::string problem = fontProblem(font.data(), font.size(), ranges, pixels); !problem.empty())
        return problem;
    ImFontConfig config;
    std::snprintf(config.Name, sizeof config.Name, "%s, %.0fpx", name.c_str(), pixels);
    const int size = static_cast<int>(font.size());
    atlas.AddFontFromMemoryTTF(font.release(), size, pixels, &config, ranges);
    if (!atlas.Build()) {
        // Not expected after the check; ImGui would assert in the first frame.
        atlas.Clear();
        return "无法生成字模";
    }
    // The file's bytes are not needed once the glyphs are drawn.
    atlas.ClearInputData();
    return {};
}

PanelFont::PanelFont() : candidates(panelFontCandidates(panelFontPlaces())) {}

PanelFont::PanelFont(std::string path) : candidates{{FontOrigin::workingDirectory, std::move(path)}} {}

bool PanelFont::lacks(const ImFontGlyphRangesBuilder& characters) const {
    if (!usesFile)
        return false;
    for (int i = 0; i < characters.UsedChars.Size; ++i)
        if (characters.UsedChars[i] & ~built.UsedChars[i])
            return true;
    return false;
}

void PanelFont::build(ImFontAtlas& atlas, const ImFontGlyphRangesBuilder& characters, float scale) {
    atlas.Clear();
    built = characters;
    built.AddRanges(printableAscii);
    built.AddChar(replacementCharacter);
    ranges.clear();
    built.BuildRanges(&ranges);

    const FontCandidate* chosen = buildFromFiles(atlas, panelFontSize * scale);
    usesFile = chosen != nullptr;
    reportChoice(chosen);
    if (!usesFile) {
        // What AddFontDefault() does without a template, at the scaled size.
        ImFontConfig config;
        config.OversampleH = config.OversampleV = 1;
        config.PixelSnapH = true;
        config.SizePixels = 13.0f * scale;
        atlas.AddFontDefault(&config);
        atlas.Build(); // ImGui's built-in font always builds
    }
    atlas.ClearInputData();

    int glyphs = 0;
    for (const ImFont* f : atlas.Fonts)
        glyphs += f->Glyphs.Size;
    // What the renderers upload: 32 bits a pixel.
    const long long bytes = 4LL * atlas.TexWidth * atlas.TexHeight;
    Logger::instance().info("Panel", "控制面板字体图集: " + std::to_string(glyphs) + "个字形, " +
                                         std::to_string(atlas.TexWidth) + "x" + std::to_string(atlas.TexHeight) +
                                         "像素, " + std::to_string(bytes) + "字节");
}

const FontCandidate* PanelFont::buildFromFiles(ImFontAtlas& atlas, float pixels) {
    return chooseFont(candidates, [&](const FontCandidate& candidate) {
        const bool last = &candidate == &candidates.back();
        FontBytes font = ownFont(candidate.path, last);
        if (font.empty())
            return false;
        const std::string name = std::filesystem::path(candidate.path).filename().string();
        const std::string problem = buildFontAtlas(atlas, std::move(font), ranges.Data, name, pixels);
        if (!problem.empty())
            warnUnusable(candidate.path, problem, last);
        return problem.empty();
    });
}

// Without a usable file every Chinese label is drawn as "?": the log must say so, and
// say where a font that works came from.
void PanelFont::reportChoice(const FontCandidate* chosen) {
    const std::string path = chosen ? chosen->path : std::string();
    if (reported && path == reportedPath)
        return;
    reported = true;
    reportedPath = path;
    if (chosen)
        Logger::instance().info("Panel", "控制面板字体文件: " + chosen->path + " (" +
                                             describeFontOrigin(chosen->origin) + ")");
    else
        Logger::instance().warn("Panel", "未找到可用的字体文件, 控制面板改用内置字体, 中文无法显示");
}
