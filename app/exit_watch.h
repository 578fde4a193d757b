#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

// Once the process is asked to end, it ends within exitLimit, whatever the sound stack
// or a peer does. The requests: "exit" on either channel (startClock() as it is queued;
// the control loop acts on it in turn), SIGINT or SIGTERM, the parent process gone (these
// two ask the control loop to end: requested()). The first one starts the clock; the
// orderly shutdown that follows normally ends the process long before. When it has not, the watch logs one ERROR
// naming the shutdown step that hung, writes the hidden line if the window was shown and its hidden line is still
// owed, flushes the log and ends the process with status 0. A second signal ends it that way at once.
//
// Its thread also pushes the log to its file once a second.
class ExitWatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration exitLimit = std::chrono::seconds(3);
    // What a shutdown step is waiting for, when it can tell (a PortAudio call's name).
    using Detail = const char* (*)();

    // Call after installStopHandlers() and rememberParentProcess().
    explicit ExitWatch(Clock::duration limit = exitLimit);
    ~ExitWatch();
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;

    // Any thread. An exit is on its way: the clock starts, if it has not already.
    void startClock();
    // Any thread. Asks the control loop to end, and starts the clock.
    void request();
    bool requested() const { return isRequested.load(); }
    // Main thread: what it is doing now, named in the error line if it does not finish.
    void step(const char* name, Detail detail = nullptr);

private:
    void run();
    std::string currentStep();
    [[noreturn]] void endNow(const std::string& why);

    const Clock::duration limit;
    std::atomic<bool> isRequested{false};
    std::mutex mutex;
    bool stopping = false;
    Clock::time_point deadline = Clock::time_point::max();
    const char* stepName = "启动";
    Detail stepDetail = nullptr;
    std::thread thread;
};
