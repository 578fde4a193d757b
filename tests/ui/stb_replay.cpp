#include "stb_replay.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#define SONDREL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SONDREL_ASAN 1
#endif
#endif
#ifdef SONDREL_ASAN
#include <sanitizer/asan_interface.h>
#endif

void replayStb120(const unsigned char* data, const ImWchar* ranges, float pixels);
void replayStb126(const unsigned char* data, const ImWchar* ranges, float pixels);

void stbReplayAssertFailed(const char* what, int line) {
    std::fprintf(stderr, "stb_truetype assertion failed at line %d: %s\n", line, what);
    std::abort();
}

namespace {

// The parsers add 32-bit offsets to the font's address; 4 GB on either side catches all.
constexpr std::size_t guardBytes = std::size_t(4) << 30;

// The font's bytes ending at a page boundary, between two inaccessible guards.
class GuardedCopy {
public:
    GuardedCopy(const unsigned char* data, std::size_t size) {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        span = (size + page - 1) / page * page;
        total = guardBytes + span + guardBytes;
        void* region = ::mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED)
            throw std::runtime_error("cannot reserve the guard region");
        base = static_cast<unsigned char*>(region);
        unsigned char* pages = base + guardBytes;
        if (span > 0 && ::mprotect(pages, span, PROT_READ | PROT_WRITE) != 0)
            throw std::runtime_error("cannot map the font's pages");
        copy = pages + span - size;
        if (size > 0)
            std::memcpy(copy, data, size);
#ifdef SONDREL_ASAN
        // The start of the first page, before the font, is readable memory too.
        ASAN_POISON_MEMORY_REGION(pages, static_cast<std::size_t>(copy - pages));
#endif
        if (span > 0)
            ::mprotect(pages, span, PROT_READ);
    }
    ~GuardedCopy() {
#ifdef SONDREL_ASAN
        ASAN_UNPOISON_MEMORY_REGION(base + guardBytes, span);
#endif
        ::munmap(base, total);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;

    const unsigned char* data() const { return copy; }

private:
    unsigned char* base = nullptr;
    unsigned char* copy = nullptr;
    std::size_t span = 0;
    std::size_t total = 0;
};

} // namespace

void replayAtlasBuild(const unsigned char* data, std::size_t size, const ImWchar* ranges, float pixels) {
    const GuardedCopy font(data, size);
    replayStb126(font.data(), ranges, pixels);
    replayStb120(font.data(), ranges, pixels);
}
