#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "audio_engine.h"
#include "capture_stream.h"
#include "log_capture.h"
#include "ring_buffer.h"
#include "sine_check.h"

namespace {

class MeterEngine : public AudioEngine {
public:
    MeterEngine() : AudioEngine("", Detached{}) {}
};

AudioSettings streamSettings(double rate, std::uint32_t frames = 120) {
    AudioSettings s;
    s.sampleRate = rate;
    s.framesPerBuffer = frames;
    s.inputChannelCount = 1;
    s.inputDevice = 0;
    s.inputSuggestedLatency = 0.12;
    return s;
}

int call(CaptureContext& context, const std::vector<float>& input, PaStreamCallbackFlags flags = 0) {
    return captureCallback(input.data(), nullptr, input.size(), nullptr, flags, &context);
}

std::vector<float> drain(RingBuffer& ring) {
    std::vector<float> out(ring.readable());
    out.resize(ring.get(out.data(), SampleEncoding::Float32, out.size()));
    return out;
}

// Produces consecutive 120-frame buffers of one continuous sine.
class Tone {
public:
    Tone(double frequency, double rate, double amplitude)
        : step(2 * std::numbers::pi * frequency / rate), amplitude(amplitude) {}
    std::vector<float> next(std::size_t frames) {
        std::vector<float> out(frames);
        for (float& x : out)
            x = static_cast<float>(amplitude * std::sin(step * static_cast<double>(n++)));
        return out;
    }

private:
    double step, amplitude;
    std::uint64_t n = 0;
};

} // namespace

class Callback : public ::testing::Test {
protected:
    LogCapture log;
    MeterEngine engine;
    CaptureContext context44{engine.captureTargets(), streamSettings(44100.0)};
    CaptureContext context48{engine.captureTargets(), streamSettings(48000.0)};
};

TEST_F(Callback, LevelStartsAtOneAndChangesEveryFourthCallAt120Frames) {
    const std::vector<float> tenth(120, 0.1f);
    std::vector<float> levels;
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(call(context44, tenth), paContinue);
        levels.push_back(engine.level.load());
    }
    EXPECT_EQ(levels[0], 1.0f);
    EXPECT_EQ(levels[2], 1.0f);
    EXPECT_NE(levels[3], levels[2]);
    EXPECT_EQ(levels[4], levels[3]);
    EXPECT_EQ(levels[6], levels[3]);
    EXPECT_NE(levels[7], levels[6]);
    EXPECT_NE(levels[11], levels[10]);
    // RMS 0.1 is -20 dB: window value (-20 + 60) / 60.
    const double window = (levels[3] - 0.05) / 0.95;
    EXPECT_NEAR(window, 0.6667, 0.001);
    EXPECT_NEAR(levels[11], 0.6667, 0.001);
    EXPECT_EQ(engine.sampleCount, 1);
    EXPECT_EQ(engine.sumSquares, 0.0f);
}

TEST_F(Callback, WindowLengthFollowsRateAndBufferSize) {
    auto callsPerWindow = [&](CaptureContext& context, std::size_t frames) {
        const std::vector<float> quiet(frames, 0.01f);
        engine.level = 1.0f;
        engine.sampleCount = 1;
        engine.sumSquares = 0.0f;
        for (int i = 1; i < 100; ++i) {
            call(context, quiet);
            if (engine.level.load() != 1.0f)
                return i;
        }
        return -1;
    };
    EXPECT_EQ(callsPerWindow(context44, 40), 12);
    EXPECT_EQ(callsPerWindow(context44, 200), 3);
    EXPECT_EQ(callsPerWindow(context48, 120), 4); // 481 > 480
    EXPECT_EQ(callsPerWindow(context48, 160), 3); // 481 > 480
}

TEST_F(Callback, SilenceAndFullScale) {
    const std::vector<float> silence(120, 0.0f);
    for (int i = 0; i < 4; ++i)
        call(context44, silence);
    EXPECT_FLOAT_EQ(engine.level.load(), 0.05f);
    for (int i = 0; i < 4; ++i)
        call(context44, silence);
    EXPECT_FLOAT_EQ(engine.level.load(), 0.0025f);

    std::vector<float> full(120);
    for (std::size_t i = 0; i < full.size(); ++i)
        full[i] = (i % 2) ? 1.0f : -1.0f;
    for (int i = 0; i < 40; ++i)
        call(context44, full);
    EXPECT_NEAR(engine.level.load(), 1.0, 0.001);
    EXPECT_LE(engine.level.load(), 1.0f);

    // Louder than full scale still shows full scale.
    const std::vector<float> loud(120, 4.0f);
    for (int i = 0; i < 40; ++i)
        call(context44, loud);
    EXPECT_FLOAT_EQ(engine.level.load(), 1.0f);
}

