#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A child process for tests: spawned with pipes on stdout and stderr (and
// optionally stdin), read by background threads so the child never blocks on a
// full pipe. Every wait takes a timeout. The child leads its own process group;
// the destructor kills that group (by the child's PID) unless the child was
// already reaped, and reaps it.
class ChildProcess {
public:
    enum class StdinMode { Pipe, DevNull, Closed };

    struct Options {
        std::vector<std::string> argv;        // argv[0] is the executable path
        std::vector<std::string> environment; // "NAME=value", added to or replacing the inherited ones
        std::string workingDirectory;         // empty: inherit
        StdinMode stdinMode = StdinMode::Pipe;
    };

    explicit ChildProcess(Options options);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Next complete stdout line (without "\n", or "\r\n" as Windows programs end
    // their lines), nullopt on timeout or once
    // stdout has ended and every complete line has been read.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Reads lines until one satisfies the predicate; returns it, nullopt on
    // timeout or EOF. Lines read on the way are consumed.
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& predicate,
                                           std::chrono::milliseconds timeout);

    // What the child wrote so far. Once it has been reaped (waitExit(), running()), they
    // first wait for both pipes to reach their end, so that the text is all of it: the
    // reader may still be draining one pipe when the other has ended and the child is
    // gone. A descendant that holds the pipes open gets outputGrace, once.
    std::vector<std::string> stdoutLines() const; // all complete lines
    std::string stdoutText() const;               // raw bytes, unterminated tail included
    std::string stderrText() const;
    // Waits until stdout has reached EOF (child and its descendants closed it).
    bool waitStdoutClosed(std::chrono::milliseconds timeout);

    bool writeStdin(const std::string& bytes); // false on EPIPE or without a stdin pipe
    void closeStdin();

    // Exit status, or 128 + signal number when killed by a signal; nullopt on timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    bool running();
    bool kill(int signal);
    pid_t pid() const { return pid_; }

    double cpuSeconds() const; // utime + stime of the child, -1 when unavailable
    long residentKiB() const;  // VmRSS, -1 when unavailable

    static constexpr std::chrono::seconds outputGrace{10};

private:
    void readerLoop();
    void waitForOutputEnd(std::unique_lock<std::mutex>& lock) const;
    bool reap(bool block);
    bool reaped() const;

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    int wakeRead_ = -1; // a byte here stops the reader
    int wakeWrite_ = -1;

    mutable std::mutex statusMutex_;
    std::optional<int> exitStatus_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string stdoutData_;
    std::string stderrData_;
    std::size_t consumed_ = 0; // offset in stdoutData_ of the next line readLine() returns
    bool stdoutEof_ = false;
    bool stderrEof_ = false;
    mutable bool outputGraceSpent_ = false;

    std::thread reader_; // drains stdout and stderr
};
