#include "record_platform.h"

#include <csignal>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

std::atomic<bool>* interruptFlag = nullptr;

extern "C" void onStopSignal(int) { interruptFlag->store(true); }

} // namespace

void installInterruptHandlers(std::atomic<bool>& interrupted) {
    interruptFlag = &interrupted;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A child that died leaves its stdin pipe without a reader; the write
    // reports EPIPE and we carry on to report it.
    std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> recordArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string defaultCapturePath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "sondrel-capture";
    return (self.parent_path() / "sondrel-capture").string();
}

std::filesystem::path recordPath(const std::string& utf8) { return std::filesystem::path(utf8); }

int createBinaryFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

long long writeFileAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    return ::pwrite(fd, data, size, static_cast<off_t>(offset));
}

int closeFile(int fd) { return ::close(fd); }

bool secureRandomBytes(unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::getrandom(data, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool setEnvironmentForChild(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}
