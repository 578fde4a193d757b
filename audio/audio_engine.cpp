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

bool writeInPlace(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file.good()) return false;
    file << text;
    file.close();
    return !file.fail();
}

} // namespace

PaException::PaException(PaError code) : message(Pa_GetErrorText(code)), code(code) {}

void throwIfPaError(PaError result) {
    if (result != paNoError) throw PaException(result);
}

CaptureContext::CaptureContext(AudioEngine* engine, const AudioSettings& settings)
    : engine(engine), settings(settings) {}

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
    try {
        refreshDevices();
        loadSettings(fileExisted);
    } catch (...) {
        // The destructor does not run for a half-built engine; PortAudio is ours to end.
        if (portAudioOwned) Pa_Terminate();
        throw;
    }
    logInfo("准备启动音频流");
    startStream();
}

AudioEngine::AudioEngine(std::string settingsPath, Detached) : settingsPath(std::move(settingsPath)) {}

AudioEngine::~AudioEngine() {
    // Ends every stream and its callback before the members they use are released.
    if (portAudioOwned) Pa_Terminate();
    reportCallbackEvents();
}

void AudioEngine::reportCallbackEvents() {
    // Overflow before underflow, as the callback saw them within one buffer.
    inputOverflowWarning.report(callbackEvents.inputOverflows.exchange(0, std::memory_order_relaxed));
    inputUnderflowWarning.report(callbackEvents.inputUnderflows.exchange(0, std::memory_order_relaxed));
    ringOverflowWarning.report(callbackEvents.ringOverflows.exchange(0, std::memory_order_relaxed));
}

void AudioEngine::loadSettings(bool fileExisted) {
    if (fileExisted) {
        try {
            std::ifstream file(pathFromUtf8(settingsPath));
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            AudioSettings stored;
            stored.fromJson(text);
            applySettings(stored);
            return;
        } catch (const std::exception&) {
            logError("无法加载配置文件");
        }
    }
    selectHostApi(0);
    applySettings(currentSettings());
}

void AudioEngine::refreshDevices() {
    if (capture) {
        const PaError stopped = Pa_StopStream(capture->stream);
        if (stopped == paNoError) {
            running = false;
            logInfo("音频流已停止");
        } else {
            // A stream whose start was refused is already stopped; PortAudio says so
            // here. It is closed all the same so that the refresh can go on.
            logError("音频流停止失败, " + std::string(Pa_GetErrorText(stopped)));
            running = false;
        }
        capture.reset();
    }

    Pa_Terminate();
    routeLibraryMessagesToLog();
    Pa_Initialize();
    portAudioOwned = true;
    logInfo("设备已关闭");

    hostApis.clear();
    devices.clear();
    const PaHostApiIndex apiCount = Pa_GetHostApiCount();
    const PaDeviceIndex deviceCount = Pa_GetDeviceCount();
    logInfo("共找到可用API: " + std::to_string(apiCount));
    logInfo("共找到可用设备(麦克风+扬声器+其他音频设备): " + std::to_string(deviceCount));

    try {
        for (PaHostApiIndex i = 0; i < apiCount; ++i) {
            const PaHostApiInfo* info = Pa_GetHostApiInfo(i);
            if (!info) throw std::runtime_error("Invalid HostAPI Index");
            hostApis.push_back({info->name ? info->name : "", static_cast<std::int32_t>(info->type), info->deviceCount,
                                info->defaultInputDevice, info->defaultOutputDevice});
        }
    } catch (const std::exception& e) {
        logError(std::string("查询API信息时发生错误") + e.what());
    }

    try {
        for (PaDeviceIndex i = 0; i < deviceCount; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (!info) throw std::runtime_error("Invalid Device Index");
            const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
            if (!api) throw std::runtime_error("Invalid HostAPI Index");
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
            devices.push_back(std::move(entry));
        }
    } catch (const std::exception& e) {
        logError(std::string("查询设备信息时发生错误") + e.what());
    }
}

