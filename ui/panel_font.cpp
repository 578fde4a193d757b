#include "panel_font.h"

#include "logger.h"

#include <imgui.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

// Our own private copy of the parser ImGui builds fonts with, so the check below asks
// exactly the question the atlas build will ask.
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#include <imstb_truetype.h>

namespace {

namespace fs = std::filesystem;

// The sfnt header: tag, table count, three search fields; then 16-byte table records
// (tag, checksum, offset, length).
constexpr std::size_t sfntHeaderBytes = 12;
constexpr std::size_t tableRecordBytes = 16;
// A collection header up to the offset of its first font.
constexpr std::size_t collectionHeaderBytes = 16;

std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::uint16_t bigEndian16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// stb_truetype trusts every offset in the file; a truncated or damaged file would send
// it reading past the end. Every table the directory names must lie inside the data.
bool tablesInside(const unsigned char* data, std::size_t size, std::size_t offset) {
    if (offset > size || size - offset < sfntHeaderBytes)
        return false;
    const std::size_t tables = bigEndian16(data + offset + 4);
    if ((size - offset - sfntHeaderBytes) / tableRecordBytes < tables)
        return false;
    for (std::size_t i = 0; i < tables; ++i) {
        const unsigned char* record = data + offset + sfntHeaderBytes + i * tableRecordBytes;
        const std::uint64_t start = bigEndian32(record + 8);
        const std::uint64_t length = bigEndian32(record + 12);
        if (start + length > size)
            return false;
    }
    return true;
}

void warnUnusable(const char* path, const std::string& why) {
    Logger::instance().warn("Panel", std::string("字体文件") + path + "不可用(" + why + "), 改用内置字体");
}

} // namespace

std::string fontProblem(const unsigned char* data, std::size_t size) {
    if (size < sfntHeaderBytes)
        return "文件过短";
    // A collection header names its fonts' offsets beyond the first twelve bytes.
    if (std::string_view(reinterpret_cast<const char*>(data), 4) == "ttcf" && size < collectionHeaderBytes)
        return "文件过短";
    const int offset = stbtt_GetFontOffsetForIndex(data, 0);
    if (offset < 0)
        return "不是TrueType或OpenType字体";
    if (!tablesInside(data, size, static_cast<std::size_t>(offset)))
        return "字体表超出文件末尾";
    stbtt_fontinfo info;
    if (!stbtt_InitFont(&info, data, offset) || info.numGlyphs <= 0)
        return "无法解析字体";
    return {};
}

bool addPanelFont(ImFontAtlas& atlas, const char* path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status))
        return false;
    if (!fs::is_regular_file(status)) {
        warnUnusable(path, "不是普通文件");
        return false;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size == 0 || size > panelFontMaxBytes) {
        warnUnusable(path, error ? "无法读取" : size == 0 ? "文件为空" : "文件过大");
        return false;
    }

    // The atlas takes ownership and frees the bytes with ImGui's allocator.
    auto* bytes = static_cast<unsigned char*>(IM_ALLOC(static_cast<std::size_t>(size)));
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(size))) {
        IM_FREE(bytes);
        warnUnusable(path, "无法读取");
        return false;
    }
    if (const std::string problem = fontProblem(bytes, static_cast<std::size_t>(size)); !problem.empty()) {
        IM_FREE(bytes);
        warnUnusable(path, problem);
        return false;
    }

    ImFontConfig config;
    const std::string name = fs::path(path).filename().string();
    std::snprintf(config.Name, sizeof config.Name, "%s, %.0fpx", name.c_str(), panelFontSize);
    atlas.AddFontFromMemoryTTF(bytes, static_cast<int>(size), panelFontSize, &config,
                               atlas.GetGlyphRangesChineseFull());
    return true;
}
