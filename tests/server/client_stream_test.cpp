// One client's stream as it asked for it: its rate, made from the 44.1 kHz stream by a
// converter of its own; 16-bit samples; messages of exactly its block size; and the
// default stream's bytes untouched.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client_stream.h"
#include "sine_check.h"

namespace {

constexpr double pi = 3.14159265358979323846;

std::vector<float> tone(double frequency, double amplitude, std::size_t count, std::size_t from = 0) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<float>(amplitude * std::sin(2 * pi * frequency * double(from + i) / 44100.0));
    return samples;
}

// Feeds the samples as the sender does, a cycle's worth at a time out of a "ring" that
// holds them, and collects every message.
std::vector<std::string> stream(ClientStream& client, const std::vector<float>& samples,
                                std::size_t perCycle = 2205) {
    std::vector<std::string> messages;
    std::size_t written = 0;
    std::size_t read = 0;
    while (written < samples.size()) {
        written = std::min(samples.size(), written + perCycle);
        for (;;) {
            const std::size_t count = client.wanted(written - read);
            if (count == 0)
                break;
            std::memcpy(client.input(), samples.data() + read, count * sizeof(float));
            read += count;
            client.take(count);
            std::string message;
            while (client.nextMessage(message))
                messages.push_back(message);
        }
    }
    return messages;
}

std::vector<float> floatsOf(const std::vector<std::string>& messages) {
    std::vector<float> samples;
    for (const std::string& message : messages)
        for (std::size_t i = 0; i + 4 <= message.size(); i += 4) {
            std::uint32_t bits = 0;
            for (int b = 3; b >= 0; --b)
                bits = (bits << 8) | static_cast<unsigned char>(message[i + b]);
            float value;
            std::memcpy(&value, &bits, 4);
            samples.push_back(value);
        }
    return samples;
}

std::vector<int> int16sOf(const std::vector<std::string>& messages) {
    std::vector<int> samples;
    for (const std::string& message : messages)
        for (std::size_t i = 0; i + 2 <= message.size(); i += 2)
            samples.push_back(static_cast<std::int16_t>(static_cast<unsigned char>(message[i]) |
                                                        (static_cast<unsigned char>(message[i + 1]) << 8)));
    return samples;
}

TEST(Int16Conversion, ScalesBy32767RoundsAndHoldsAtFullScale) {
    const struct {
        float in;
        int out;
        bool clipped;
    } cases[] = {
        {0.0f, 0, false},
        {1.0f, 32767, false},
        {-1.0f, -32767, false},
        {0.5f, 16384, false},
        {-0.5f, -16384, false},
        {1.0f / 32767, 1, false},
        {0.4f / 32767, 0, false},
        {0.6f / 32767, 1, false},
        {-0.6f / 32767, -1, false},
        {1.00001f, 32767, false},
        {-1.00003f, -32768, false},
        {1.0001f, 32767, true},
        {-1.0001f, -32768, true},
        {1.5f, 32767, true},
        {-1.5f, -32768, true},
        {1e30f, 32767, true},
        {-1e30f, -32768, true},
        {std::numeric_limits<float>::infinity(), 32767, true},
        {-std::numeric_limits<float>::infinity(), -32768, true},
        {std::numeric_limits<float>::quiet_NaN(), 0, false},
    };
    for (const auto& c : cases) {
        bool clipped = false;
        EXPECT_EQ(toInt16(c.in, clipped), c.out) << c.in;
        EXPECT_EQ(clipped, c.clipped) << c.in;
    }
}

// The default stream is today's: blocks of 512 taken while more than 512 wait, passed on
// bit for bit.
TEST(ClientStream, TheDefaultStreamPassesTheSamplesThroughBitForBit) {
    ClientStream client{StreamOptions{}};
    EXPECT_EQ(client.wanted(512), 0u);
    EXPECT_EQ(client.wanted(513), 512u);
    EXPECT_EQ(client.wanted(100000), 512u);
    EXPECT_EQ(client.secondOfAudioBytes(), 44100u * 4);

    std::vector<float> samples = tone(1000, 0.5, 44100);
    samples[7] = -0.0f;
    samples[8] = std::numeric_limits<float>::denorm_min();
    samples[9] = 3.5f; // not clipped: float carries it
    const std::vector<std::string> messages = stream(client, samples);
    ASSERT_EQ(messages.size(), (44100u - 1) / 512); // the last 512 or fewer wait for more
    for (std::size_t m = 0; m < messages.size(); ++m) {
        ASSERT_EQ(messages[m].size(), 2048u);
        EXPECT_EQ(std::memcmp(messages[m].data(), samples.data() + m * 512, 2048), 0) << "message " << m;
    }
    EXPECT_EQ(client.takeClipped(), 0u);
}

