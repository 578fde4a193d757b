#include "capture_stream.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "audio_control.h"

PaException::PaException(PaError code) : message(Pa_GetErrorText(code)), code(code) {}

void throwIfPaError(PaError result) {
    if (result != paNoError)
        throw PaException(result);
}

CaptureContext::CaptureContext(const CaptureTargets& targets, const AudioSettings& settings)
    : targets(targets), settings(settings) {
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
        PaError stopped;
        {
            PortAudioCall call("Pa_IsStreamStopped");
            stopped = Pa_IsStreamStopped(stream);
        }
        // Closing never fails: a stream PortAudio cannot tell about or cannot end (after
        // Pa_Terminate, for one) is left to Pa_Terminate.
        if (stopped == 1 || (stopped == 0 && !end(End::abort))) {
            PortAudioCall call("Pa_CloseStream");
            Pa_CloseStream(stream);
        }
    }
    stream = nullptr;
    if (resampler) {
        src_delete(resampler);
        resampler = nullptr;
    }
}

std::optional<std::string> CaptureContext::start() {
    PaError started;
    {
        PortAudioCall call("Pa_StartStream");
        started = Pa_StartStream(stream);
    }
    if (started != paNoError)
        return Pa_GetErrorText(started);
    return std::nullopt;
}

std::optional<std::string> CaptureContext::end(End how) {
    PaError ended;
    if (how == End::stop) {
        PortAudioCall call("Pa_StopStream");
        ended = Pa_StopStream(stream);
    } else {
        PortAudioCall call("Pa_AbortStream");
        ended = Pa_AbortStream(stream);
    }
    if (ended != paNoError)
        return Pa_GetErrorText(ended);
    targets.running = false;
    return std::nullopt;
}

std::unique_ptr<CaptureContext> openCaptureStream(const CaptureTargets& targets, const AudioSettings& s) {
    auto context = std::make_unique<CaptureContext>(targets, s);
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
