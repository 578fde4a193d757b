// Opening the settings and log paths where other local users may have planted links,
// FIFOs and devices, with the kernel's own protections (fs.protected_*) switched off.
#include "posix/own_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "log_file.h"
#include "quoted_text.h"
#include "replace_file.h"
#include "small_file.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct stat withOwnerAndMode(uid_t owner, mode_t mode) {
    struct stat status {};
    status.st_uid = owner;
    status.st_mode = mode;
    return status;
}

const char* nameOf(PathRefusal refusal) {
    switch (refusal) {
    case PathRefusal::none:
        return "none";
    case PathRefusal::linkInSharedFolder:
        return "linkInSharedFolder";
    case PathRefusal::foreignLink:
        return "foreignLink";
    case PathRefusal::notAFile:
        return "notAFile";
    case PathRefusal::foreignFile:
        return "foreignFile";
    }
    return "?";
}

// Root may give files away; the layout every case below is drawn from:
//   <dir>/victim.txt          ours, the file a planted link would aim at
//   <dir>/shared/             mode 01777, like /tmp
//   <dir>/shared/theirs/      a folder nobody made inside it
class OwnPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "giving files to another user needs root";
        writeText(victim, "victim\n");
        fs::create_directory(shared);
        ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
        fs::create_directory(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), nobody, nobody), 0);
    }

    // A symbolic link at `at` to `target`, owned by `owner`.
    fs::path link(const fs::path& at, const fs::path& target, uid_t owner) {
        fs::create_symlink(target, at);
        EXPECT_EQ(::lchown(at.c_str(), owner, owner), 0) << at;
        return at;
    }
    fs::path fileOf(uid_t owner, const fs::path& at) {
        writeText(at, "theirs\n");
        EXPECT_EQ(::chown(at.c_str(), owner, owner), 0) << at;
        return at;
    }
    fs::path fifoOf(uid_t owner, const fs::path& at) {
        EXPECT_EQ(::mkfifo(at.c_str(), 0666), 0) << at;
        EXPECT_EQ(::chown(at.c_str(), owner, owner), 0) << at;
        return at;
    }

    TempDir dir{"own-path-test"};
    const fs::path victim = dir / "victim.txt";
    const fs::path shared = dir / "shared";
    const fs::path theirs = shared / "theirs";
};

struct Case {
    std::string name;
    fs::path path;
    FileUse use;
    PathRefusal refusal;
    bool opened;
};

} // namespace

