#include "child_pipes.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Between looks at a child that is being waited for: waitpid cannot wait with a bound.
constexpr ChildPipes::Duration reapSlice(10);
// How long a child whose program could not be executed may take to end.
constexpr ChildPipes::Duration failedStartWait(2000);

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

struct ChildPipes::Impl {
    pid_t pid = -1;
    std::optional<int> status;
    int stdinFd = -1;
    std::array<int, 2> outputFds{-1, -1};

    ~Impl() {
        closeFd(stdinFd);
        closeFd(outputFds[0]);
        closeFd(outputFds[1]);
    }

    std::optional<int> reap() {
        if (!status && pid > 0) {
            int s = 0;
            pid_t r;
            do {
                r = ::waitpid(pid, &s, WNOHANG);
            } while (r < 0 && errno == EINTR);
            if (r == pid)
                status = s;
        }
        return status;
    }

    void signal(int sig) {
        // Once reaped, the PID may belong to someone else.
        if (pid > 0 && !reap())
            ::kill(pid, sig);
    }
};

ChildPipes::ChildPipes(const std::vector<std::string>& arguments) : impl(std::make_unique<Impl>()) {
    std::vector<std::string> args = arguments;
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
    impl->pid = ::fork();
    if (impl->pid == 0)
        execChild(argv.data(), in[0], out[1], err[1], report[1], parent);
    const int forkErrno = errno;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::close(report[1]);
    impl->stdinFd = in[1];
    impl->outputFds = {out[0], err[0]};
    if (impl->pid < 0) {
        ::close(report[0]);
        throw std::runtime_error("cannot start " + arguments.at(0) + ": " + std::strerror(forkErrno));
    }

    int execErrno = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == sizeof execErrno) {
        const auto deadline = std::chrono::steady_clock::now() + failedStartWait;
        while (!impl->reap() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(reapSlice);
        throw std::runtime_error("cannot start " + arguments.at(0) + ": " + std::strerror(execErrno));
    }
}

ChildPipes::~ChildPipes() = default;

ProcessId ChildPipes::pid() const { return impl->pid; }

bool ChildPipes::write(std::string_view bytes) {
    if (impl->stdinFd < 0)
        return false;
    ssize_t n;
    do {
        n = ::write(impl->stdinFd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

ChildPipes::Output ChildPipes::read(const std::array<bool, 2>& open, Duration wait) {
    Output output;
    pollfd fds[2] = {{open[0] ? impl->outputFds[0] : -1, POLLIN, 0},
                     {open[1] ? impl->outputFds[1] : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) {
        // Nothing more can be read: report both as ended rather than spin.
        output.ended = open;
        return output;
    }
    char buffer[8192];
    for (std::size_t i = 0; i < 2 && ready > 0; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t n;
        do {
            n = ::read(fds[i].fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            output.ended[i] = true;
        else
            output.bytes[i].assign(buffer, static_cast<std::size_t>(n));
    }
    return output;
}

std::optional<int> ChildPipes::ended() { return impl->reap(); }

void ChildPipes::waitForEnd(Duration slice) {
    const auto deadline = std::chrono::steady_clock::now() + slice;
    while (!impl->reap() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(reapSlice);
}

void ChildPipes::terminate() { impl->signal(SIGTERM); }

void ChildPipes::kill() { impl->signal(SIGKILL); }

std::string ChildPipes::describeStatus(int s) {
    if (WIFEXITED(s))
        return "exited with status " + std::to_string(WEXITSTATUS(s));
    if (WIFSIGNALED(s)) {
        const char* name = ::sigabbrev_np(WTERMSIG(s));
        return "was killed by signal " + std::to_string(WTERMSIG(s)) +
               (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "ended with wait status " + std::to_string(s);
}
