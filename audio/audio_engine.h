#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio_control.h"
#include "audio_settings.h"
#include "capture_shared.h"
#include "catalogue.h"
#include "repeated_warning.h"
#include "stream_recovery.h"

struct CaptureContext;

// The capture engine: the catalogue, the user's selection, and the life of the one
// capture stream (capture_stream.h), sequenced on its audio-control thread.
class AudioEngine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration startUpLimit = std::chrono::seconds(15);

    // Initialises PortAudio, builds the catalogue, loads the settings and starts
    // capturing. Throws when not even the first host API's defaults can be applied. When
    // PortAudio does not answer within startUpLimit, it logs why and ends the process
    // with status 1.
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

    // The parent's counterparts of the settings window. choose() checks a choice
    // against the catalogue and applies it as the window would (stop, start, save); it
    // returns the reason when it refuses one, and then nothing has changed.
    // refreshKeepingSelection() lists the devices afresh, like the window's refresh, but
    // keeps the device that was chosen (by index while that row keeps its name, else by
    // name) with its rate and size; only when it is gone does the host API's default
    // take its place.
    std::optional<std::string> choose(const SelectionChoice& choice);
    void refreshKeepingSelection();
    // Called on the main thread whenever capture starts delivering (a start, a stream
    // that came back) or stops delivering (the stall watch).
    std::function<void(bool running)> streamChanged;

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

    // What a stream of this engine writes (capture_stream.h).
    CaptureTargets captureTargets() {
        return {level, sumSquares, sampleCount, outputRing, callbackEvents, running};
    }

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
    const std::vector<double> sampleRates = offeredSampleRates;
    const std::vector<std::uint32_t> bufferSizes = offeredBufferSizes;
    std::mutex mutex;
    std::int32_t deviceIndex = 0;
    std::int32_t hostApiIndex = 0;
    std::int32_t sampleRateIndex = 0;
    std::int32_t bufferSizeIndex = 2;
    CallbackEvents callbackEvents;

protected:
    // For tests: an engine with an empty catalogue that never initialises PortAudio.
    struct Detached {};
    AudioEngine(std::string settingsPath, Detached);
    // The start-up load: the stored profile if the file existed, else (or when it does
    // not fit) the defaults of host API row 0.
    void loadSettings(bool fileExisted);

private:
    struct StartOrder {
        AudioSettings settings;
        bool save = true;
    };

    // Main thread.
    CatalogueView catalogue() const { return {hostApis, devices}; }
    Selection selection() const { return {hostApiIndex, deviceIndex, sampleRateIndex, bufferSizeIndex}; }
    void select(const Selection& chosen);
    std::string selectedDeviceName() const;
    void addRefresh();
    void addStart(bool chosenInWindow);
    void reselect(const std::string& deviceName, std::int32_t hostApiType);
    void notifyStream(bool delivering);
    void finishStartUpStep();
    void selectHostApiNow(std::int32_t row);
    void adopt(DeviceCatalogue&& catalogue);
    void watchStream(Clock::time_point now);
    void watchFromNow(double sampleRate);
    void forgetStream();
    void addRecoveryAttempt();
    void finishRecoveryAttempt(RecoveryAttempt& attempt);
    std::uint64_t callbackCount() const { return callbackEvents.calls.load(std::memory_order_relaxed); }
    std::uint64_t frameCount() const { return callbackEvents.frames.load(std::memory_order_relaxed); }

    // Audio-control thread.
    DeviceCatalogue refreshOnAudioThread();
    DeviceCatalogue listOnAudioThread(ListingReport report);
    void openOnAudioThread(const AudioSettings& settings);
    void startOnAudioThread(const StartOrder& order);
    void endOnAudioThread(bool forRefresh);

    bool portAudioOwned = false;
    // A stored profile that names a device or host API missing at start-up. The file
    // keeps it until a choice is made in the window; recovery takes it when it appears.
    std::optional<AudioSettings> keptProfile;
    StreamRecovery recovery;
    DeliveryWatch deliveryWatch;
    Clock::time_point lastWatched{};
    RepeatedWarning inputOverflowWarning{"Audio", "音频缓冲区1溢出, 请检查计算机是否负载过高"};
    RepeatedWarning inputUnderflowWarning{"Audio", "音频缓冲区1欠载"};
    RepeatedWarning ringOverflowWarning{"Audio", "音频缓冲区2溢出"};
    // Last: its thread is joined before the members its jobs use are released.
    AudioControl control;
};

// The answers to "devices" and to an applied "select" (remote_selection.h) for this
// engine's catalogue and selection.
std::string devicesLine(const AudioEngine& engine);
std::string selectedLine(const AudioEngine& engine);
