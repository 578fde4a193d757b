#include "sample_encoding.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float qnan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

template <typename Out, typename In>
std::vector<Out> convert(const std::vector<In>& in, SampleEncoding from, SampleEncoding to,
                         DitherMode mode = DitherMode::Off) {
    std::vector<Out> out(in.size());
    convertSamples(in.data(), from, out.data(), to, static_cast<std::uint32_t>(in.size()), mode, 1, 1);
    return out;
}

std::vector<std::int16_t> floatToPcm16(const std::vector<float>& in, DitherMode mode) {
    return convert<std::int16_t>(in, SampleEncoding::Float32, SampleEncoding::Pcm16, mode);
}

void setDirtyState() {
    ditherState.phase = 5;
    ditherState.previous = 0.375f;
    for (int i = 0; i < 8; ++i) {
        ditherState.history[i] = 0.125f * static_cast<float>(i + 1);
    }
}

bool stateEquals(const DitherState& a, const DitherState& b) {
    return a.phase == b.phase && std::memcmp(&a.previous, &b.previous, sizeof a.previous) == 0 &&
           std::memcmp(a.history, b.history, sizeof a.history) == 0;
}

// Independent model of the dither noise: the top 15 bits of the C library's generator.
float referenceDraw() {
    constexpr unsigned long span = static_cast<unsigned long>(RAND_MAX) + 1ul;
    const unsigned long r = static_cast<unsigned long>(std::rand()) / (span / 32768ul);
    return static_cast<float>(r) / 32767.0f - 0.5f;
}

// The product rounded to float on its own, as the unfused filter computes it. Passing it
// through memory keeps the compiler from fusing it into the following addition, whatever
// the target and the contraction setting this file is built with.
float unfusedProduct(float a, float b) {
    volatile float product = a * b;
    return product;
}

std::int16_t referenceClip16(float y) {
    const float r = std::nearbyint(y);
    return static_cast<std::int16_t>(std::fmax(-32768.0f, std::fmin(32767.0f, r)));
}

} // namespace

TEST(ConvertSamplesCopy, CountZeroLeavesDestinationAndStateAlone) {
    setDirtyState();
    const DitherState before = ditherState;
    const std::array<float, 2> in{0.5f, -0.5f};
    std::array<std::int16_t, 2> out{7, 7};
    convertSamples(in.data(), SampleEncoding::Float32, out.data(), SampleEncoding::Pcm16, 0,
                   DitherMode::NoiseShaped, 1, 1);
    convertSamples(in.data(), SampleEncoding::Float32, out.data(), SampleEncoding::Float32, 0, DitherMode::Off, 1,
                   1);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 7);
    EXPECT_TRUE(stateEquals(before, ditherState));
}

TEST(ConvertSamplesCopy, SameEncodingKeepsEveryBitIncludingNaNAndOverRange) {
    const std::vector<float> in{qnan, 2.0f, -inf, -0.0f, 1e-40f};
    const auto out = convert<float>(in, SampleEncoding::Float32, SampleEncoding::Float32);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), in.size() * sizeof(float)), 0);
}

TEST(ConvertSamplesCopy, StridesGatherAndScatter) {
    const std::vector<std::int16_t> in{1, -2, 3, -4, 5, -6};
    std::vector<std::int16_t> gathered(3, 99);
    convertSamples(in.data(), SampleEncoding::Pcm16, gathered.data(), SampleEncoding::Pcm16, 3, DitherMode::Off, 2,
                   1);
    EXPECT_EQ(gathered, (std::vector<std::int16_t>{1, 3, 5}));

    const std::vector<float> src{0.25f, qnan};
    std::vector<float> scattered(5, 9.0f);
    convertSamples(src.data(), SampleEncoding::Float32, scattered.data(), SampleEncoding::Float32, 2,
                   DitherMode::Off, 1, 3);
    EXPECT_EQ(scattered[0], 0.25f);
    EXPECT_EQ(scattered[1], 9.0f);
    EXPECT_EQ(scattered[2], 9.0f);
    EXPECT_TRUE(std::isnan(scattered[3]));
    EXPECT_EQ(scattered[4], 9.0f);
}

