// Cost of the capture callback for one second of 48 kHz input in 120-frame buffers,
// against the best-quality sinc conversion alone on the same input. The callback adds
// the meter and the ring hand-off around the conversion; the printed ratio shows what
// that costs.
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
#include "ring_buffer.h"

namespace {

constexpr double inputRate = 48000.0;
constexpr std::size_t framesPerCall = 120;
constexpr std::size_t callsPerSecond = 400; // 48000 / 120

const std::vector<float>& oneSecond() {
    static const std::vector<float> input = [] {
        std::vector<float> x(framesPerCall * callsPerSecond);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / inputRate));
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
    CaptureContext context(&engine, settings);
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    engine.outputRing.set(ring);
    const std::vector<float>& input = oneSecond();
    for (auto _ : state) {
        for (std::size_t call = 0; call < callsPerSecond; ++call) {
            captureCallback(input.data() + call * framesPerCall, nullptr, framesPerCall, nullptr, 0, &context);
            // Emptied so the ring never fills; the sender's copy-out is not the callback's cost.
            if (ring->readable() > 8192) ring->discard(ring->readable());
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

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto callback = reporter.medians.find("captureCallbackPerSecond");
    const auto alone = reporter.medians.find("converterAlonePerSecond");
    if (callback != reporter.medians.end() && alone != reporter.medians.end() && alone->second > 0) {
        std::printf("capture callback per second of 48 kHz audio: %.3f ms (CPU), converter alone: %.3f ms\n",
                    callback->second, alone->second);
        std::printf("ratio callback / converter alone: %.3f (goal: at most 1.10)\n", callback->second / alone->second);
    }
    benchmark::Shutdown();
    return 0;
}
