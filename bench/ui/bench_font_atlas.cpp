// The font atlas that builds before on-demand glyphs made at every showing: the panel's
// font at 16 px with ImGui's full Chinese ranges, as bench/panel_show.sh reports it next to
// what the current build logs. Prints the glyph count, the atlas's size in pixels and the
// bytes the renderer uploads (32 bits a pixel), and the time the build took.
// Usage: bench_font_atlas FONT_FILE
#include <imgui.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_font_atlas FONT_FILE\n");
        return 2;
    }
    ImFontAtlas atlas;
    atlas.Flags |= ImFontAtlasFlags_NoPowerOfTwoHeight;
    const auto start = std::chrono::steady_clock::now();
    if (!atlas.AddFontFromFileTTF(argv[1], 16.0f, nullptr, atlas.GetGlyphRangesChineseFull())) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    unsigned char* pixels = nullptr;
    int width = 0, height = 0;
    atlas.GetTexDataAsRGBA32(&pixels, &width, &height);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("glyphs=%d width=%d height=%d bytes=%lld build_ms=%.0f\n", atlas.Fonts[0]->Glyphs.Size, width,
                height, 4LL * width * height, ms);
    return 0;
}
