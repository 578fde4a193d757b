// stb_truetype 1.26, as Debian's libstb holds it.
#include "stb_replay.h"

#include <assert.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>
#include <vector>

void stbReplayAssertFailed(const char* what, int line);

namespace stb126 {
#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_STATIC
#define STBTT_assert(x)                                                                                           \
    do {                                                                                                          \
        if (!(x))                                                                                                 \
            stbReplayAssertFailed(#x, __LINE__);                                                                  \
    } while (0)
#include <stb/stb_truetype.h>
#include "stb_replay_body.inc"
} // namespace stb126

void replayStb126(const unsigned char* data, const ImWchar* ranges, float pixels) {
    stb126::replay(data, ranges, pixels);
}
