// stb_truetype 1.20, the copy ImGui 1.86 bundles.
#include "stb_replay.h"

#include <assert.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <vector>

void stbReplayAssertFailed(const char* what, int line);

namespace stb120 {
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#define STBTT_assert(x)                                                                                           \
    do {                                                                                                          \
        if (!(x))                                                                                                 \
            stbReplayAssertFailed(#x, __LINE__);                                                                  \
    } while (0)
#include <imstb_truetype.h>
#include "stb_replay_body.inc"
} // namespace stb120

void replayStb120(const unsigned char* data, const ImWchar* ranges, float pixels) {
    stb120::replay(data, ranges, pixels);
}
