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

private:
    std::uint64_t lastCalls = 0;
    Clock::time_point lastChange{};
    bool delivered = false;
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
