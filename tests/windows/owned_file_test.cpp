// The log and the settings file are never written when they belong to another user, or
// when the path ends in a link that another user made: someone who may write to the
// folder could otherwise have us empty or overwrite any file we may write. Another owner
// is given with SetSecurityInfo, which needs the restore privilege on Windows; Wine
// accepts the call but keeps showing the Unix owner, so there the files of another Unix
// user that CTest makes before these tests stand in (SONDREL_ANOTHER_USERS_FILES). Where
// neither (or a symbolic link) can be had, the tests say so and skip.
#include "log_file.h"
#include "quoted_text.h"
#include "replace_file.h"
#include "win32/owned_file.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool enablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool ok = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                    GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

// Opens the file or the link itself, never what a link leads to.
FileHandle openItself(const fs::path& path, DWORD access) {
    return FileHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::string sidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return "(none)";
    const std::string result = utf8(text);
    LocalFree(text);
    return result;
}

// The owner of the file or link itself, as "S-1-..."; empty when it cannot be read.
std::string ownerOf(const fs::path& path) {
    FileHandle file = openItself(path, READ_CONTROL);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!file || GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                 nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    const std::string text = sidText(owner);
    LocalFree(descriptor);
    return text;
}

std::string ourUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    const bool ok = GetTokenInformation(token, TokenUser, buffer, size, &size);
    CloseHandle(token);
    return ok ? sidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : std::string();
}

// One of the files of another Unix user, "theirs" inside; empty when there is none.
fs::path unixUsersFile(const char* name, std::string& why) {
    const fs::path path = fs::path(SONDREL_ANOTHER_USERS_FILES) / name;
    const std::string owner = ownerOf(path);
    if (owner.empty())
        why = "no file of another Unix user at " + utf8(path) + " (made by CTest under Wine)";
    else if (owner == ourUser())
        why = utf8(path) + " is ours: making another user's file needs root";
    else if (bytesOf(path) != "theirs")
        why = utf8(path) + " was changed by a run before; CTest makes it afresh";
    return why.empty() ? path : fs::path();
}

// Gives the file (or the link itself) to the Local Service account; empty when that
// worked, else why not.
std::string giveToAnotherUser(const fs::path& path) {
    enablePrivilege(L"SeRestorePrivilege");
    enablePrivilege(L"SeTakeOwnershipPrivilege");
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &size))
        return "no Local Service SID (error " + std::to_string(GetLastError()) + ")";
    FileHandle file = openItself(path, WRITE_OWNER | READ_CONTROL);
    if (!file)
        return "cannot open for WRITE_OWNER (error " + std::to_string(GetLastError()) + ")";
    const DWORD result =
        SetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr, nullptr);
    file.close();
    if (result != ERROR_SUCCESS)
        return "SetSecurityInfo cannot set another owner (error " + std::to_string(result) + ")";
    if (const std::string owner = ownerOf(path); owner != sidText(sid))
        return "SetSecurityInfo succeeded, but the owner read back is " + owner + ", not " + sidText(sid) +
               " (Wine derives a file's owner from its Unix owner)";
    return {};
}

// A symbolic link to a file, as Windows shows it: a reparse point. Empty when made.
std::string makeLink(const fs::path& link, const fs::path& target) {
    enablePrivilege(L"SeCreateSymbolicLinkPrivilege");
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return "CreateSymbolicLinkW failed (error " + std::to_string(GetLastError()) + ")";
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return "the symbolic link made is not shown as a reparse point";
    return {};
}

class WindowsOwnedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / (L"sondrel_owner_测试_" + std::to_wstring(GetCurrentProcessId()));
        clear();
        fs::create_directories(dir);
    }
    void TearDown() override { clear(); }
    void clear() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Writes one line through a log opened at the path; the refusal, if any.
    std::string logTo(const fs::path& path, bool& opened) {
        LogFileOpening opening = openLogFile(path);
        opened = opening.file != nullptr;
        if (opening.file) {
            std::fputs("第一行\n", opening.file);
            std::fclose(opening.file);
        }
        return opening.refusal;
    }

    fs::path dir;
};

} // namespace

TEST_F(WindowsOwnedFiles, AFileWeMadeIsOurs) {
    const fs::path path = dir / L"我们的.txt";
    writeBytes(path, "ours");
    FileHandle file = openItself(path, READ_CONTROL);
    ASSERT_TRUE(file);
    EXPECT_TRUE(ownedByUs(file.get()));
}

