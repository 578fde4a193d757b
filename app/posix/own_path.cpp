#include "own_path.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/statfs.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace {

// The kernel gives up after as many links in one lookup; so do we, and a file that keeps
// being swapped while we open it counts against the same limit.
constexpr int maxLinks = 40;

// The names of a path in order; "." names are dropped, except that a path ending in "/"
// or "." keeps a final "." so that it names a folder, not the file before it.
std::vector<std::string> namesOf(const std::string& path) {
    std::vector<std::string> names;
    std::size_t start = 0;
    std::string last;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        last = path.substr(start, end - start);
        if (!last.empty() && last != ".")
            names.push_back(last);
        start = end + 1;
    }
    if (!path.empty() && (last.empty() || last == "."))
        names.push_back(".");
    return names;
}

bool readLink(int link, std::string& target) {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(link, "", buffer.data(), buffer.size());
    if (length < 0)
        return false;
    if (static_cast<std::size_t>(length) >= buffer.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    buffer.resize(static_cast<std::size_t>(length));
    target = std::move(buffer);
    return true;
}

bool clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

enum class Step { onward, done };

// A path being walked: the folder reached so far and the names still to visit from there.
class Walk {
public:
    Walk(const std::string& path, FileUse use, bool create, uid_t us) : use(use), create(create), us(us) {
        const std::vector<std::string> names = namesOf(path);
        rest.assign(names.begin(), names.end());
        if (!path.empty() && path.front() == '/')
            enter("/");
        else
            enter(".");
    }

    OpenedPath run() {
        Step step = rest.empty() ? stop(ENOENT) : Step::onward;
        while (step == Step::onward && !rest.empty())
            step = visit();
        return std::move(result);
    }

private:
    Step visit() {
        if (!folder)
            return stop(folderError);
        std::string name = std::move(rest.front());
        rest.pop_front();
        Descriptor entry(::openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!entry) {
            if (errno == ENOENT && rest.empty() && create)
                return makeFile(name);
            return stop(errno);
        }
        struct stat status {};
        if (::fstat(entry.get(), &status) != 0)
            return stop(errno);
        if (S_ISLNK(status.st_mode))
            return rest.empty() && inProcFs() ? openThroughProcLink(name) : followLink(entry, status);
        if (rest.empty())
            return openFile(name, status);
        if (!S_ISDIR(status.st_mode))
            return stop(ENOTDIR);
        folder = std::move(entry);
        folderStatus = status;
        return Step::onward;
    }

    void enter(const char* start) {
        folder = Descriptor(::open(start, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder && ::fstat(folder.get(), &folderStatus) != 0)
            folder.close();
        folderError = folder ? 0 : errno;
    }

    Step stop(int error) {
        result.error = error;
        return Step::done;
    }
    Step refuse(PathRefusal refusal) {
        result.refusal = refusal;
        return Step::done;
    }
    // Once more from this name: something changed under it while we looked.
    Step again(std::string name) {
        if (++links > maxLinks)
            return stop(ELOOP);
        rest.push_front(std::move(name));
        return Step::onward;
    }

    // The link's target takes its place; what it says is read from the link we judged.
    Step followLink(const Descriptor& link, const struct stat& status) {
        if (++links > maxLinks)
            return stop(ELOOP);
        if (!mayFollowLink(status, folderStatus, us))
            return refuse(isSharedFolder(folderStatus) ? PathRefusal::linkInSharedFolder
                                                       : PathRefusal::foreignLink);
        std::string target;
        if (!readLink(link.get(), target))
            return stop(errno);
        if (target.empty())
            return stop(ENOENT);
        const std::vector<std::string> names = namesOf(target);
        rest.insert(rest.begin(), names.begin(), names.end());
        if (target.front() == '/')
            enter("/");
        return Step::onward;
    }

    // The links in /proc/PID/fd (/dev/stdout, /dev/stderr lead there) name open files,
    // pipes and terminals among them, that no path reaches: only the kernel can follow
    // them. Nobody but the process's owner and root can put one there.
    bool inProcFs() const {
        struct statfs fileSystem {};
        return ::fstatfs(folder.get(), &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
    }

    Step openThroughProcLink(const std::string& name) {
        Descriptor file(::openat(folder.get(), name.c_str(), accessFlags() & ~O_NOFOLLOW));
        if (!file)
            return finish(name, Descriptor(), errno);
        struct stat opened {};
        if (::fstat(file.get(), &opened) != 0)
            return finish(name, Descriptor(), errno);
        result.status = opened;
        if (const PathRefusal refusal = judgeFile(opened, folderStatus, use, us); refusal != PathRefusal::none)
            return refuse(refusal);
        if (!clearNonBlocking(file.get()))
            return finish(name, Descriptor(), errno);
        return finish(name, std::move(file), 0);
    }

    int accessFlags() const {
        return (use == FileUse::read ? O_RDONLY : O_WRONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    }

    // The file is judged by what the name showed, opened, and used only if the open file
    // is that same one: between the two, anyone who may write to the folder can swap it.
    Step openFile(const std::string& name, const struct stat& seen) {
        result.status = seen;
        if (const PathRefusal refusal = judgeFile(seen, folderStatus, use, us); refusal != PathRefusal::none)
            return refuse(refusal);
        // Not even opened until judged: opening some devices does something by itself.
        Descriptor file(::openat(folder.get(), name.c_str(), accessFlags()));
        if (!file)
            return errno == ELOOP ? again(name) : finish(name, Descriptor(), errno);
        struct stat opened {};
        if (::fstat(file.get(), &opened) != 0)
            return finish(name, Descriptor(), errno);
        if (opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)
            return again(name);
        if (!clearNonBlocking(file.get()))
            return finish(name, Descriptor(), errno);
        result.status = opened;
        return finish(name, std::move(file), 0);
    }

    // O_EXCL: a name that appeared meanwhile is looked at again like any other.
    Step makeFile(const std::string& name) {
        Descriptor file(::openat(folder.get(), name.c_str(), accessFlags() | O_CREAT | O_EXCL, 0600));
        if (!file)
            return errno == EEXIST ? again(name) : stop(errno);
        if (::fstat(file.get(), &result.status) != 0 || !clearNonBlocking(file.get())) {
            const int error = errno;
            ::unlinkat(folder.get(), name.c_str(), 0);
            return stop(error);
        }
        result.created = true;
        return finish(name, std::move(file), 0);
    }

    Step finish(const std::string& name, Descriptor file, int error) {
        result.file = std::move(file);
        result.error = error;
        result.name = name;
        result.folder = std::move(folder);
        return Step::done;
    }

    const FileUse use;
    const bool create;
    const uid_t us;
    std::deque<std::string> rest;
    Descriptor folder;
    struct stat folderStatus {};
    int folderError = 0;
    int links = 0;
    OpenedPath result;
};

} // namespace

bool isSharedFolder(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

bool mayFollowLink(const struct stat& link, const struct stat& folder, uid_t us) {
    if (link.st_uid != us && link.st_uid != 0)
        return false;
    return !isSharedFolder(folder) || link.st_uid == us || link.st_uid == folder.st_uid;
}

PathRefusal judgeFile(const struct stat& file, const struct stat& folder, FileUse use, uid_t us) {
    if (S_ISCHR(file.st_mode))
        return file.st_uid == us || file.st_uid == 0 ? PathRefusal::none : PathRefusal::foreignFile;
    if (!S_ISREG(file.st_mode))
        return PathRefusal::notAFile;
    if (file.st_uid == us)
        return PathRefusal::none;
    if (use == FileUse::write)
        return PathRefusal::foreignFile;
    return isSharedFolder(folder) && file.st_uid != folder.st_uid ? PathRefusal::foreignFile : PathRefusal::none;
}

OpenedPath openOwnPath(const std::filesystem::path& path, FileUse use, bool create, uid_t us) {
    return Walk(path.string(), use, create, us).run();
}
