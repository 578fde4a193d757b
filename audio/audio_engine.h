#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <portaudio.h>
#include <samplerate.h>

#include "audio_settings.h"
#include "repeated_warning.h"

class RingBuffer;
class AudioEngine;

struct HostApiEntry {
    std::string name;
    std::int32_t type = 0;
    std::int32_t deviceCount = 0;
    std::int32_t defaultInputDevice = -1;
    std::int32_t defaultOutputDevice = -1;
};

struct DeviceEntry {
    std::int32_t index = 0;
    std::string name;
    std::int32_t hostApi = 0;
    std::int32_t hostApiType = 0;
    std::int32_t maxInputChannels = 0;
    std::int32_t maxOutputChannels = 0;
    double defaultLowInputLatency = 0.0;
    double defaultLowOutputLatency = 0.0;
    double defaultHighInputLatency = 0.0;
    double defaultHighOutputLatency = 0.0;
    std::int32_t defaultSampleRate = 0;
};

// A non-zero PortAudio result.
class PaException : public std::exception {
public:
    explicit PaException(PaError code);
    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
    PaError code;
};

void throwIfPaError(PaError result);

// The record of one open stream; PortAudio's user data for captureCallback.
struct CaptureContext {
    explicit CaptureContext(AudioEngine* engine, const AudioSettings& settings);
    ~CaptureContext(); // aborts and closes the stream, frees the converter; never throws
    CaptureContext(const CaptureContext&) = delete;
    CaptureContext& operator=(const CaptureContext&) = delete;

    AudioEngine* engine;
    PaStream* stream = nullptr;
    AudioSettings settings;
    SRC_STATE* resampler = nullptr;
    SRC_DATA conversion{};
    float resampled[2048] = {};
};

int captureCallback(const void* input, void* output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                    void* userData);

// Where the capture callback delivers. Replaced by the main thread on "connected" and
// "disconnected" while the callback may read it: the callback reads the raw pointer
// once per call; the shared reference keeps the ring alive while it is published.
class OutputRing {
public:
    void set(std::shared_ptr<RingBuffer> ring);
    void reset();
    RingBuffer* load() const { return published.load(std::memory_order_acquire); }
    explicit operator bool() const { return load() != nullptr; }

private:
    std::shared_ptr<RingBuffer> owner;
    std::atomic<RingBuffer*> published{nullptr};
};

// What the capture callback runs into but must not log itself (logging takes a lock and
// writes a file): counted on the audio thread, logged by the main thread.
struct CallbackEvents {
    std::atomic<std::uint64_t> inputOverflows{0};
    std::atomic<std::uint64_t> inputUnderflows{0};
    std::atomic<std::uint64_t> ringOverflows{0};
};

class AudioEngine {
public:
    // Initialises PortAudio, builds the catalogue, loads the settings and starts
    // capturing. Throws when not even the first host API's defaults can be applied.
    explicit AudioEngine(std::string settingsPath);
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    void refreshDevices();
    void selectHostApi(std::int32_t row);
    void applySettings(const AudioSettings& settings);
    AudioSettings currentSettings() const;
    void saveSettings();

    void openStream();
    void startStream();
    void stopStream();

    // Draws the settings panel into the current ImGui window (defined with the panel).
    void drawPanel();

    // Logs what the capture callback counted since the last call. Main thread, once per
    // control-loop iteration; each kind of warning is logged once per burst and then
    // counted once a minute, so an overloaded machine is not made worse by its log.
    void reportCallbackEvents();
    CallbackEvents callbackEvents;

    std::atomic<float> level{1.0f};
    float sumSquares = 0.0f;
    std::int32_t sampleCount = 1;
    std::string settingsPath;
    std::unique_ptr<CaptureContext> capture;
    bool running = false;
    OutputRing outputRing;
    std::vector<DeviceEntry> devices;
    std::vector<HostApiEntry> hostApis;
    const std::vector<double> sampleRates{44100.0, 48000.0};
    const std::vector<std::uint32_t> bufferSizes{40, 80, 120, 160, 200};
    std::mutex mutex;
    std::int32_t deviceIndex = 0;
    std::int32_t hostApiIndex = 0;
    std::int32_t sampleRateIndex = 0;
    std::int32_t bufferSizeIndex = 2;

protected:
    // For tests: an engine with an empty catalogue that never touches PortAudio.
    struct Detached {};
    AudioEngine(std::string settingsPath, Detached);
    // The start-up load: the stored profile if the file existed, else (or when it does
    // not fit) the defaults of host API row 0.
    void loadSettings(bool fileExisted);

private:
    bool portAudioOwned = false;
    RepeatedWarning inputOverflowWarning{"Audio", "音频缓冲区1溢出, 请检查计算机是否负载过高"};
    RepeatedWarning inputUnderflowWarning{"Audio", "音频缓冲区1欠载"};
    RepeatedWarning ringOverflowWarning{"Audio", "音频缓冲区2溢出"};
};
