#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_pipes.h"

// sondrel-capture running as our child (ChildPipes): we write commands into its
// standard input, and a thread of ours reads its standard output and standard error
// continuously (a full pipe would block the child), keeping the port line, whether the
// last protocol line was the hidden line, and the most recent lines.
class CaptureProcess {
public:
    using Duration = std::chrono::milliseconds;

    // Starts BINARY SETTINGS_PATH LOG_PATH. Throws std::runtime_error when the
    // program cannot be started.
    CaptureProcess(const std::string& binary, const std::string& settingsPath, const std::string& logPath);
    // Ends a child that is still running (terminate, then kill) and reaps it.
    ~CaptureProcess();
    CaptureProcess(const CaptureProcess&) = delete;
    CaptureProcess& operator=(const CaptureProcess&) = delete;

    ProcessId pid() const { return pipes->pid(); }

    // Waits for the port line. Returns the port; nothing when the time ran out,
    // the child closed its output first, or `cancelled` returned true.
    template <class Cancel>
    std::optional<int> waitForPort(Duration timeout, Cancel cancelled);

    // Writes one command with a single write. False when the child's stdin is gone.
    bool send(const std::string& command);

    // The child's wait status (on Windows its exit code) once it has ended, reported
    // only after both of its pipes have been read to the end (or a short time-out has
    // passed), so that recentOutput() then holds its last lines. Does not wait while
    // it runs.
    std::optional<int> exitStatus();
    // Waits up to timeout for the child to end (plus the draining above).
    std::optional<int> waitExit(Duration timeout);
    // Asks the child to shut down in order: SIGTERM; on Windows Ctrl+Break to its
    // process group.
    void terminate();
    // Ends the child at once: SIGKILL; on Windows TerminateProcess.
    void kill();

    // True while the latest protocol line is the one an orderly exit ends with.
    bool endedWithHiddenLine();
    // The most recent protocol and standard-error lines, oldest first.
    std::vector<std::string> recentOutput();

    static std::string describeStatus(int status) { return ChildPipes::describeStatus(status); }

    // When set, every protocol line is copied to standard error as it arrives.
    void setEcho(bool on);

private:
    enum class Source { Stdout, Stderr };
    enum class Pending { Complete, All }; // lines ended by a line feed, or the rest as well

    void readOutput();
    void takeLines(std::string& pending, Source source, Pending which);
    void onLine(const std::string& line, Source source);
    std::optional<int> portOrWait(Duration slice);
    void waitUntilDrained(Duration timeout);

    std::unique_ptr<ChildPipes> pipes;
    std::optional<int> status;

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<int> port;
    bool outputClosed = false;
    bool drained = false; // both pipes read to their end
    bool hidden = false;
    bool echo = false;
    std::deque<std::string> recent;
    bool stopReading = false;
    std::thread reader;
};

template <class Cancel>
std::optional<int> CaptureProcess::waitForPort(Duration timeout, Cancel cancelled) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && !cancelled()) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - std::chrono::steady_clock::now());
        if (auto p = portOrWait(std::min(left, Duration(100))))
            return p;
        std::lock_guard lock(mutex);
        if (outputClosed)
            return port;
    }
    std::lock_guard lock(mutex);
    return port;
}
