// How the settings file is written on a POSIX system: replaced by rename where that is
// safe, written in place where renaming would do harm or cannot work, left alone where we
// may not write, and not written at all when it already holds the text.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalogue_engine.h"
#include "log_capture.h"

// Every fsync() and renameat() of this test program passes through here on its way to
// the C library (a definition in the program comes before the library's), so that a test
// can see which file was flushed to disk, at what size, and what was renamed after it.
namespace {

struct FileEvent {
    enum class Kind { sync, rename } kind;
    std::string path, to; // for a sync: the file and its size when flushed
    off_t size = -1;
};

std::mutex fileEventsMutex;
std::vector<FileEvent> fileEvents;

void recordFileEvent(FileEvent event) {
    std::lock_guard lock(fileEventsMutex);
    fileEvents.push_back(std::move(event));
}

std::vector<FileEvent> takeFileEvents() {
    std::lock_guard lock(fileEventsMutex);
    return std::exchange(fileEvents, {});
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(link, target, sizeof target);
    struct stat s {};
    if (length > 0 && ::fstat(fd, &s) == 0)
        recordFileEvent(
            {FileEvent::Kind::sync, std::string(target, static_cast<std::size_t>(length)), {}, s.st_size});
    return real(fd);
}

namespace {

// A name relative to a folder descriptor, as a path.
std::string pathAt(int folder, const char* name) {
    if (name[0] == '/' || folder == AT_FDCWD)
        return name;
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    const ssize_t length = ::readlink(link, target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) + "/" + name : name;
}

} // namespace

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) noexcept {
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    const int result = real(fromFolder, from, toFolder, to);
    if (result == 0)
        recordFileEvent({FileEvent::Kind::rename, pathAt(fromFolder, from), pathAt(toFolder, to)});
    return result;
}

