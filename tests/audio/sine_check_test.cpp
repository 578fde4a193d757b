#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "sine_check.h"

namespace {

std::vector<float> sine(double frequency, double rate, double amplitude, std::size_t count,
                        std::size_t leadingZeros = 0) {
    std::vector<float> out(leadingZeros, 0.0f);
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate)));
    return out;
}

} // namespace

TEST(SineCheck, CleanToneIsContinuous) {
    const SineAnalysis a = analyseSine(sine(1000, 44100, 0.5, 44100, 3000), SineCheckOptions{});
    EXPECT_EQ(a.analysedFrom, 3001u); // the first sample of a sine is 0
    EXPECT_NEAR(a.frequency, 1000.0, 0.05);
    EXPECT_NEAR(a.amplitude, 0.5, 0.001);
    EXPECT_TRUE(a.isContinuousTone(1000, 1)) << a.describe();
    EXPECT_FALSE(a.isContinuousTone(1100, 1));
}

TEST(SineCheck, DroppedBlockIsADiscontinuity) {
    auto x = sine(1000, 44100, 0.5, 44100);
    x.erase(x.begin() + 20000, x.begin() + 20120);
    const SineAnalysis a = analyseSine(x, SineCheckOptions{});
    EXPECT_FALSE(a.isContinuousTone(1000, 2)) << a.describe();
    EXPECT_GT(a.discontinuities, 0u);
    EXPECT_NEAR(static_cast<double>(a.maxStepDeviationAt), 20000.0, 2.0);
}

TEST(SineCheck, SilentGapIsFound) {
    auto x = sine(1000, 44100, 0.5, 44100);
    std::fill(x.begin() + 30000, x.begin() + 30040, 0.0f);
    const SineAnalysis a = analyseSine(x, SineCheckOptions{});
    EXPECT_EQ(a.silentGaps, 1u);
    EXPECT_GE(a.longestSilence, 40u);
    EXPECT_FALSE(a.isContinuousTone(1000, 2));
}

TEST(SineCheck, NothingToAnalyse) {
    const SineAnalysis a = analyseSine(std::vector<float>(1000, 0.0f), SineCheckOptions{});
    EXPECT_EQ(a.analysedCount, 0u);
    EXPECT_FALSE(a.isContinuousTone(1000, 2));
}
