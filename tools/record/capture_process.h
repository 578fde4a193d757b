#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

// sondrel-capture running as our child: its stdin is a pipe we write commands
// into, its stdout and stderr are read continuously by a thread of ours (a full
// pipe would block the child). The child gets its own process group, so a
// Ctrl+C at the terminal reaches only us and we decide how it ends; and it is
// sent SIGTERM (an orderly shutdown) should we die first.
class CaptureProcess {
public:
    using Duration = std::chrono::milliseconds;

    // Starts BINARY SETTINGS_PATH LOG_PATH. Throws std::runtime_error when the
    // program cannot be started.
    CaptureProcess(const std::string& binary, const std::string& settingsPath, const std::string& logPath);
    // Ends a child that is still running (SIGTERM, then SIGKILL) and reaps it.
    ~CaptureProcess();
    CaptureProcess(const CaptureProcess&) = delete;
    CaptureProcess& operator=(const CaptureProcess&) = delete;

    pid_t pid() const { return childPid; }

    // Waits for the port line. Returns the port; nothing when the time ran out,
    // the child closed its output first, or `cancelled` returned true.
    template <class Cancel>
    std::optional<int> waitForPort(Duration timeout, Cancel cancelled);

    // Writes one command with a single write. False when the child's stdin is gone.
    bool send(const std::string& command);

    // The child's wait status once it has ended, reported only after both of its
    // pipes have been read to the end (or a short time-out has passed), so that
    // recentOutput() then holds its last lines. Does not wait while it runs.
    std::optional<int> exitStatus();
    // Waits up to timeout for the child to end (plus the draining above).
    std::optional<int> waitExit(Duration timeout);
    // Sends a signal to the child while it has not been reaped.
    void signal(int sig);

    // True while the latest protocol line is the one an orderly exit ends with.
    bool endedWithHiddenLine();
    // The most recent protocol and standard-error lines, oldest first.
    std::vector<std::string> recentOutput();

    // "exited with status N" / "was killed by signal N (NAME)".
    static std::string describeStatus(int status);

    // When set, every protocol line is copied to standard error as it arrives.
    void setEcho(bool on);

private:
    void readOutput();
    void takeLines(std::string& pending, bool fromStdout, bool flushAll);
    void onLine(const std::string& line, bool fromStdout);
    std::optional<int> portOrWait(Duration slice);
    void waitUntilDrained(Duration timeout);

    pid_t childPid = -1;
    std::optional<int> status;
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;

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
std::optional<int> CaptureProcess::waitForPort(Duration timeout, Cancel cancelled)
{
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
