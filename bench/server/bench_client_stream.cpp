// What a client's own rate converter costs and how clean it is, for each libsamplerate
// quality, at the rates a client may ask for: the time to convert one second of the
// 44.1 kHz stream, the level of a 1 kHz tone after conversion, the level of a tone above
// the new Nyquist frequency that must not come through (aliasing), and the level of a
// tone near the top of the passband. Then ClientStream itself as the sender runs it
// (16 kHz, 16-bit, 320-sample blocks), the figure behind its choice of quality.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <samplerate.h>

#include "client_stream.h"

namespace {

constexpr double streamRate = 44100.0;
constexpr double pi = 3.14159265358979323846;

std::vector<float> tone(double frequency, std::size_t count) {
    std::vector<float> x(count);
    for (std::size_t i = 0; i < count; ++i)
        x[i] = static_cast<float>(0.5 * std::sin(2 * pi * frequency * double(i) / streamRate));
    return x;
}

std::vector<float> convert(int quality, double rate, const std::vector<float>& input) {
    int error = 0;
    SRC_STATE* converter = src_new(quality, 1, &error);
    std::vector<float> output(static_cast<std::size_t>(double(input.size()) * rate / streamRate) + 4096);
    std::size_t produced = 0;
    for (std::size_t at = 0; at < input.size(); at += 1024) {
        SRC_DATA data{};
        data.data_in = input.data() + at;
        data.input_frames = static_cast<long>(std::min<std::size_t>(1024, input.size() - at));
        data.data_out = output.data() + produced;
        data.output_frames = static_cast<long>(output.size() - produced);
        data.src_ratio = rate / streamRate;
        src_process(converter, &data);
        produced += static_cast<std::size_t>(data.output_frames_gen);
    }
    src_delete(converter);
    output.resize(produced);
    return output;
}

// Level in dB relative to the input's 0.5 peak, from the RMS past the first 0.2 s.
double levelDb(const std::vector<float>& x, double rate) {
    const auto from = static_cast<std::size_t>(rate / 5);
    double sum = 0;
    for (std::size_t i = from; i < x.size(); ++i)
        sum += double(x[i]) * x[i];
    const double rms = std::sqrt(sum / double(x.size() - from));
    return 20 * std::log10(rms * std::sqrt(2.0) / 0.5 + 1e-12);
}

void ConvertOneSecond(benchmark::State& state) {
    const int quality = static_cast<int>(state.range(0));
    const double rate = static_cast<double>(state.range(1));
    const std::vector<float> input = tone(1000, 44100);
    for (auto _ : state)
        benchmark::DoNotOptimize(convert(quality, rate, input));
    const std::vector<float> twoSeconds = tone(1000, 2 * 44100);
    state.counters["tone_dB"] = levelDb(convert(quality, rate, twoSeconds), rate);
    // 0.6 x the new rate lies above its Nyquist frequency: what comes through is aliasing.
    state.counters["alias_dB"] = levelDb(convert(quality, rate, tone(0.6 * rate, 2 * 44100)), rate);
    // 0.4 x the new rate: the top of what a client at that rate can hear.
    state.counters["top_dB"] = levelDb(convert(quality, rate, tone(0.4 * rate, 2 * 44100)), rate);
    state.SetLabel(src_get_name(quality));
}
BENCHMARK(ConvertOneSecond)
    ->ArgsProduct({{SRC_SINC_BEST_QUALITY, SRC_SINC_MEDIUM_QUALITY, SRC_SINC_FASTEST}, {8000, 16000, 48000}})
    ->Unit(benchmark::kMillisecond);

void ClientStreamOneSecond(benchmark::State& state) {
    const std::vector<float> input = tone(1000, 44100);
    const StreamOptions options{static_cast<int>(state.range(0)), SampleFormat::Int16, 320, Latency::Tick};
    for (auto _ : state) {
        ClientStream client(options);
        std::size_t read = 0;
        std::string message;
        while (std::size_t count = client.wanted(input.size() - read)) {
            std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(read), count, client.input());
            read += count;
            client.take(count);
            while (client.nextMessage(message))
                benchmark::DoNotOptimize(message.data());
        }
    }
}
BENCHMARK(ClientStreamOneSecond)->Arg(16000)->Arg(44100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
