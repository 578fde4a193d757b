#pragma once

#include <imgui.h>

#include <cstddef>
#include <string>
#include <vector>

#include "font_search.h"

// The panel's font (panelFontPath) is read anew at every showing: first from the
// working directory, then from the other places of font_search.h.
inline constexpr float panelFontSize = 16.0f;
// Far above any CJK font; a bigger file is not read into memory at every showing.
inline constexpr std::size_t panelFontMaxBytes = 128u << 20;

// A font file's bytes in memory from ImGui's allocator, so that the atlas can take them
// over: it copies bytes it is not given.
class FontBytes {
public:
    FontBytes() = default;
    // A copy of these bytes.
    FontBytes(const unsigned char* data, std::size_t size);
    ~FontBytes() { IM_FREE(bytes); }
    FontBytes(FontBytes&& other) noexcept : bytes(other.bytes), count(other.count) { other.release(); }
    FontBytes& operator=(FontBytes&& other) noexcept;
    FontBytes(const FontBytes&) = delete;
    FontBytes& operator=(const FontBytes&) = delete;

    // Takes over `data`, which ImGui's allocator gave (IM_ALLOC).
    void reset(unsigned char* data, std::size_t size);
    // Gives the bytes up to whoever frees them with IM_FREE.
    unsigned char* release();
    unsigned char* data() const { return bytes; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }

private:
    unsigned char* bytes = nullptr;
    std::size_t count = 0;
};

// Builds the atlas (cleared first) from `font` with the glyphs of `ranges` (ImGui's
// zero-terminated pairs; they must outlive the build) when ImGui can build them safely
// (font_check.h); the atlas takes the bytes over and frees them once built. Returns why
// the font cannot be used, or an empty string; on failure the atlas is left empty, for
// ImGui's built-in font.
std::string buildFontAtlas(ImFontAtlas& atlas, FontBytes font, const ImWchar* ranges, const std::string& name,
                           float pixels = panelFontSize);

// The panel's font atlas, built for the characters the panel draws instead of whole
// Unicode blocks: a few hundred glyphs, quick to rasterise at every showing, small in
// memory. Printable ASCII and U+FFFD are always in it; U+FFFD also stands for characters
// beyond the Basic Multilingual Plane, which ImGui (16-bit ImWchar) cannot hold.
class PanelFont {
public:
    // The candidates of panelFontCandidates for this process.
    PanelFont();
    // This one file only.
    explicit PanelFont(std::string path);

    // Whether `characters` holds one the atlas was not built for. Never while the atlas
    // holds ImGui's built-in font: the file had nothing to offer at this showing.
    bool lacks(const ImFontGlyphRangesBuilder& characters) const;

    // Clears the atlas and builds it for `characters` from the first candidate file, read
    // anew, that is one of ours (own_file.h) and whose glyphs ImGui can build for these
    // characters safely (font_check.h). A missing file is passed over silently, one that is
    // there but unusable with a warning in the log (tag "Panel"). When none is left the
    // atlas gets ImGui's built-in font. Which file was used, or that none was, is logged
    // when it differs from the last build's. Call it only between frames. The atlas then
    // holds its pixels for the renderer to upload, and no font data; one INFO line tells
    // its size.
    // `scale` rasterises the glyphs larger, for a display scaled above 100 %.
    void build(ImFontAtlas& atlas, const ImFontGlyphRangesBuilder& characters, float scale = 1.0f);

    // What the atlas was last built for (printable ASCII and U+FFFD included).
    const ImFontGlyphRangesBuilder& characters() const { return built; }
    bool fromFile() const { return usesFile; }

private:
    // The candidate whose glyphs are now in the atlas, or nothing.
    const FontCandidate* buildFromFiles(ImFontAtlas& atlas, float pixels);
    void reportChoice(const FontCandidate* chosen);

    std::vector<FontCandidate> candidates;
    ImFontGlyphRangesBuilder built;
    ImVector<ImWchar> ranges;
    bool usesFile = false;
    bool reported = false;
    std::string reportedPath; // empty: the built-in font
};
