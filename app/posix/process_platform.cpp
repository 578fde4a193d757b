#include "process_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

pid_t parentAtStart = -1;

} // namespace

void prepareStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

// Blocked in every thread, so they stay pending until sigtimedwait() takes them: no
// handler runs, and no system call of ours or of the libraries we host sees EINTR.
void installStopHandlers() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForStopRequest(std::chrono::milliseconds timeout) {
    const sigset_t set = stopSignals();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
    return sigtimedwait(&set, nullptr, &wait) > 0;
}

void rememberParentProcess() { parentAtStart = getppid(); }

bool parentProcessGone() { return parentAtStart > 0 && getppid() != parentAtStart; }

// A pipe reports itself writable while it has room for a page; the line is far shorter.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

// Paths are bytes here; they are used exactly as the parent passed them.
std::filesystem::path pathFromUtf8(const std::string& path) { return std::filesystem::path(path); }

// unsetenv() only drops the entry from environ; the bytes stay where the kernel put
// them at exec, and /proc/<pid>/environ keeps showing them to our user and to root. So
// the value is overwritten where it lies first. The stores go through a volatile
// pointer: nothing reads those bytes again, and they must happen anyway.
std::optional<std::string> takeEnvironmentVariable(const std::string& name) {
    char* value = std::getenv(name.c_str());
    if (!value)
        return std::nullopt;
    std::string taken(value);
    volatile char* bytes = value;
    for (std::size_t i = 0; i < taken.size(); ++i)
        bytes[i] = '*';
    ::unsetenv(name.c_str());
    return taken;
}
