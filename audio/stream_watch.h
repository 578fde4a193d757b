#pragma once

#include <chrono>
#include <cstdint>

// PortAudio does not tell us when a stream dies under us (the sound server killed or
// frozen, the source removed): its callback simply stops coming. These two decide, from
// the callback count and the clock alone, when a stream that should run has stopped
// delivering, and when to try to bring it back. Plain values; the engine feeds them.

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;
    // Silence between two callbacks that counts as a stall; they come every 1-5 ms.
    static constexpr Clock::duration stallAfter = std::chrono::seconds(1);
    // Before the first callback: through ALSA's pulse plugin it takes 1.2-2 s to come.
    static constexpr Clock::duration firstCallbackWithin = std::chrono::seconds(5);

    // A stream has just been started; calls is the callback count now.
    void restart(std::uint64_t calls, Clock::time_point now);
    // True while the callback count has not moved for too long.
    bool stalled(std::uint64_t calls, Clock::time_point now);
    // True once a callback has come since restart().
    bool delivering() const { return delivered; }
    // When the count last moved (or the stream was started).
    Clock::time_point lastProgress() const { return lastChange; }
    // The watcher itself saw nothing for a while (the whole process was stopped, or the
    // machine stalled): the callbacks were not missing, only unobserved, so the silence
    // counts from now.
    void resume(Clock::time_point now) { lastChange = now; }

private:
    std::uint64_t lastCalls = 0;
    Clock::time_point lastChange{};
    bool delivered = false;
};

// PortAudio reports what its own buffers lost, but not what a sound server or a plugin
// in front of it dropped while this process was not scheduled (PulseAudio keeps about
// 24 s for a stalled client, then drops the oldest, and says nothing to the ALSA plugin).
// Such a loss shows only as frames that never come: from then on the callbacks have
// delivered less than the clock says was captured. A late delivery catches up, a loss
// does not. Plain values; the engine feeds it the callbacks' frame count and the time.
class DeliveryWatch {
public:
    using Clock = std::chrono::steady_clock;
    // A shortfall below this is how delivery normally comes: the pulse plugin hands over
    // about 65 ms at a time, later under load.
    static constexpr double lossAboveSeconds = 0.25;
    // Real devices run up to ~100 ppm off their nominal rate: the best lead seen is let
    // go this fast, so a slow clock is never taken for a loss.
    static constexpr double driftAllowance = 300e-6;
    // A shortfall counts once it has held for two whole spans while audio kept coming:
    // by then any backlog has been delivered.
    static constexpr Clock::duration span = std::chrono::seconds(1);
    static constexpr int spansToConfirm = 2;

    // A stream at this rate has just been started; frames is the frame count now.
    void start(double sampleRate, std::uint64_t frames);
    // Nothing to watch until the next start.
    void stop() { watching = false; }
    // True once for each loss noticed.
    bool lost(std::uint64_t frames, Clock::time_point now);
    // How much the last loss noticed cost, in seconds of audio.
    double lastLossSeconds() const { return lastLoss; }

private:
    // Frames delivered beyond what the nominal rate gives since the pace was taken.
    double leadAt(std::uint64_t frames, Clock::time_point now) const;
    bool endSpan(std::uint64_t frames, Clock::time_point now);

    bool watching = false;
    bool delivering = false;
    double rate = 0.0;
    std::uint64_t startFrames = 0;
    Clock::time_point origin{};
    std::uint64_t originFrames = 0;
    Clock::time_point lastSeen{};
    double bestLead = 0.0;
    Clock::time_point spanStart{};
    std::uint64_t spanFrames = 0;
    double spanBest = 0.0;
    double previousSpanBest = 0.0;
    bool previousDelivered = false;
    int lowSpans = 0;
    double lastLoss = 0.0;
};

class RecoverySchedule {
public:
    using Clock = std::chrono::steady_clock;
    // A server that restarts is back within seconds; a device that was unplugged may stay
    // away for hours, and each attempt re-initialises PortAudio.
    static constexpr Clock::duration firstInterval = std::chrono::seconds(2);
    static constexpr Clock::duration laterInterval = std::chrono::seconds(10);
    static constexpr Clock::duration backOffAfter = std::chrono::seconds(30);

    void begin(Clock::time_point now);
    bool due(Clock::time_point now) const;
    void attempted(Clock::time_point now);
    Clock::time_point since() const { return began; }
    int attempts() const { return count; }

private:
    Clock::time_point began{};
    Clock::time_point last{};
    int count = 0;
};
