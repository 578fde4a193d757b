#include "font_check.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

// Our own private copy of the parser ImGui builds fonts with. It is asked for a glyph's
// box only after the data it reads for it has been checked.
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#include <imstb_truetype.h>

namespace {

using u64 = std::uint64_t;

// The sfnt header: tag, table count, three search fields; then 16-byte table records
// (tag, checksum, offset, length).
constexpr u64 sfntHeaderBytes = 12;
constexpr u64 tableRecordBytes = 16;
// A collection header up to the offset of its first font.
constexpr u64 collectionHeaderBytes = 16;
// Real fonts nest composite glyphs a few levels; the parser follows them without limit.
constexpr int maxCompositeDepth = 16;
// The parser gives every outline point a vertex in memory; real glyphs have hundreds.
constexpr u64 maxVertices = u64(1) << 16;
// No glyph of a usable font reaches further than this many font heights: the size of
// its bitmap and the work of drawing its outline grow with it.
constexpr float maxGlyphHeights = 8.0f;
// The glyph header's box: four 16-bit values after the contour count.
constexpr u64 glyphHeaderBytes = 10;

// Why the parser cannot be trusted with the font.
struct Unsafe {
    std::string why;
};
// A read that would leave the structure it belongs to.
struct OutOfRange {};

// A byte range of the file that a structure must not leave.
class Region {
public:
    Region(const unsigned char* data, u64 begin, u64 end) : data(data), begin(begin), end(end) {}

    void need(u64 pos, u64 bytes) const {
        if (pos < begin || pos > end || end - pos < bytes)
            throw OutOfRange{};
    }
    std::uint8_t u8(u64 pos) const {
        need(pos, 1);
        return data[pos];
    }
    std::uint16_t u16(u64 pos) const {
        need(pos, 2);
        return static_cast<std::uint16_t>(data[pos] << 8 | data[pos + 1]);
    }
    std::int16_t s16(u64 pos) const { return static_cast<std::int16_t>(u16(pos)); }
    std::uint32_t u32(u64 pos) const {
        need(pos, 4);
        return std::uint32_t(data[pos]) << 24 | std::uint32_t(data[pos + 1]) << 16 |
               std::uint32_t(data[pos + 2]) << 8 | data[pos + 3];
    }

private:
    const unsigned char* data;
    u64 begin;
    u64 end;
};

struct Table {
    u64 offset = 0; // 0: absent, as the parser sees it
    u64 length = 0;
    u64 end() const { return offset + length; }
};

// What following one glyph's outline costs the parser.
struct Outline {
    u64 vertices = 0;
    // The largest distance of a vertex from the origin along either axis, in font units.
    float reach = 0.0f;
    // How deep its composite components nest.
    int depth = 0;
};

std::string characterName(unsigned codepoint) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", codepoint);
    return name;
}

class TrueTypeCheck {
public:
    TrueTypeCheck(const unsigned char* data, std::size_t size, std::uint32_t fontStart, float pixels)
        : data(data), file(data, 0, size), fontStart(fontStart), pixels(pixels) {}

    void checkTables();
    void checkCharacter(unsigned codepoint);

private:
    Table find(std::string_view tag) const;
    std::uint32_t glyphIndex(unsigned codepoint) const;
    std::uint32_t glyphIndexFormat4(unsigned codepoint) const;
    std::uint32_t glyphIndexFormat12(unsigned codepoint) const;
    const Outline& outline(std::uint32_t glyph, int depth);
    Outline simpleOutline(const Region& body, u64 start, int contours) const;
    Outline compositeOutline(const Region& body, u64 start, int depth);
    void checkMetrics(std::uint32_t glyph) const;
    void checkBox(std::uint32_t glyph, const Outline& shape);

    const unsigned char* data;
    Region file;
    std::uint32_t fontStart;
    float pixels;

    Table cmap, loca, head, glyf, hhea, hmtx, maxp;
    std::uint32_t indexMap = 0;
    std::uint16_t cmapFormat = 0;
    std::uint16_t indexToLocFormat = 0;
    std::uint32_t numGlyphs = 0;
    std::uint16_t longMetrics = 0;
    float scale = 0.0f;
    stbtt_fontinfo info{};
    // nullopt while the glyph's components are being followed: a cycle.
    std::unordered_map<std::uint32_t, std::optional<Outline>> outlines;
};