TEST_F(WindowsOwnedFiles, ANewLogIsMadeAndWrittenAsText) {
    const fs::path path = dir / L"日志.log";
    bool opened = false;
    EXPECT_EQ(logTo(path, opened), "");
    ASSERT_TRUE(opened);
    EXPECT_EQ(bytesOf(path), "第一行\r\n");
}

TEST_F(WindowsOwnedFiles, OurOldLogIsEmptiedAndWritten) {
    const fs::path path = dir / "capture.log";
    writeBytes(path, "the log of the run before, longer than the new one\r\n");
    bool opened = false;
    EXPECT_EQ(logTo(path, opened), "");
    ASSERT_TRUE(opened);
    EXPECT_EQ(bytesOf(path), "第一行\r\n");
}

TEST_F(WindowsOwnedFiles, TheLogCanBeReadWhileItIsWritten) {
    const fs::path path = dir / "capture.log";
    LogFileOpening opening = openLogFile(path);
    ASSERT_NE(opening.file, nullptr);
    FileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(reader);
    std::fclose(opening.file);
}

TEST_F(WindowsOwnedFiles, AnotherUsersLogIsNeitherEmptiedNorWritten) {
    const fs::path path = dir / L"别人的.log";
    writeBytes(path, "theirs");
    if (const std::string why = giveToAnotherUser(path); !why.empty())
        GTEST_SKIP() << why;
    bool opened = false;
    EXPECT_EQ(logTo(path, opened), "日志文件属于其他用户, 不写日志: " + quoteText(utf8(path)));
    EXPECT_FALSE(opened);
    EXPECT_EQ(bytesOf(path), "theirs");
}

TEST_F(WindowsOwnedFiles, AnotherUsersSettingsFileIsNotWritten) {
    const fs::path path = dir / "settings.json";
    writeBytes(path, "theirs");
    if (const std::string why = giveToAnotherUser(path); !why.empty())
        GTEST_SKIP() << why;
    EXPECT_EQ(replaceFileContents(path, "{}"), ReplaceResult::NotWritable);
    EXPECT_EQ(bytesOf(path), "theirs");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(WindowsOwnedFiles, AnotherUnixUsersLogIsNeitherEmptiedNorWritten) {
    std::string why;
    const fs::path path = unixUsersFile("capture.log", why);
    if (path.empty())
        GTEST_SKIP() << why;
    const std::string owner = ownerOf(path);
    bool opened = false;
    EXPECT_EQ(logTo(path, opened), "日志文件属于其他用户, 不写日志: " + quoteText(utf8(path)));
    EXPECT_FALSE(opened);
    EXPECT_EQ(bytesOf(path), "theirs");
    EXPECT_EQ(ownerOf(path), owner);
}

TEST_F(WindowsOwnedFiles, AnotherUnixUsersSettingsFileIsNotWritten) {
    std::string why;
    const fs::path path = unixUsersFile("settings.json", why);
    if (path.empty())
        GTEST_SKIP() << why;
    const std::string owner = ownerOf(path);
    EXPECT_EQ(replaceFileContents(path, "{}"), ReplaceResult::NotWritable);
    EXPECT_EQ(bytesOf(path), "theirs");
    // Not replaced by a file of ours under its name either.
    EXPECT_EQ(ownerOf(path), owner);
}

TEST_F(WindowsOwnedFiles, OurLinkIsFollowedAndKept) {
    const fs::path target = dir / "real.json";
    const fs::path link = dir / "settings.json";
    writeBytes(target, "old");
    if (const std::string why = makeLink(link, target); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(replaceFileContents(link, "{}"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(target), "{}");
    EXPECT_TRUE(fs::is_symlink(link));
    bool opened = false;
    EXPECT_EQ(logTo(link, opened), "");
    EXPECT_TRUE(opened);
    EXPECT_EQ(bytesOf(target), "第一行\r\n");
}

TEST_F(WindowsOwnedFiles, AnotherUsersLinkIsNotFollowed) {
    const fs::path target = dir / "ours.txt";
    const fs::path link = dir / "planted";
    writeBytes(target, "ours");
    if (const std::string why = makeLink(link, target); !why.empty())
        GTEST_SKIP() << why;
    if (const std::string why = giveToAnotherUser(link); !why.empty())
        GTEST_SKIP() << why;
    bool opened = false;
    EXPECT_EQ(logTo(link, opened),
              "日志文件路径是其他用户在共享文件夹中放置的链接, 不写日志: " + quoteText(utf8(link)));
    EXPECT_FALSE(opened);
    EXPECT_EQ(replaceFileContents(link, "{}"), ReplaceResult::NotWritable);
    EXPECT_EQ(bytesOf(target), "ours");
}
