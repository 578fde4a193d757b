#include "capture_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long an ended child's pipes may stay open (a grandchild that inherited them)
// before its end is reported without their last lines.
constexpr std::chrono::milliseconds drainTimeout(2000);

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void makePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void execChild(char* const argv[], int in, int out, int err, int report, pid_t parent) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        ::_exit(127);
    // Ignored signals stay ignored across exec; the child sets up its own.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv);
    const int e = errno;
    [[maybe_unused]] auto n = ::write(report, &e, sizeof e);
    ::_exit(127);
}

} // namespace

CaptureProcess::CaptureProcess(const std::string& binary, const std::string& settingsPath,
                               const std::string& logPath) {
    std::vector<std::string> args{binary, settingsPath, logPath};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2], err[2], report[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);
    makePipe(report);

    const pid_t parent = ::getpid();
    childPid = ::fork();
    if (childPid == 0)
        execChild(argv.data(), in[0], out[1], err[1], report[1], parent);
    const int forkErrno = errno;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::close(report[1]);
    stdinFd = in[1];
    stdoutFd = out[0];
    stderrFd = err[0];
    if (childPid < 0) {
        closeFd(stdinFd);
        closeFd(stdoutFd);
        closeFd(stderrFd);
        ::close(report[0]);
        throw std::runtime_error(std::string("cannot start ") + binary + ": " + std::strerror(forkErrno));
    }

    int execErrno = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == sizeof execErrno) {
        waitExit(Duration(2000));
        closeFd(stdinFd);
        closeFd(stdoutFd);
        closeFd(stderrFd);
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(execErrno));
    }
    reader = std::thread(&CaptureProcess::readOutput, this);
}

CaptureProcess::~CaptureProcess() {
    if (!status) {
        signal(SIGTERM);
        if (!waitExit(Duration(3000))) {
            signal(SIGKILL);
            waitExit(Duration(3000));
        }
    }
    {
        std::lock_guard lock(mutex);
        stopReading = true;
    }
    if (reader.joinable())
        reader.join();
    closeFd(stdinFd);
    closeFd(stdoutFd);
    closeFd(stderrFd);
}

bool CaptureProcess::send(const std::string& command) {
    if (stdinFd < 0)
        return false;
    ssize_t n;
    do {
        n = ::write(stdinFd, command.data(), command.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(command.size());
}

std::optional<int> CaptureProcess::exitStatus() {
    if (!status && childPid > 0) {
        int s = 0;
        pid_t r;
        do {
            r = ::waitpid(childPid, &s, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == childPid) {
            // Its last lines may still be in the pipes; whoever asks how it ended
            // also wants to know what it said last.
            waitUntilDrained(drainTimeout);
            status = s;
        }
    }
    return status;
}

std::optional<int> CaptureProcess::waitExit(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exitStatus()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

void CaptureProcess::terminate() { signal(SIGTERM); }

void CaptureProcess::kill() { signal(SIGKILL); }

void CaptureProcess::signal(int sig) {
    // Once reaped, the PID may belong to someone else.
    if (childPid > 0 && !exitStatus())
        ::kill(childPid, sig);
}

std::string CaptureProcess::describeStatus(int s) {
    if (WIFEXITED(s))
        return "exited with status " + std::to_string(WEXITSTATUS(s));
    if (WIFSIGNALED(s)) {
        const char* name = ::sigabbrev_np(WTERMSIG(s));
        return "was killed by signal " + std::to_string(WTERMSIG(s)) +
               (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "ended with wait status " + std::to_string(s);
}

void CaptureProcess::readOutput() {
    std::string pendingOut, pendingErr;
    bool outOpen = true, errOpen = true;
    char buffer[8192];
    while (outOpen || errOpen) {
        {
            std::lock_guard lock(mutex);
            if (stopReading)
                break;
        }
        pollfd fds[2] = {{outOpen ? stdoutFd : -1, POLLIN, 0}, {errOpen ? stderrFd : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            std::string& pending = i == 0 ? pendingOut : pendingErr;
            if (n <= 0) {
                takeLines(pending, i == 0, true);
                (i == 0 ? outOpen : errOpen) = false;
                if (i == 0) {
                    std::lock_guard lock(mutex);
                    outputClosed = true;
                    changed.notify_all();
                }
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            takeLines(pending, i == 0, false);
        }
    }
    std::lock_guard lock(mutex);
    outputClosed = true;
    drained = true;
    changed.notify_all();
}