// The first record with the tag, as stbtt__find_table takes it.
Table TrueTypeCheck::find(std::string_view tag) const {
    const std::uint16_t tables = file.u16(fontStart + 4);
    for (u64 i = 0; i < tables; ++i) {
        const u64 record = fontStart + sfntHeaderBytes + i * tableRecordBytes;
        if (std::string_view(reinterpret_cast<const char*>(data + record), 4) == tag)
            return {file.u32(record + 8), file.u32(record + 12)};
    }
    return {};
}

// What stbtt_InitFont and the atlas build read from the tables before any glyph.
void TrueTypeCheck::checkTables() {
    cmap = find("cmap");
    loca = find("loca");
    head = find("head");
    glyf = find("glyf");
    hhea = find("hhea");
    hmtx = find("hmtx");
    maxp = find("maxp");
    if (!cmap.offset || !head.offset || !hhea.offset || !hmtx.offset)
        throw Unsafe{"无法解析字体"};
    if (!glyf.offset)
        throw Unsafe{find("CFF ").offset ? "不支持CFF字形的字体" : "无法解析字体"};
    if (!loca.offset)
        throw Unsafe{"无法解析字体"};

    try {
        indexToLocFormat = Region(data, head.offset, head.end()).u16(head.offset + 50);
        const Region metrics(data, hhea.offset, hhea.end());
        const int ascent = metrics.s16(hhea.offset + 4);
        const int descent = metrics.s16(hhea.offset + 6);
        longMetrics = metrics.u16(hhea.offset + 34);
        numGlyphs = maxp.offset ? Region(data, maxp.offset, maxp.end()).u16(maxp.offset + 4) : 0xffff;
        if (ascent - descent <= 0)
            throw Unsafe{"字体高度无效"};
        scale = pixels / static_cast<float>(ascent - descent);
    } catch (const OutOfRange&) {
        throw Unsafe{"字体表过短"};
    }

    // Of the encoding records the parser understands, the last one wins.
    try {
        const Region table(data, cmap.offset, cmap.end());
        const std::uint16_t records = table.u16(cmap.offset + 2);
        for (u64 i = 0; i < records; ++i) {
            const u64 record = cmap.offset + 4 + 8 * i;
            const std::uint16_t platform = table.u16(record);
            const std::uint16_t encoding = table.u16(record + 2);
            const bool unicode = platform == STBTT_PLATFORM_ID_UNICODE ||
                                 (platform == STBTT_PLATFORM_ID_MICROSOFT &&
                                  (encoding == STBTT_MS_EID_UNICODE_BMP || encoding == STBTT_MS_EID_UNICODE_FULL));
            if (unicode)
                indexMap = static_cast<std::uint32_t>(cmap.offset + table.u32(record + 4));
        }
        if (indexMap == 0)
            throw Unsafe{"没有Unicode字符映射表"};
        cmapFormat = table.u16(indexMap);
    } catch (const OutOfRange&) {
        throw Unsafe{"字符映射表超出范围"};
    }
    // Format 2 and the rare others stop the parser on an assertion.
    if (cmapFormat != 0 && cmapFormat != 4 && cmapFormat != 6 && cmapFormat != 12 && cmapFormat != 13)
        throw Unsafe{"字符映射表格式" + std::to_string(cmapFormat) + "不受支持"};

    // Everything stbtt_InitFont reads has been checked.
    if (!stbtt_InitFont(&info, const_cast<unsigned char*>(data), static_cast<int>(fontStart)))
        throw Unsafe{"无法解析字体"};
}

// stbtt_FindGlyphIndex, reading only inside the character map table.
std::uint32_t TrueTypeCheck::glyphIndex(unsigned codepoint) const {
    const Region table(data, cmap.offset, cmap.end());
    switch (cmapFormat) {
    case 0: {
        const int bytes = table.u16(indexMap + 2);
        return static_cast<int>(codepoint) < bytes - 6 ? table.u8(indexMap + 6 + codepoint) : 0;
    }
    case 6: {
        const std::uint32_t first = table.u16(indexMap + 6);
        const std::uint32_t count = table.u16(indexMap + 8);
        if (codepoint >= first && codepoint < first + count)
            return table.u16(indexMap + 10 + u64(codepoint - first) * 2);
        return 0;
    }
    case 4:
        return glyphIndexFormat4(codepoint);
    default:
        return glyphIndexFormat12(codepoint);
    }
}

