#pragma once

#include <imgui.h>

#include <cstddef>
#include <string>

// ImGui builds its font atlas with stb_truetype, which trusts every offset and count in the
// file: a damaged font sends it reading outside the buffer, into one of its assertions
// (which end the process), or into an outline it takes minutes to draw.
//
// fontProblem() asks, for the first font of the file and for every character of `ranges`
// (ImGui's zero-terminated pairs of first and last character), what stb_truetype will
// ask when the atlas is built at `pixels` height with ImGui's default oversampling: the
// table directory and the tables it reads at start-up, the character map subtable and
// every entry its lookup touches, the glyph's loca entries, the glyf range they name and
// everything read inside it (contours, flags, coordinates, the components of a composite
// glyph and theirs), and the glyph's horizontal metrics. It says why the parser could
// leave the file, stop on an assertion or lay out a glyph more than eight times the font
// height; it returns an empty string when none of that can happen.
//
// Only TrueType outlines are accepted: stb_truetype reads the CFF outlines of an OpenType
// font through a buffer it sizes at 512 MB whatever the table's length, and stops on
// assertions in the middle of a charstring, so no check short of a second CFF
// interpreter could vouch for one.
std::string fontProblem(const unsigned char* data, std::size_t size, const ImWchar* ranges, float pixels);
