// The least any capture-and-stream process has to do: capture the default input device
// (mono float, 120 frames at 48000 Hz) and resample to 44100 Hz with the best sinc
// converter. Its CPU use is the floor that the streaming process is measured against.
//
// Usage: bench_capture_floor SECONDS
// Prints "pa_initialize_ms=..." and, at the end, "frames=..." and "resampled=...".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <portaudio.h>
#include <samplerate.h>

namespace {

constexpr double captureRate = 48000.0;
constexpr double outputRate = 44100.0;
constexpr unsigned long framesPerBuffer = 120;

struct Capture {
    SRC_STATE* resampler = nullptr;
    std::vector<float> resampled = std::vector<float>(4096);
    std::atomic<unsigned long> frames{0};
    std::atomic<unsigned long> produced{0};
};

int onAudio(const void* input, void*, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
            PaStreamCallbackFlags, void* userData) {
    auto& capture = *static_cast<Capture*>(userData);
    if (!input)
        return paContinue;
    SRC_DATA data{};
    data.data_in = static_cast<const float*>(input);
    data.input_frames = static_cast<long>(frameCount);
    data.data_out = capture.resampled.data();
    data.output_frames = static_cast<long>(capture.resampled.size());
    data.src_ratio = outputRate / captureRate;
    src_process(capture.resampler, &data);
    capture.frames += frameCount;
    capture.produced += static_cast<unsigned long>(data.output_frames_gen);
    return paContinue;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;

    auto start = std::chrono::steady_clock::now();
    PaError error = Pa_Initialize();
    double initMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("pa_initialize_ms=%.1f\n", initMs);
    std::fflush(stdout);
    if (error != paNoError) {
        std::fprintf(stderr, "Pa_Initialize: %s\n", Pa_GetErrorText(error));
        return 1;
    }

    Capture capture;
    int srcError = 0;
    capture.resampler = src_new(SRC_SINC_BEST_QUALITY, 1, &srcError);

    PaStreamParameters input{};
    input.device = Pa_GetDefaultInputDevice();
    input.channelCount = 1;
    input.sampleFormat = paFloat32;
    input.suggestedLatency = 0.12;
    PaStream* stream = nullptr;
    if (input.device == paNoDevice ||
        (error = Pa_OpenStream(&stream, &input, nullptr, captureRate, framesPerBuffer, paClipOff, onAudio,
                               &capture)) != paNoError ||
        (error = Pa_StartStream(stream)) != paNoError) {
        std::fprintf(stderr, "capture: %s\n",
                     input.device == paNoDevice ? "no input device" : Pa_GetErrorText(error));
        src_delete(capture.resampler);
        Pa_Terminate();
        return 1;
    }

    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));

    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    Pa_Terminate();
    src_delete(capture.resampler);
    std::printf("frames=%lu\nresampled=%lu\n", capture.frames.load(), capture.produced.load());
    return 0;
}
