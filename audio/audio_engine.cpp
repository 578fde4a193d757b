#include "audio_engine.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "capture_stream.h"
#include "logger.h"
#include "process_platform.h"

namespace {

const std::string tag = "Audio";

void logInfo(const std::string& message) { Logger::instance().info(tag, message); }
void logWarn(const std::string& message) { Logger::instance().warn(tag, message); }
void logError(const std::string& message) { Logger::instance().error(tag, message); }

} // namespace

AudioEngine::AudioEngine(std::string settingsPath) : settingsPath(std::move(settingsPath)) {
    logInfo("初始化音频引擎, 配置文件地址\"" + this->settingsPath + "\"");
    std::error_code ec;
    const bool fileExisted = std::filesystem::exists(pathFromUtf8(this->settingsPath), ec);
    logInfo(fileExisted ? "配置文件已存在" : "配置文件尚不存在");
    addRefresh();
    finishStartUpStep();
    try {
        loadSettings(fileExisted);
    } catch (...) {
        // The destructor does not run for a half-built engine; PortAudio is ours to end.
        control.add({{},
                     [this] {
                         PortAudioCall call("Pa_Terminate");
                         Pa_Terminate();
                     },
                     {}});
        finishStartUpStep();
        throw;
    }
    logInfo("准备启动音频流");
    addStart(false);
    finishStartUpStep();
}

AudioEngine::AudioEngine(std::string settingsPath, Detached) : settingsPath(std::move(settingsPath)) {}

AudioEngine::~AudioEngine() {
    // Ends every stream and its callback before the members they use are released. What
    // was asked for and has not begun is of no use any more.
    control.dropPending();
    control.add({{},
                 [this] {
                     PortAudioCall call("Pa_Terminate");
                     if (portAudioOwned)
                         Pa_Terminate();
                 },
                 {}});
    control.finishAll();
    reportCallbackEvents();
}

// A start-up that PortAudio does not let finish cannot be waited for, nor undone: the
// audio-control thread is still inside PortAudio and works on this engine, and a stream
// it has opened cannot be closed while its start hangs. So nothing of the engine may be
// released: the process ends here, before it announces its port, without unwinding.
void AudioEngine::finishStartUpStep() {
    if (control.finishWithin(startUpLimit))
        return;
    const char* call = PortAudioCall::inProgress();
    logError("音频系统 15 秒没有响应 (" + std::string(call ? call : "PortAudio") + "), 无法启动");
    Logger::instance().flush();
    std::_Exit(1);
}

bool AudioEngine::waitUntilIdle(Clock::duration limit) { return control.finishWithin(limit); }

void AudioEngine::reportCallbackEvents() {
    // Overflow before underflow, as the callback saw them within one buffer.
    inputOverflowWarning.report(callbackEvents.inputOverflows.exchange(0, std::memory_order_relaxed));
    inputUnderflowWarning.report(callbackEvents.inputUnderflows.exchange(0, std::memory_order_relaxed));
    ringOverflowWarning.report(callbackEvents.ringOverflows.exchange(0, std::memory_order_relaxed));
}

void AudioEngine::poll() {
    control.advance();
    reportCallbackEvents();
    watchStream(Clock::now());
}

void AudioEngine::loadSettings(bool fileExisted) {
    if (fileExisted) {
        std::optional<StoredSettings> stored;
        try {
            stored = readSettingsFile(settingsPath);
            applySettings(stored->settings);
            return;
        } catch (const std::exception&) {
            logError("无法加载配置文件");
        }
        // A sound profile whose device or host API is not here now (an unplugged
        // microphone): the file keeps it rather than the defaults used for this run. A
        // file that holds no settings object is no profile; it gets the defaults.
        if (stored && stored->isObject) {
            keptProfile = stored->settings;
            logInfo("配置文件中的设定暂时保留, 直到在窗口中另选设备");
        }
    }
    selectHostApiNow(0);
    applySettings(currentSettings());
}

void AudioEngine::refreshDevices() {
    addRefresh();
    control.finishWithin(waitLimit);
}

void AudioEngine::addRefresh() {
    auto found = std::make_shared<DeviceCatalogue>();
    control.add({[this] { forgetStream(); }, [this, found] { *found = refreshOnAudioThread(); },
                 [this, found] { adopt(std::move(*found)); }});
}

