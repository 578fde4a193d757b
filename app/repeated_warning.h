#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// A warning that a stuck peer or an overloaded machine can make fire many times a
// second. The first occurrence of a burst is logged at once; later ones are counted
// and reported as one summary line per period, "<message> (又发生 N 次)". After a
// quiet period the next occurrence starts a new burst. Any thread may report, but not
// the real-time audio thread: this takes a lock and writes the log.
class RepeatedWarning {
public:
    using Clock = std::chrono::steady_clock;

    RepeatedWarning(std::string tag, std::string message, Clock::duration period = std::chrono::minutes(1),
                    std::function<Clock::time_point()> now = Clock::now);
    // Reports what is still counted, so no occurrence goes unmentioned.
    ~RepeatedWarning();
    RepeatedWarning(const RepeatedWarning&) = delete;
    RepeatedWarning& operator=(const RepeatedWarning&) = delete;

    void report(std::uint64_t times = 1);
    // One occurrence, like report(), whose line, should it start a burst, is `line`: the
    // message with what this occurrence saw. Summaries carry the plain message.
    void reportDetailed(const std::string& line);
    // Writes the pending summary once its period has passed; for callers that want
    // the count of a burst that has ended to reach the log without a new occurrence.
    void poll();

private:
    void count(std::uint64_t times, const std::string* line);
    void summarise(Clock::time_point now);

    const std::string tag;
    const std::string message;
    const Clock::duration period;
    const std::function<Clock::time_point()> now;
    std::mutex mutex;
    bool inBurst = false;
    Clock::time_point lastLogged{};
    std::uint64_t pending = 0;
};

// A warning whose message ends in a library's error text: each text is its own
// RepeatedWarning, so a burst of one error is logged once and then counted.
class RepeatedWarnings {
public:
    RepeatedWarnings(std::string tag, std::string prefix) : tag(std::move(tag)), prefix(std::move(prefix)) {}

    void report(const std::string& detail);
    // Counted under `kind` (so a peer that varies what it sends makes no new entries);
    // a burst starts with `line`, the summaries name prefix + kind.
    void reportDetailed(const std::string& kind, const std::string& line);
    // poll() on each.
    void poll();

private:
    RepeatedWarning& warningFor(const std::string& detail);

    const std::string tag;
    const std::string prefix;
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<RepeatedWarning>> byDetail;
};
