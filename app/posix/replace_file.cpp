#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "descriptor.h"
#include "own_path.h"

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

bool refusedToUs(int error) { return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY; }

// The rename is only durable once the folder's entry itself is on disk. The folder we
// hold was opened only to find names in; syncing needs it opened for reading.
void syncFolder(const OpenedPath& opened) {
    Descriptor fd(::openat(opened.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

// Into the file itself: it keeps its owner, mode, links and kind. A regular file is
// overwritten from the start and then cut to length, so the blocks it already has are
// reused and no moment exists at which it is empty.
ReplaceResult writeInPlace(OpenedPath& opened, const std::string& text) {
    const bool regular = S_ISREG(opened.status.st_mode);
    bool ok = (!regular || ::lseek(opened.file.get(), 0, SEEK_SET) == 0) && writeAll(opened.file.get(), text);
    if (regular)
        ok = ok && ::ftruncate(opened.file.get(), static_cast<off_t>(text.size())) == 0 &&
             ::fsync(opened.file.get()) == 0;
    ok = opened.file.close() && ok;
    return ok ? ReplaceResult::Done : ReplaceResult::Failed;
}

// A name no one is likely to have taken next to the file; O_EXCL settles the rest.
std::string temporaryName(const std::string& name) {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
    std::string temporary = name + ".";
    for (int i = 0; i < 6; ++i)
        temporary += letters[pick(random)];
    return temporary;
}

// Made in the folder we resolved, by name in it, so no path is looked up a second time.
Descriptor makeTemporary(const OpenedPath& opened, std::string& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(opened.name);
        Descriptor fd(::openat(opened.folder.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
        if (fd || errno != EEXIST)
            return fd;
    }
    return Descriptor();
}

enum class Renamed { Yes, WriteFailed, NotPossible };

Renamed replaceByRename(const OpenedPath& opened, const std::string& text) {
    const struct stat& old = opened.status;
    std::string temporary;
    Descriptor fd = makeTemporary(opened, temporary);
    if (!fd)
        return Renamed::NotPossible;
    const auto removeTemporary = [&] { ::unlinkat(opened.folder.get(), temporary.c_str(), 0); };
    const bool sameOwner = old.st_uid == ::geteuid() && old.st_gid == ::getegid();
    bool ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0 &&
              (sameOwner || ::fchown(fd.get(), old.st_uid, old.st_gid) == 0);
    if (!ok) {
        removeTemporary();
        return Renamed::NotPossible;
    }
    ok = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok) {
        // Most likely a full disk; the old file is untouched and stays so.
        removeTemporary();
        return Renamed::WriteFailed;
    }
    if (::renameat(opened.folder.get(), temporary.c_str(), opened.folder.get(), opened.name.c_str()) != 0) {
        removeTemporary();
        return Renamed::NotPossible;
    }
    syncFolder(opened);
    return Renamed::Yes;
}

// Nothing to protect yet: the new file is written directly, readable by our user only
// whatever the umask. A crash in the middle leaves a file that does not load, which is no
// worse than none.
ReplaceResult fillNewFile(OpenedPath& opened, const std::string& text) {
    bool ok = ::fchmod(opened.file.get(), 0600) == 0 && writeAll(opened.file.get(), text) &&
              ::fsync(opened.file.get()) == 0;
    ok = opened.file.close() && ok;
    if (!ok) {
        ::unlinkat(opened.folder.get(), opened.name.c_str(), 0);
        return ReplaceResult::Failed;
    }
    syncFolder(opened);
    return ReplaceResult::Done;
}

} // namespace

ReplaceResult replaceFileContents(const std::filesystem::path& path, const std::string& text) {
    OpenedPath opened = openOwnPath(path, FileUse::write, true);
    // Opening for writing, without truncating, asks the file system whether we may write
    // it the way a plain write would.
    if (!opened.file) {
        if (opened.refusal == PathRefusal::foreignFile)
            return ReplaceResult::NotWritable;
        if (opened.refusal == PathRefusal::none && refusedToUs(opened.error))
            return ReplaceResult::NotWritable;
        return ReplaceResult::Failed;
    }
    if (opened.created)
        return fillNewFile(opened, text);
    if (!S_ISREG(opened.status.st_mode))
        return writeInPlace(opened, text);
    switch (replaceByRename(opened, text)) {
    case Renamed::Yes:
        return ReplaceResult::Done;
    case Renamed::WriteFailed:
        return ReplaceResult::Failed;
    case Renamed::NotPossible:
        break;
    }
    return writeInPlace(opened, text);
}