DeviceCatalogue AudioEngine::refreshOnAudioThread() {
    if (capture) {
        PaError stopped;
        {
            PortAudioCall call("Pa_StopStream");
            stopped = Pa_StopStream(capture->stream);
        }
        if (stopped == paNoError) {
            running = false;
            logInfo("音频流已停止");
        } else {
            // A stream whose start was refused is already stopped; PortAudio says so
            // here. It is closed all the same so that the refresh can go on.
            logError("音频流停止失败, " + std::string(Pa_GetErrorText(stopped)));
            running = false;
        }
        PortAudioCall call("Pa_CloseStream");
        capture.reset();
    }
    return listOnAudioThread(ListingReport::Logged);
}

DeviceCatalogue AudioEngine::listOnAudioThread(ListingReport report) {
    DeviceCatalogue found = listCatalogue(report);
    portAudioOwned = true;
    return found;
}

void AudioEngine::adopt(DeviceCatalogue&& catalogue) {
    hostApis = std::move(catalogue.hostApis);
    devices = std::move(catalogue.devices);
}

void AudioEngine::selectHostApi(std::int32_t row) {
    // After a refresh that is still under way it must see the new catalogue.
    control.add({[this, row] { selectHostApiNow(row); }, {}, {}});
    control.advance();
}

void AudioEngine::selectHostApiNow(std::int32_t row) {
    logInfo("加载缺省设定");
    if (hostApis.empty()) {
        logWarn("找不到可用API");
        return;
    }
    if (row < 0 || row >= static_cast<std::int32_t>(hostApis.size()))
        row = 0;
    hostApiIndex = row;
    deviceIndex = hostApis[static_cast<std::size_t>(row)].defaultInputDevice;
    sampleRateIndex = 0;
    bufferSizeIndex = 2;
    logInfo("已配置为使用" + hostApis[static_cast<std::size_t>(row)].name);
}

void AudioEngine::applySettings(const AudioSettings& settings) {
    logInfo("加载音频设定");
    sampleRateIndex = settings.sampleRate == 44100.0 ? 0 : 1;
    logInfo(sampleRateIndex == 0 ? "SR=44100Hz" : "SR=48000Hz");

    const std::int32_t apiRow = hostApiRowOfType(hostApis, settings.hostApiType);
    if (apiRow < 0) {
        logError("找不到满足条件的API");
        throw std::runtime_error("Invalid Profile");
    }
    hostApiIndex = apiRow;
    logInfo("API=" + hostApis[static_cast<std::size_t>(apiRow)].name);

    deviceIndex = settings.inputDevice;
    const bool known =
        settings.inputDevice >= 0 && settings.inputDevice < static_cast<std::int32_t>(devices.size());
    const DeviceEntry* device = known ? &devices[static_cast<std::size_t>(settings.inputDevice)] : nullptr;
    if (!device || device->hostApiType != settings.hostApiType || device->maxInputChannels <= 0) {
        logError("找不到适合的音频设备#" + std::to_string(settings.inputDevice));
        throw std::runtime_error("Invalid Profile");
    }
    logInfo("Device=" + device->name);

    const auto size = std::lower_bound(bufferSizes.begin(), bufferSizes.end(), settings.framesPerBuffer);
    bufferSizeIndex = size == bufferSizes.end() ? static_cast<std::int32_t>(bufferSizes.size()) - 1
                                                : static_cast<std::int32_t>(size - bufferSizes.begin());
    logInfo("BufferSize=" + std::to_string(bufferSizes[static_cast<std::size_t>(bufferSizeIndex)]));
}

AudioSettings AudioEngine::currentSettings() const {
    const bool apiKnown = hostApiIndex >= 0 && hostApiIndex < static_cast<std::int32_t>(hostApis.size());
    // No PortAudio host API has type -1, so applying this record fails as it should.
    return captureSettings(sampleRates[static_cast<std::size_t>(sampleRateIndex)],
                           bufferSizes[static_cast<std::size_t>(bufferSizeIndex)],
                           apiKnown ? hostApis[static_cast<std::size_t>(hostApiIndex)].type : -1, deviceIndex);
}

void AudioEngine::saveSettings() { writeSettingsFile(settingsPath, currentSettings()); }

