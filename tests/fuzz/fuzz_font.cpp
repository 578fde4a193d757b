// The panel's font file may be any bytes: check them as the panel does for a set of
// characters that reaches Latin, Cyrillic, Arabic and symbol glyphs besides the panel's
// own; and when the check passes, replay the parser's whole atlas build on them with
// instrumented copies of both stb_truetype versions (any read outside the font faults),
// then build the atlas as the panel does, through ImGui itself.
#include <cstddef>
#include <cstdint>

#include "font_check.h"
#include "panel_font.h"
#include "stb_replay.h"

namespace {

const ImWchar* characters() {
    static ImVector<ImWchar> ranges = [] {
        static const ImWchar blocks[] = {0x0020, 0x007E, 0x00A0, 0x00FF, 0x02A0, 0x02AF, 0x04D0, 0x04DF,
                                         0x06F0, 0x06FF, 0x2010, 0x2027, 0x22F0, 0x22FF, 0x2620, 0x2620,
                                         0x3000, 0x3003, 0xFF08, 0xFF09, 0xFFFD, 0xFFFD, 0};
        ImFontGlyphRangesBuilder builder;
        builder.AddRanges(blocks);
        builder.AddText("设备类型输入设备采样率缓冲区长度帧刷新运行中已停止麦克风");
        ImVector<ImWchar> built;
        builder.BuildRanges(&built);
        return built;
    }();
    return ranges.Data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!fontProblem(data, size, characters(), panelFontSize).empty())
        return 0;
    replayAtlasBuild(data, size, characters(), panelFontSize);
    static ImFontAtlas atlas;
    if (buildFontAtlas(atlas, FontBytes(data, size), characters(), "fuzz").empty()) {
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        atlas.GetTexDataAsRGBA32(&pixels, &width, &height);
    }
    atlas.Clear();
    return 0;
}
