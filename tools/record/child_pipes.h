#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A child process whose standard streams are pipes of ours: the operating system's side
// of CaptureProcess, which holds the logic (line splitting, draining, the order of
// shutdown). One implementation per platform (posix/, win32/).
//
// The child gets its own process group, so a Ctrl+C at the terminal reaches only us and
// we decide how it ends; it is ended should we die first (SIGTERM from the kernel on
// Linux, a job object on Windows).

using ProcessId = std::int64_t;

class ChildPipes {
public:
    using Duration = std::chrono::milliseconds;

    // Starts argv[0] with the arguments. Throws std::runtime_error when it cannot be
    // started; no child is left behind then.
    explicit ChildPipes(const std::vector<std::string>& argv);
    // Closes our ends of the pipes. Does not end the child.
    ~ChildPipes();
    ChildPipes(const ChildPipes&) = delete;
    ChildPipes& operator=(const ChildPipes&) = delete;

    ProcessId pid() const;

    // One write to the child's standard input. False when it is gone.
    bool write(std::string_view bytes);

    // What one read of the child's standard output (0) and standard error (1) gave.
    struct Output {
        std::array<std::string, 2> bytes;
        std::array<bool, 2> ended{false, false};
    };
    // Reads what the pipes marked open hold, waiting at most `wait` for anything to come.
    // A pipe that reached its end is reported once. One thread only.
    Output read(const std::array<bool, 2>& open, Duration wait);

    // The child's wait status (on Windows its exit code) once it has ended; nothing while
    // it runs. Once it has been seen to end, the system is never asked again: its process
    // ID may belong to someone else by then.
    std::optional<int> ended();
    // Waits at most `slice` for the child to end.
    void waitForEnd(Duration slice);
    // Asks the child to shut down in order: SIGTERM; on Windows Ctrl+Break to its group.
    void terminate();
    // Ends the child at once: SIGKILL; on Windows TerminateProcess.
    void kill();

    // "exited with status N" / "was killed by signal N (NAME)" (on Windows "ended with
    // exception 0xC0000005" for a crash).
    static std::string describeStatus(int status);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