void AudioEngine::openStream() {
    auto settings = std::make_shared<AudioSettings>();
    control.add({[this, settings] {
                     forgetStream();
                     *settings = currentSettings();
                 },
                 [this, settings] { openOnAudioThread(*settings); },
                 {}});
    control.finishWithin(waitLimit);
}

void AudioEngine::openOnAudioThread(const AudioSettings& settings) {
    try {
        std::lock_guard<std::mutex> guard(mutex);
        std::unique_ptr<CaptureContext> opened = openCaptureStream(this, settings);
        PortAudioCall call("Pa_CloseStream");
        capture = std::move(opened);
    } catch (const std::exception& e) {
        logInfo(std::string("音频设备打开失败, ") + e.what());
    }
}

void AudioEngine::startStream() {
    addStart(true);
    control.finishWithin(waitLimit);
}

// A start that follows a choice in the window saves it, even over a profile that was
// kept because its device was missing at start-up.
void AudioEngine::addStart(bool chosenInWindow) {
    auto order = std::make_shared<StartOrder>();
    control.add({[this, order, chosenInWindow] {
                     forgetStream();
                     if (chosenInWindow)
                         keptProfile.reset();
                     order->settings = currentSettings();
                     order->save = !keptProfile;
                 },
                 [this, order] { startOnAudioThread(*order); }, [this] { watchFromNow(); }});
}

void AudioEngine::startOnAudioThread(const StartOrder& order) {
    if (!capture) {
        openOnAudioThread(order.settings);
        if (capture)
            logInfo("音频设备已打开");
    }
    if (capture) {
        PaError started;
        {
            PortAudioCall call("Pa_StartStream");
            started = Pa_StartStream(capture->stream);
        }
        if (started != paNoError) {
            logError(std::string("音频流启动失败, ") + Pa_GetErrorText(started));
            return;
        }
        running = true;
        logInfo("音频流已启动");
    }
    if (order.save)
        writeSettingsFile(settingsPath, order.settings);
}

std::optional<std::string> AudioEngine::choose(const SelectionChoice& choice) {
    const std::int32_t row = choice.hostApiType ? hostApiRowOfType(hostApis, *choice.hostApiType) : hostApiIndex;
    if (row < 0 || row >= static_cast<std::int32_t>(hostApis.size()))
        return "找不到满足条件的API";
    std::int32_t device = deviceIndex;
    if (choice.inputDevice)
        device = *choice.inputDevice;
    else if (row != hostApiIndex)
        device = hostApis[static_cast<std::size_t>(row)].defaultInputDevice; // what the window picks
    const bool input = device >= 0 && device < static_cast<std::int32_t>(devices.size()) &&
                       devices[static_cast<std::size_t>(device)].hostApi == row &&
                       devices[static_cast<std::size_t>(device)].maxInputChannels > 0;
    if (!input)
        return "找不到适合的音频设备#" + std::to_string(device);
    std::int32_t rate = sampleRateIndex;
    if (choice.sampleRate) {
        const auto found = std::find(sampleRates.begin(), sampleRates.end(), *choice.sampleRate);
        if (found == sampleRates.end())
            return fmt::format("不支持的采样率: {}", *choice.sampleRate);
        rate = static_cast<std::int32_t>(found - sampleRates.begin());
    }
    std::int32_t size = bufferSizeIndex;
    if (choice.framesPerBuffer) {
        const auto found = std::find(bufferSizes.begin(), bufferSizes.end(), *choice.framesPerBuffer);
        if (found == bufferSizes.end())
            return "不支持的缓冲区长度: " + std::to_string(*choice.framesPerBuffer);
        size = static_cast<std::int32_t>(found - bufferSizes.begin());
    }
    hostApiIndex = row;
    deviceIndex = device;
    sampleRateIndex = rate;
    bufferSizeIndex = size;
    logInfo("已按父进程的选择配置为使用" + hostApis[static_cast<std::size_t>(row)].name + ", " +
            devices[static_cast<std::size_t>(device)].name);
    stopStream();
    startStream();
    return std::nullopt;
}

