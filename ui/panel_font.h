#pragma once

#include <cstddef>
#include <string>

struct ImFontAtlas;

// The panel's font, read from the working directory at every showing.
inline constexpr const char* panelFontPath = "./SourceHanSansSC-VF.ttf";
inline constexpr float panelFontSize = 16.0f;
// Far above any CJK font; a bigger file is not read into memory at every showing.
inline constexpr std::size_t panelFontMaxBytes = 128u << 20;

// Adds the panel's font to the atlas with the full Chinese glyph ranges, when the file
// is a regular file holding a font that stb_truetype can read. Otherwise nothing is
// added and ImGui builds its built-in font: silently when the file is missing, with a
// warning in the log (tag "Panel") when it is there but unusable. The file is read
// once and the same bytes are checked and handed to the atlas. Returns whether the
// file was added.
bool addPanelFont(ImFontAtlas& atlas, const char* path = panelFontPath);

// Why these bytes are not a font that stb_truetype can safely read (the first font of
// a collection), or an empty string when they are: the table directory must lie
// inside the data, and stbtt_InitFont must accept it.
std::string fontProblem(const unsigned char* data, std::size_t size);
