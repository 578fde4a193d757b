// Noticing a stream that stopped delivering, and bringing it back.
#include <algorithm>

#include <fmt/format.h>

#include "audio_engine.h"
#include "logger.h"

namespace {

const std::string tag = "Audio";

bool usableInput(const std::vector<DeviceEntry>& devices, std::int32_t index, std::int32_t hostApiType) {
    if (index < 0 || index >= static_cast<std::int32_t>(devices.size()))
        return false;
    const DeviceEntry& device = devices[static_cast<std::size_t>(index)];
    return device.hostApiType == hostApiType && device.maxInputChannels > 0;
}

std::int32_t firstRowOfType(const std::vector<HostApiEntry>& hostApis, std::int32_t type) {
    const auto row =
        std::find_if(hostApis.begin(), hostApis.end(), [&](const HostApiEntry& api) { return api.type == type; });
    return row == hostApis.end() ? -1 : static_cast<std::int32_t>(row - hostApis.begin());
}

} // namespace

std::optional<RecoveryChoice> chooseRecoveryDevice(const std::vector<HostApiEntry>& hostApis,
                                                   const std::vector<DeviceEntry>& devices,
                                                   const std::optional<AudioSettings>& stored,
                                                   std::int32_t hostApiType, std::int32_t device,
                                                   const std::string& deviceName) {
    if (stored) {
        const std::int32_t row = firstRowOfType(hostApis, stored->hostApiType);
        if (row >= 0 && usableInput(devices, stored->inputDevice, stored->hostApiType))
            return RecoveryChoice{row, stored->inputDevice, true};
    }
    const std::int32_t row = firstRowOfType(hostApis, hostApiType);
    if (row < 0)
        return std::nullopt;
    // Devices that came and went may have renumbered the others.
    if (usableInput(devices, device, hostApiType) && devices[static_cast<std::size_t>(device)].name == deviceName)
        return RecoveryChoice{row, device, false};
    for (const DeviceEntry& entry : devices)
        if (entry.name == deviceName && usableInput(devices, entry.index, hostApiType))
            return RecoveryChoice{row, entry.index, false};
    return std::nullopt;
}

struct AudioEngine::RecoveryAttempt {
    // What to look for; taken on the main thread.
    std::optional<AudioSettings> stored;
    std::int32_t hostApiType = -1;
    std::int32_t device = -1;
    std::string deviceName;
    std::int32_t sampleRateIndex = 0;
    std::int32_t bufferSizeIndex = 2;
    // What was found; on the audio-control thread.
    Catalogue catalogue;
    std::optional<RecoveryChoice> choice;
    bool started = false;
    std::string failure;
};

void AudioEngine::forgetStream() {
    streamMeantToRun = false;
    recovering = false;
}

void AudioEngine::watchFromNow() {
    if (!running)
        return;
    streamMeantToRun = true;
    stallWatch.restart(callbackEvents.calls.load(std::memory_order_relaxed), Clock::now());
}

// Only between operations: an operation under way owns the stream.
void AudioEngine::watchStream(Clock::time_point now) {
    if (!control.idle() || !streamMeantToRun)
        return;
    if (!stallWatch.stalled(callbackEvents.calls.load(std::memory_order_relaxed), now)) {
        if (recovering && stallWatch.delivering()) {
            recovering = false;
            running = true;
            const double seconds = std::chrono::duration<double>(now - silentSince).count();
            Logger::instance().info(
                tag, fmt::format("音频流已恢复, 中断 {:.1f} 秒, 尝试 {} 次", seconds, recovery.attempts()));
        }
        return;
    }
    if (!recovering) {
        recovering = true;
        running = false;
        silentSince = stallWatch.lastProgress();
        firstRecoveryFailure.clear();
        const auto silence = stallWatch.delivering() ? StallWatch::stallAfter : StallWatch::firstCallbackWithin;
        Logger::instance().warn(tag,
                                fmt::format("音频流中断: {} 秒内没有收到音频数据, 正在尝试恢复",
                                            std::chrono::duration_cast<std::chrono::seconds>(silence).count()));
        recovery.begin(now);
    }
    if (recovery.due(now)) {
        recovery.attempted(now);
        addRecoveryAttempt();
        control.advance();
    }
}

