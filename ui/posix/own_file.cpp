#include "own_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

// Why the open file is not one of ours to trust, or an empty string.
std::string distrust(const struct stat& status) {
    if (!S_ISREG(status.st_mode))
        return "不是普通文件";
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return "属于其他用户";
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return "组或其他用户可写";
    return {};
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Fresh memory is mapped in page by page as read() fills it, each page a fault of its own
// (slow under virtualisation); asking for the whole range at once is much cheaper. Where
// the kernel cannot (before Linux 5.14), the pages come as they used to.
void prefault(unsigned char* buffer, std::size_t size) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(buffer) + page - 1) / page * page;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(buffer) + size) / page * page;
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

} // namespace

struct OwnFile::Handle {
    explicit Handle(int fd) : fd(fd) {}
    Descriptor fd;
};

OwnFile::OwnFile(const char* path, Links links) {
    // Non-blocking: a FIFO planted at the path would otherwise hold the open until some
    // writer comes.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (links == Links::refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(path, flags);
    if (fd < 0) {
        if (errno != ENOENT) {
            current = State::refused;
            why = errno == ELOOP ? "不是普通文件" : "无法读取";
        }
        return;
    }
    handle = std::make_unique<Handle>(fd);
    current = State::refused;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        why = "无法读取";
        return;
    }
    if (why = distrust(status); !why.empty())
        return;
    bytes = static_cast<std::size_t>(status.st_size);
    current = State::opened;
}

OwnFile::~OwnFile() = default;

bool OwnFile::read(unsigned char* into) {
    prefault(into, bytes);
    std::size_t done = 0;
    while (current == State::opened && done < bytes) {
        const ssize_t got = ::read(handle->fd.get(), into + done, bytes - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            current = State::refused;
            why = "无法读取";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return current == State::opened;
}

std::string writeOwnFile(const char* path, std::string_view text) {
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
    bool created = true;
    int raw = ::open(path, flags | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
    if (raw < 0 && errno == EEXIST) {
        created = false;
        raw = ::open(path, flags);
    }
    const Descriptor fd(raw);
    if (fd.get() < 0)
        return errno == ELOOP ? "不是普通文件" : "无法写入";
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return "无法写入";
    // The umask may have taken bits from the mode asked for at creation.
    if (created && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0)
        return "无法设置权限";
    if (!created) {
        if (std::string problem = distrust(status); !problem.empty())
            return problem;
    }
    if (::ftruncate(fd.get(), 0) != 0 || !writeAll(fd.get(), text))
        return "无法写入";
    return {};
}