// The pure rules, for a process that is not root: comparing with root's uid instead of
// our own would pass every case the suite could build as root.
TEST(OwnPathRules, TheUserProtectedIsTheOneGiven) {
    const uid_t us = 1000;
    const struct stat sharedOfRoot = withOwnerAndMode(0, S_IFDIR | 01777);
    const struct stat privateFolder = withOwnerAndMode(us, S_IFDIR | 0755);
    EXPECT_TRUE(mayFollowLink(withOwnerAndMode(us, S_IFLNK | 0777), sharedOfRoot, us));
    EXPECT_FALSE(mayFollowLink(withOwnerAndMode(us, S_IFLNK | 0777), sharedOfRoot, 1001));
    EXPECT_TRUE(mayFollowLink(withOwnerAndMode(0, S_IFLNK | 0777), sharedOfRoot, us));
    EXPECT_FALSE(mayFollowLink(withOwnerAndMode(1001, S_IFLNK | 0777), privateFolder, us));
    // In a shared folder of another user, that user's links are still another user's.
    EXPECT_FALSE(
        mayFollowLink(withOwnerAndMode(1001, S_IFLNK | 0777), withOwnerAndMode(1001, S_IFDIR | 01777), us));
    // Root's link in a shared folder someone else owns: the kernel's rule refuses it too.
    EXPECT_FALSE(mayFollowLink(withOwnerAndMode(0, S_IFLNK | 0777), withOwnerAndMode(1001, S_IFDIR | 01777), us));

    const struct stat ours = withOwnerAndMode(us, S_IFREG | 0600);
    const struct stat rootsFile = withOwnerAndMode(0, S_IFREG | 0644);
    EXPECT_EQ(judgeFile(ours, sharedOfRoot, FileUse::write, us), PathRefusal::none);
    EXPECT_EQ(judgeFile(ours, sharedOfRoot, FileUse::write, 0), PathRefusal::foreignFile);
    EXPECT_EQ(judgeFile(rootsFile, privateFolder, FileUse::write, us), PathRefusal::foreignFile);
    EXPECT_EQ(judgeFile(rootsFile, privateFolder, FileUse::read, us), PathRefusal::none);
    // The folder owner's file in a shared folder may be read; a third user's may not.
    EXPECT_EQ(judgeFile(rootsFile, sharedOfRoot, FileUse::read, us), PathRefusal::none);
    EXPECT_EQ(judgeFile(withOwnerAndMode(1001, S_IFREG | 0644), sharedOfRoot, FileUse::read, us),
              PathRefusal::foreignFile);
    EXPECT_EQ(judgeFile(withOwnerAndMode(0, S_IFCHR | 0666), sharedOfRoot, FileUse::write, us), PathRefusal::none);
    EXPECT_EQ(judgeFile(withOwnerAndMode(1001, S_IFCHR | 0620), privateFolder, FileUse::write, us),
              PathRefusal::foreignFile);
    for (const mode_t kind : {S_IFIFO, S_IFSOCK, S_IFBLK, S_IFDIR})
        EXPECT_EQ(judgeFile(withOwnerAndMode(us, kind | 0600), privateFolder, FileUse::read, us),
                  PathRefusal::notAFile)
            << std::oct << kind;
}

TEST_F(OwnPath, WhatIsOpenedAndWhatIsRefused) {
    const std::vector<Case> cases = {
        {"our file", victim, FileUse::write, PathRefusal::none, true},
        {"our link in the shared folder", link(shared / "ours", victim, 0), FileUse::write, PathRefusal::none,
         true},
        {"another user's link in the shared folder", link(shared / "planted", victim, nobody), FileUse::write,
         PathRefusal::linkInSharedFolder, false},
        {"another user's link read", shared / "planted", FileUse::read, PathRefusal::linkInSharedFolder, false},
        {"another user's link in a folder of theirs inside the shared folder",
         link(theirs / "planted", victim, nobody), FileUse::write, PathRefusal::foreignLink, false},
        {"another user's link to a folder, on the way", link(shared / "folder", dir.path, nobody) / "victim.txt",
         FileUse::write, PathRefusal::linkInSharedFolder, false},
        {"another user's link in our own folder", link(dir / "given", victim, nobody), FileUse::read,
         PathRefusal::foreignLink, false},
        {"our FIFO", fifoOf(0, dir / "fifo"), FileUse::read, PathRefusal::notAFile, false},
        {"our FIFO written", dir / "fifo", FileUse::write, PathRefusal::notAFile, false},
        {"another user's FIFO in the shared folder", fifoOf(nobody, shared / "fifo"), FileUse::write,
         PathRefusal::notAFile, false},
        {"a folder", shared, FileUse::read, PathRefusal::notAFile, false},
        {"a folder named with a slash", dir.path + "/", FileUse::write, PathRefusal::notAFile, false},
        {"/dev/null written", "/dev/null", FileUse::write, PathRefusal::none, true},
        {"/dev/null read", "/dev/null", FileUse::read, PathRefusal::none, true},
        {"another user's file in the shared folder, read", fileOf(nobody, shared / "their.json"), FileUse::read,
         PathRefusal::foreignFile, false},
        {"another user's file in the shared folder, written", shared / "their.json", FileUse::write,
         PathRefusal::foreignFile, false},
        {"another user's file in our folder, read", fileOf(nobody, dir / "given.json"), FileUse::read,
         PathRefusal::none, true},
        {"another user's file in our folder, written", dir / "given.json", FileUse::write,
         PathRefusal::foreignFile, false},
        {"our file through links and dot-dot", link(dir / "up", "shared/../shared/ours", 0), FileUse::read,
         PathRefusal::none, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + ": " + c.path.string());
        const OpenedPath opened = openOwnPath(c.path, c.use, false);
        EXPECT_STREQ(nameOf(opened.refusal), nameOf(c.refusal));
        EXPECT_EQ(static_cast<bool>(opened.file), c.opened) << "error " << opened.error;
        if (opened.file) {
            // Blocking again, as callers expect.
            EXPECT_EQ(::fcntl(opened.file.get(), F_GETFL) & O_NONBLOCK, 0);
        }
    }
    EXPECT_EQ(readText(victim), "victim\n");
}

