#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_shared.h"
#include "catalogue.h"
#include "stream_watch.h"

struct CaptureContext;

// Noticing a stream that stopped delivering, and bringing it back. The engine runs an
// attempt as one of its steps: what to look for is taken on the main thread, the
// attempt itself runs on the audio-control thread, its outcome is adopted on the main
// thread again.

struct RecoveryAttempt {
    // What to look for.
    std::optional<AudioSettings> stored;
    Selection running;
    std::int32_t hostApiType = -1;
    std::string deviceName;
    // What was found.
    DeviceCatalogue catalogue;
    std::optional<RecoveryChoice> choice;
    bool started = false;
    std::string failure;
};

// Audio-control thread. Closes the dead stream in capture (with a frozen sound server
// this waits for libpulse's time-outs), lists PortAudio afresh, and opens and starts the
// chosen device into capture, its callback writing targets. Saves the choice unless it
// would overwrite a profile kept from the settings file. Quiet: an attempt every few
// seconds for as long as a device stays away must not fill the log.
void recoverStream(RecoveryAttempt& attempt, std::unique_ptr<CaptureContext>& capture,
                   const CaptureTargets& targets, const std::string& settingsPath);

// Main thread: watches a stream that should run and decides when to try again. The
// stall, the first failure and the recovery are logged, one line each.
class StreamRecovery {
public:
    using Clock = std::chrono::steady_clock;

    // An operation has taken the stream over: nothing to watch until a start says so.
    void forget();
    // A stream has just been started; calls is the callback count now.
    void watchFrom(std::uint64_t calls, Clock::time_point now);
    // Between operations: true when an attempt is due now. Turns running false when the
    // stream stalls and true again when its callbacks come back.
    bool attemptDue(std::uint64_t calls, Clock::time_point now, std::atomic<bool>& running);
    // The watcher saw nothing for a while (the process was stopped as a whole): a stream
    // that delivered before gets a fresh second to show that it still does.
    void watcherWasAway(Clock::time_point now);
    // An attempt has ended: the first failure is logged, a started stream watched anew.
    void attemptFinished(const RecoveryAttempt& attempt, std::uint64_t calls, Clock::time_point now);

private:
    bool meantToRun = false;
    bool recovering = false;
    Clock::time_point silentSince{};
    std::string firstFailure;
    StallWatch stallWatch;
    RecoverySchedule schedule;
};
