#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The stored capture configuration; each field is a key of the settings file.
struct AudioSettings {
    double sampleRate = 44100.0;
    std::uint32_t framesPerBuffer = 120;
    std::int32_t hostApiType = 2;
    std::int32_t inputDevice = -1;
    std::int32_t inputChannelCount = 0;
    std::uint32_t inputSampleFormat = 1;
    double inputSuggestedLatency = 0.012;
    std::int32_t outputDevice = -1;
    std::int32_t outputChannelCount = 0;
    std::uint32_t outputSampleFormat = 1;
    double outputSuggestedLatency = 0.012;

    // Pretty-printed JSON, keys sorted, four-space indent, no trailing newline.
    std::string toJson() const;
    // Parses text into this record; members the text lacks keep their values. A text that
    // is JSON but no object (an array, a number) sets nothing; the result says whether the
    // text was an object. Throws the JSON library's parse_error or type_error.
    bool fromJson(const std::string& text);
};

// The record a capture stream is opened with and the settings file stores: the given
// rate, buffer size, host-API type and device, one channel of float32 at 0.12 s latency.
AudioSettings captureSettings(double sampleRate, std::uint32_t framesPerBuffer, std::int32_t hostApiType,
                              std::int32_t inputDevice);

// The settings file's record over the defaults, and whether the file holds a settings
// object at all. Throws what fromJson throws.
struct StoredSettings {
    AudioSettings settings;
    bool isObject = false;
};
StoredSettings readSettingsFile(const std::string& settingsPath);

// Writes the record to the settings file, unless the file holds that text already.
// Failures are logged. Any thread.
void writeSettingsFile(const std::string& settingsPath, const AudioSettings& settings);

// A choice of host API, device, rate or buffer size, as the parent wrote it; what it
// leaves out keeps its present value.
struct SelectionChoice {
    std::optional<std::int32_t> hostApiType;
    std::optional<std::int32_t> inputDevice;
    std::optional<double> sampleRate;
    std::optional<std::uint32_t> framesPerBuffer;
};
