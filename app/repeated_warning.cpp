#include "repeated_warning.h"

#include "logger.h"

RepeatedWarning::RepeatedWarning(std::string tag, std::string message, Clock::duration period,
                                 std::function<Clock::time_point()> now)
    : tag(std::move(tag)), message(std::move(message)), period(period), now(std::move(now)) {}

RepeatedWarning::~RepeatedWarning() {
    std::lock_guard<std::mutex> guard(mutex);
    if (pending > 0)
        summarise(now());
}

void RepeatedWarning::report(std::uint64_t times) {
    if (times == 0)
        return;
    std::lock_guard<std::mutex> guard(mutex);
    const Clock::time_point t = now();
    if (inBurst && pending == 0 && t - lastLogged >= period)
        inBurst = false;
    if (!inBurst) {
        Logger::instance().warn(tag, message);
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

void RepeatedWarnings::report(const std::string& detail) {
    RepeatedWarning* warning;
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::unique_ptr<RepeatedWarning>& slot = byDetail[detail];
        if (!slot)
            slot = std::make_unique<RepeatedWarning>(tag, prefix + detail);
        warning = slot.get();
    }
    warning->report();
}