TEST(ClientStream, EveryMessageHasTheAskedBlockSizeAndTheSamplesFollowOn) {
    for (const std::size_t block : {32u, 320u, 441u, 8192u}) {
        for (const int rate : {16000, 44100, 48000}) {
            for (const SampleFormat format : {SampleFormat::Float32, SampleFormat::Int16}) {
                ClientStream client{StreamOptions{rate, format, block, Latency::Tick}};
                const std::vector<std::string> messages = stream(client, tone(1000, 0.5, 2 * 44100));
                const std::size_t bytes = block * (format == SampleFormat::Int16 ? 2 : 4);
                ASSERT_GE(messages.size(), (2u * rate - 2 * block - 200) / block) << block << " " << rate;
                for (const std::string& message : messages)
                    ASSERT_EQ(message.size(), bytes) << block << " " << rate;
            }
        }
    }
}

// Each rate carries the 1 kHz tone at its level and frequency, without a jump where one
// message or one conversion step ends and the next begins.
TEST(ClientStream, EachRateCarriesTheToneAtItsFrequencyAndLevelWithoutABreak) {
    for (const int rate : {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000}) {
        ClientStream client{StreamOptions{rate, SampleFormat::Float32, 320, Latency::Tick}};
        const std::vector<float> received = floatsOf(stream(client, tone(1000, 0.5, 2 * 44100)));
        SineCheckOptions options;
        options.sampleRate = rate;
        options.transient = static_cast<std::size_t>(rate / 50); // the converter's delay
        const SineAnalysis analysis = analyseSine(received, options);
        EXPECT_TRUE(analysis.isContinuousTone(1000.0, 0.5)) << rate << ": " << analysis.describe();
        EXPECT_NEAR(analysis.amplitude, 0.5, 0.005) << rate;
        EXPECT_LT(analysis.maxFitDeviation, 0.001) << rate << ": " << analysis.describe();
        EXPECT_GT(analysis.analysedCount, static_cast<std::size_t>(rate)) << rate;
    }
}

// What a client gets as 16-bit samples is the float stream of the same rate within one
// step; where the float stream goes past full scale, the samples are held, never wrapped,
// and each held one is counted.
TEST(ClientStream, Int16IsTheFloatStreamWithinOneStepAndClipsWithoutWrapping) {
    for (const int rate : {16000, 44100}) {
        std::vector<float> samples = tone(1000, 0.5, 44100);
        // A full-scale square wave and beyond, for a stretch.
        for (std::size_t i = 20000; i < 24410; ++i)
            samples[i] = ((i / 22) % 2 ? 1.2f : -1.2f);
        ClientStream asFloat{StreamOptions{rate, SampleFormat::Float32, 320, Latency::Tick}};
        ClientStream asInt{StreamOptions{rate, SampleFormat::Int16, 320, Latency::Tick}};
        const std::vector<float> floats = floatsOf(stream(asFloat, samples));
        const std::vector<int> ints = int16sOf(stream(asInt, samples));
        ASSERT_EQ(floats.size(), ints.size());
        std::uint64_t beyond = 0;
        for (std::size_t i = 0; i < ints.size(); ++i) {
            const double expected = std::clamp(double(floats[i]) * 32767.0, -32768.0, 32767.0);
            ASSERT_LE(std::abs(ints[i] - expected), 1.0) << rate << " at " << i << ": " << floats[i];
            beyond += floats[i] * 32767.0f >= 32767.5f || floats[i] * 32767.0f <= -32768.5f;
        }
        EXPECT_GT(beyond, 1000u) << rate;
        EXPECT_EQ(asInt.takeClipped(), beyond) << rate;
        EXPECT_EQ(asInt.takeClipped(), 0u);
        EXPECT_EQ(asFloat.takeClipped(), 0u);
        EXPECT_EQ(asInt.secondOfAudioBytes(), static_cast<std::size_t>(rate) * 2);
    }
}

} // namespace
