#include "exit_watch.h"

#include <cstdlib>

#include <fmt/format.h>

#include "logger.h"
#include "process_platform.h"
#include "stdout_lines.h"

namespace {

const std::string tag = "Main";

// How often the thread looks at the parent and the clock; it is also how long the
// destructor may wait for it.
constexpr std::chrono::milliseconds tick{50};
constexpr ExitWatch::Clock::duration logPushInterval = std::chrono::seconds(1);

} // namespace

ExitWatch::ExitWatch(Clock::duration limit) : limit(limit), thread([this] { run(); }) {}

ExitWatch::~ExitWatch() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = true;
    }
    thread.join();
}

void ExitWatch::request() {
    isRequested = true;
    startClock();
}

void ExitWatch::startClock() {
    std::lock_guard<std::mutex> guard(mutex);
    if (deadline == Clock::time_point::max())
        deadline = Clock::now() + limit;
}

void ExitWatch::step(const char* name, Detail detail) {
    std::lock_guard<std::mutex> guard(mutex);
    stepName = name;
    stepDetail = detail;
}

void ExitWatch::run() {
    Clock::time_point lastPush = Clock::now();
    bool parentReported = false;
    bool signalled = false;
    for (;;) {
        const bool stopSignal = waitForStopRequest(tick);
        if (stopSignal && signalled)
            endNow("再次收到终止信号, 立即退出, 卡在: " + currentStep());
        if (stopSignal) {
            signalled = true;
            Logger::instance().info(tag, "收到终止信号, 准备退出");
            request();
        }
        if (!parentReported && parentProcessGone()) {
            parentReported = true;
            Logger::instance().warn(tag, "父进程已退出, 准备退出");
            request();
        }
        const Clock::time_point now = Clock::now();
        bool overdue = false;
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (stopping)
                return;
            overdue = now >= deadline;
        }
        if (overdue)
            endNow(fmt::format("{} 秒内未能退出, 卡在: {}, 强制退出",
                               std::chrono::duration_cast<std::chrono::seconds>(limit).count(), currentStep()));
        if (now - lastPush >= logPushInterval) {
            Logger::instance().flush();
            lastPush = now;
        }
    }
}

std::string ExitWatch::currentStep() {
    std::lock_guard<std::mutex> guard(mutex);
    const char* detail = stepDetail ? stepDetail() : nullptr;
    return detail ? std::string(stepName) + " (" + detail + ")" : std::string(stepName);
}

void ExitWatch::endNow(const std::string& why) {
    Logger::instance().error(tag, why);
    finishStandardStreamsWithOwedHiddenLine();
    Logger::instance().flush();
    std::_Exit(0);
}
