#include "sample_encoding.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

DitherState ditherState;

void DitherState::reset() {
    phase = 0;
    previous = 0.0f;
    for (float& h : history) {
        h = 0.0f;
    }
}

namespace {

// Clears the shared state once at start-up, before any conversion can run.
struct DitherStateInitialiser {
    DitherStateInitialiser() { ditherState.reset(); }
};
DitherStateInitialiser ditherStateInitialiser;

bool isKnown(SampleEncoding encoding) {
    return encoding == SampleEncoding::Pcm16 || encoding == SampleEncoding::Pcm24 ||
           encoding == SampleEncoding::Float32;
}

// Samples are raw little-endian bytes at any alignment, so every access goes through memcpy.
template <typename T>
T load(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void store(unsigned char* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

// The noise generator must yield 0..32767 whatever RAND_MAX the C library has; glibc's
// rand() spans 31 bits, and dividing that by 32767 would give noise far beyond one step.
float uniformDraw() {
    constexpr unsigned long span = static_cast<unsigned long>(RAND_MAX) + 1ul;
    constexpr unsigned long divisor = span > 32768ul ? span / 32768ul : 1ul;
    const int r = static_cast<int>(static_cast<unsigned long>(std::rand()) / divisor);
    return static_cast<float>(r) / 32767.0f - 0.5f;
}

float roundEven(float value) { return std::nearbyint(value); }

float ditherOff(float x) { return x; }

float ditherUniform(float x) {
    const float u = uniformDraw();
    return x - u;
}

float ditherHighPass(float x) {
    const float u = uniformDraw();
    const float y = (u + x) - ditherState.previous;
    ditherState.previous = u;
    return y;
}

float ditherNoiseShaped(float x) {
    const float u1 = uniformDraw();
    const float u2 = uniformDraw();
    const float noise = u2 + u1;
    if (std::isnan(x)) {
        x = 0.0f;
    }
    const std::int32_t p = ditherState.phase;
    const auto h = [p](std::int32_t k) { return ditherState.history[(p - k) & 7]; };
    const float e = 2.033f * h(0) + x - 2.165f * h(1) + 1.959f * h(2) - 1.59f * h(3) + 0.6149f * h(4);
    ditherState.phase = (p + 1) & 7;
    const float y = e + noise;
    ditherState.history[ditherState.phase] = e - roundEven(y);
    return y;
}

using DitherFunction = float (*)(float);

DitherFunction ditherFunction(DitherMode mode) {
    switch (mode) {
    case DitherMode::Off:
        return ditherOff;
    case DitherMode::Uniform:
        return ditherUniform;
    case DitherMode::HighPass:
        return ditherHighPass;
    case DitherMode::NoiseShaped:
        return ditherNoiseShaped;
    }
    return nullptr;
}

// Rounds ties to even and clips to [low, high]. A NaN counts as the lowest 32-bit integer,
// so it lands on the lowest destination value.
std::int32_t quantise(float y, std::int32_t low, std::int32_t high) {
    if (std::isnan(y)) {
        return low;
    }
    const float rounded = roundEven(y);
    if (rounded <= static_cast<float>(low)) {
        return low;
    }
    if (rounded >= static_cast<float>(high)) {
        return high;
    }
    return static_cast<std::int32_t>(rounded);
}

float clampUnit(float value) {
    if (value > 1.0f) {
        return 1.0f;
    }
    if (value < -1.0f) {
        return -1.0f;
    }
    return value; // a NaN falls through both comparisons unchanged
}

void copyStrided(const unsigned char* source, unsigned char* destination, std::uint32_t count,
                 std::size_t elementSize, std::size_t sourceStep, std::size_t destinationStep) {
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(destination, source, elementSize);
        source += sourceStep;
        destination += destinationStep;
    }
}

void toFloat(const unsigned char* source, SampleEncoding sourceEncoding, unsigned char* destination,
             std::uint32_t count, std::size_t sourceStep, std::size_t destinationStep) {
    for (std::uint32_t i = 0; i < count; ++i) {
        float value;
        if (sourceEncoding == SampleEncoding::Pcm16) {
            value = static_cast<float>(load<std::int16_t>(source)) * 3.0517578125e-05f;
        } else {
            value = static_cast<float>(load<std::int32_t>(source)) * 1.1920928955078125e-07f;
        }
        store(destination, value);
        source += sourceStep;
        destination += destinationStep;
    }
}

void pcm16ToPcm24(const unsigned char* source, unsigned char* destination, std::uint32_t count,
                  std::size_t sourceStep, std::size_t destinationStep) {
    for (std::uint32_t i = 0; i < count; ++i) {
        store(destination, static_cast<std::int32_t>(load<std::int16_t>(source)) * 256);
        source += sourceStep;
        destination += destinationStep;
    }
}

void reduce(const unsigned char* source, SampleEncoding sourceEncoding, unsigned char* destination,
            SampleEncoding destinationEncoding, std::uint32_t count, DitherFunction dither, std::size_t sourceStep,
            std::size_t destinationStep) {
    const bool toPcm16 = destinationEncoding == SampleEncoding::Pcm16;
    const float scale = toPcm16 ? 32768.0f : 8388608.0f;
    const std::int32_t low = toPcm16 ? -32768 : -8388608;
    const std::int32_t high = toPcm16 ? 32767 : 8388607;
    for (std::uint32_t i = 0; i < count; ++i) {
        float x;
        if (sourceEncoding == SampleEncoding::Float32) {
            x = clampUnit(load<float>(source)) * scale;
        } else {
            x = static_cast<float>(load<std::int32_t>(source)) * 1.1920928955078125e-07f * 32768.0f;
        }
        const std::int32_t value = quantise(dither(x), low, high);
        if (toPcm16) {
            store(destination, static_cast<std::int16_t>(value));
        } else {
            store(destination, value);
        }
        source += sourceStep;
        destination += destinationStep;
    }
}

bool isReduction(SampleEncoding from, SampleEncoding to) {
    return (from == SampleEncoding::Float32 && (to == SampleEncoding::Pcm16 || to == SampleEncoding::Pcm24)) ||
           (from == SampleEncoding::Pcm24 && to == SampleEncoding::Pcm16);
}

} // namespace

void convertSamples(const void* source, SampleEncoding sourceEncoding, void* destination,
                    SampleEncoding destinationEncoding, std::uint32_t count, DitherMode ditherMode,
                    std::uint32_t sourceStride, std::uint32_t destinationStride) {
    if (count == 0) {
        return;
    }
    const auto* from = static_cast<const unsigned char*>(source);
    auto* to = static_cast<unsigned char*>(destination);
    const std::size_t sourceStep = std::size_t{sourceStride} * bytesPerSample(sourceEncoding);
    const std::size_t destinationStep = std::size_t{destinationStride} * bytesPerSample(destinationEncoding);

    if (sourceEncoding == destinationEncoding) {
        if (sourceStride == 1 && destinationStride == 1) {
            std::memcpy(to, from, std::size_t{count} * bytesPerSample(sourceEncoding));
        } else if (isKnown(sourceEncoding)) {
            copyStrided(from, to, count, bytesPerSample(sourceEncoding), sourceStep, destinationStep);
        }
        return;
    }
    if (destinationEncoding == SampleEncoding::Float32) {
        if (sourceEncoding == SampleEncoding::Pcm16 || sourceEncoding == SampleEncoding::Pcm24) {
            toFloat(from, sourceEncoding, to, count, sourceStep, destinationStep);
        }
        return;
    }
    if (sourceEncoding == SampleEncoding::Pcm16 && destinationEncoding == SampleEncoding::Pcm24) {
        pcm16ToPcm24(from, to, count, sourceStep, destinationStep);
        return;
    }
    if (!isReduction(sourceEncoding, destinationEncoding)) {
        return;
    }
    const DitherFunction dither = ditherFunction(ditherMode);
    if (dither == nullptr) {
        return;
    }
    if (ditherMode == DitherMode::HighPass || ditherMode == DitherMode::NoiseShaped) {
        ditherState.reset();
    }
    reduce(from, sourceEncoding, to, destinationEncoding, count, dither, sourceStep, destinationStep);
}
