// The settings write on Windows: rename() cannot replace an existing file there, so the
// second save of a run used to fail; and the rules the POSIX side keeps (a read-only
// file left alone, a temporary name no other file has, writing in place when the file
// cannot be replaced by renaming) hold here too.
#include "replace_file.h"

#include <gtest/gtest.h>

#include <windows.h>

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

std::size_t filesIn(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

class WindowsReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        // One folder per test process: CTest runs these tests two at a time.
        dir = fs::temp_directory_path() / (L"sondrel_replace_测试_" + std::to_wstring(GetCurrentProcessId()));
        clear();
        fs::create_directories(dir);
    }
    void TearDown() override { clear(); }
    void clear() {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dir, ignored))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

} // namespace

TEST_F(WindowsReplaceFile, ReplacesAnExistingFileAsTextWithCrLf) {
    const fs::path path = dir / L"设置.json";
    ASSERT_EQ(replaceFileContents(path, "{\n    \"a\": 1\n}"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(path), "{\r\n    \"a\": 1\r\n}");
    ASSERT_EQ(replaceFileContents(path, "{\n    \"a\": 2\n}"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(path), "{\r\n    \"a\": 2\r\n}");
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST_F(WindowsReplaceFile, AReadOnlyFileIsLeftAlone) {
    const fs::path path = dir / "settings.json";
    writeBytes(path, "mine");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(replaceFileContents(path, "{}"), ReplaceResult::NotWritable);
    EXPECT_EQ(bytesOf(path), "mine");
    EXPECT_EQ(filesIn(dir), 1u);
}

// A fixed temporary name would take over (and then delete) a file of that name.
TEST_F(WindowsReplaceFile, TheTemporaryFileNeverTakesAnotherFilesName) {
    const fs::path path = dir / "settings.json";
    writeBytes(path, "old");
    writeBytes(dir / "settings.json.tmp", "someone else's");
    ASSERT_EQ(replaceFileContents(path, "new"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(path), "new");
    EXPECT_EQ(bytesOf(dir / "settings.json.tmp"), "someone else's");
    EXPECT_EQ(filesIn(dir), 2u);
}

// Another program reading the file without sharing its deletion keeps MoveFileExW from
// replacing it; the text then goes into the file itself.
TEST_F(WindowsReplaceFile, AFileThatCannotBeReplacedIsWrittenInPlace) {
    const fs::path path = dir / "settings.json";
    writeBytes(path, "old contents, longer than the new");
    const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION before{};
    ASSERT_TRUE(GetFileInformationByHandle(reader, &before));
    EXPECT_EQ(replaceFileContents(path, "new\n"), ReplaceResult::Done);
    BY_HANDLE_FILE_INFORMATION after{};
    ASSERT_TRUE(GetFileInformationByHandle(reader, &after));
    CloseHandle(reader);
    EXPECT_EQ(bytesOf(path), "new\r\n");
    // Still the same file, not a new one renamed over it.
    EXPECT_EQ(after.nFileIndexLow, before.nFileIndexLow);
    EXPECT_EQ(after.nFileIndexHigh, before.nFileIndexHigh);
    EXPECT_EQ(after.nNumberOfLinks, 1u);
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST_F(WindowsReplaceFile, TheNullDeviceIsWrittenNotReplaced) {
    EXPECT_EQ(replaceFileContents("NUL", "{}"), ReplaceResult::Done);
}

TEST_F(WindowsReplaceFile, ADirectoryInTheWayFailsAndLeavesNoTemporaryFile) {
    const fs::path path = dir / "settings.json";
    fs::create_directories(path);
    EXPECT_EQ(replaceFileContents(path, "{}"), ReplaceResult::Failed);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(filesIn(dir), 1u);
}

TEST_F(WindowsReplaceFile, MissingDirectoryFails) {
    EXPECT_EQ(replaceFileContents(dir / "missing" / "settings.json", "{}"), ReplaceResult::Failed);
}