// The binary search over segments, with the parser's own integer widths: every position
// it reads is read here first.
std::uint32_t TrueTypeCheck::glyphIndexFormat4(unsigned codepoint) const {
    const Region table(data, cmap.offset, cmap.end());
    const std::uint16_t segments = static_cast<std::uint16_t>(table.u16(indexMap + 6) >> 1);
    std::uint16_t searchRange = static_cast<std::uint16_t>(table.u16(indexMap + 8) >> 1);
    std::uint16_t entrySelector = table.u16(indexMap + 10);
    const std::uint16_t rangeShift = static_cast<std::uint16_t>(table.u16(indexMap + 12) >> 1);
    const std::uint32_t endCount = indexMap + 14;
    std::uint32_t search = endCount;
    if (codepoint > 0xffff)
        return 0;
    if (codepoint >= table.u16(search + rangeShift * 2u))
        search += rangeShift * 2u;
    search -= 2;
    while (entrySelector) {
        searchRange = static_cast<std::uint16_t>(searchRange >> 1);
        if (codepoint > table.u16(search + searchRange * 2u))
            search += searchRange * 2u;
        --entrySelector;
    }
    search += 2;

    const std::uint16_t item = static_cast<std::uint16_t>((search - endCount) >> 1);
    // The parser asserts that the search ended on the segment holding the character.
    if (codepoint > table.u16(endCount + 2u * item))
        throw Unsafe{"字符映射表的分段未排序"};
    const u64 segment = u64(indexMap) + 14 + 2u * item;
    const std::uint16_t start = table.u16(segment + segments * 2u + 2);
    if (codepoint < start)
        return 0;
    const std::uint16_t offset = table.u16(segment + segments * 6u + 2);
    if (offset == 0)
        return static_cast<std::uint16_t>(codepoint + table.s16(segment + segments * 4u + 2));
    return table.u16(segment + segments * 6u + 2 + offset + u64(codepoint - start) * 2);
}

// Formats 12 and 13: a binary search over groups, halving a signed range as the parser does.
std::uint32_t TrueTypeCheck::glyphIndexFormat12(unsigned codepoint) const {
    const Region table(data, cmap.offset, cmap.end());
    const std::uint32_t groups = table.u32(indexMap + 12);
    std::int32_t low = 0;
    std::int32_t high = static_cast<std::int32_t>(groups);
    while (low < high) {
        const std::int32_t mid = low + ((high - low) >> 1);
        const u64 group = u64(indexMap) + 16 + u64(mid) * 12;
        const std::uint32_t startChar = table.u32(group);
        const std::uint32_t endChar = table.u32(group + 4);
        if (codepoint < startChar) {
            high = mid;
        } else if (codepoint > endChar) {
            low = mid + 1;
        } else {
            const std::uint32_t startGlyph = table.u32(group + 8);
            return cmapFormat == 12 ? startGlyph + codepoint - startChar : startGlyph;
        }
    }
    return 0;
}

// stbtt__GetGlyfOffset and stbtt__GetGlyphShapeTT for one glyph and its components.
const Outline& TrueTypeCheck::outline(std::uint32_t glyph, int depth) {
    if (const auto known = outlines.find(glyph); known != outlines.end()) {
        if (!known->second)
            throw Unsafe{"复合字形引用自身"};
        if (depth + known->second->depth > maxCompositeDepth)
            throw Unsafe{"复合字形嵌套过深"};
        return *known->second;
    }
    if (depth > maxCompositeDepth)
        throw Unsafe{"复合字形嵌套过深"};
    // The parser draws nothing for these and reads no glyph data.
    if (glyph >= numGlyphs || indexToLocFormat >= 2)
        return *(outlines[glyph] = Outline{});

    const u64 entry = indexToLocFormat == 0 ? 2 : 4;
    u64 first = 0, last = 0;
    try {
        const Region locations(data, loca.offset, loca.end());
        const u64 at = loca.offset + glyph * entry;
        first = entry == 2 ? u64(locations.u16(at)) * 2 : locations.u32(at);
        last = entry == 2 ? u64(locations.u16(at + 2)) * 2 : locations.u32(at + 4);
    } catch (const OutOfRange&) {
        throw Unsafe{"字形位置表超出范围"};
    }
    if (first == last)
        return *(outlines[glyph] = Outline{});
    const u64 start = glyf.offset + first;
    const u64 end = glyf.offset + last;
    if (end < start || end > glyf.end())
        throw Unsafe{"字形数据超出字形表"};

    outlines[glyph] = std::nullopt;
    Outline shape;
    try {
        const Region body(data, start, end);
        body.need(start, glyphHeaderBytes);
        const int contours = body.s16(start);
        if (contours > 0)
            shape = simpleOutline(body, start, contours);
        else if (contours == -1)
            shape = compositeOutline(body, start, depth);
        else if (contours < -1)
            throw Unsafe{"字形格式不受支持"};
    } catch (const OutOfRange&) {
        throw Unsafe{"字形数据超出其范围"};
    }
    if (shape.vertices > maxVertices)
        throw Unsafe{"字形过于复杂"};
    return *(outlines[glyph] = shape);
}

