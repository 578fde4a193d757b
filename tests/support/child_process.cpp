#include "child_process.h"

#include "output_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A test that writes to a child which already exited must see EPIPE, not die.
void ignoreSigpipeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// Keeps our pipe ends off 0..2 so the dup2 calls in the child cannot clobber
// one another when the test runner itself started without standard streams.
int aboveStandardFds(int fd) {
    if (fd > 2)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        read = aboveStandardFds(fds[0]);
        write = aboveStandardFds(fds[1]);
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0)
            ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    int releaseRead() { return std::exchange(read, -1); }
    int releaseWrite() { return std::exchange(write, -1); }
};

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e)
        result.emplace_back(*e);
    for (const auto& entry : extra) {
        std::string name = entry.substr(0, entry.find('='));
        std::erase_if(result, [&](const std::string& existing) {
            return existing.compare(0, name.size() + 1, name + "=") == 0;
        });
        result.push_back(entry);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Runs in the forked child: only async-signal-safe calls until execve.
[[noreturn]] void execChild(const ChildProcess::Options& options, int stdinFd, int stdoutFd, int stderrFd,
                            int errorFd, char* const* argv, char* const* envp) {
    auto fail = [errorFd] {
        int err = errno;
        (void)!::write(errorFd, &err, sizeof err);
        ::_exit(127);
    };
    // The test binary ignores SIGPIPE; an ignored disposition survives execve,
    // so give the child the default one back, and an empty signal mask.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Its own process group, so the destructor can take down helpers the child
    // started along with it.
    ::setpgid(0, 0);

    if (options.stdinMode == ChildProcess::StdinMode::Closed) {
        ::close(0);
    } else if (::dup2(stdinFd, 0) < 0) {
        fail();
    }
    if (::dup2(stdoutFd, 1) < 0 || ::dup2(stderrFd, 2) < 0)
        fail();
    // Everything else (our pipe ends, descriptors of the test binary) goes.
    if (errorFd > 3)
        ::close_range(3, static_cast<unsigned>(errorFd) - 1, 0);
    ::close_range(static_cast<unsigned>(errorFd) + 1, ~0U, 0);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
        fail();
    ::execve(argv[0], argv, envp);
    fail();
    ::_exit(127);
}

} // namespace