TEST_F(OwnPath, LinkLoopEndsWithoutARefusal) {
    link(dir / "a", dir / "b", 0);
    link(dir / "b", dir / "a", 0);
    const OpenedPath opened = openOwnPath(dir / "a", FileUse::write, true);
    EXPECT_FALSE(opened.file);
    EXPECT_EQ(opened.refusal, PathRefusal::none);
    EXPECT_EQ(opened.error, ELOOP);
}

TEST_F(OwnPath, MissingFileIsCreatedThroughAPermittedDanglingLink) {
    link(dir / "settings.json", "made.json", 0);
    const OpenedPath opened = openOwnPath(dir / "settings.json", FileUse::write, true);
    ASSERT_TRUE(opened.file) << opened.error;
    EXPECT_TRUE(opened.created);
    EXPECT_EQ(opened.name, "made.json");
    EXPECT_TRUE(fs::is_regular_file(dir / "made.json"));
    EXPECT_TRUE(fs::is_symlink(dir / "settings.json"));
}

// A swap between two starts (renameat2 with RENAME_EXCHANGE does it in one step) puts
// another user's link where our file was: the next open must see the link, not the name
// it remembered, and leave the file it aims at alone.
TEST_F(OwnPath, LinkSwappedInBetweenOpensIsRefused) {
    const fs::path path = shared / "settings.json";
    writeText(path, "ours\n");
    ASSERT_TRUE(openOwnPath(path, FileUse::write, true).file);
    const fs::path planted = link(shared / "planted", victim, nobody);
    ASSERT_EQ(::rename(planted.c_str(), path.c_str()), 0);

    EXPECT_EQ(openOwnPath(path, FileUse::write, true).refusal, PathRefusal::linkInSharedFolder);
    EXPECT_EQ(replaceFileContents(path, "settings\n"), ReplaceResult::Failed);
    const LogFileOpening log = openLogFile(path);
    EXPECT_EQ(log.file, nullptr);
    EXPECT_NE(log.refusal.find("日志文件路径是其他用户在共享文件夹中放置的链接, 不写日志: "), std::string::npos)
        << log.refusal;
    EXPECT_EQ(readText(victim), "victim\n");
    EXPECT_TRUE(fs::is_symlink(path)) << "the planted link itself is theirs to remove";
}

