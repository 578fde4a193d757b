#pragma once

#include <chrono>
#include <cstdint>
#include <span>

// Peak and RMS of everything received, plus a short-term peak for the live meter.
class LevelMeter {
public:
    void add(std::span<const float> samples);

    // Largest absolute sample since the last call (0 when none arrived).
    float takeRecentPeak();

    float peak() const { return overallPeak; }
    double rms() const;
    std::uint64_t count() const { return samples; }

    // 20*log10(value); -inf for 0.
    static double toDbfs(double value);

private:
    std::uint64_t samples = 0;
    double sumSquares = 0.0;
    float overallPeak = 0.0f;
    float recentPeak = 0.0f;
};

// Detects blocks that did not arrive in time.
//
// The server sends its buffered audio every 50 ms, so arrivals come in bursts.
// For each message, lag = arrival time - (samples received before it / 44100 Hz):
// the moment the stream "should" have reached this point if the audio kept pace
// with real time, taken as an offset. The reference is the smallest lag seen so
// far. A message whose lag exceeds the reference by more than the threshold is a
// gap; the reference is then reset to that message, since the lost time is not
// made up, so one interruption counts once and later messages are judged afresh.
class GapDetector {
public:
    using Clock = std::chrono::steady_clock;

    explicit GapDetector(std::chrono::milliseconds threshold = std::chrono::milliseconds(150))
        : threshold(threshold) {}

    // Registers one message of sampleCount samples arriving at the given time.
    // Returns true when it completes a gap.
    bool onMessage(Clock::time_point arrival, std::size_t sampleCount);

    std::uint64_t gaps() const { return gapCount; }
    // The largest excess over the reference among the gaps (zero if none).
    std::chrono::milliseconds longestGap() const;

private:
    std::chrono::milliseconds threshold;
    bool started = false;
    Clock::time_point origin;        // arrival of the first message
    std::uint64_t samplesBefore = 0; // samples received before the current message
    double reference = 0.0;          // smallest lag seen since the last gap, seconds
    std::uint64_t gapCount = 0;
    double longest = 0.0;
};
