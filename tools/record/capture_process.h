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

#ifdef _WIN32
using ProcessId = unsigned long;
#else
#include <sys/types.h>
using ProcessId = pid_t;
#endif

// sondrel-capture running as our child: its stdin is a pipe we write commands
// into, its stdout and stderr are read continuously by a thread of ours (a full
// pipe would block the child). The child gets its own process group, so a
// Ctrl+C at the terminal reaches only us and we decide how it ends; and it is
// sent SIGTERM (an orderly shutdown) should we die first. On Windows it runs in
// a job object that ends it should we die first.
// One implementation per platform (posix/, win32/); the line handling is shared.
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

    ProcessId pid() const { return childPid; }

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
#ifndef _WIN32
    // Sends a signal to the child while it has not been reaped.
    void signal(int sig);
#endif

    // True while the latest protocol line is the one an orderly exit ends with.
    bool endedWithHiddenLine();
    // The most recent protocol and standard-error lines, oldest first.
    std::vector<std::string> recentOutput();

    // "exited with status N" / "was killed by signal N (NAME)" (on Windows
    // "ended with exception 0xC0000005" for a crash).
    static std::string describeStatus(int status);

    // When set, every protocol line is copied to standard error as it arrives.
    void setEcho(bool on);

private:
    void readOutput();
    void takeLines(std::string& pending, bool fromStdout, bool flushAll);
    void onLine(const std::string& line, bool fromStdout);
    std::optional<int> portOrWait(Duration slice);
    void waitUntilDrained(Duration timeout);

    ProcessId childPid = static_cast<ProcessId>(-1);
    std::optional<int> status;
#ifdef _WIN32
    // HANDLEs, kept as void* so that <windows.h> stays out of this header.
    void* processHandle = nullptr;
    void* job = nullptr;
    void* stdinPipe = nullptr;
    void* stdoutPipe = nullptr;
    void* stderrPipe = nullptr;
#else
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
#endif

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
