#include "signal_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audio_message.h"

void LevelMeter::add(std::span<const float> input) {
    for (float s : input) {
        const float a = std::fabs(s);
        overallPeak = std::max(overallPeak, a);
        recentPeak = std::max(recentPeak, a);
        sumSquares += static_cast<double>(s) * s;
    }
    samples += input.size();
}

float LevelMeter::takeRecentPeak() {
    const float p = recentPeak;
    recentPeak = 0.0f;
    return p;
}

double LevelMeter::rms() const {
    return samples == 0 ? 0.0 : std::sqrt(sumSquares / static_cast<double>(samples));
}

double LevelMeter::toDbfs(double value) {
    if (value <= 0.0)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(value);
}

bool GapDetector::onMessage(Clock::time_point arrival, std::size_t sampleCount) {
    if (!started) {
        started = true;
        origin = arrival;
    }
    const double elapsed = std::chrono::duration<double>(arrival - origin).count();
    const double lag = elapsed - static_cast<double>(samplesBefore) / streamSampleRate;
    samplesBefore += sampleCount;

    bool gap = false;
    const double limit = std::chrono::duration<double>(threshold).count();
    if (lag - reference > limit) {
        gap = true;
        ++gapCount;
        longest = std::max(longest, lag - reference);
        reference = lag;
    } else {
        reference = std::min(reference, lag);
    }
    return gap;
}

std::chrono::milliseconds GapDetector::longestGap() const {
    return std::chrono::milliseconds(static_cast<long long>(std::lround(longest * 1000.0)));
}
