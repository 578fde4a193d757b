#include "capture_stream.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "audio_control.h"
#include "audio_engine.h"

PaException::PaException(PaError code) : message(Pa_GetErrorText(code)), code(code) {}

void throwIfPaError(PaError result) {
    if (result != paNoError)
        throw PaException(result);
}

CaptureContext::CaptureContext(AudioEngine* engine, const AudioSettings& settings)
    : engine(engine), settings(settings) {
    const int channels = std::max(1, static_cast<int>(settings.inputChannelCount));
    int error = 0;
    resampler = src_new(SRC_SINC_BEST_QUALITY, channels, &error);
    if (!resampler)
        return;
    // One conversion of silence, then back to a fresh state: otherwise the stream's first
    // callback pays for bringing the filter tables into memory.
    float silence[256] = {};
    conversion.data_in = silence;
    conversion.data_out = resampled;
    conversion.input_frames = static_cast<long>(std::size(silence)) / channels;
    conversion.output_frames = static_cast<long>(std::size(resampled)) / channels;
    conversion.src_ratio = 44100.0 / settings.sampleRate;
    src_process(resampler, &conversion);
    src_reset(resampler);
    conversion = {};
}

CaptureContext::~CaptureContext() {
    if (stream) {
        try {
            const PaError stopped = Pa_IsStreamStopped(stream);
            if (stopped != 1) {
                if (stopped == 0) {
                    throwIfPaError(Pa_AbortStream(stream));
                    engine->running = false;
                } else {
                    throwIfPaError(stopped);
                }
            }
            Pa_CloseStream(stream);
        } catch (const std::exception&) {
            // Closing never fails; an unclosable stream is left to Pa_Terminate.
        }
    }
    stream = nullptr;
    if (resampler) {
        src_delete(resampler);
        resampler = nullptr;
    }
}

std::unique_ptr<CaptureContext> openCaptureStream(AudioEngine* engine, const AudioSettings& s) {
    auto context = std::make_unique<CaptureContext>(engine, s);
    PaStreamParameters input{s.inputDevice, s.inputChannelCount, s.inputSampleFormat, s.inputSuggestedLatency,
                             nullptr};
    PaStreamParameters output{s.outputDevice, s.outputChannelCount, s.outputSampleFormat, s.outputSuggestedLatency,
                              nullptr};
    const bool inputValid = input.channelCount > 0 && input.device >= 0;
    const bool outputValid = output.channelCount > 0 && output.device >= 0;
    if (!inputValid && !outputValid)
        throw std::runtime_error("Both input and output stream params are invalid.");
    PortAudioCall call("Pa_OpenStream");
    throwIfPaError(Pa_OpenStream(&context->stream, inputValid ? &input : nullptr, outputValid ? &output : nullptr,
                                 s.sampleRate, s.framesPerBuffer, paNoFlag, captureCallback, context.get()));
    return context;
}
