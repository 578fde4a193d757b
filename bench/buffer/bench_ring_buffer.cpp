// Ring buffer round trip (put then get of one 512-sample float block, as the capture
// callback and the sender do) against the same bytes moved by two plain memcpys.
#include "ring_buffer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::size_t blockSamples = 512;
constexpr std::size_t blockBytes = blockSamples * sizeof(float);

std::vector<float> sourceBlock() {
    std::vector<float> v(blockSamples);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<float>(i) * 0.001f;
    }
    return v;
}

void BM_RingPutGet(benchmark::State& state) {
    RingBuffer ring(SampleEncoding::Float32, 264600);
    const auto in = sourceBlock();
    std::vector<float> out(blockSamples);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.put(in.data(), SampleEncoding::Float32, blockSamples));
        benchmark::DoNotOptimize(ring.get(out.data(), SampleEncoding::Float32, blockSamples));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blockBytes));
}

void BM_MemcpyInOut(benchmark::State& state) {
    // A storage of about the ring's size walked block by block, so caches see the same load;
    // its length is a whole number of blocks, so each step is exactly one copy in and one out.
    std::vector<float> storage(264600 / blockSamples * blockSamples);
    const auto in = sourceBlock();
    std::vector<float> out(blockSamples);
    std::size_t position = 0;
    for (auto _ : state) {
        std::memcpy(storage.data() + position, in.data(), blockBytes);
        std::memcpy(out.data(), storage.data() + position, blockBytes);
        position = (position + blockSamples) % storage.size();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * blockBytes));
}

BENCHMARK(BM_RingPutGet)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MemcpyInOut)->Repetitions(5)->ReportAggregatesOnly(true);

// Remembers the median throughput of each benchmark for the closing ratio line.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                const auto bytes = run.counters.find("bytes_per_second");
                if (bytes != run.counters.end()) {
                    medians[run.run_name.function_name] = bytes->second.value;
                }
            }
        }
    }

    std::map<std::string, double> medians;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto ring = reporter.medians.find("BM_RingPutGet");
    const auto copy = reporter.medians.find("BM_MemcpyInOut");
    if (ring != reporter.medians.end() && copy != reporter.medians.end() && copy->second > 0) {
        std::printf("ring/memcpy throughput ratio (median): %.3f (goal >= 0.8)\n", ring->second / copy->second);
    }
    return 0;
}
