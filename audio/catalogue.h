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

// The catalogue as the engine or an attempt holds it, read in place.
struct CatalogueView {
    const std::vector<HostApiEntry>& hostApis;
    const std::vector<DeviceEntry>& devices;
};

// The rates and buffer sizes offered, in the order of the indices that select them.
inline const std::vector<double> offeredSampleRates{44100.0, 48000.0};
inline const std::vector<std::uint32_t> offeredBufferSizes{40, 80, 120, 160, 200};

// What capture runs with: a host-API row, a device index (its row too), and the rows of
// the offered rate and buffer size.
struct Selection {
    std::int32_t hostApiRow = 0;
    std::int32_t device = 0;
    std::int32_t rateIndex = 0;
    std::int32_t sizeIndex = 2;
};

// A selection resolved against a catalogue. When refused, it holds what was resolved
// before the refusal and the rest as it was; the reason is the text that is logged for
// a profile and answered to a choice.
struct Resolution {
    enum class Refused { nothing, hostApi, device, sampleRate, bufferSize };
    Selection selection;
    Refused refused = Refused::nothing;
    std::string reason;
};

// The record capture is opened with and the settings file stores for this selection.
// A host-API row outside the catalogue gives type -1, which no PortAudio host API has,
// so that applying the record fails as it should.
AudioSettings selectedSettings(CatalogueView catalogue, const Selection& selection);

// A stored profile: the first host API of its type, the device at its index if it is an
// input of that type (names are not compared), the rate 44100 Hz only for exactly
// 44100.0 and otherwise 48000 Hz, the first buffer size not below the stored one (the
// largest above them all).
Resolution resolve(CatalogueView catalogue, const Selection& present, const AudioSettings& profile);
// A choice of the parent's: what it leaves out stays as present, except that a new host
// API without a device brings that host API's default input device. The host API is
// found as for a profile; rate and size must be offered ones exactly.
Resolution resolve(CatalogueView catalogue, const Selection& present, const SelectionChoice& choice);

// A device that can capture at all.
bool isInput(const DeviceEntry& device);
// Whether device names an input device of a host API of this type: what a profile, a
// choice and a device found again may select.
bool usableInput(CatalogueView catalogue, std::int32_t device, std::int32_t hostApiType);

// Terminates PortAudio; no stream may be open. Audio-control thread.
void terminatePortAudio();

// The first host-API row of this type, or -1.
std::int32_t hostApiRowOfType(const std::vector<HostApiEntry>& hostApis, std::int32_t type);

// The chosen device in a catalogue listed afresh, under the first host API of its type:
// at its index while that row still has its name, else the first input device of that
// name and type. Rate and size stay as chosen. Nothing when it is not there.
std::optional<Selection> findAgain(CatalogueView catalogue, const Selection& chosen, std::int32_t hostApiType,
                                   const std::string& deviceName);

// Where a stream that stopped delivering is started again, in a freshly listed catalogue:
// a profile kept from the settings file first (resolved as at start-up, with its own
// rate and size); else the device that was running, found again. Nothing when neither
// is there.
struct RecoveryChoice {
    Selection selection;
    bool storedProfile = false;
};
std::optional<RecoveryChoice> chooseRecoveryDevice(CatalogueView catalogue,
                                                   const std::optional<AudioSettings>& stored,
                                                   const Selection& running, std::int32_t hostApiType,
                                                   const std::string& deviceName);
