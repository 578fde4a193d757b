#include "client_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <samplerate.h>

namespace {

constexpr int streamRate = 44100;
// What one conversion takes out of the ring: under 25 ms, so a cycle's 2205 samples
// go in a few steps and the buffers stay small.
constexpr std::size_t inputChunk = 1024;
// Measured by bench_client_stream (44.1 to 16 kHz, one second of audio): the medium
// sinc converter takes 5.6 ms of CPU where the best takes 20 ms, keeps the 1 kHz tone's
// level within 0.001 dB, lets through a tone above the new Nyquist frequency at -129 dB,
// and is flat up to 0.4 x the new rate (the fastest loses 2.8 dB there).
constexpr int converterQuality = SRC_SINC_MEDIUM_QUALITY;

} // namespace

std::int16_t toInt16(float sample, bool& clipped) {
    const float scaled = sample * 32767.0f;
    if (std::isnan(scaled))
        return 0;
    if (scaled >= 32767.5f) {
        clipped = true;
        return 32767;
    }
    if (scaled <= -32768.5f) {
        clipped = true;
        return -32768;
    }
    return static_cast<std::int16_t>(std::lround(scaled));
}

ClientStream::ClientStream(const StreamOptions& options) : asked(options) {
    if (asked.rate == streamRate) {
        incoming.resize(asked.block);
        pending.resize(asked.block);
        return;
    }
    int error = 0;
    converter = src_new(converterQuality, 1, &error);
    if (!converter)
        throw std::runtime_error(src_strerror(error));
    incoming.resize(inputChunk);
    const double ratio = static_cast<double>(asked.rate) / streamRate;
    // A chunk's output with room for what the converter held back from earlier ones.
    pending.resize(asked.block + static_cast<std::size_t>(std::ceil(inputChunk * ratio)) + 1024);
}

ClientStream::~ClientStream() {
    if (converter)
        src_delete(converter);
}

std::size_t ClientStream::wanted(std::size_t readable) const {
    if (readable <= takesAbove())
        return 0;
    return passesThrough() ? asked.block : std::min(readable, inputChunk);
}

void ClientStream::take(std::size_t count) {
    if (passesThrough()) {
        std::copy_n(incoming.begin(), count, pending.begin() + static_cast<std::ptrdiff_t>(pendingCount));
        pendingCount += count;
        return;
    }
    SRC_DATA conversion{};
    conversion.data_in = incoming.data();
    conversion.input_frames = static_cast<long>(count);
    conversion.src_ratio = static_cast<double>(asked.rate) / streamRate;
    while (conversion.input_frames > 0) {
        conversion.data_out = pending.data() + pendingCount;
        conversion.output_frames = static_cast<long>(pending.size() - pendingCount);
        if (conversion.output_frames == 0)
            throw std::runtime_error("converted samples not taken");
        const int error = src_process(converter, &conversion);
        if (error != 0)
            throw std::runtime_error(src_strerror(error));
        if (conversion.input_frames_used == 0 && conversion.output_frames_gen == 0)
            throw std::runtime_error("converter made no progress");
        pendingCount += static_cast<std::size_t>(conversion.output_frames_gen);
        conversion.data_in += conversion.input_frames_used;
        conversion.input_frames -= conversion.input_frames_used;
    }
}

bool ClientStream::nextMessage(std::string& payload) {
    const std::size_t block = asked.block;
    if (pendingCount < block)
        return false;
    if (asked.format == SampleFormat::Float32) {
        payload.assign(reinterpret_cast<const char*>(pending.data()), block * sizeof(float));
    } else {
        payload.resize(block * 2);
        for (std::size_t i = 0; i < block; ++i) {
            bool held = false;
            const auto bits = static_cast<std::uint16_t>(toInt16(pending[i], held));
            clipped += held;
            payload[2 * i] = static_cast<char>(bits & 0xff);
            payload[2 * i + 1] = static_cast<char>(bits >> 8);
        }
    }
    std::copy(pending.begin() + static_cast<std::ptrdiff_t>(block),
              pending.begin() + static_cast<std::ptrdiff_t>(pendingCount), pending.begin());
    pendingCount -= block;
    return true;
}

std::uint64_t ClientStream::takeClipped() {
    const std::uint64_t count = clipped;
    clipped = 0;
    return count;
}

std::size_t ClientStream::secondOfAudioBytes() const {
    return static_cast<std::size_t>(asked.rate) * asked.bytesPerSample();
}