void AudioEngine::refreshKeepingSelection() {
    struct Chosen {
        std::string name;
        std::int32_t hostApiType = -1;
    };
    auto chosen = std::make_shared<Chosen>();
    control.add({[this, chosen] {
                     if (deviceIndex >= 0 && deviceIndex < static_cast<std::int32_t>(devices.size()))
                         chosen->name = devices[static_cast<std::size_t>(deviceIndex)].name;
                     chosen->hostApiType = currentSettings().hostApiType;
                 },
                 {},
                 {}});
    // Aborted rather than stopped: nothing it still buffers is wanted, and stopping a
    // capture stream can wait seconds for the device.
    control.add({[this] { forgetStream(); }, [this] { stopOnAudioThread(); }, {}});
    addRefresh();
    control.add({[this, chosen] { reselect(chosen->name, chosen->hostApiType); }, {}, {}});
    addStart(false);
    control.finishWithin(waitLimit);
}

void AudioEngine::reselect(const std::string& deviceName, std::int32_t hostApiType) {
    const std::optional<RecoveryChoice> same =
        chooseRecoveryDevice(hostApis, devices, std::nullopt, hostApiType, deviceIndex, deviceName);
    if (same) {
        hostApiIndex = same->hostApiRow;
        deviceIndex = same->device;
        return;
    }
    const std::int32_t row = hostApiRowOfType(hostApis, hostApiType);
    if (row < 0) {
        selectHostApiNow(0);
        return;
    }
    hostApiIndex = row;
    deviceIndex = hostApis[static_cast<std::size_t>(row)].defaultInputDevice;
}

void AudioEngine::stopStream() {
    control.add({[this] { forgetStream(); }, [this] { stopOnAudioThread(); }, {}});
    control.finishWithin(waitLimit);
}

void AudioEngine::stopOnAudioThread() {
    if (!capture)
        return;
    PaError aborted;
    {
        PortAudioCall call("Pa_AbortStream");
        aborted = Pa_AbortStream(capture->stream);
    }
    if (aborted != paNoError) {
        logError(std::string("音频流停止失败, ") + Pa_GetErrorText(aborted));
        return;
    }
    running = false;
    {
        PortAudioCall call("Pa_CloseStream");
        capture.reset();
    }
    logInfo("音频流已停止");
}

void AudioEngine::forgetStream() { recovery.forget(); }

void AudioEngine::notifyStream(bool delivering) {
    if (streamChanged)
        streamChanged(delivering);
}

void AudioEngine::watchFromNow() {
    if (!running)
        return;
    recovery.watchFrom(callbackCount(), Clock::now());
    notifyStream(true);
}

// Only between operations: an operation under way owns the stream.
void AudioEngine::watchStream(Clock::time_point now) {
    if (!control.idle())
        return;
    const bool wasRunning = running;
    const bool attemptDue = recovery.attemptDue(callbackCount(), now, running);
    if (running != wasRunning)
        notifyStream(running);
    if (!attemptDue)
        return;
    addRecoveryAttempt();
    control.advance();
}

void AudioEngine::addRecoveryAttempt() {
    auto attempt = std::make_shared<RecoveryAttempt>();
    control.add({[this, attempt] {
                     attempt->stored = keptProfile;
                     attempt->hostApiType = currentSettings().hostApiType;
                     attempt->device = deviceIndex;
                     if (deviceIndex >= 0 && deviceIndex < static_cast<std::int32_t>(devices.size()))
                         attempt->deviceName = devices[static_cast<std::size_t>(deviceIndex)].name;
                     attempt->sampleRates = sampleRates;
                     attempt->bufferSizes = bufferSizes;
                     attempt->sampleRateIndex = sampleRateIndex;
                     attempt->bufferSizeIndex = bufferSizeIndex;
                 },
                 [this, attempt] {
                     recoverStream(*attempt, capture, this, mutex, settingsPath);
                     portAudioOwned = true;
                 },
                 [this, attempt] { finishRecoveryAttempt(*attempt); }});
}

void AudioEngine::finishRecoveryAttempt(RecoveryAttempt& attempt) {
    adopt(std::move(attempt.catalogue));
    recovery.attemptFinished(attempt, callbackCount(), Clock::now());
    if (!attempt.started)
        return;
    hostApiIndex = attempt.choice->hostApiRow;
    deviceIndex = attempt.choice->device;
    sampleRateIndex = attempt.sampleRateIndex;
    bufferSizeIndex = attempt.bufferSizeIndex;
    if (attempt.choice->storedProfile)
        keptProfile.reset();
}
