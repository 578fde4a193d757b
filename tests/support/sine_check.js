'use strict';
// Frequency, amplitude and continuity of a signal that should be one steady sine
// tone (the JavaScript counterpart of sine_check.cpp, for the Node and browser tests).

// Rising zero crossings, interpolated between the two samples around each.
function zeroCrossingFrequency(x, sampleRate) {
    let first = -1, last = -1, crossings = 0;
    for (let i = 1; i < x.length; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const t = i - 1 + x[i - 1] / (x[i - 1] - x[i]);
            if (crossings === 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    return crossings < 2 || last <= first ? 0 : (crossings - 1) * sampleRate / (last - first);
}

// samples: an array-like of numbers. Leading near-silence and then `transient`
// samples are skipped. A three-sample step that leaves the sine recurrence
// x[n-1] + x[n+1] = 2cos(w) x[n] by more than discontinuityFraction of the amplitude
// is a discontinuity: a lost, repeated or garbled stretch.
function analyseSine(samples, { sampleRate = 44100, transient = 0, discontinuityFraction = 0.05 } = {}) {
    let start = 0;
    while (start < samples.length && Math.abs(samples[start]) < 0.01)
        ++start;
    const x = Array.from(samples).slice(Math.min(samples.length, start + transient));
    const result = { analysedCount: x.length, frequency: 0, amplitude: 0, maxStepDeviation: 0, discontinuities: 0 };
    if (x.length < 16)
        return result;
    let sum = 0;
    for (const v of x)
        sum += v * v;
    result.amplitude = Math.sqrt(sum / x.length) * Math.SQRT2;
    result.frequency = zeroCrossingFrequency(x, sampleRate);
    if (result.amplitude <= 0 || result.frequency <= 0)
        return result;
    const twoCos = 2 * Math.cos(2 * Math.PI * result.frequency / sampleRate);
    for (let i = 1; i + 1 < x.length; ++i) {
        const step = Math.abs(x[i - 1] + x[i + 1] - twoCos * x[i]) / result.amplitude;
        result.maxStepDeviation = Math.max(result.maxStepDeviation, step);
        if (step > discontinuityFraction)
            ++result.discontinuities;
    }
    return result;
}

function describe(a) {
    return `${a.analysedCount} samples: ${a.frequency.toFixed(2)} Hz, amplitude ${a.amplitude.toFixed(4)}, `
        + `max step deviation ${a.maxStepDeviation.toFixed(4)}, discontinuities ${a.discontinuities}`;
}

module.exports = { analyseSine, describe };