// The settings write makes its fresh file in the folder the link led to and renames it
// over the link's target there, keeping the link.
TEST_F(OwnPath, ReplacementThroughOurLinkLandsInTheTargetsFolder) {
    fs::create_directory(dir / "real");
    writeText(dir / "real" / "settings.json", "old\n");
    link(shared / "settings.json", dir / "real" / "settings.json", 0);
    ASSERT_EQ(replaceFileContents(shared / "settings.json", "new\n"), ReplaceResult::Done);
    EXPECT_EQ(readText(dir / "real" / "settings.json"), "new\n");
    EXPECT_TRUE(fs::is_symlink(shared / "settings.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 1);
}

// Done on a thread that is given up on after a while; a FIFO open that blocks is then
// let through by opening the other end and closing it at once (so that a read that
// follows sees the end of the file), and a failing test still ends.
template <typename Result>
bool finishesPromptly(std::future<Result>& done, const fs::path& fifo, int otherEnd) {
    if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        return true;
    const int release = ::open(fifo.c_str(), otherEnd | O_NONBLOCK | O_CLOEXEC);
    if (release >= 0)
        ::close(release);
    done.wait();
    return false;
}

TEST_F(OwnPath, FifoAtTheLogPathIsRefusedAtOnce) {
    const fs::path fifo = fifoOf(0, shared / "capture.log");
    auto done = std::async(std::launch::async, [&] { return openLogFile(fifo); });
    ASSERT_TRUE(finishesPromptly(done, fifo, O_RDONLY)) << "the log waited for a reader";
    const LogFileOpening log = done.get();
    if (log.file)
        std::fclose(log.file);
    EXPECT_EQ(log.file, nullptr);
    EXPECT_EQ(log.refusal, "日志文件路径不是普通文件, 不写日志: " + quoteText(fifo.string()));
}

TEST_F(OwnPath, FifoAtTheSettingsPathIsNotReadNorWaitedOn) {
    const fs::path fifo = fifoOf(0, dir / "settings.json");
    auto done = std::async(std::launch::async, [&] { return readSmallFile(fifo, 1 << 20); });
    ASSERT_TRUE(finishesPromptly(done, fifo, O_WRONLY)) << "the read waited for a writer";
    EXPECT_EQ(done.get().outcome, SmallFileReading::Outcome::notAFile);
}

TEST_F(OwnPath, EndlessDeviceIsReadNoFurtherThanTheLimit) {
    const SmallFileReading zeros = readSmallFile("/dev/zero", 4096);
    EXPECT_EQ(zeros.outcome, SmallFileReading::Outcome::tooLarge);
    EXPECT_TRUE(zeros.text.empty());
    const SmallFileReading nothing = readSmallFile("/dev/null", 4096);
    EXPECT_EQ(nothing.outcome, SmallFileReading::Outcome::read);
    writeText(dir / "exact", std::string(4096, 'x'));
    EXPECT_EQ(readSmallFile(dir / "exact", 4096).outcome, SmallFileReading::Outcome::read);
}

// A process of an ordinary user: root's file is then another user's, and is not written.
TEST_F(OwnPath, RootsFileIsAnotherUsersForAnOrdinaryUser) {
    const OpenedPath opened = openOwnPath(victim, FileUse::write, false, 1000);
    EXPECT_EQ(opened.refusal, PathRefusal::foreignFile);
    EXPECT_FALSE(opened.file);
    const OpenedPath link = openOwnPath(this->link(dir / "mine", victim, 1000), FileUse::read, false, 1000);
    EXPECT_TRUE(link.file) << "a link of our own user is followed";
}

// /dev/stdout and /dev/stderr lead to /proc/self/fd: an open file that no path names is
// reached through the kernel, and judged like any other.
TEST(OwnPathThroughProc, OurOpenFilesAreReachedAndAPipeIsRefused) {
    const TempDir dir("sondrel-own-path-proc");
    const fs::path file = fs::path(dir.path) / "open.txt";
    const int held = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    const OpenedPath opened = openOwnPath("/proc/self/fd/" + std::to_string(held), FileUse::write, true);
    ASSERT_TRUE(opened.file) << "error " << opened.error << ", refusal " << nameOf(opened.refusal);
    ASSERT_EQ(::write(opened.file.get(), "through proc", 12), 12);
    EXPECT_EQ(readText(file), "through proc");
    ::close(held);

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const OpenedPath pipe = openOwnPath("/proc/self/fd/" + std::to_string(pipeEnds[1]), FileUse::write, true);
    EXPECT_FALSE(pipe.file);
    EXPECT_EQ(pipe.refusal, PathRefusal::notAFile);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}
