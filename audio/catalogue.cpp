#include "catalogue.h"

#include <algorithm>

#include <portaudio.h>

#include "audio_control.h"
#include "library_messages.h"
#include "logger.h"

namespace {

const std::string tag = "Audio";

void logInfo(const std::string& message) { Logger::instance().info(tag, message); }
void logError(const std::string& message) { Logger::instance().error(tag, message); }

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

bool usableInput(const std::vector<DeviceEntry>& devices, std::int32_t index, std::int32_t hostApiType) {
    if (index < 0 || index >= static_cast<std::int32_t>(devices.size()))
        return false;
    const DeviceEntry& device = devices[static_cast<std::size_t>(index)];
    return device.hostApiType == hostApiType && device.maxInputChannels > 0;
}

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

std::int32_t hostApiRowOfType(const std::vector<HostApiEntry>& hostApis, std::int32_t type) {
    const auto row =
        std::find_if(hostApis.begin(), hostApis.end(), [&](const HostApiEntry& api) { return api.type == type; });
    return row == hostApis.end() ? -1 : static_cast<std::int32_t>(row - hostApis.begin());
}

std::optional<RecoveryChoice> chooseRecoveryDevice(const std::vector<HostApiEntry>& hostApis,
                                                   const std::vector<DeviceEntry>& devices,
                                                   const std::optional<AudioSettings>& stored,
                                                   std::int32_t hostApiType, std::int32_t device,
                                                   const std::string& deviceName) {
    if (stored) {
        const std::int32_t row = hostApiRowOfType(hostApis, stored->hostApiType);
        if (row >= 0 && usableInput(devices, stored->inputDevice, stored->hostApiType))
            return RecoveryChoice{row, stored->inputDevice, true};
    }
    const std::int32_t row = hostApiRowOfType(hostApis, hostApiType);
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
