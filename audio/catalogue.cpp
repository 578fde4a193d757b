#include "catalogue.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include <fmt/format.h>

#include <portaudio.h>

#include "audio_control.h"
#include "library_messages.h"
#include "logger.h"

namespace {

const std::string tag = "Audio";

void logInfo(const std::string& message) { Logger::instance().info(tag, message); }
void logError(const std::string& message) { Logger::instance().error(tag, message); }

bool hasInputDevice(const std::vector<DeviceEntry>& devices) {
    return std::any_of(devices.begin(), devices.end(), isInput);
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

DeviceEntry deviceEntry(PaDeviceIndex index, const PaDeviceInfo& info, const PaHostApiInfo& api) {
    DeviceEntry entry;
    entry.index = index;
    entry.name = info.name ? info.name : "";
    entry.hostApi = info.hostApi;
    entry.hostApiType = static_cast<std::int32_t>(api.type);
    entry.maxInputChannels = info.maxInputChannels;
    entry.maxOutputChannels = info.maxOutputChannels;
    entry.defaultLowInputLatency = info.defaultLowInputLatency;
    entry.defaultLowOutputLatency = info.defaultLowOutputLatency;
    entry.defaultHighInputLatency = info.defaultHighInputLatency;
    entry.defaultHighOutputLatency = info.defaultHighOutputLatency;
    entry.defaultSampleRate = static_cast<std::int32_t>(info.defaultSampleRate);
    return entry;
}

template <typename Row>
bool inRange(const std::vector<Row>& rows, std::int32_t index) {
    return index >= 0 && index < static_cast<std::int32_t>(rows.size());
}

// Exactly 44100.0 is 44100 Hz; any other stored rate (96000, 22050, not a number) 48000.
std::int32_t storedRateIndex(double sampleRate) { return sampleRate == 44100.0 ? 0 : 1; }

std::int32_t nearestSizeIndex(std::uint32_t framesPerBuffer) {
    const auto& sizes = offeredBufferSizes;
    const auto size = std::lower_bound(sizes.begin(), sizes.end(), framesPerBuffer);
    return static_cast<std::int32_t>(
        std::min<std::ptrdiff_t>(size - sizes.begin(), static_cast<std::ptrdiff_t>(sizes.size()) - 1));
}

template <typename Value>
std::optional<std::int32_t> offeredIndex(const std::vector<Value>& offered, Value value) {
    const auto found = std::find(offered.begin(), offered.end(), value);
    if (found == offered.end())
        return std::nullopt;
    return static_cast<std::int32_t>(found - offered.begin());
}

Resolution accepted(const Selection& selection) { return Resolution{selection, Resolution::Refused::nothing, {}}; }

Resolution refusal(const Selection& selection, Resolution::Refused refused, std::string reason) {
    return Resolution{selection, refused, std::move(reason)};
}

const std::string noHostApi = "找不到满足条件的API";

std::string noDevice(std::int32_t device) { return "找不到适合的音频设备#" + std::to_string(device); }

} // namespace

DeviceCatalogue listCatalogue(ListingReport report) {
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
    const bool logged = report == ListingReport::Logged;
    if (logged)
        logInfo("设备已关闭");

    DeviceCatalogue found;
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
        found.devices.push_back(deviceEntry(i, *info, *api));
    }
    if (logged)
        reportLibraryMessages(chatter, initialised != paNoError || !hasInputDevice(found.devices));
    return found;
}

void terminatePortAudio() {
    PortAudioCall call("Pa_Terminate");
    Pa_Terminate();
}

std::int32_t hostApiRowOfType(const std::vector<HostApiEntry>& hostApis, std::int32_t type) {
    const auto row =
        std::find_if(hostApis.begin(), hostApis.end(), [&](const HostApiEntry& api) { return api.type == type; });
    return row == hostApis.end() ? -1 : static_cast<std::int32_t>(row - hostApis.begin());
}

AudioSettings selectedSettings(CatalogueView catalogue, const Selection& selection) {
    const bool apiKnown = inRange(catalogue.hostApis, selection.hostApiRow);
    return captureSettings(offeredSampleRates[static_cast<std::size_t>(selection.rateIndex)],
                           offeredBufferSizes[static_cast<std::size_t>(selection.sizeIndex)],
                           apiKnown ? catalogue.hostApis[static_cast<std::size_t>(selection.hostApiRow)].type : -1,
                           selection.device);
}

