#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// How one client wants its audio, as asked in the query of its request path
// ("/?rate=16000&format=s16&block=320&latency=low"). A client that asks nothing gets
// the stream as it has always been: 44100 Hz float32 in 512-sample messages, sent on
// the sender's 50 ms tick.
enum class SampleFormat { Float32, Int16 };
enum class Latency { Tick, Low };

struct StreamOptions {
    int rate = 44100;
    SampleFormat format = SampleFormat::Float32;
    std::size_t block = 512;
    Latency latency = Latency::Tick;

    std::size_t bytesPerSample() const { return format == SampleFormat::Int16 ? 2 : 4; }
    bool operator==(const StreamOptions& other) const {
        return rate == other.rate && format == other.format && block == other.block && latency == other.latency;
    }
};

inline constexpr std::size_t minimumBlock = 32;
inline constexpr std::size_t maximumBlock = 8192;

// The options, or (problem not empty) the one-line reason the request cannot be served:
// an unknown value of a known key, or a known key given twice. Other keys ("token" and
// whatever else a client adds) are left alone. Values are taken as they stand, without
// percent-decoding: every valid one is plain ASCII. What the peer sent is quoted.
struct ParsedStreamOptions {
    StreamOptions options;
    std::string problem;

    bool ok() const { return problem.empty(); }
};

ParsedStreamOptions parseStreamOptions(std::string_view uri);
