#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// The rename is only durable once the directory entry itself is on disk.
void syncDirectoryOf(const std::filesystem::path& file) {
    const std::string directory = file.parent_path().string();
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::path target = path;
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec)
            target = resolved;
    }
    const std::string temporary = target.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return (errno == EACCES || errno == EPERM || errno == EROFS) ? ReplaceResult::DirectoryUnusable
                                                                      : ReplaceResult::Failed;
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);

    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temporary.c_str(), target.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temporary.c_str());
        return ReplaceResult::Failed;
    }
    syncDirectoryOf(target);
    return ReplaceResult::Done;
}
