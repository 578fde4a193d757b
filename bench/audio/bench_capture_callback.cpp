// Cost of the capture callback for one second of 48 kHz input in 120-frame buffers,
// against the best-quality sinc conversion alone on the same input. The callback adds
// the meter and the ring hand-off around the conversion; the printed ratio shows what
// that costs.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <samplerate.h>

#include "audio_engine.h"
#include "capture_stream.h"
#include "ring_buffer.h"

namespace {

constexpr double inputRate = 48000.0;
constexpr std::size_t framesPerCall = 120;
constexpr std::size_t callsPerSecond = 400; // 48000 / 120

const std::vector<float>& oneSecond() {
    static const std::vector<float> input = [] {
        std::vector<float> x(framesPerCall * callsPerSecond);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / inputRate));
        return x;
    }();
    return input;
}

class BenchEngine : public AudioEngine {
public:
    BenchEngine() : AudioEngine("", Detached{}) {}
};

void captureCallbackPerSecond(benchmark::State& state) {
    BenchEngine engine;
    AudioSettings settings;
    settings.sampleRate = inputRate;
    settings.framesPerBuffer = framesPerCall;
    settings.inputChannelCount = 1;
    CaptureContext context(engine.captureTargets(), settings);
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    engine.outputRing.set(ring);
    const std::vector<float>& input = oneSecond();
    for (auto _ : state) {
        for (std::size_t call = 0; call < callsPerSecond; ++call) {
            captureCallback(input.data() + call * framesPerCall, nullptr, framesPerCall, nullptr, 0, &context);
            // Emptied so the ring never fills; the sender's copy-out is not the callback's cost.
            if (ring->readable() > 8192)
                ring->discard(ring->readable());
        }
    }
    engine.outputRing.reset();
}

void converterAlonePerSecond(benchmark::State& state) {
    int error = 0;
    SRC_STATE* converter = src_new(SRC_SINC_BEST_QUALITY, 1, &error);
    std::vector<float> output(2048);
    const std::vector<float>& input = oneSecond();
    for (auto _ : state) {
        for (std::size_t call = 0; call < callsPerSecond; ++call) {
            SRC_DATA data{};
            data.data_in = input.data() + call * framesPerCall;
            data.data_out = output.data();
            data.input_frames = framesPerCall;
            data.output_frames = static_cast<long>(output.size());
            data.src_ratio = 44100.0 / inputRate;
            src_process(converter, &data);
            benchmark::DoNotOptimize(output.data());
        }
    }
    src_delete(converter);
}

BENCHMARK(captureCallbackPerSecond)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(converterAlonePerSecond)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);

// The first callback of a fresh stream at 40 frames and 48 kHz, whose period is 0.83 ms,
// against a callback of a stream that has been running, and against what the first
// callback cost when it made the converter itself (src_new and its first conversion).
constexpr std::size_t smallBuffer = 40;

AudioSettings smallBufferSettings() {
    AudioSettings settings;
    settings.sampleRate = inputRate;
    settings.framesPerBuffer = smallBuffer;
    settings.inputChannelCount = 1;
    return settings;
}

void firstCallbackOfAStream(benchmark::State& state) {
    BenchEngine engine;
    const std::vector<float>& input = oneSecond();
    for (auto _ : state) {
        state.PauseTiming();
        auto context = std::make_unique<CaptureContext>(engine.captureTargets(), smallBufferSettings());
        state.ResumeTiming();
        captureCallback(input.data(), nullptr, smallBuffer, nullptr, 0, context.get());
        state.PauseTiming();
        context.reset();
        state.ResumeTiming();
    }
}

void laterCallbackOfAStream(benchmark::State& state) {
    BenchEngine engine;
    CaptureContext context(engine.captureTargets(), smallBufferSettings());
    const std::vector<float>& input = oneSecond();
    for (int i = 0; i < 100; ++i)
        captureCallback(input.data(), nullptr, smallBuffer, nullptr, 0, &context);
    for (auto _ : state)
        captureCallback(input.data(), nullptr, smallBuffer, nullptr, 0, &context);
}

