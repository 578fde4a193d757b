#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    explicit operator bool() const { return fd >= 0; }
    int get() const { return fd; }
    // The result of close() counts: some file systems report a failed write only here.
    bool close() {
        const int closing = fd;
        fd = -1;
        return closing < 0 || ::close(closing) == 0;
    }

private:
    int fd;
};

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

bool refusedToUs(int error) { return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY; }

// The rename is only durable once the directory entry itself is on disk.
void syncDirectoryOf(const std::filesystem::path& file) {
    const std::string directory = file.parent_path().string();
    Descriptor fd(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

// Into the file itself: it keeps its owner, mode, links and kind. A FIFO without a reader,
// or one that is full, fails rather than making us wait. A regular file is overwritten
// from the start and then cut to length, so the blocks it already has are reused and no
// moment exists at which it is empty.
ReplaceResult writeInPlace(const std::filesystem::path& target, const std::string& text, bool regular) {
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (regular ? 0 : O_NONBLOCK);
    Descriptor fd(::open(target.c_str(), flags));
    if (!fd)
        return refusedToUs(errno) ? ReplaceResult::NotWritable : ReplaceResult::Failed;
    bool ok = writeAll(fd.get(), text);
    if (regular)
        ok = ok && ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    return ok ? ReplaceResult::Done : ReplaceResult::Failed;
}

enum class Renamed { Yes, WriteFailed, NotPossible };

Renamed replaceByRename(const std::filesystem::path& target, const std::string& text, const struct stat& old) {
    std::string temporary = target.string() + ".XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        return Renamed::NotPossible;
    const bool sameOwner = old.st_uid == ::geteuid() && old.st_gid == ::getegid();
    bool ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0 &&
              (sameOwner || ::fchown(fd.get(), old.st_uid, old.st_gid) == 0);
    if (!ok) {
        ::unlink(temporary.c_str());
        return Renamed::NotPossible;
    }
    ok = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok) {
        // Most likely a full disk; the old file is untouched and stays so.
        ::unlink(temporary.c_str());
        return Renamed::WriteFailed;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return Renamed::NotPossible;
    }
    syncDirectoryOf(target);
    return Renamed::Yes;
}

// Nothing to protect yet: the file is made directly, readable by our user only whatever
// the umask. A crash in the middle leaves a file that does not load, which is no worse
// than none.
ReplaceResult createFile(const std::filesystem::path& target, const std::string& text) {
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!fd)
        return ReplaceResult::Failed;
    bool ok = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok) {
        ::unlink(target.c_str());
        return ReplaceResult::Failed;
    }
    syncDirectoryOf(target);
    return ReplaceResult::Done;
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
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) {
        if (errno != ENOENT)
            return ReplaceResult::Failed;
        const ReplaceResult created = createFile(target, text);
        // Someone made it in the meantime: replace theirs like any other.
        if (created == ReplaceResult::Done || ::stat(target.c_str(), &old) != 0)
            return created;
    }
    if (S_ISDIR(old.st_mode))
        return ReplaceResult::Failed;
    if (!S_ISREG(old.st_mode))
        return writeInPlace(target, text, false);
    // Another user's file, even one we could write (root can, and so can anyone when
    // it is world-writable), is theirs: left alone like a read-only one.
    if (old.st_uid != ::geteuid())
        return ReplaceResult::NotWritable;

    // May we write it at all? Opening it for writing, without truncating, asks the
    // file system the way a plain write would.
    {
        Descriptor probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
        if (!probe)
            return refusedToUs(errno) ? ReplaceResult::NotWritable : ReplaceResult::Failed;
    }
    switch (replaceByRename(target, text, old)) {
    case Renamed::Yes:
        return ReplaceResult::Done;
    case Renamed::WriteFailed:
        return ReplaceResult::Failed;
    case Renamed::NotPossible:
        break;
    }
    return writeInPlace(target, text, true);
}
