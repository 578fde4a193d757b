#include "remote_selection.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "quoted_text.h"

using nlohmann::json;

namespace {

// Names may come from a driver in any encoding; bytes that are not UTF-8 become U+FFFD
// instead of failing the whole answer.
std::string jsonText(std::string_view text) {
    return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

// A JSON value in the settings file's number formatting (44100.0, 120, -1).
template <typename Value>
std::string jsonValue(Value value) {
    return json(value).dump();
}

std::string boolText(bool value) { return value ? "true" : "false"; }

std::string selectionObject(const AudioSettings& s) {
    return "{ \"hostApiType\": " + jsonValue(s.hostApiType) + ", \"inputDevice\": " + jsonValue(s.inputDevice) +
           ", \"sampleRate\": " + jsonValue(s.sampleRate) +
           ", \"framesPerBuffer\": " + jsonValue(s.framesPerBuffer) + " }";
}

std::string deviceObject(const DeviceEntry& device, const HostApiEntry& api) {
    return "{ \"index\": " + jsonValue(device.index) + ", \"name\": " + jsonText(device.name) +
           ", \"hostApi\": " + jsonText(api.name) + ", \"hostApiType\": " + jsonValue(device.hostApiType) +
           ", \"maxInputChannels\": " + jsonValue(device.maxInputChannels) +
           ", \"defaultSampleRate\": " + jsonValue(device.defaultSampleRate) +
           ", \"isDefault\": " + boolText(api.defaultInputDevice == device.index) + " }";
}

std::optional<std::int64_t> integer(const json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= std::numeric_limits<std::int64_t>::max())
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    return std::nullopt;
}

std::string wrongType(const std::string& key) { return "设定项类型错误: " + key; }

} // namespace

std::variant<SelectionChoice, std::string> parseSelectionChoice(std::string_view text) {
    const json document = json::parse(text, nullptr, false, false);
    if (document.is_discarded())
        return std::string("选择的设定不是有效的JSON");
    if (!document.is_object())
        return std::string("选择的设定必须是JSON对象");
    SelectionChoice choice;
    for (const auto& [key, value] : document.items()) {
        if (key == "sampleRate") {
            if (!value.is_number())
                return wrongType(key);
            choice.sampleRate = value.get<double>();
            continue;
        }
        const bool known = key == "hostApiType" || key == "inputDevice" || key == "framesPerBuffer";
        if (!known)
            return "未知的设定项: " + quoteText(key);
        const std::optional<std::int64_t> number = integer(value);
        if (!number)
            return wrongType(key);
        if (key == "framesPerBuffer") {
            if (*number < 0 || *number > std::numeric_limits<std::uint32_t>::max())
                return "不支持的缓冲区长度: " + std::to_string(*number);
            choice.framesPerBuffer = static_cast<std::uint32_t>(*number);
            continue;
        }
        if (*number < std::numeric_limits<std::int32_t>::min() ||
            *number > std::numeric_limits<std::int32_t>::max())
            return key == "hostApiType" ? std::string("找不到满足条件的API")
                                        : "找不到适合的音频设备#" + std::to_string(*number);
        (key == "hostApiType" ? choice.hostApiType : choice.inputDevice) = static_cast<std::int32_t>(*number);
    }
    return choice;
}

std::string devicesLine(CatalogueView catalogue, const AudioSettings& selected, bool running) {
    std::string devices;
    for (const DeviceEntry& device : catalogue.devices) {
        const bool apiKnown =
            device.hostApi >= 0 && static_cast<std::size_t>(device.hostApi) < catalogue.hostApis.size();
        if (!isInput(device) || !apiKnown)
            continue;
        devices += (devices.empty() ? "" : ", ") +
                   deviceObject(device, catalogue.hostApis[static_cast<std::size_t>(device.hostApi)]);
    }
    return "{ \"devices\": [" + (devices.empty() ? std::string() : " " + devices + " ") +
           "], \"selected\": " + selectionObject(selected) + ", \"running\": " + boolText(running) + " }";
}

std::string selectedLine(const AudioSettings& selected, bool running) {
    return "{ \"selected\": " + selectionObject(selected) + ", \"running\": " + boolText(running) + " }";
}

std::string selectErrorLine(std::string_view reason) { return "{ \"selectError\": " + jsonText(reason) + " }"; }

std::string streamLine(bool running) {
    return std::string("{ \"stream\": \"") + (running ? "running" : "stopped") + "\" }";
}