// The callback only counts; the main thread logs, overflow first, and a burst of the
// same warning costs one line and then one count a minute.
TEST_F(Callback, StatusFlagsAreCountedAndReportedOverflowFirst) {
    const std::vector<float> quiet(120, 0.0f);
    call(context44, quiet, paInputOverflow | paInputUnderflow);
    call(context44, quiet, paOutputUnderflow | paPrimingOutput | paOutputOverflow);
    EXPECT_TRUE(log.lines().empty());
    engine.reportCallbackEvents();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"WARN 音频缓冲区1溢出, 请检查计算机是否负载过高",
                                                     "WARN 音频缓冲区1欠载"}));
    for (int i = 0; i < 500; ++i) {
        call(context44, quiet, paInputUnderflow);
        engine.reportCallbackEvents();
    }
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(engine.callbackEvents.inputUnderflows.load(), 0u);
}

// "disconnected" empties outputRing: the callback must stop delivering at once and go on
// metering, and deliver again as soon as a ring is set.
TEST_F(Callback, NothingIsDeliveredWithoutARingButTheMeterRuns) {
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    Tone loud(1000, 44100, 0.5);
    engine.outputRing.set(ring);
    for (int i = 0; i < 50; ++i)
        call(context44, loud.next(120));
    ASSERT_GT(drain(*ring).size(), 0u);

    engine.outputRing.reset();
    const float loudLevel = engine.level.load();
    Tone quiet(1000, 44100, 0.005);
    for (int i = 0; i < 50; ++i)
        call(context44, quiet.next(120));
    EXPECT_EQ(ring->readable(), 0u);
    EXPECT_LT(engine.level.load(), loudLevel - 0.3f); // -49 dB against -9 dB
    EXPECT_TRUE(log.lines().empty());

    engine.outputRing.set(ring);
    call(context44, loud.next(120));
    EXPECT_EQ(ring->readable(), 120u); // the converter is past its start-up by now
    engine.outputRing.reset();
}

TEST_F(Callback, FullRingTakesWhatFitsAndCountsEveryLoss) {
    Tone tone(1000, 44100, 0.5);
    for (int i = 0; i < 50; ++i)
        call(context44, tone.next(120));
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 104); // room for 100
    ASSERT_EQ(ring->writable(), 100u);
    engine.outputRing.set(ring);
    call(context44, tone.next(120));
    EXPECT_EQ(ring->readable(), 100u);
    EXPECT_EQ(engine.callbackEvents.ringOverflows.load(), 1u);
    engine.reportCallbackEvents();
    EXPECT_EQ(log.count("WARN 音频缓冲区2溢出"), 1u);
    // No room at all: everything is lost, and that is counted too, so the minute's
    // summary tells how long the ring stayed full.
    for (int i = 0; i < 3; ++i)
        call(context44, tone.next(120));
    EXPECT_EQ(ring->readable(), 100u);
    EXPECT_EQ(engine.callbackEvents.ringOverflows.load(), 3u);
    engine.outputRing.reset();
}