TEST(ConvertSamplesCopy, UnalignedBuffersAndStridedConversion) {
    // Samples arrive as raw bytes; odd addresses must work on every path.
    alignas(8) unsigned char in[1 + 3 * 2] = {};
    const std::int16_t values[3] = {16384, -32768, 1};
    std::memcpy(in + 1, values, sizeof values);
    alignas(8) unsigned char out[1 + 6 * 4] = {};
    convertSamples(in + 1, SampleEncoding::Pcm16, out + 1, SampleEncoding::Float32, 3, DitherMode::Off, 1, 2);
    float got[6];
    std::memcpy(got, out + 1, sizeof got);
    EXPECT_EQ(got[0], 0.5f);
    EXPECT_EQ(got[1], 0.0f);
    EXPECT_EQ(got[2], -1.0f);
    EXPECT_EQ(got[4], 3.0517578125e-05f);
}

TEST(ConvertSamplesWiden, IntegerToFloatAndPcm16ToPcm24) {
    EXPECT_EQ(convert<float>(std::vector<std::int16_t>{16384, -32768, 32767}, SampleEncoding::Pcm16,
                             SampleEncoding::Float32),
              (std::vector<float>{0.5f, -1.0f, 32767.0f / 32768.0f}));
    const auto f24 = convert<float>(std::vector<std::int32_t>{8388607, -8388608, -1}, SampleEncoding::Pcm24,
                                    SampleEncoding::Float32);
    EXPECT_EQ(f24[0], 0.99999988079071044921875f);
    EXPECT_EQ(f24[1], -1.0f);
    EXPECT_EQ(f24[2], -1.1920928955078125e-07f);
    EXPECT_EQ(convert<std::int32_t>(std::vector<std::int16_t>{-1, 32767, -32768, 0}, SampleEncoding::Pcm16,
                                    SampleEncoding::Pcm24),
              (std::vector<std::int32_t>{-256, 8388352, -8388608, 0}));
}

TEST(ConvertSamplesReduce, Float32ToPcm16ClipsAndRoundsTiesToEven) {
    const float step = 1.0f / 32768.0f;
    const auto out =
        floatToPcm16({1.0f, -1.0f, 2.0f, -3.0f, 2.5f * step, 3.5f * step, -2.5f * step, 0.4f * step, inf, -inf},
                     DitherMode::Off);
    EXPECT_EQ(out, (std::vector<std::int16_t>{32767, -32768, 32767, -32768, 2, 4, -2, 0, 32767, -32768}));
}

TEST(ConvertSamplesReduce, Float32ToPcm24ClipsAndRoundsTiesToEven) {
    const float step = 1.0f / 8388608.0f;
    const auto out = convert<std::int32_t>(std::vector<float>{1.0f, -1.0f, 5.0f, 2.5f * step, -0.5f},
                                           SampleEncoding::Float32, SampleEncoding::Pcm24);
    EXPECT_EQ(out, (std::vector<std::int32_t>{8388607, -8388608, 8388607, 2, -4194304}));
}

TEST(ConvertSamplesReduce, Pcm24ToPcm16DividesBy256) {
    const auto out = convert<std::int16_t>(std::vector<std::int32_t>{640, 896, 8388607, -8388608, -640},
                                           SampleEncoding::Pcm24, SampleEncoding::Pcm16);
    EXPECT_EQ(out, (std::vector<std::int16_t>{2, 4, 32767, -32768, -2}));
}

TEST(ConvertSamplesReduce, NaNBecomesLowestValueWithoutDither) {
    EXPECT_EQ(floatToPcm16({qnan, 0.5f}, DitherMode::Off), (std::vector<std::int16_t>{-32768, 16384}));
    EXPECT_EQ(convert<std::int32_t>(std::vector<float>{qnan}, SampleEncoding::Float32, SampleEncoding::Pcm24),
              (std::vector<std::int32_t>{-8388608}));
}

TEST(ConvertSamplesReduce, NaNCountsAsSilenceWithNoiseShaping) {
    const auto out = floatToPcm16({qnan, qnan, qnan, qnan}, DitherMode::NoiseShaped);
    for (const std::int16_t v : out) {
        EXPECT_LE(std::abs(v), 16) << "a NaN must be shaped around zero, not the lowest value";
    }
}

TEST(ConvertSamplesUnknown, UnknownCodesWriteNothingUnlessEqualWithUnitStrides) {
    const auto odd = static_cast<SampleEncoding>(0x00030007); // three bytes per sample
    const std::vector<unsigned char> in{1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<unsigned char> out(12, 0xEE);

    convertSamples(in.data(), odd, out.data(), SampleEncoding::Float32, 2, DitherMode::Off, 1, 1);
    convertSamples(in.data(), SampleEncoding::Float32, out.data(), odd, 2, DitherMode::Off, 1, 1);
    convertSamples(in.data(), odd, out.data(), SampleEncoding::Pcm16, 2, DitherMode::Off, 1, 1);
    convertSamples(in.data(), odd, out.data(), odd, 2, DitherMode::Off, 2, 1);
    EXPECT_EQ(out, std::vector<unsigned char>(12, 0xEE));

    convertSamples(in.data(), odd, out.data(), odd, 3, DitherMode::Off, 1, 1);
    EXPECT_EQ(out, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE}));
}