Outline TrueTypeCheck::simpleOutline(const Region& body, u64 start, int contours) const {
    const u64 endPoints = start + glyphHeaderBytes;
    const u64 instructions = body.u16(endPoints + 2u * contours);
    u64 p = endPoints + 2u * contours + 2 + instructions;
    const int points = 1 + body.u16(endPoints + 2u * contours - 2);

    // Flags, each possibly repeated.
    std::vector<std::uint8_t> flags(static_cast<std::size_t>(points));
    std::uint8_t flag = 0, repeat = 0;
    for (auto& f : flags) {
        if (repeat == 0) {
            flag = body.u8(p++);
            if (flag & 8)
                repeat = body.u8(p++);
        } else {
            --repeat;
        }
        f = flag;
    }

    // Coordinates: a byte, a 16-bit delta or nothing per point, per axis. The parser keeps
    // each as a 16-bit vertex coordinate.
    Outline shape;
    const auto coordinates = [&](std::uint8_t shortBit, std::uint8_t sameBit) {
        std::int32_t value = 0;
        for (const std::uint8_t f : flags) {
            if (f & shortBit) {
                const std::int32_t delta = body.u8(p++);
                value += (f & sameBit) ? delta : -delta;
            } else if (!(f & sameBit)) {
                value += body.s16(p);
                p += 2;
            }
            shape.reach = std::max(shape.reach, std::abs(static_cast<float>(static_cast<std::int16_t>(value))));
        }
    };
    coordinates(2, 16);
    coordinates(4, 32);

    // Where contours start: one that starts off the curve looks at the point after it,
    // which must exist.
    int nextStart = 0, contour = 0;
    for (int i = 0; i < points; ++i) {
        if (i != nextStart)
            continue;
        if (!(flags[static_cast<std::size_t>(i)] & 1)) {
            if (i + 1 >= points)
                throw Unsafe{"字形轮廓无效"};
            if (flags[static_cast<std::size_t>(i) + 1] & 1)
                ++i;
        }
        if (contour >= contours)
            throw Unsafe{"字形轮廓无效"};
        nextStart = 1 + body.u16(endPoints + 2u * contour);
        ++contour;
    }
    shape.vertices = static_cast<u64>(points) + 2u * static_cast<u64>(contours);
    return shape;
}

Outline TrueTypeCheck::compositeOutline(const Region& body, u64 start, int depth) {
    Outline shape;
    u64 p = start + glyphHeaderBytes;
    std::uint16_t flags = 0;
    do {
        flags = body.u16(p);
        const std::uint16_t component = body.u16(p + 2);
        p += 4;
        // Components placed by matching points stop the parser on an assertion.
        if (!(flags & 2))
            throw Unsafe{"复合字形格式不受支持"};
        float matrix[6] = {1, 0, 0, 1, 0, 0};
        if (flags & 1) {
            matrix[4] = body.s16(p);
            matrix[5] = body.s16(p + 2);
            p += 4;
        } else {
            matrix[4] = static_cast<std::int8_t>(body.u8(p));
            matrix[5] = static_cast<std::int8_t>(body.u8(p + 1));
            p += 2;
        }
        const auto f2dot14 = [&](u64 at) { return static_cast<float>(body.s16(at)) / 16384.0f; };
        if (flags & (1 << 3)) {
            matrix[0] = matrix[3] = f2dot14(p);
            p += 2;
        } else if (flags & (1 << 6)) {
            matrix[0] = f2dot14(p);
            matrix[3] = f2dot14(p + 2);
            p += 4;
        } else if (flags & (1 << 7)) {
            for (int k = 0; k < 4; ++k)
                matrix[k] = f2dot14(p + 2u * k);
            p += 8;
        }

        const Outline& part = outline(component, depth + 1);
        if (part.vertices > 0) {
            // How the parser transforms the component's vertices.
            const float m = std::sqrt(matrix[0] * matrix[0] + matrix[1] * matrix[1]);
            const float n = std::sqrt(matrix[2] * matrix[2] + matrix[3] * matrix[3]);
            const float x = m * ((std::abs(matrix[0]) + std::abs(matrix[2])) * part.reach + std::abs(matrix[4]));
            const float y = n * ((std::abs(matrix[1]) + std::abs(matrix[3])) * part.reach + std::abs(matrix[5]));
            // The parser stores the result as 16-bit coordinates.
            if (x > 32767.0f || y > 32767.0f)
                throw Unsafe{"字形过大"};
            shape.reach = std::max({shape.reach, x, y});
        }
        shape.vertices += part.vertices;
        shape.depth = std::max(shape.depth, part.depth + 1);
        if (shape.vertices > maxVertices)
            throw Unsafe{"字形过于复杂"};
    } while (flags & (1 << 5));
    return shape;
}

