#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Analysis of a received signal that should be one steady sine tone: its frequency and
// amplitude, and whether it runs on without gaps, jumps or dropped stretches.
struct SineCheckOptions {
    double sampleRate = 44100.0;
    // Samples ignored after the first sound (converter delay and fade-in).
    std::size_t transient = 0;
    // Leading samples quieter than this (absolute) are not part of the tone yet.
    bool skipLeadingSilence = true;
    double leadingSilenceLevel = 0.01;
    // A stretch of at least minGapSamples samples below silenceFraction x amplitude is a gap.
    double silenceFraction = 0.02;
    std::size_t minGapSamples = 8;
    // A three-sample step that deviates from the sine recurrence by more than this
    // fraction of the amplitude counts as a discontinuity.
    double discontinuityFraction = 0.05;
};

struct SineAnalysis {
    std::size_t analysedFrom = 0;  // first sample analysed
    std::size_t analysedCount = 0; // samples analysed
    double frequency = 0.0;        // Hz, from the zero crossings
    double amplitude = 0.0;        // peak, from the RMS
    // Largest |x[n-1] + x[n+1] - 2cos(w)x[n]| over the amplitude: about zero for any
    // steady sine of frequency w, large wherever the signal jumps.
    double maxStepDeviation = 0.0;
    std::size_t maxStepDeviationAt = 0;
    // Largest distance from a least-squares sine fitted per block, over the amplitude.
    double maxFitDeviation = 0.0;
    std::size_t discontinuities = 0; // samples whose step deviation is over the limit
    std::size_t longestSilence = 0;  // longest run of near-silent samples
    std::size_t silentGaps = 0;      // near-silent runs of at least minGapSamples

    // A tone at frequency (+- tolerance Hz), present, with no gap and no discontinuity.
    bool isContinuousTone(double expectedFrequency, double tolerance) const;
    std::string describe() const;
};

SineAnalysis analyseSine(const float* samples, std::size_t count, const SineCheckOptions& options);
inline SineAnalysis analyseSine(const std::vector<float>& samples, const SineCheckOptions& options) {
    return analyseSine(samples.data(), samples.size(), options);
}
