#include "audio_engine.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "capture_stream.h"
#include "logger.h"
#include "process_platform.h"
#include "remote_selection.h"

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
        control.add({{}, [] { terminatePortAudio(); }, {}});
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
                     if (portAudioOwned)
                         terminatePortAudio();
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
    endOnAudioThread(true);
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

void AudioEngine::select(const Selection& chosen) {
    hostApiIndex = chosen.hostApiRow;
    deviceIndex = chosen.device;
    sampleRateIndex = chosen.rateIndex;
    bufferSizeIndex = chosen.sizeIndex;
}

std::string AudioEngine::selectedDeviceName() const {
    if (deviceIndex < 0 || deviceIndex >= static_cast<std::int32_t>(devices.size()))
        return {};
    return devices[static_cast<std::size_t>(deviceIndex)].name;
}

void AudioEngine::applySettings(const AudioSettings& settings) {
    logInfo("加载音频设定");
    const Resolution resolved = resolve(catalogue(), selection(), settings);
    // A refused profile leaves in place what was resolved before the refusal.
    select(resolved.selection);
    logInfo(sampleRateIndex == 0 ? "SR=44100Hz" : "SR=48000Hz");
    if (resolved.refused == Resolution::Refused::hostApi) {
        logError(resolved.reason);
        throw std::runtime_error("Invalid Profile");
    }
    logInfo("API=" + hostApis[static_cast<std::size_t>(hostApiIndex)].name);
    if (resolved.refused == Resolution::Refused::device) {
        logError(resolved.reason);
        throw std::runtime_error("Invalid Profile");
    }
    logInfo("Device=" + devices[static_cast<std::size_t>(deviceIndex)].name);
    logInfo("BufferSize=" + std::to_string(bufferSizes[static_cast<std::size_t>(bufferSizeIndex)]));
}

AudioSettings AudioEngine::currentSettings() const { return selectedSettings(catalogue(), selection()); }

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
        std::unique_ptr<CaptureContext> opened = openCaptureStream(captureTargets(), settings);
        capture = std::move(opened); // closes the one it held
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
                 [this, order] { startOnAudioThread(*order); },
                 [this, order] { watchFromNow(order->settings.sampleRate); }});
}

void AudioEngine::startOnAudioThread(const StartOrder& order) {
    if (!capture) {
        openOnAudioThread(order.settings);
        if (capture)
            logInfo("音频设备已打开");
    }
    if (capture) {
        if (const std::optional<std::string> failure = capture->start()) {
            logError("音频流启动失败, " + *failure);
            return;
        }
        running = true;
        logInfo("音频流已启动");
    }
    if (order.save)
        writeSettingsFile(settingsPath, order.settings);
}

std::optional<std::string> AudioEngine::choose(const SelectionChoice& choice) {
    const Resolution resolved = resolve(catalogue(), selection(), choice);
    if (resolved.refused != Resolution::Refused::nothing)
        return resolved.reason;
    select(resolved.selection);
    logInfo("已按父进程的选择配置为使用" + hostApis[static_cast<std::size_t>(hostApiIndex)].name + ", " +
            devices[static_cast<std::size_t>(deviceIndex)].name);
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
                     chosen->name = selectedDeviceName();
                     chosen->hostApiType = currentSettings().hostApiType;
                 },
                 {},
                 {}});
    // Aborted rather than stopped: nothing it still buffers is wanted, and stopping a
    // capture stream can wait seconds for the device.
    control.add({[this] { forgetStream(); }, [this] { endOnAudioThread(false); }, {}});
    addRefresh();
    control.add({[this, chosen] { reselect(chosen->name, chosen->hostApiType); }, {}, {}});
    addStart(false);
    control.finishWithin(waitLimit);
}

void AudioEngine::reselect(const std::string& deviceName, std::int32_t hostApiType) {
    if (const std::optional<Selection> same = findAgain(catalogue(), selection(), hostApiType, deviceName)) {
        select(*same);
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
    control.add({[this] { forgetStream(); }, [this] { endOnAudioThread(false); }, {}});
    control.finishWithin(waitLimit);
}

// A stop or a choice aborts: nothing the stream still buffers is wanted, and stopping a
// capture stream can wait seconds for the device; a stream PortAudio cannot end is kept.
// A refresh stops it, and closes it even when that is refused (a stream whose start was
// refused is already stopped; PortAudio says so), so that the refresh can go on.
void AudioEngine::endOnAudioThread(bool forRefresh) {
    if (!capture)
        return;
    const std::optional<std::string> failure =
        capture->end(forRefresh ? CaptureContext::End::stop : CaptureContext::End::abort);
    if (failure) {
        logError("音频流停止失败, " + *failure);
        if (!forRefresh)
            return;
        running = false;
    }
    capture.reset();
    if (!failure)
        logInfo("音频流已停止");
}

void AudioEngine::forgetStream() {
    recovery.forget();
    deliveryWatch.stop();
}

void AudioEngine::notifyStream(bool delivering) {
    if (streamChanged)
        streamChanged(delivering);
}

void AudioEngine::watchFromNow(double sampleRate) {
    if (!running)
        return;
    recovery.watchFrom(callbackCount(), Clock::now());
    deliveryWatch.start(sampleRate, frameCount());
    notifyStream(true);
}

// Only between operations: an operation under way owns the stream.
void AudioEngine::watchStream(Clock::time_point now) {
    const bool watcherWasAway = now - lastWatched >= StallWatch::stallAfter;
    lastWatched = now;
    if (!control.idle())
        return;
    // A process stopped as a whole (SIGSTOP, a machine that stalled) missed the callbacks
    // because it saw nothing at all; a restart now would throw away what the stream has
    // queued meanwhile.
    if (watcherWasAway)
        recovery.watcherWasAway(now);
    // Input the sound server dropped before it reached the callback is the same loss as
    // the one PortAudio reports, and is logged the same way.
    if (deliveryWatch.lost(frameCount(), now))
        inputOverflowWarning.report();
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
                     attempt->running = selection();
                     attempt->hostApiType = currentSettings().hostApiType;
                     attempt->deviceName = selectedDeviceName();
                 },
                 [this, attempt] {
                     recoverStream(*attempt, capture, captureTargets(), settingsPath);
                     portAudioOwned = true;
                 },
                 [this, attempt] { finishRecoveryAttempt(*attempt); }});
}

void AudioEngine::finishRecoveryAttempt(RecoveryAttempt& attempt) {
    adopt(std::move(attempt.catalogue));
    recovery.attemptFinished(attempt, callbackCount(), Clock::now());
    if (!attempt.started)
        return;
    select(attempt.choice->selection);
    deliveryWatch.start(currentSettings().sampleRate, frameCount());
    if (attempt.choice->storedProfile)
        keptProfile.reset();
}

std::string devicesLine(const AudioEngine& engine) {
    return devicesLine({engine.hostApis, engine.devices}, engine.currentSettings(), engine.running);
}

std::string selectedLine(const AudioEngine& engine) {
    return selectedLine(engine.currentSettings(), engine.running);
}