namespace {

constexpr uid_t nobody = 65534;

struct stat statOf(const std::string& path) {
    struct stat s {};
    EXPECT_EQ(::lstat(path.c_str(), &s), 0) << path;
    return s;
}

// Runs body in a forked child and returns its exit status; -1 if it did not end within
// ten seconds (then it is killed). Root ignores file modes, so with asOrdinaryUser a child
// of root runs as nobody. Log lines of the child are flushed before it ends.
int runInChild(bool asOrdinaryUser, const std::function<int()>& body) {
    Logger::instance().flush();
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (asOrdinaryUser && geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(90);
        const int status = body();
        Logger::instance().flush();
        _exit(status);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SettingsWrite : public ::testing::Test {
protected:
    std::string expectedText() {
        CatalogueEngine engine;
        return engine.currentSettings().toJson();
    }
    void save() {
        CatalogueEngine engine(path);
        engine.saveSettings();
    }

    LogCapture log;
    TempDir dir;
    const std::string path = dir.file("settings.json");
};

} // namespace

TEST_F(SettingsWrite, IdenticalTextIsNotWrittenAgain) {
    save();
    const struct stat first = statOf(path);
    // The file made read-only afterwards proves that the second save did not even try.
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    ASSERT_EQ(runInChild(true,
                         [&] {
                             CatalogueEngine engine(path);
                             engine.saveSettings();
                             return 0;
                         }),
              0);
    save();
    const struct stat second = statOf(path);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_mtim.tv_sec, first.st_mtim.tv_sec);
    EXPECT_EQ(second.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
    EXPECT_EQ(readFile(path), expectedText());
    EXPECT_TRUE(log.lines().empty());
}

// A crash or power cut just after the rename must find the new text, not an empty file:
// the temporary file is flushed to disk with all of it before it takes the old one's name.
TEST_F(SettingsWrite, ReplacementIsOnDiskBeforeItTakesTheName) {
    writeFile(path, "{\"inputDevice\": 0}");
    takeFileEvents();
    save();
    const std::vector<FileEvent> events = takeFileEvents();
    ASSERT_EQ(readFile(path), expectedText());
    const auto renamed = std::find_if(events.begin(), events.end(), [&](const FileEvent& e) {
        return e.kind == FileEvent::Kind::rename && e.to == path;
    });
    ASSERT_NE(renamed, events.end()) << "the old file was not replaced by rename";
    const auto synced = std::find_if(events.begin(), renamed, [&](const FileEvent& e) {
        return e.kind == FileEvent::Kind::sync && e.path == renamed->path;
    });
    ASSERT_NE(synced, renamed) << renamed->path << " was renamed without being flushed first";
    EXPECT_EQ(synced->size, static_cast<off_t>(expectedText().size())) << "flushed before all was written";
}

// A plain write is refused for a file without write permission; replacing it by rename
// (which needs only the directory's permission) must be refused as well.
TEST_F(SettingsWrite, ReadOnlyFileIsNotReplaced) {
    writeFile(path, "{\"inputDevice\": 0}");
    ASSERT_EQ(chown(path.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    const ino_t inode = statOf(path).st_ino;
    ASSERT_EQ(runInChild(true,
                         [&] {
                             CatalogueEngine engine(path);
                             engine.saveSettings();
                             return 0;
                         }),
              0);
    EXPECT_EQ(readFile(path), "{\"inputDevice\": 0}");
    EXPECT_EQ(statOf(path).st_ino, inode);
    EXPECT_EQ(statOf(path).st_mode & 07777, 0444u);
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()),
              1);
}

TEST_F(SettingsWrite, ReplacementKeepsModeAndGroup) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another group needs root";
    writeFile(path, "old");
    ASSERT_EQ(chown(path.c_str(), 0, nobody), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const ino_t inode = statOf(path).st_ino;
    save();
    const struct stat after = statOf(path);
    EXPECT_NE(after.st_ino, inode) << "expected a replacement by rename";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_EQ(after.st_gid, nobody);
    EXPECT_EQ(readFile(path), expectedText());
}

// Someone else's file that we could write (mode 0666; or any file, for root) is theirs:
// it is left alone like a read-only one, neither replaced nor written in place.
TEST_F(SettingsWrite, AnotherUsersFileIsLeftAlone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs a file of another user";
    for (const bool asRoot : {false, true}) {
        SCOPED_TRACE(asRoot ? "saved by root into nobody's file" : "saved by nobody into root's file");
        const std::string text = "old text that is longer than nothing";
        writeFile(path, text);
        ASSERT_EQ(chown(path.c_str(), asRoot ? nobody : 0, asRoot ? nobody : 0), 0);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        const ino_t inode = statOf(path).st_ino;
        ASSERT_EQ(runInChild(!asRoot,
                             [&] {
                                 CatalogueEngine engine(path);
                                 engine.saveSettings();
                                 return 0;
                             }),
                  0);
        EXPECT_EQ(statOf(path).st_ino, inode);
        EXPECT_EQ(statOf(path).st_uid, asRoot ? nobody : 0u);
        EXPECT_EQ(readFile(path), text);
        EXPECT_EQ(log.count("ERROR 无法更新配置文件"), asRoot ? 2u : 1u);
        EXPECT_EQ(
            std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()),
            1);
    }
}

// A new settings file, and the fresh file that replaces an old one, are our user's alone
// whatever the umask; the replacement then takes the old file's mode.
TEST_F(SettingsWrite, NewFilesAreReadableByTheirOwnerOnly) {
    const mode_t before = umask(0);
    save();
    EXPECT_EQ(statOf(path).st_mode & 07777, 0600u);
    std::filesystem::remove(path);
    umask(0277);
    save();
    umask(before);
    EXPECT_EQ(statOf(path).st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(path), expectedText());
}

// Whoever reads a FIFO at the settings path (another user's, in a shared folder) would
// get our settings; and one without a reader must not make us wait. Neither is written.
TEST_F(SettingsWrite, FifoIsNeverWrittenNorWaitedOn) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    save();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 1u);
    EXPECT_TRUE(S_ISFIFO(statOf(path).st_mode));

    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    save();
    char received[64];
    const ssize_t n = ::read(reader, received, sizeof received);
    ::close(reader);
    EXPECT_LE(n, 0) << "the FIFO's reader got the settings";
    EXPECT_TRUE(S_ISFIFO(statOf(path).st_mode));
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()),
              1);
}

// A root-run process given /dev/null as its settings path must not put a regular file in
// its place. A private node of the same device stands in for /dev/null here.
TEST_F(SettingsWrite, CharacterDeviceIsWrittenInPlace) {
    if (geteuid() != 0)
        GTEST_SKIP() << "making a device node needs root";
    ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    save();
    const struct stat after = statOf(path);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, makedev(1, 3));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()),
              1);
}

// A file bind-mounted on its own (a container's configuration, for instance) cannot be
// renamed over: rename() answers EBUSY. The text then goes into the file itself.
TEST_F(SettingsWrite, FailedRenameFallsBackToWritingInPlace) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    const std::string source = dir.file("mounted.json");
    writeFile(source, "old");
    writeFile(path, "underneath");
    const int status = runInChild(false, [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        if (mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        const std::string temporary = dir.file("probe");
        writeFile(temporary, "x");
        if (rename(temporary.c_str(), path.c_str()) == 0 || errno != EBUSY)
            return 78;
        unlink(temporary.c_str());
        CatalogueEngine engine(path);
        engine.saveSettings();
        return 0;
    });
    if (status == 77)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(status, 0);
    EXPECT_EQ(readFile(source), expectedText());
    EXPECT_EQ(readFile(path), "underneath");
    EXPECT_TRUE(log.lines().empty());
}
