#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stream_options.h"

struct SRC_STATE_tag;

// Float sample to 16-bit: x32767, rounded half away from zero, held at the ends of the
// 16-bit range instead of wrapping; `clipped` is set when it had to be held there.
std::int16_t toInt16(float sample, bool& clipped);

// One client's audio as it asked for it (StreamOptions), made from the 44.1 kHz stream
// on the sender's thread: its own rate converter (none at 44100 Hz, where the samples
// pass untouched), its own sample format, and messages of exactly its block size.
// Everything it needs is allocated up front; only the messages it hands out allocate.
class ClientStream {
public:
    // Throws std::runtime_error when the rate converter cannot be made.
    explicit ClientStream(const StreamOptions& options);
    ~ClientStream();
    ClientStream(const ClientStream&) = delete;
    ClientStream& operator=(const ClientStream&) = delete;

    const StreamOptions& options() const { return asked; }

    // How many of the `readable` samples of the 44.1 kHz stream to take now (0: none).
    // At 44100 Hz a block at a time while more than a block is there, as the sender has
    // always drained; a converter takes what there is, a chunk at a time.
    std::size_t wanted(std::size_t readable) const;
    // wanted() takes samples once more than this many are readable.
    std::size_t takesAbove() const { return passesThrough() ? asked.block : 0; }
    // Where the taken samples go, room for wanted()'s answer; then take() with the count.
    float* input() { return incoming.data(); }
    // Throws std::runtime_error when the converter fails.
    void take(std::size_t count);

    // The next whole message, if one is complete.
    bool nextMessage(std::string& payload);
    // Samples held at full scale since the last call.
    std::uint64_t takeClipped();

    // What a client may leave unread before blocks are dropped for it: one second of its audio.
    std::size_t secondOfAudioBytes() const;

private:
    bool passesThrough() const { return converter == nullptr; }

    const StreamOptions asked;
    SRC_STATE_tag* converter = nullptr;
    std::vector<float> incoming;
    // Converted samples not yet sent; the first `pendingCount` are valid.
    std::vector<float> pending;
    std::size_t pendingCount = 0;
    std::uint64_t clipped = 0;
};
