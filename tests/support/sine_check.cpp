#include "sine_check.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>

namespace {

double zeroCrossingFrequency(const float* x, std::size_t count, double sampleRate) {
    // Rising crossings, interpolated between the two samples around them.
    double first = -1.0, last = -1.0;
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / static_cast<double>(x[i - 1] - x[i]);
            if (crossings == 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2 || last <= first)
        return 0.0;
    return static_cast<double>(crossings - 1) * sampleRate / (last - first);
}

// Fits a*sin(wn) + b*cos(wn) + c to one block and returns the largest distance from it.
double blockFitDeviation(const float* x, std::size_t count, double w) {
    double ss = 0, sc = 0, s1 = 0, cc = 0, c1 = 0, n = 0, xs = 0, xc = 0, x1 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double s = std::sin(w * static_cast<double>(i)), c = std::cos(w * static_cast<double>(i));
        ss += s * s;
        sc += s * c;
        s1 += s;
        cc += c * c;
        c1 += c;
        n += 1;
        xs += x[i] * s;
        xc += x[i] * c;
        x1 += x[i];
    }
    // Solve the 3x3 normal equations by Cramer's rule.
    const double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, n}};
    const double r[3] = {xs, xc, x1};
    auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    if (std::fabs(d) < 1e-12)
        return 0.0;
    double coef[3];
    for (int k = 0; k < 3; ++k) {
        double t[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                t[i][j] = (j == k) ? r[i] : m[i][j];
        coef[k] = det(t) / d;
    }
    double worst = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double fit = coef[0] * std::sin(w * static_cast<double>(i)) +
                           coef[1] * std::cos(w * static_cast<double>(i)) + coef[2];
        worst = std::max(worst, std::fabs(x[i] - fit));
    }
    return worst;
}

} // namespace

SineAnalysis analyseSine(const float* samples, std::size_t count, const SineCheckOptions& options) {
    SineAnalysis a;
    std::size_t start = 0;
    if (options.skipLeadingSilence)
        while (start < count && std::fabs(samples[start]) < options.leadingSilenceLevel)
            ++start;
    start = std::min(count, start + options.transient);
    a.analysedFrom = start;
    a.analysedCount = count - start;
    if (a.analysedCount < 16)
        return a;
    const float* x = samples + start;
    const std::size_t n = a.analysedCount;

    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    a.amplitude = std::sqrt(sum / static_cast<double>(n)) * std::numbers::sqrt2;
    a.frequency = zeroCrossingFrequency(x, n, options.sampleRate);
    if (a.amplitude <= 0.0 || a.frequency <= 0.0)
        return a;

    const double w = 2.0 * std::numbers::pi * a.frequency / options.sampleRate;
    const double twoCos = 2.0 * std::cos(w);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double step = std::fabs(x[i - 1] + static_cast<double>(x[i + 1]) - twoCos * x[i]) / a.amplitude;
        if (step > a.maxStepDeviation) {
            a.maxStepDeviation = step;
            a.maxStepDeviationAt = start + i;
        }
        if (step > options.discontinuityFraction)
            ++a.discontinuities;
    }

    const std::size_t block = 1024;
    for (std::size_t from = 0; from + block / 2 <= n; from += block)
        a.maxFitDeviation =
            std::max(a.maxFitDeviation, blockFitDeviation(x + from, std::min(block, n - from), w) / a.amplitude);

    const double silence = options.silenceFraction * a.amplitude;
    std::size_t run = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        if (i < n && std::fabs(x[i]) < silence) {
            ++run;
            continue;
        }
        a.longestSilence = std::max(a.longestSilence, run);
        if (run >= options.minGapSamples)
            ++a.silentGaps;
        run = 0;
    }
    return a;
}

bool SineAnalysis::isContinuousTone(double expectedFrequency, double tolerance) const {
    return analysedCount > 0 && amplitude > 0.0 && std::fabs(frequency - expectedFrequency) <= tolerance &&
           discontinuities == 0 && silentGaps == 0;
}

std::string SineAnalysis::describe() const {
    std::ostringstream out;
    out << "analysed " << analysedCount << " samples from " << analysedFrom << ": frequency " << frequency
        << " Hz, amplitude " << amplitude << ", max step deviation " << maxStepDeviation << " at "
        << maxStepDeviationAt << ", max fit deviation " << maxFitDeviation << ", discontinuities "
        << discontinuities << ", longest silence " << longestSilence << ", silent gaps " << silentGaps;
    return out.str();
}
