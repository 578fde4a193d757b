#include <algorithm>
#include <cmath>
#include <cstdint>

#include "capture_stream.h"
#include "ring_buffer.h"

namespace {

constexpr double outputRate = 44100.0;
constexpr double meterWindowSeconds = 0.01;
constexpr long resampledCapacity = static_cast<long>(sizeof(CaptureContext::resampled) / sizeof(float));

void countStatus(CallbackEvents& events, PaStreamCallbackFlags statusFlags) {
    if (statusFlags & paInputOverflow)
        events.inputOverflows.fetch_add(1, std::memory_order_relaxed);
    if (statusFlags & paInputUnderflow)
        events.inputUnderflows.fetch_add(1, std::memory_order_relaxed);
}

// The exact float/double steps matter: the panel's meter is compared against them.
void feedMeter(const CaptureTargets& meter, const float* samples, unsigned long frames, double sampleRate) {
    float sum = meter.sumSquares;
    for (unsigned long i = 0; i < frames; ++i)
        sum += samples[i] * samples[i];
    meter.sumSquares = sum;
    meter.sampleCount += static_cast<std::int32_t>(frames);
    if (static_cast<double>(meter.sampleCount) / sampleRate <= meterWindowSeconds)
        return;

    const float mean = meter.sumSquares / static_cast<float>(meter.sampleCount);
    const float rms = std::sqrt(mean);
    const float db = 20.0f * std::log10(rms) + 60.0f;
    float v = static_cast<float>(static_cast<double>(db) / 60.0);
    v = std::fmax(std::fmin(v, 1.0f), 0.0f);
    const float previous = meter.level.load(std::memory_order_relaxed);
    meter.level.store(static_cast<float>(0.05 * previous + 0.95 * v), std::memory_order_relaxed);
    meter.sumSquares = 0.0f;
    meter.sampleCount = 1;
}

// Returns the number of 44100 Hz samples now in context.resampled.
long resample(CaptureContext& context, const float* samples, unsigned long frames) {
    const int channels = std::max(1, static_cast<int>(context.settings.inputChannelCount));
    if (!context.resampler)
        return 0;
    SRC_DATA& conversion = context.conversion;
    conversion.data_in = samples;
    conversion.data_out = context.resampled;
    conversion.input_frames = static_cast<long>(frames);
    // Counted in frames: never more than the embedded buffer holds.
    conversion.output_frames = resampledCapacity / channels;
    conversion.end_of_input = 0;
    conversion.src_ratio = outputRate / context.settings.sampleRate;
    conversion.input_frames_used = 0;
    conversion.output_frames_gen = 0;
    if (src_process(context.resampler, &conversion) != 0)
        return 0;
    return conversion.output_frames_gen * channels;
}

void handOff(const CaptureTargets& targets, const float* samples, long count) {
    RingBuffer* ring = targets.outputRing.load();
    if (!ring || count <= 0)
        return;
    const std::uint64_t produced = static_cast<std::uint64_t>(count);
    const std::uint64_t room = std::min(produced, ring->writable());
    // Every call that loses samples counts, a full ring's too: a sender stalled for
    // seconds must show in the log for as long as it loses audio, not only at first.
    if (room < produced)
        targets.events.ringOverflows.fetch_add(1, std::memory_order_relaxed);
    if (room > 0) {
        ring->put(samples, SampleEncoding::Float32, room, 0);
        // A sender that serves a client as soon as its samples arrive sleeps on this.
        ring->wakeConsumer();
    }
}

} // namespace

int captureCallback(const void* input, void* /*output*/, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo* /*timeInfo*/, PaStreamCallbackFlags statusFlags,
                    void* userData) {
    auto& context = *static_cast<CaptureContext*>(userData);
    context.targets.events.calls.fetch_add(1, std::memory_order_relaxed);
    context.targets.events.frames.fetch_add(frameCount, std::memory_order_relaxed);
    countStatus(context.targets.events, statusFlags);
    const auto* samples = static_cast<const float*>(input);
    if (!samples || frameCount == 0)
        return paContinue;
    feedMeter(context.targets, samples, frameCount, context.settings.sampleRate);
    const long converted = resample(context, samples, frameCount);
    handOff(context.targets, context.resampled, converted);
    return paContinue;
}
