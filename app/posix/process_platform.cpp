#include "process_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) { stopSignalled.store(true); }

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

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    // Restart interrupted system calls: the libraries we host are not all
    // prepared for EINTR.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() { return stopSignalled.load(); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

// Paths are bytes here; they are used exactly as the parent passed them.
std::filesystem::path pathFromUtf8(const std::string& path) { return std::filesystem::path(path); }