ChildProcess::ChildProcess(Options options) {
    if (options.argv.empty())
        throw std::invalid_argument("ChildProcess: empty argv");
    ignoreSigpipeOnce();

    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = mergedEnvironment(options.environment);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    Pipe in, out, err, errors, wake;
    int devNull = -1;
    if (options.stdinMode == StdinMode::DevNull) {
        devNull = aboveStandardFds(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (devNull < 0)
            throw std::runtime_error("open /dev/null failed");
    }
    int childStdin = options.stdinMode == StdinMode::Pipe ? in.read : devNull;

    pid_t pid = ::fork();
    if (pid < 0) {
        if (devNull >= 0)
            ::close(devNull);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0)
        execChild(options, childStdin, out.write, err.write, errors.write, argv.data(), envp.data());

    pid_ = pid;
    if (devNull >= 0)
        ::close(devNull);
    in.closeRead();
    out.closeWrite();
    err.closeWrite();
    errors.closeWrite();

    int execErrno = 0;
    ssize_t n;
    do {
        n = ::read(errors.read, &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(execErrno));
    }

    if (options.stdinMode == StdinMode::Pipe)
        stdinFd_ = in.releaseWrite();
    stdoutFd_ = out.releaseRead();
    stderrFd_ = err.releaseRead();
    wakeRead_ = wake.releaseRead();
    wakeWrite_ = wake.releaseWrite();
    reader_ = std::thread([this] { readerLoop(); });
}

ChildProcess::~ChildProcess() {
    // Until the child is reaped its PID (and so its group id) cannot be reused.
    if (!reaped())
        ::kill(-pid_, SIGKILL);
    reap(true);
    closeStdin();
    // Normally the pipes reach EOF once the child is gone; a grandchild that
    // inherited them must not keep the test waiting, so the reader gets a grace
    // period and is then told to stop.
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(2), [this] { return stdoutEof_ && stderrEof_; });
    }
    char byte = 1;
    (void)!::write(wakeWrite_, &byte, 1);
    if (reader_.joinable())
        reader_.join();
    for (int fd : {stdoutFd_, stderrFd_, wakeRead_, wakeWrite_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void ChildProcess::readerLoop() {
    char buffer[65536];
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {
            {outOpen ? stdoutFd_ : -1, POLLIN, 0}, {errOpen ? stderrFd_ : -1, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            std::lock_guard lock(mutex_);
            if (n > 0) {
                (i == 0 ? stdoutData_ : stderrData_).append(buffer, static_cast<std::size_t>(n));
            } else {
                (i == 0 ? outOpen : errOpen) = false;
                (i == 0 ? stdoutEof_ : stderrEof_) = true;
            }
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    stdoutEof_ = true;
    stderrEof_ = true;
    changed_.notify_all();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::size_t newline = std::string::npos;
    changed_.wait_for(lock, timeout, [&] {
        newline = stdoutData_.find('\n', consumed_);
        return newline != std::string::npos || stdoutEof_;
    });
    if (newline == std::string::npos)
        return std::nullopt;
    std::string line(
        output_line::withoutCarriageReturn(std::string_view(stdoutData_).substr(consumed_, newline - consumed_)));
    consumed_ = newline + 1;
    return line;
}

std::optional<std::string> ChildProcess::waitForLine(const std::function<bool(const std::string&)>& predicate,
                                                     std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return std::nullopt;
        auto line = readLine(left);
        if (!line)
            return std::nullopt;
        if (predicate(*line))
            return line;
    }
}

void ChildProcess::waitForOutputEnd(std::unique_lock<std::mutex>& lock) const {
    if (outputGraceSpent_ || (stdoutEof_ && stderrEof_) || !reaped())
        return;
    outputGraceSpent_ = !changed_.wait_for(lock, outputGrace, [this] { return stdoutEof_ && stderrEof_; });
}

std::vector<std::string> ChildProcess::stdoutLines() const {
    std::unique_lock lock(mutex_);
    waitForOutputEnd(lock);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = stdoutData_.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.emplace_back(
            output_line::withoutCarriageReturn(std::string_view(stdoutData_).substr(start, nl - start)));
    }
    return lines;
}

std::string ChildProcess::stdoutText() const {
    std::unique_lock lock(mutex_);
    waitForOutputEnd(lock);
    return stdoutData_;
}

std::string ChildProcess::stderrText() const {
    std::unique_lock lock(mutex_);
    waitForOutputEnd(lock);
    return stderrData_;
}

bool ChildProcess::waitStdoutClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return stdoutEof_; });
}

bool ChildProcess::writeStdin(const std::string& bytes) {
    if (stdinFd_ < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(stdinFd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    stdinFd_ = -1;
}

bool ChildProcess::reap(bool block) {
    std::lock_guard lock(statusMutex_);
    if (exitStatus_)
        return true;
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
        return false;
    if (WIFEXITED(status)) {
        exitStatus_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        exitStatus_ = 128 + WTERMSIG(status);
    } else {
        exitStatus_ = -1;
    }
    return true;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard lock(statusMutex_);
    return exitStatus_;
}

bool ChildProcess::reaped() const {
    std::lock_guard lock(statusMutex_);
    return exitStatus_.has_value();
}

bool ChildProcess::running() { return !reap(false); }

bool ChildProcess::kill(int signal) {
    // Once reaped the PID may belong to someone else: never signal it again.
    std::lock_guard lock(statusMutex_);
    if (exitStatus_ || pid_ <= 0)
        return false;
    return ::kill(pid_, signal) == 0;
}

double ChildProcess::cpuSeconds() const {
    if (reaped())
        return -1;
    std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto paren = content.rfind(')');
    if (paren == std::string::npos)
        return -1;
    // After the command name: state (field 3) ... utime (14), stime (15).
    std::istringstream fields(content.substr(paren + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ChildProcess::residentKiB() const {
    if (reaped())
        return -1;
    std::ifstream file("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}
