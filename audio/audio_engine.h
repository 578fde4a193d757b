#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <portaudio.h>
#include <samplerate.h>

#include "audio_control.h"
#include "audio_settings.h"
#include "repeated_warning.h"
#include "stream_watch.h"

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

// The record a capture stream is opened with and the settings file stores: the given
// rate, buffer size, host-API type and device, one channel of float32 at 0.12 s latency.
AudioSettings captureSettings(double sampleRate, std::uint32_t framesPerBuffer, std::int32_t hostApiType,
                              std::int32_t inputDevice);

// Writes the record to the settings file, unless the file holds that text already.
// Failures are logged. Any thread.
void writeSettingsFile(const std::string& settingsPath, const AudioSettings& settings);

// Where a stream that stopped delivering is started again, in a freshly listed catalogue:
// a profile kept from the settings file first (by its index, as at start-up); else the
// device that was running, at its index if that row still has its name, else the first
// input device of that name and host-API type. Nothing when neither is there.
struct RecoveryChoice {
    std::int32_t hostApiRow = -1;
    std::int32_t device = -1;
    bool storedProfile = false;
};
std::optional<RecoveryChoice> chooseRecoveryDevice(const std::vector<HostApiEntry>& hostApis,
                                                   const std::vector<DeviceEntry>& devices,
                                                   const std::optional<AudioSettings>& stored,
                                                   std::int32_t hostApiType, std::int32_t device,
                                                   const std::string& deviceName);

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
    explicit CaptureContext(AudioEngine* engine, const AudioSettings& settings);
    ~CaptureContext(); // aborts and closes the stream, frees the converter; never throws
    CaptureContext(const CaptureContext&) = delete;
    CaptureContext& operator=(const CaptureContext&) = delete;

    AudioEngine* engine;
    PaStream* stream = nullptr;
    AudioSettings settings;
    SRC_STATE* resampler = nullptr; // null only when libsamplerate could not make one
    SRC_DATA conversion{};
    float resampled[2048] = {};
};

int captureCallback(const void* input, void* output, unsigned long frameCount,
                    const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags, void* userData);

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
// writes a file): counted on the audio thread, logged by the main thread. calls counts
// every callback; it is how the engine notices a stream that stopped delivering.
struct CallbackEvents {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> inputOverflows{0};
    std::atomic<std::uint64_t> inputUnderflows{0};
    std::atomic<std::uint64_t> ringOverflows{0};
};

// PortAudio did not return from its initialisation or from the first start of a stream
// within the start-up limit: the process cannot start, and cannot wait for PortAudio to
// end either. what() names the call.
class PaTimeout : public std::runtime_error {
public:
    explicit PaTimeout(const std::string& call) : std::runtime_error(call) {}
};

class AudioEngine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration startUpLimit = std::chrono::seconds(15);

    // Initialises PortAudio, builds the catalogue, loads the settings and starts
    // capturing. Throws when not even the first host API's defaults can be applied, and
    // PaTimeout when PortAudio does not answer within startUpLimit.
    explicit AudioEngine(std::string settingsPath);
    // Terminates PortAudio, waiting for it as long as it takes.
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Everything below is for the main thread. The catalogue and the selection live here;
    // every PortAudio call is made on the engine's audio-control thread, in call order.
    // An operation that needs PortAudio waits for it at most waitLimit and otherwise
    // returns with its work under way; poll() finishes it later, and operations called
    // meanwhile (a selectHostApi() too) take effect after it, in order.
    std::chrono::milliseconds waitLimit{100};

    void refreshDevices();
    void selectHostApi(std::int32_t row);
    void applySettings(const AudioSettings& settings);
    AudioSettings currentSettings() const;
    // Writes the present selection to the settings file, unless the file holds it already.
    void saveSettings();

    void openStream();
    void startStream();
    void stopStream();

    // Control loop, once per iteration: finishes what the audio-control thread has done,
    // logs what the capture callback counted, and watches a stream that should run. When
    // its callbacks stop for a second, the stream counts as stopped (running turns false,
    // one WARN) and is brought back: catalogue refreshed and the saved selection started
    // again every 2 s, after 30 s every 10 s, until audio flows again (one INFO).
    void poll();
    // True when no operation is waiting or under way.
    bool idle() const { return control.idle(); }
    // Finishes what is waiting or under way; false when that takes longer than the limit.
    bool waitUntilIdle(Clock::duration limit);

    // Draws the settings panel into the current ImGui window (defined with the panel).
    void drawPanel();

    // Logs what the capture callback counted since the last call. Each kind of warning is
    // logged once per burst and then counted once a minute, so an overloaded machine is
    // not made worse by its log.
    void reportCallbackEvents();
    CallbackEvents callbackEvents;

    std::atomic<float> level{1.0f};
    float sumSquares = 0.0f;
    std::int32_t sampleCount = 1;
    std::string settingsPath;
    // Made, started, stopped and closed on the audio-control thread; read it elsewhere
    // only while the engine is idle.
    std::unique_ptr<CaptureContext> capture;
    // True while capture is delivering, as far as the engine knows: set when a stream
    // starts, cleared when it is stopped or when its callbacks stop coming.
    std::atomic<bool> running{false};
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
    // For tests: an engine with an empty catalogue that never initialises PortAudio.
    struct Detached {};
    AudioEngine(std::string settingsPath, Detached);
    // The start-up load: the stored profile if the file existed, else (or when it does
    // not fit) the defaults of host API row 0.
    void loadSettings(bool fileExisted);

private:
    struct Catalogue {
        std::vector<HostApiEntry> hostApis;
        std::vector<DeviceEntry> devices;
    };
    struct StartOrder {
        AudioSettings settings;
        bool save = true;
    };
    struct RecoveryAttempt;
    enum class Report { Logged, Quiet };

    // Main thread.
    void addRefresh();
    void addStart(bool chosenInWindow);
    void finishStartUpStep();
    void selectHostApiNow(std::int32_t row);
    void adopt(Catalogue&& catalogue);
    void watchStream(Clock::time_point now);
    void watchFromNow();
    void forgetStream();
    void addRecoveryAttempt();
    void finishRecoveryAttempt(RecoveryAttempt& attempt);

    // Audio-control thread.
    Catalogue refreshOnAudioThread();
    Catalogue reinitialise(Report report);
    void openOnAudioThread(const AudioSettings& settings);
    void startOnAudioThread(const StartOrder& order);
    void stopOnAudioThread();
    std::unique_ptr<CaptureContext> openContext(const AudioSettings& settings);
    void recoverOnAudioThread(RecoveryAttempt& attempt);

    bool portAudioOwned = false;
    // A stored profile that names a device or host API missing at start-up. The file
    // keeps it until a choice is made in the window; recovery takes it when it appears.
    std::optional<AudioSettings> keptProfile;
    bool streamMeantToRun = false;
    bool recovering = false;
    Clock::time_point silentSince{};
    std::string firstRecoveryFailure;
    StallWatch stallWatch;
    RecoverySchedule recovery;
    RepeatedWarning inputOverflowWarning{"Audio", "音频缓冲区1溢出, 请检查计算机是否负载过高"};
    RepeatedWarning inputUnderflowWarning{"Audio", "音频缓冲区1欠载"};
    RepeatedWarning ringOverflowWarning{"Audio", "音频缓冲区2溢出"};
    // Last: its thread is joined before the members its jobs use are released.
    AudioControl control;
};
