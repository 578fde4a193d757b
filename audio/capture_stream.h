#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <portaudio.h>
#include <samplerate.h>

#include "audio_settings.h"
#include "capture_shared.h"

// The one PortAudio input stream and what belongs to it. The only header of the tree
// that brings in PortAudio and libsamplerate, and the only file that makes PortAudio's
// stream calls: the engine, the panel and the process entry see the stream only as a
// CaptureContext they cannot look into.

// A non-zero PortAudio result.
class PaException : public std::exception {
public:
    explicit PaException(PaError code);
    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
    PaError code;
};

void throwIfPaError(PaError result);

// The record of one open stream; PortAudio's user data for captureCallback. The converter
// is made with it, not in the callback: making one and its first conversion take several
// periods of a small buffer.
struct CaptureContext {
    // How a running stream is ended: stopped lets PortAudio play out what it buffers,
    // aborted drops it at once.
    enum class End { stop, abort };

    CaptureContext(const CaptureTargets& targets, const AudioSettings& settings);
    ~CaptureContext(); // aborts and closes the stream, frees the converter; never throws
    CaptureContext(const CaptureContext&) = delete;
    CaptureContext& operator=(const CaptureContext&) = delete;

    // Starts the open stream; PortAudio's error text when it refuses.
    std::optional<std::string> start();
    // Ends the stream's callbacks and clears running; PortAudio's error text when it
    // refuses (a stream whose start was refused is stopped already), and then running
    // is left as it was.
    std::optional<std::string> end(End how);

    CaptureTargets targets;
    PaStream* stream = nullptr;
    AudioSettings settings;
    SRC_STATE* resampler = nullptr; // null only when libsamplerate could not make one
    SRC_DATA conversion{};
    float resampled[2048] = {};
};

int captureCallback(const void* input, void* output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags, void* userData);

// Opens an input stream with these settings whose callback writes targets. Throws
// PaException, or std::runtime_error when the settings name neither side of a stream.
// Audio-control thread.
std::unique_ptr<CaptureContext> openCaptureStream(const CaptureTargets& targets, const AudioSettings& settings);