void AudioEngine::addRecoveryAttempt() {
    auto attempt = std::make_shared<RecoveryAttempt>();
    control.add({[this, attempt] {
                     attempt->stored = keptProfile;
                     attempt->hostApiType = currentSettings().hostApiType;
                     attempt->device = deviceIndex;
                     if (deviceIndex >= 0 && deviceIndex < static_cast<std::int32_t>(devices.size()))
                         attempt->deviceName = devices[static_cast<std::size_t>(deviceIndex)].name;
                     attempt->sampleRateIndex = sampleRateIndex;
                     attempt->bufferSizeIndex = bufferSizeIndex;
                 },
                 [this, attempt] { recoverOnAudioThread(*attempt); },
                 [this, attempt] { finishRecoveryAttempt(*attempt); }});
}

// Quiet: an attempt every few seconds for as long as a device stays away must not fill
// the log. The stall, the first failure and the recovery are logged.
void AudioEngine::recoverOnAudioThread(RecoveryAttempt& attempt) {
    {
        // The dead stream; with a frozen sound server this waits for libpulse's time-outs.
        PortAudioCall call("Pa_AbortStream");
        capture.reset();
    }
    attempt.catalogue = reinitialise(Report::Quiet);
    attempt.choice = chooseRecoveryDevice(attempt.catalogue.hostApis, attempt.catalogue.devices, attempt.stored,
                                          attempt.hostApiType, attempt.device, attempt.deviceName);
    if (!attempt.choice) {
        attempt.failure = "找不到音频设备 " + attempt.deviceName;
        return;
    }
    const RecoveryChoice& choice = *attempt.choice;
    if (choice.storedProfile) {
        attempt.sampleRateIndex = attempt.stored->sampleRate == 44100.0 ? 0 : 1;
        const auto size =
            std::lower_bound(bufferSizes.begin(), bufferSizes.end(), attempt.stored->framesPerBuffer);
        attempt.bufferSizeIndex = static_cast<std::int32_t>(std::min<std::ptrdiff_t>(
            size - bufferSizes.begin(), static_cast<std::ptrdiff_t>(bufferSizes.size()) - 1));
    }
    const AudioSettings settings = captureSettings(
        sampleRates[static_cast<std::size_t>(attempt.sampleRateIndex)],
        bufferSizes[static_cast<std::size_t>(attempt.bufferSizeIndex)],
        attempt.catalogue.hostApis[static_cast<std::size_t>(choice.hostApiRow)].type, choice.device);
    std::unique_ptr<CaptureContext> opened;
    try {
        std::lock_guard<std::mutex> guard(mutex);
        opened = openContext(settings);
    } catch (const std::exception& e) {
        attempt.failure = e.what();
        return;
    }
    PaError started;
    {
        PortAudioCall call("Pa_StartStream");
        started = Pa_StartStream(opened->stream);
    }
    if (started != paNoError) {
        attempt.failure = Pa_GetErrorText(started);
        PortAudioCall call("Pa_CloseStream");
        opened.reset();
        return;
    }
    capture = std::move(opened);
    attempt.started = true;
    // A profile kept because its device was missing stays in the file until it is taken.
    if (!attempt.stored || choice.storedProfile)
        writeSettingsFile(settingsPath, settings);
}

void AudioEngine::finishRecoveryAttempt(RecoveryAttempt& attempt) {
    adopt(std::move(attempt.catalogue));
    if (!attempt.started) {
        if (firstRecoveryFailure.empty()) {
            firstRecoveryFailure = attempt.failure;
            Logger::instance().warn(tag, "音频流恢复失败, " + attempt.failure);
        }
        return;
    }
    hostApiIndex = attempt.choice->hostApiRow;
    deviceIndex = attempt.choice->device;
    sampleRateIndex = attempt.sampleRateIndex;
    bufferSizeIndex = attempt.bufferSizeIndex;
    if (attempt.choice->storedProfile)
        keptProfile.reset();
    // Counts as recovered once its callbacks come.
    stallWatch.restart(callbackEvents.calls.load(std::memory_order_relaxed), Clock::now());
}
