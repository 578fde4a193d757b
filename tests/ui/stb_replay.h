#pragma once

#include <imgui.h>

#include <cstddef>

// Every stb_truetype call ImGui's atlas build makes for these characters (ImGui's
// zero-terminated range pairs) at `pixels` height with ImGui's default oversampling,
// made on the font in `data` with this build's own instrumented copies of both parsers
// ImGui is built with here: stb_truetype 1.26 (Debian's libstb, linked by the Linux
// build) and the 1.20 copy ImGui bundles (compiled into the Windows build). Their
// assertions abort, as ImGui's do.
//
// The bytes are placed so that they end at a page boundary inside a reservation of
// several GB that is otherwise inaccessible: any read outside the font that the parsers'
// 32-bit offsets can reach faults at once, with or without a sanitizer.
void replayAtlasBuild(const unsigned char* data, std::size_t size, const ImWchar* ranges, float pixels);
