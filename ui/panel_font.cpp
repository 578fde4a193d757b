#include "panel_font.h"

#include "font_check.h"
#include "logger.h"
#include "own_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr ImWchar printableAscii[] = {0x0020, 0x007E, 0};
// ImGui draws it for a character the font has no glyph for, and for every character
// beyond the Basic Multilingual Plane.
constexpr ImWchar replacementCharacter = 0xFFFD;

void warnUnusable(const std::string& path, const std::string& why) {
    Logger::instance().warn("Panel", "字体文件" + path + "不可用(" + why + "), 改用内置字体");
}

// The font file's bytes, in memory ImGui's allocator gave, when it is one of ours; else
// nothing, with the warning said when it is there.
FontBytes ownFont(const std::string& path) {
    OwnFile file(path.c_str(), Links::follow);
    if (file.state() == OwnFile::State::opened && file.size() == 0) {
        warnUnusable(path, "文件为空");
        return {};
    }
    if (file.state() == OwnFile::State::opened && file.size() > panelFontMaxBytes) {
        warnUnusable(path, "文件过大");
        return {};
    }
    FontBytes font;
    if (file.state() == OwnFile::State::opened) {
        font.reset(static_cast<unsigned char*>(IM_ALLOC(file.size())), file.size());
        file.read(font.data());
    }
    if (file.state() == OwnFile::State::refused) {
        warnUnusable(path, file.problem());
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

    FontBytes font = ownFont(path);
    usesFile = false;
    if (!font.empty()) {
        const std::string name = std::filesystem::path(path).filename().string();
        const std::string problem =
            buildFontAtlas(atlas, std::move(font), ranges.Data, name, panelFontSize * scale);
        usesFile = problem.empty();
        if (!usesFile)
            warnUnusable(path, problem);
    }
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