// A consumer asleep until samples arrive (a client that asked for low latency) is woken
// by the call that puts them, not by its deadline.
TEST_F(Callback, ACallThatDeliversWakesAConsumerThatSleeps) {
    Tone tone(1000, 44100, 0.5);
    for (int i = 0; i < 50; ++i)
        call(context44, tone.next(120));
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    engine.outputRing.set(ring);
    std::atomic<bool> asleep{false};
    bool woken = false;
    std::thread consumer([&] {
        asleep = true;
        woken = ring->waitForSamples(0, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    });
    while (!asleep)
        std::this_thread::yield();
    // Whether the consumer has gone to sleep yet or not, the wait must end with the samples.
    call(context44, tone.next(120));
    consumer.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(ring->readable(), 120u);
    engine.outputRing.reset();
}

TEST_F(Callback, At48000TheOutputIs0_91875OfTheInput) {
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    engine.outputRing.set(ring);
    Tone tone(1000, 48000, 0.5);
    std::size_t frames = 0, produced = 0;
    for (int i = 0; i < 2000; ++i) {
        call(context48, tone.next(120));
        frames += 120;
        produced += drain(*ring).size();
    }
    EXPECT_NEAR(static_cast<double>(produced) / static_cast<double>(frames), 0.91875, 0.002);
    engine.outputRing.reset();
}

TEST_F(Callback, ConvertedSineStaysContinuousAcrossCalls) {
    for (CaptureContext* context : {&context48, &context44}) {
        auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
        engine.outputRing.set(ring);
        Tone tone(1000, context->settings.sampleRate, 0.5);
        for (int i = 0; i < 800; ++i)
            call(*context, tone.next(i % 3 == 0 ? 40 : 200));
        engine.outputRing.reset();
        const std::vector<float> received = drain(*ring);
        SineCheckOptions options;
        options.transient = 4096;
        const SineAnalysis analysis = analyseSine(received, options);
        EXPECT_TRUE(analysis.isContinuousTone(1000.0, 0.5)) << analysis.describe();
        EXPECT_NEAR(analysis.amplitude, 0.5, 0.01) << analysis.describe();
        EXPECT_LT(analysis.maxStepDeviation, 0.001) << analysis.describe();
    }
}

// The converter is made with the context: the stream's first callback, which has a
// period of 0.83 ms at 40 frames and 48 kHz, must not create one (1.2 ms) nor allocate.
// And what was done to make it ready must leave no trace in what it delivers: a stream's
// output is that of a converter fresh from libsamplerate.
TEST_F(Callback, FirstCallbackAllocatesNothingAndConvertsLikeAFreshConverter) {
    Tone tone(1000, 48000, 0.5);
    std::vector<std::vector<float>> blocks;
    for (int i = 0; i < 40; ++i)
        blocks.push_back(tone.next(i % 2 ? 40 : 120));

    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    engine.outputRing.set(ring);
#if defined(__GLIBC__)
    const struct mallinfo2 before = mallinfo2();
    call(context48, blocks[0]);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd) << "bytes allocated by the callback";
#else
    call(context48, blocks[0]);
#endif
    for (std::size_t i = 1; i < blocks.size(); ++i)
        call(context48, blocks[i]);
    engine.outputRing.reset();
    const std::vector<float> delivered = drain(*ring);

    int error = 0;
    SRC_STATE* fresh = src_new(SRC_SINC_BEST_QUALITY, 1, &error);
    ASSERT_NE(fresh, nullptr);
    std::vector<float> expected;
    for (const auto& block : blocks) {
        float out[2048];
        SRC_DATA data{};
        data.data_in = block.data();
        data.input_frames = static_cast<long>(block.size());
        data.data_out = out;
        data.output_frames = 2048;
        data.src_ratio = 44100.0 / 48000.0;
        ASSERT_EQ(src_process(fresh, &data), 0);
        expected.insert(expected.end(), out, out + data.output_frames_gen);
    }
    src_delete(fresh);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(delivered.size(), expected.size());
    EXPECT_EQ(std::memcmp(delivered.data(), expected.data(), expected.size() * sizeof(float)), 0);
}

TEST_F(Callback, RingCanBeAttachedAndDetachedWhileCallbacksRun) {
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 4096);
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        Tone tone(1000, 48000, 0.5);
        while (!stop.load())
            call(context48, tone.next(120));
    });
    std::thread sender([&] {
        std::vector<float> block(512);
        while (!stop.load())
            if (ring->get(block.data(), SampleEncoding::Float32, block.size()) == 0)
                std::this_thread::yield();
    });
    for (int i = 0; i < 2000; ++i) {
        engine.outputRing.set(ring);
        std::this_thread::yield();
        engine.outputRing.reset();
    }
    stop = true;
    audio.join();
    sender.join();

    // Detached, the ring gets nothing more; attached again, the samples go on into it.
    drain(*ring);
    Tone tone(1000, 44100, 0.5);
    for (int i = 0; i < 4; ++i)
        call(context44, tone.next(120));
    EXPECT_EQ(ring->readable(), 0u);
    engine.outputRing.set(ring);
    for (int i = 0; i < 4; ++i)
        call(context44, tone.next(120));
    EXPECT_GT(ring->readable(), 0u);
}