Resolution resolve(CatalogueView catalogue, const Selection& present, const AudioSettings& profile) {
    Selection selection = present;
    selection.rateIndex = storedRateIndex(profile.sampleRate);
    const std::int32_t row = hostApiRowOfType(catalogue.hostApis, profile.hostApiType);
    if (row < 0)
        return refusal(selection, Resolution::Refused::hostApi, noHostApi);
    selection.hostApiRow = row;
    selection.device = profile.inputDevice;
    if (!usableInput(catalogue, profile.inputDevice, profile.hostApiType))
        return refusal(selection, Resolution::Refused::device, noDevice(profile.inputDevice));
    selection.sizeIndex = nearestSizeIndex(profile.framesPerBuffer);
    return accepted(selection);
}

Resolution resolve(CatalogueView catalogue, const Selection& present, const SelectionChoice& choice) {
    const std::int32_t row =
        choice.hostApiType ? hostApiRowOfType(catalogue.hostApis, *choice.hostApiType) : present.hostApiRow;
    if (!inRange(catalogue.hostApis, row))
        return refusal(present, Resolution::Refused::hostApi, noHostApi);
    const HostApiEntry& api = catalogue.hostApis[static_cast<std::size_t>(row)];
    std::int32_t device = present.device;
    if (choice.inputDevice)
        device = *choice.inputDevice;
    else if (row != present.hostApiRow)
        device = api.defaultInputDevice; // what the window picks
    if (!usableInput(catalogue, device, api.type))
        return refusal(present, Resolution::Refused::device, noDevice(device));
    std::optional<std::int32_t> rate = present.rateIndex;
    if (choice.sampleRate && !(rate = offeredIndex(offeredSampleRates, *choice.sampleRate)))
        return refusal(present, Resolution::Refused::sampleRate,
                       fmt::format("不支持的采样率: {}", *choice.sampleRate));
    std::optional<std::int32_t> size = present.sizeIndex;
    if (choice.framesPerBuffer && !(size = offeredIndex(offeredBufferSizes, *choice.framesPerBuffer)))
        return refusal(present, Resolution::Refused::bufferSize,
                       "不支持的缓冲区长度: " + std::to_string(*choice.framesPerBuffer));
    return accepted(Selection{row, device, *rate, *size});
}

bool isInput(const DeviceEntry& device) { return device.maxInputChannels > 0; }

bool usableInput(CatalogueView catalogue, std::int32_t device, std::int32_t hostApiType) {
    if (!inRange(catalogue.devices, device))
        return false;
    const DeviceEntry& entry = catalogue.devices[static_cast<std::size_t>(device)];
    return entry.hostApiType == hostApiType && isInput(entry);
}

std::optional<Selection> findAgain(CatalogueView catalogue, const Selection& chosen, std::int32_t hostApiType,
                                   const std::string& deviceName) {
    const std::int32_t row = hostApiRowOfType(catalogue.hostApis, hostApiType);
    if (row < 0)
        return std::nullopt;
    Selection found = chosen;
    found.hostApiRow = row;
    // Devices that came and went may have renumbered the others.
    if (usableInput(catalogue, chosen.device, hostApiType) &&
        catalogue.devices[static_cast<std::size_t>(chosen.device)].name == deviceName)
        return found;
    for (const DeviceEntry& entry : catalogue.devices)
        if (entry.name == deviceName && usableInput(catalogue, entry.index, hostApiType)) {
            found.device = entry.index;
            return found;
        }
    return std::nullopt;
}

std::optional<RecoveryChoice> chooseRecoveryDevice(CatalogueView catalogue,
                                                   const std::optional<AudioSettings>& stored,
                                                   const Selection& running, std::int32_t hostApiType,
                                                   const std::string& deviceName) {
    if (stored) {
        const Resolution resolved = resolve(catalogue, running, *stored);
        if (resolved.refused == Resolution::Refused::nothing)
            return RecoveryChoice{resolved.selection, true};
    }
    const std::optional<Selection> same = findAgain(catalogue, running, hostApiType, deviceName);
    if (!same)
        return std::nullopt;
    return RecoveryChoice{*same, false};
}
