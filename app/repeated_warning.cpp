#include "repeated_warning.h"

#include <vector>

#include "logger.h"

RepeatedWarning::RepeatedWarning(std::string tag, std::string message, Clock::duration period,
                                 std::function<Clock::time_point()> now)
    : tag(std::move(tag)), message(std::move(message)), period(period), now(std::move(now)) {}

RepeatedWarning::~RepeatedWarning() {
    std::lock_guard<std::mutex> guard(mutex);
    if (pending > 0)
        summarise(now());
}

void RepeatedWarning::report(std::uint64_t times) { count(times, nullptr); }

void RepeatedWarning::reportDetailed(const std::string& line) { count(1, &line); }

void RepeatedWarning::count(std::uint64_t times, const std::string* line) {
    if (times == 0)
        return;
    std::lock_guard<std::mutex> guard(mutex);
    const Clock::time_point t = now();
    if (inBurst && pending == 0 && t - lastLogged >= period)
        inBurst = false;
    if (!inBurst) {
        Logger::instance().warn(tag, line ? *line : message);
        inBurst = true;
        lastLogged = t;
        pending = times - 1;
        return;
    }
    pending += times;
    if (t - lastLogged >= period)
        summarise(t);
}

void RepeatedWarning::poll() {
    std::lock_guard<std::mutex> guard(mutex);
    const Clock::time_point t = now();
    if (pending > 0 && t - lastLogged >= period)
        summarise(t);
}

void RepeatedWarning::summarise(Clock::time_point t) {
    Logger::instance().warn(tag, message + " (又发生 " + std::to_string(pending) + " 次)");
    pending = 0;
    lastLogged = t;
}

RepeatedWarning& RepeatedWarnings::warningFor(const std::string& detail) {
    std::lock_guard<std::mutex> guard(mutex);
    std::unique_ptr<RepeatedWarning>& slot = byDetail[detail];
    if (!slot)
        slot = std::make_unique<RepeatedWarning>(tag, prefix + detail);
    return *slot;
}

void RepeatedWarnings::report(const std::string& detail) { warningFor(detail).report(); }

void RepeatedWarnings::reportDetailed(const std::string& kind, const std::string& line) {
    warningFor(kind).reportDetailed(line);
}

void RepeatedWarnings::poll() {
    std::vector<RepeatedWarning*> warnings;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto& [detail, warning] : byDetail)
            warnings.push_back(warning.get());
    }
    for (RepeatedWarning* warning : warnings)
        warning->poll();
}