void converterMadeInTheFirstCallback(benchmark::State& state) {
    const std::vector<float>& input = oneSecond();
    std::vector<float> output(2048);
    for (auto _ : state) {
        int error = 0;
        SRC_STATE* converter = src_new(SRC_SINC_BEST_QUALITY, 1, &error);
        SRC_DATA data{};
        data.data_in = input.data();
        data.data_out = output.data();
        data.input_frames = smallBuffer;
        data.output_frames = static_cast<long>(output.size());
        data.src_ratio = 44100.0 / inputRate;
        src_process(converter, &data);
        benchmark::DoNotOptimize(output.data());
        state.PauseTiming();
        src_delete(converter);
        state.ResumeTiming();
    }
}

BENCHMARK(firstCallbackOfAStream)->Unit(benchmark::kMicrosecond)->Iterations(200)->Repetitions(3);
BENCHMARK(laterCallbackOfAStream)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->Repetitions(3);
BENCHMARK(converterMadeInTheFirstCallback)->Unit(benchmark::kMicrosecond)->Iterations(200)->Repetitions(3);

// Keeps the median time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> medians;
};

} // namespace

// The repeated benchmarks above run warm: after the first iteration the filter tables are
// in memory. What a stream meets once is measured in a fresh process, once per run:
// "--cold converter-in-callback" times a first callback that makes its converter (src_new
// and the first conversion), "--cold converter-at-open" times making the stream's context
// (what opening now costs) and then its first callback. bench/first_callback_cold.sh runs
// both in turn.
int coldStart(const std::string& mode) {
    using Clock = std::chrono::steady_clock;
    const auto micros = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
    const std::vector<float>& input = oneSecond();
    if (mode == "converter-in-callback") {
        std::vector<float> output(2048);
        const auto started = Clock::now();
        int error = 0;
        SRC_STATE* converter = src_new(SRC_SINC_BEST_QUALITY, 1, &error);
        SRC_DATA data{};
        data.data_in = input.data();
        data.data_out = output.data();
        data.input_frames = smallBuffer;
        data.output_frames = static_cast<long>(output.size());
        data.src_ratio = 44100.0 / inputRate;
        src_process(converter, &data);
        const auto done = Clock::now();
        src_delete(converter);
        std::printf("first_callback_us=%.1f\n", micros(done - started));
        return 0;
    }
    if (mode == "converter-at-open") {
        BenchEngine engine;
        const auto started = Clock::now();
        auto context = std::make_unique<CaptureContext>(engine.captureTargets(), smallBufferSettings());
        const auto opened = Clock::now();
        captureCallback(input.data(), nullptr, smallBuffer, nullptr, 0, context.get());
        const auto done = Clock::now();
        std::printf("open_us=%.1f first_callback_us=%.1f\n", micros(opened - started), micros(done - opened));
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--cold")
        return coldStart(argv[2]);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto callback = reporter.medians.find("captureCallbackPerSecond");
    const auto alone = reporter.medians.find("converterAlonePerSecond");
    if (callback != reporter.medians.end() && alone != reporter.medians.end() && alone->second > 0) {
        std::printf("capture callback per second of 48 kHz audio: %.3f ms (CPU), converter alone: %.3f ms\n",
                    callback->second, alone->second);
        std::printf("ratio callback / converter alone: %.3f (goal: at most 1.10)\n",
                    callback->second / alone->second);
    }
    const auto first = reporter.medians.find("firstCallbackOfAStream");
    const auto later = reporter.medians.find("laterCallbackOfAStream");
    const auto old = reporter.medians.find("converterMadeInTheFirstCallback");
    if (first != reporter.medians.end() && later != reporter.medians.end() && old != reporter.medians.end())
        std::printf(
            "40 frames at 48 kHz (period 833 us): first callback of a stream %.1f us, a later one %.1f us; "
            "a converter made in the first callback %.1f us\n",
            first->second, later->second, old->second);
    benchmark::Shutdown();
    return 0;
}
