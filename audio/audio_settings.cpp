#include "audio_settings.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <string_view>

#include <nlohmann/json.hpp>
#include <portaudio.h>

#include "logger.h"
#include "process_platform.h"
#include "quoted_text.h"
#include "replace_file.h"
#include "small_file.h"

using nlohmann::json;

namespace {

[[noreturn]] void refuse(const json& value) {
    throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(), &value);
}

// Floating values are cut toward zero; values beyond the 64-bit range saturate there
// instead of being undefined, so the result then wraps like any other integer.
std::int64_t truncated(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return std::numeric_limits<std::int64_t>::max();
    if (value <= -9223372036854775808.0)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// The library's own typed get accepts booleans for every integer type but not for
// double, and a range-less float-to-integer cast is undefined; the conversion rules are
// therefore spelled out here for each field kind.
template <class Integer>
Integer integerValue(const json& value, bool acceptBoolean) {
    switch (value.type()) {
    case json::value_t::number_unsigned:
        return static_cast<Integer>(value.get_ref<const json::number_unsigned_t&>());
    case json::value_t::number_integer:
        return static_cast<Integer>(value.get_ref<const json::number_integer_t&>());
    case json::value_t::number_float:
        return static_cast<Integer>(truncated(value.get_ref<const json::number_float_t&>()));
    case json::value_t::boolean:
        if (acceptBoolean)
            return value.get_ref<const json::boolean_t&>() ? 1 : 0;
        refuse(value);
    default:
        refuse(value);
    }
}

double floatValue(const json& value) {
    switch (value.type()) {
    case json::value_t::number_unsigned:
        return static_cast<double>(value.get_ref<const json::number_unsigned_t&>());
    case json::value_t::number_integer:
        return static_cast<double>(value.get_ref<const json::number_integer_t&>());
    case json::value_t::number_float:
        return value.get_ref<const json::number_float_t&>();
    default:
        refuse(value);
    }
}

// Far beyond any settings file; a device that never ends (/dev/zero) stops here.
constexpr std::size_t settingsSizeLimit = 1 << 20;

// True when the file already holds exactly this text. Only a regular file of a
// settings file's size is read: a FIFO or a device must not be read from.
bool fileHolds(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || ec)
        return false;
    // Checked again on the file actually opened: the path may have changed meanwhile.
    const SmallFileReading held = readSmallFile(path, 65536);
    return held.outcome == SmallFileReading::Outcome::read && held.text == text;
}

// Why a settings file is not read, for the log; empty for a file that was read, and for
// one that is missing or unreadable, which the failed load reports already.
std::string refusalOf(const SmallFileReading& reading, const std::string& settingsPath) {
    const std::string quoted = quoteText(settingsPath);
    switch (reading.outcome) {
    case SmallFileReading::Outcome::foreignLink:
        return "配置文件路径经过其他用户的链接, 不读取: " + quoted;
    case SmallFileReading::Outcome::notAFile:
        return "配置文件路径不是普通文件, 不读取: " + quoted;
    case SmallFileReading::Outcome::foreignFile:
        return "配置文件属于其他用户, 不读取: " + quoted;
    case SmallFileReading::Outcome::tooLarge:
        return "配置文件过大, 不读取: " + quoted;
    case SmallFileReading::Outcome::read:
    case SmallFileReading::Outcome::missing:
    case SmallFileReading::Outcome::unreadable:
        break;
    }
    return {};
}

} // namespace

std::string AudioSettings::toJson() const {
    json document;
    document["sampleRate"] = sampleRate;
    document["framesPerBuffer"] = framesPerBuffer;
    document["hostApiType"] = hostApiType;
    document["inputDevice"] = inputDevice;
    document["inputChannelCount"] = inputChannelCount;
    document["inputSampleFormat"] = inputSampleFormat;
    document["inputSuggestedLatency"] = inputSuggestedLatency;
    document["outputDevice"] = outputDevice;
    document["outputChannelCount"] = outputChannelCount;
    document["outputSampleFormat"] = outputSampleFormat;
    document["outputSuggestedLatency"] = outputSuggestedLatency;
    return document.dump(4);
}

bool AudioSettings::fromJson(const std::string& text) {
    const json document = json::parse(text, nullptr, true, false);
    if (!document.is_object())
        return false;
    // Members are visited in key order, so a type error leaves the members before it stored.
    for (const auto& [key, value] : document.items()) {
        const std::string_view name = key;
        if (name == "sampleRate")
            sampleRate = floatValue(value);
        else if (name == "framesPerBuffer")
            framesPerBuffer = integerValue<std::uint32_t>(value, true);
        else if (name == "hostApiType")
            hostApiType = integerValue<std::int32_t>(value, false);
        else if (name == "inputDevice")
            inputDevice = integerValue<std::int32_t>(value, true);
        else if (name == "inputChannelCount")
            inputChannelCount = integerValue<std::int32_t>(value, true);
        else if (name == "inputSampleFormat")
            inputSampleFormat = integerValue<std::uint32_t>(value, true);
        else if (name == "inputSuggestedLatency")
            inputSuggestedLatency = floatValue(value);
        else if (name == "outputDevice")
            outputDevice = integerValue<std::int32_t>(value, true);
        else if (name == "outputChannelCount")
            outputChannelCount = integerValue<std::int32_t>(value, true);
        else if (name == "outputSampleFormat")
            outputSampleFormat = integerValue<std::uint32_t>(value, true);
        else if (name == "outputSuggestedLatency")
            outputSuggestedLatency = floatValue(value);
    }
    return true;
}

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

StoredSettings readSettingsFile(const std::string& settingsPath) {
    const SmallFileReading reading = readSmallFile(pathFromUtf8(settingsPath), settingsSizeLimit);
    if (const std::string refusal = refusalOf(reading, settingsPath); !refusal.empty())
        Logger::instance().warn("Audio", refusal);
    // Anything not read is an empty text: it fails to load, and the defaults apply.
    StoredSettings stored;
    stored.isObject = stored.settings.fromJson(reading.text);
    return stored;
}

void writeSettingsFile(const std::string& settingsPath, const AudioSettings& settings) {
    const std::string text = settings.toJson();
    if (settingsPath.empty()) {
        Logger::instance().error("Audio", "无法更新配置文件");
        return;
    }
    const std::filesystem::path path = pathFromUtf8(settingsPath);
    // Most starts save what the file already says; that would cost a write and two syncs.
    if (fileHolds(path, text))
        return;
    if (replaceFileContents(path, text) != ReplaceResult::Done)
        Logger::instance().error("Audio", "无法更新配置文件");
}