void AudioEngine::selectHostApi(std::int32_t row) {
    logInfo("加载缺省设定");
    if (hostApis.empty()) {
        logWarn("找不到可用API");
        return;
    }
    if (row < 0 || row >= static_cast<std::int32_t>(hostApis.size())) row = 0;
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
    const bool known = settings.inputDevice >= 0 && settings.inputDevice < static_cast<std::int32_t>(devices.size());
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
    AudioSettings settings;
    settings.sampleRate = sampleRates[static_cast<std::size_t>(sampleRateIndex)];
    settings.framesPerBuffer = bufferSizes[static_cast<std::size_t>(bufferSizeIndex)];
    const bool apiKnown = hostApiIndex >= 0 && hostApiIndex < static_cast<std::int32_t>(hostApis.size());
    // No PortAudio host API has type -1, so applying this record fails as it should.
    settings.hostApiType = apiKnown ? hostApis[static_cast<std::size_t>(hostApiIndex)].type : -1;
    settings.inputDevice = deviceIndex;
    settings.inputChannelCount = 1;
    settings.inputSampleFormat = paFloat32;
    settings.inputSuggestedLatency = 0.12;
    settings.outputDevice = paNoDevice;
    settings.outputChannelCount = 0;
    settings.outputSampleFormat = paFloat32;
    settings.outputSuggestedLatency = 0.012;
    return settings;
}

void AudioEngine::saveSettings() {
    const std::string text = currentSettings().toJson();
    if (settingsPath.empty()) {
        logError("无法更新配置文件");
        return;
    }
    const std::filesystem::path path = pathFromUtf8(settingsPath);
    switch (replaceFileContents(path, text)) {
    case ReplaceResult::Done:
        return;
    case ReplaceResult::DirectoryUnusable:
        // No new file can be made next to the old one; overwriting it is all that is left.
        if (writeInPlace(path, text)) return;
        break;
    case ReplaceResult::Failed:
        break;
    }
    logError("无法更新配置文件");
}

void AudioEngine::openStream() {
    try {
        std::lock_guard<std::mutex> guard(mutex);
        auto context = std::make_unique<CaptureContext>(this, currentSettings());
        const AudioSettings& s = context->settings;
        PaStreamParameters input{s.inputDevice, s.inputChannelCount, s.inputSampleFormat, s.inputSuggestedLatency,
                                 nullptr};
        PaStreamParameters output{s.outputDevice, s.outputChannelCount, s.outputSampleFormat,
                                  s.outputSuggestedLatency, nullptr};
        const bool inputValid = input.channelCount > 0 && input.device >= 0;
        const bool outputValid = output.channelCount > 0 && output.device >= 0;
        if (!inputValid && !outputValid) throw std::runtime_error("Both input and output stream params are invalid.");
        throwIfPaError(Pa_OpenStream(&context->stream, inputValid ? &input : nullptr, outputValid ? &output : nullptr,
                                     s.sampleRate, s.framesPerBuffer, paNoFlag, captureCallback, context.get()));
        capture = std::move(context);
    } catch (const std::exception& e) {
        logInfo(std::string("音频设备打开失败, ") + e.what());
    }
}

void AudioEngine::startStream() {
    if (!capture) {
        openStream();
        if (capture) logInfo("音频设备已打开");
    }
    if (capture) {
        try {
            throwIfPaError(Pa_StartStream(capture->stream));
        } catch (const std::exception& e) {
            logError(std::string("音频流启动失败, ") + e.what());
            return;
        }
        running = true;
        logInfo("音频流已启动");
    }
    saveSettings();
}

void AudioEngine::stopStream() {
    if (!capture) return;
    const PaError result = Pa_AbortStream(capture->stream);
    try {
        throwIfPaError(result);
        running = false;
        capture.reset();
    } catch (const std::exception& e) {
        logError(std::string("音频流停止失败, ") + e.what());
        return;
    }
    logInfo("音频流已停止");
}