TEST(ConvertSamplesUnknown, UnknownDitherModeWritesNothingOnlyWhenReducing) {
    const auto bogus = static_cast<DitherMode>(7);
    EXPECT_EQ(floatToPcm16({0.5f, 0.25f}, bogus), (std::vector<std::int16_t>{0, 0}));
    EXPECT_EQ(
        convert<float>(std::vector<std::int16_t>{16384}, SampleEncoding::Pcm16, SampleEncoding::Float32, bogus),
        (std::vector<float>{0.5f}));
}

TEST(ConvertSamplesDither, UniformStaysWithinOneStepAndNeverTouchesState) {
    setDirtyState();
    const DitherState before = ditherState;
    const float x = 100.3f / 32768.0f;
    const auto out = floatToPcm16(std::vector<float>(2000, x), DitherMode::Uniform);
    EXPECT_TRUE(stateEquals(before, ditherState));
    int ups = 0;
    for (const std::int16_t v : out) {
        ASSERT_TRUE(v == 100 || v == 101) << v;
        ups += v == 101;
    }
    // The noise spans one step, so roughly 30 % round up.
    EXPECT_GT(ups, 300);
    EXPECT_LT(ups, 900);
}

TEST(ConvertSamplesDither, HighPassMatchesFirstDifferenceAndRestartsEachConversion) {
    std::vector<float> in(64);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = std::sin(static_cast<float>(i) * 0.3f) * 0.01f;
    }
    setDirtyState();
    std::srand(4242);
    const auto first = floatToPcm16(in, DitherMode::HighPass);

    std::srand(4242);
    float previous = 0.0f;
    std::vector<std::int16_t> expected;
    for (const float s : in) {
        const float u = referenceDraw();
        const float y = (u + s * 32768.0f) - previous;
        previous = u;
        expected.push_back(referenceClip16(y));
    }
    EXPECT_EQ(first, expected);
    EXPECT_EQ(ditherState.previous, previous);

    setDirtyState();
    std::srand(4242);
    EXPECT_EQ(floatToPcm16(in, DitherMode::HighPass), first);
}

// Long enough, and loud enough, that a fused multiply-add anywhere in the filter shows up in
// the samples and in the fed-back errors.
TEST(ConvertSamplesDither, NoiseShapedMatchesErrorFeedbackFilterAndRestartsEachConversion) {
    std::vector<float> in(4096);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = std::cos(static_cast<float>(i) * 0.7f) * (i < 64 ? 0.002f : 0.3f);
    }
    in[5] = qnan;
    in[9] = 3.0f;
    setDirtyState();
    std::srand(99);
    const auto first = floatToPcm16(in, DitherMode::NoiseShaped);

    std::srand(99);
    float history[8] = {};
    int phase = 0;
    std::vector<std::int16_t> expected;
    for (const float s : in) {
        const float u1 = referenceDraw();
        const float u2 = referenceDraw();
        const float n = u2 + u1;
        float x = std::isnan(s) ? 0.0f : std::fmax(-1.0f, std::fmin(1.0f, s)) * 32768.0f;
        const auto h = [&](int k) { return history[((phase - k) % 8 + 8) % 8]; };
        float e = unfusedProduct(2.033f, h(0));
        e = e + x;
        e = e - unfusedProduct(2.165f, h(1));
        e = e + unfusedProduct(1.959f, h(2));
        e = e - unfusedProduct(1.59f, h(3));
        e = e + unfusedProduct(0.6149f, h(4));
        phase = (phase + 1) % 8;
        const float y = e + n;
        history[phase] = e - std::nearbyint(y);
        expected.push_back(referenceClip16(y));
    }
    EXPECT_EQ(first, expected);
    EXPECT_EQ(ditherState.phase, phase);
    EXPECT_EQ(std::memcmp(ditherState.history, history, sizeof history), 0);

    setDirtyState();
    std::srand(99);
    EXPECT_EQ(floatToPcm16(in, DitherMode::NoiseShaped), first);
}
