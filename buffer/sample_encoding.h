#pragma once

#include <cstdint>

// A sample encoding code: the high 16 bits are the bytes per sample, the low 16 bits
// the kind (0x0001 integer, 0x000F floating point).
enum class SampleEncoding : std::uint32_t {
    Pcm16 = 0x00020001,   // signed 16-bit little-endian
    Pcm24 = 0x00040001,   // signed 24-bit right-aligned in a 32-bit integer
    Float32 = 0x0004000F, // IEEE-754 single precision
};

constexpr std::uint32_t bytesPerSample(SampleEncoding encoding) {
    return static_cast<std::uint32_t>(encoding) >> 16;
}

enum class DitherMode : std::int32_t {
    Off = 0,
    Uniform = 1,
    HighPass = 2,
    NoiseShaped = 3,
};

// Shared by every dithered conversion in the process; only one thread at a time may
// run a dithered conversion.
struct DitherState {
    std::int32_t phase = 0;
    float previous = 0.0f;
    float history[8] = {};

    void reset();
};

extern DitherState ditherState;

// Copies count samples from source to destination, converting between encodings.
// Strides are in samples. Source and destination must not overlap. Never allocates.
void convertSamples(const void* source, SampleEncoding sourceEncoding, void* destination,
                    SampleEncoding destinationEncoding, std::uint32_t count, DitherMode ditherMode,
                    std::uint32_t sourceStride, std::uint32_t destinationStride);
