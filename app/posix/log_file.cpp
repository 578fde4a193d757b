#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "quoted_text.h"

namespace {

// The kernel's protected_symlinks rule, which many containers leave off: a link in a
// sticky, world-writable folder (/tmp) is followed only when it is ours or the folder
// owner's. Anyone may put a link there, and it may lead to any file we can write.
bool mayFollow(const std::filesystem::path& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return true;
    std::filesystem::path folder = path.parent_path();
    struct stat directory {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &directory) != 0)
        return false;
    const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == ::geteuid() || link.st_uid == directory.st_uid;
}

} // namespace

LogFileOpening openLogFile(const std::filesystem::path& path) {
    LogFileOpening opening;
    const bool follow = mayFollow(path);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    // Made here, or there already? Only a file we made gets its mode from us.
    int fd = ::open(path.c_str(), flags | O_EXCL, 0600);
    const bool created = fd >= 0;
    if (!created && errno == EEXIST)
        fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        // Refused by O_NOFOLLOW (ELOOP, or EACCES where the kernel checks the sticky
        // folder first).
        if (!follow)
            opening.refusal =
                "日志文件路径是其他用户在共享文件夹中放置的链接, 不写日志: " + quoteText(path.string());
        return opening;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        ::close(fd);
        return opening;
    }
    if (S_ISREG(opened.st_mode) && opened.st_uid != ::geteuid()) {
        ::close(fd);
        opening.refusal = "日志文件属于其他用户, 不写日志: " + quoteText(path.string());
        return opening;
    }
    // Whatever the umask: it could leave the file to the group or take our own write.
    if (created)
        ::fchmod(fd, 0600);
    // Emptied only now that we know whose it is.
    if (S_ISREG(opened.st_mode))
        ::ftruncate(fd, 0);
    opening.file = ::fdopen(fd, "w");
    if (!opening.file)
        ::close(fd);
    return opening;
}
