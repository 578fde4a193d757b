#include "audio_engine.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "library_messages.h"
#include "logger.h"
#include "process_platform.h"
#include "replace_file.h"
#include "ring_buffer.h"

namespace {

const std::string tag = "Audio";

void logInfo(const std::string& message) { Logger::instance().info(tag, message); }
void logWarn(const std::string& message) { Logger::instance().warn(tag, message); }
void logError(const std::string& message) { Logger::instance().error(tag, message); }

// True when the file already holds exactly this text. Only a regular file of a
// settings file's size is read: a FIFO or a device must not be read from.
bool fileHolds(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || std::filesystem::file_size(path, ec) > 65536 || ec)
        return false;
    // Text mode, as the file is written: CR LF on Windows reads back as LF.
    std::ifstream file(path);
    const std::string held((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return !file.bad() && held == text;
}

bool hasInputDevice(const std::vector<DeviceEntry>& devices) {
    return std::any_of(devices.begin(), devices.end(),
                       [](const DeviceEntry& d) { return d.maxInputChannels > 0; });
}

// The sound libraries' probing chatter explains a failed initialisation; after one that
// found an input device it is only counted.
void reportLibraryMessages(const LibraryMessages& messages, bool initialisationFailed) {
    if (messages.count == 0)
        return;
    if (!initialisationFailed) {
        logInfo("已省略 " + std::to_string(messages.count) + " 条 ALSA/JACK 探测消息");
        return;
    }
    for (const std::string& message : messages.kept)
        logInfo(message);
    if (messages.count > messages.kept.size())
        logInfo("另有 " + std::to_string(messages.count - messages.kept.size()) + " 条 ALSA/JACK 探测消息未记录");
}

} // namespace

AudioSettings captureSettings(double sampleRate, std::uint32_t framesPerBuffer, std::int32_t hostApiType,
                              std::int32_t inputDevice) {
    AudioSettings settings;
    settings.sampleRate = sampleRate;
    settings.framesPerBuffer = framesPerBuffer;
    settings.hostApiType = hostApiType;
    settings.inputDevice = inputDevice;
    settings.inputChannelCount = 1;
    settings.inputSampleFormat = paFloat32;
    settings.inputSuggestedLatency = 0.12;
    settings.outputDevice = paNoDevice;
    settings.outputChannelCount = 0;
    settings.outputSampleFormat = paFloat32;
    settings.outputSuggestedLatency = 0.012;
    return settings;
}

void writeSettingsFile(const std::string& settingsPath, const AudioSettings& settings) {
    const std::string text = settings.toJson();
    if (settingsPath.empty()) {
        logError("无法更新配置文件");
        return;
    }
    const std::filesystem::path path = pathFromUtf8(settingsPath);
    // Most starts save what the file already says; that would cost a write and two syncs.
    if (fileHolds(path, text))
        return;
    if (replaceFileContents(path, text) != ReplaceResult::Done)
        logError("无法更新配置文件");
}

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

void OutputRing::set(std::shared_ptr<RingBuffer> ring) {
    // The previous ring stays referenced until the new pointer is visible.
    std::shared_ptr<RingBuffer> previous = std::exchange(owner, std::move(ring));
    published.store(owner.get(), std::memory_order_release);
}

void OutputRing::reset() {
    published.store(nullptr, std::memory_order_release);
    owner.reset();
}

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
// audio-control thread is left to itself and the process is to end.
void AudioEngine::finishStartUpStep() {
    if (control.finishWithin(startUpLimit))
        return;
    const char* call = PortAudioCall::inProgress();
    const std::string name = call ? call : "PortAudio";
    logError("音频系统 15 秒没有响应 (" + name + "), 无法启动");
    control.abandon();
    throw PaTimeout(name);
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
        AudioSettings stored;
        bool parsed = false;
        try {
            std::ifstream file(pathFromUtf8(settingsPath));
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            stored.fromJson(text);
            parsed = true;
            applySettings(stored);
            return;
        } catch (const std::exception&) {
            logError("无法加载配置文件");
        }
        // A sound profile whose device or host API is not here now (an unplugged
        // microphone): the file keeps it rather than the defaults used for this run.
        if (parsed) {
            keptProfile = stored;
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
    auto found = std::make_shared<Catalogue>();
    control.add({[this] { forgetStream(); }, [this, found] { *found = refreshOnAudioThread(); },
                 [this, found] { adopt(std::move(*found)); }});
}

AudioEngine::Catalogue AudioEngine::refreshOnAudioThread() {
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
    return reinitialise(Report::Logged);
}

// Re-initialising is what makes devices attached or removed since the last time appear
// or disappear.
AudioEngine::Catalogue AudioEngine::reinitialise(Report report) {
    {
        PortAudioCall call("Pa_Terminate");
        Pa_Terminate();
    }
    routeLibraryMessagesToLog();
    collectLibraryMessages();
    PaError initialised;
    {
        PortAudioCall call("Pa_Initialize");
        initialised = Pa_Initialize();
    }
    const LibraryMessages chatter = takeLibraryMessages();
    portAudioOwned = true;
    const bool logged = report == Report::Logged;
    if (logged)
        logInfo("设备已关闭");

    Catalogue found;
    const PaHostApiIndex apiCount = Pa_GetHostApiCount();
    const PaDeviceIndex deviceCount = Pa_GetDeviceCount();
    if (logged) {
        logInfo("共找到可用API: " + std::to_string(apiCount));
        logInfo("共找到可用设备(麦克风+扬声器+其他音频设备): " + std::to_string(deviceCount));
    }
    for (PaHostApiIndex i = 0; i < apiCount; ++i) {
        const PaHostApiInfo* info = Pa_GetHostApiInfo(i);
        if (!info) {
            if (logged)
                logError("查询API信息时发生错误Invalid HostAPI Index");
            break;
        }
        found.hostApis.push_back({info->name ? info->name : "", static_cast<std::int32_t>(info->type),
                                  info->deviceCount, info->defaultInputDevice, info->defaultOutputDevice});
    }
    for (PaDeviceIndex i = 0; i < deviceCount; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
        if (!api) {
            if (logged)
                logError(std::string("查询设备信息时发生错误") +
                         (info ? "Invalid HostAPI Index" : "Invalid Device Index"));
            break;
        }
        DeviceEntry entry;
        entry.index = i;
        entry.name = info->name ? info->name : "";
        entry.hostApi = info->hostApi;
        entry.hostApiType = static_cast<std::int32_t>(api->type);
        entry.maxInputChannels = info->maxInputChannels;
        entry.maxOutputChannels = info->maxOutputChannels;
        entry.defaultLowInputLatency = info->defaultLowInputLatency;
        entry.defaultLowOutputLatency = info->defaultLowOutputLatency;
        entry.defaultHighInputLatency = info->defaultHighInputLatency;
        entry.defaultHighOutputLatency = info->defaultHighOutputLatency;
        entry.defaultSampleRate = static_cast<std::int32_t>(info->defaultSampleRate);
        found.devices.push_back(std::move(entry));
    }
    if (logged)
        reportLibraryMessages(chatter, initialised != paNoError || !hasInputDevice(found.devices));
    return found;
}

void AudioEngine::adopt(Catalogue&& catalogue) {
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

    std::int32_t apiRow = -1;
    for (std::size_t i = 0; i < hostApis.size(); ++i) {
        if (hostApis[i].type == settings.hostApiType) {
            apiRow = static_cast<std::int32_t>(i);
            break;
        }
    }
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

std::unique_ptr<CaptureContext> AudioEngine::openContext(const AudioSettings& s) {
    auto context = std::make_unique<CaptureContext>(this, s);
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

void AudioEngine::openOnAudioThread(const AudioSettings& settings) {
    try {
        std::lock_guard<std::mutex> guard(mutex);
        std::unique_ptr<CaptureContext> opened = openContext(settings);
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