// stbtt_GetGlyphHMetrics.
void TrueTypeCheck::checkMetrics(std::uint32_t glyph) const {
    const Region metrics(data, hmtx.offset, hmtx.end());
    try {
        if (glyph < longMetrics) {
            metrics.need(hmtx.offset + 4 * u64(glyph), 4);
            return;
        }
        // With no long entries the parser reads before the table.
        if (longMetrics == 0)
            throw OutOfRange{};
        metrics.need(hmtx.offset + 4 * u64(longMetrics - 1u), 2);
        metrics.need(hmtx.offset + 4 * u64(longMetrics) + 2 * u64(glyph - longMetrics), 2);
    } catch (const OutOfRange&) {
        throw Unsafe{"字形度量表超出范围"};
    }
}

// The bitmap the atlas reserves for the glyph, and how far its outline reaches.
void TrueTypeCheck::checkBox(std::uint32_t glyph, const Outline& shape) {
    const ImFontConfig defaults;
    const float limit = maxGlyphHeights * pixels;
    if (shape.reach * scale > limit)
        throw Unsafe{"字形过大"};
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    stbtt_GetGlyphBitmapBoxSubpixel(&info, static_cast<int>(glyph), scale * defaults.OversampleH,
                                    scale * defaults.OversampleV, 0.0f, 0.0f, &x0, &y0, &x1, &y1);
    if (x1 < x0 || y1 < y0)
        throw Unsafe{"字形边框无效"};
    if (static_cast<float>(x1 - x0) > limit * defaults.OversampleH ||
        static_cast<float>(y1 - y0) > limit * defaults.OversampleV)
        throw Unsafe{"字形过大"};
}

void TrueTypeCheck::checkCharacter(unsigned codepoint) {
    try {
        std::uint32_t glyph = 0;
        try {
            glyph = glyphIndex(codepoint);
        } catch (const OutOfRange&) {
            throw Unsafe{"字符映射表超出范围"};
        }
        if (glyph == 0)
            return;
        // The parser takes the index as a signed int.
        if (glyph > 0x7fffffff)
            throw Unsafe{"字形编号无效"};
        const Outline& shape = outline(glyph, 0);
        checkMetrics(glyph);
        checkBox(glyph, shape);
    } catch (Unsafe& unsafe) {
        unsafe.why = characterName(codepoint) + ": " + unsafe.why;
        throw;
    }
}

// stb_truetype reads the table directory unchecked.
bool tablesInside(const unsigned char* data, std::size_t size, u64 offset) {
    if (offset > size || size - offset < sfntHeaderBytes)
        return false;
    const u64 tables = Region(data, 0, size).u16(offset + 4);
    if ((size - offset - sfntHeaderBytes) / tableRecordBytes < tables)
        return false;
    for (u64 i = 0; i < tables; ++i) {
        const u64 record = offset + sfntHeaderBytes + i * tableRecordBytes;
        const Region file(data, 0, size);
        if (u64(file.u32(record + 8)) + file.u32(record + 12) > size)
            return false;
    }
    return true;
}

} // namespace

std::string fontProblem(const unsigned char* data, std::size_t size, const ImWchar* ranges, float pixels) {
    if (size < sfntHeaderBytes)
        return "文件过短";
    // A collection header names its fonts' offsets beyond the first twelve bytes.
    if (std::string_view(reinterpret_cast<const char*>(data), 4) == "ttcf" && size < collectionHeaderBytes)
        return "文件过短";
    const int offset = stbtt_GetFontOffsetForIndex(data, 0);
    if (offset < 0)
        return "不是TrueType或OpenType字体";
    if (!tablesInside(data, size, static_cast<u64>(offset)))
        return "字体表超出文件末尾";
    try {
        TrueTypeCheck check(data, size, static_cast<std::uint32_t>(offset), pixels);
        check.checkTables();
        // The characters in the order the atlas build asks for them.
        for (const ImWchar* range = ranges; range[0] && range[1]; range += 2)
            for (unsigned codepoint = range[0]; codepoint <= range[1]; ++codepoint)
                check.checkCharacter(codepoint);
    } catch (const Unsafe& unsafe) {
        return unsafe.why;
    } catch (const OutOfRange&) {
        return "无法解析字体";
    }
    return {};
}
