#include "stream_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "quoted_text.h"

namespace {

constexpr std::array<int, 8> servedRates{8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000};

// Plain decimal digits only: no sign, no space, no fraction.
std::optional<long> decimal(std::string_view text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string rejected(const char* reason, std::string_view value) {
    return std::string(reason) + ": " + quoteText(value);
}

// One key=value pair of a known key applied to the options; the problem, if any.
std::optional<std::string> apply(std::string_view key, std::string_view value, StreamOptions& options) {
    if (key == "rate") {
        const std::optional<long> rate = decimal(value);
        if (!rate || std::find(servedRates.begin(), servedRates.end(), *rate) == servedRates.end())
            return rejected("不支持的采样率", value);
        options.rate = static_cast<int>(*rate);
    } else if (key == "format") {
        if (value == "f32")
            options.format = SampleFormat::Float32;
        else if (value == "s16")
            options.format = SampleFormat::Int16;
        else
            return rejected("不支持的样本格式", value);
    } else if (key == "block") {
        const std::optional<long> block = decimal(value);
        if (!block || *block < static_cast<long>(minimumBlock) || *block > static_cast<long>(maximumBlock))
            return rejected("不支持的块长度", value);
        options.block = static_cast<std::size_t>(*block);
    } else if (key == "latency") {
        if (value != "low")
            return rejected("不支持的延迟模式", value);
        options.latency = Latency::Low;
    }
    return std::nullopt;
}

constexpr std::array<std::string_view, 4> knownKeys{"rate", "format", "block", "latency"};

} // namespace

ParsedStreamOptions parseStreamOptions(std::string_view uri) {
    ParsedStreamOptions parsed;
    uri = uri.substr(0, uri.find('#'));
    const std::size_t question = uri.find('?');
    if (question == std::string_view::npos)
        return parsed;
    std::string_view query = uri.substr(question + 1);
    std::array<bool, knownKeys.size()> seen{};
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        const auto known = std::find(knownKeys.begin(), knownKeys.end(), key);
        if (known == knownKeys.end())
            continue;
        bool& given = seen[static_cast<std::size_t>(known - knownKeys.begin())];
        if (given) {
            parsed.problem = "参数重复: " + std::string(key);
            return parsed;
        }
        given = true;
        if (std::optional<std::string> problem = apply(key, value, parsed.options)) {
            parsed.problem = std::move(*problem);
            return parsed;
        }
    }
    return parsed;
}
