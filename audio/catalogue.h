#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio_settings.h"

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

// The host APIs and devices PortAudio offers, as plain rows in PortAudio's order.
struct DeviceCatalogue {
    std::vector<HostApiEntry> hostApis;
    std::vector<DeviceEntry> devices;
};

// A listing the user asked for logs what it finds; the recovery's attempts every few
// seconds must not fill the log.
enum class ListingReport { Logged, Quiet };

// Terminates PortAudio, initialises it again and lists what it finds: re-initialising is
// what makes devices attached or removed since the last time appear or disappear. No
// stream may be open. Audio-control thread.
DeviceCatalogue listCatalogue(ListingReport report);

// The first host-API row of this type, or -1.
std::int32_t hostApiRowOfType(const std::vector<HostApiEntry>& hostApis, std::int32_t type);

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
