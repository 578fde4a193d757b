// The settings write on Windows: rename() cannot replace an existing file there, so the
// second save of a run used to fail.
#include "replace_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class WindowsReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / L"sondrel_replace_测试";
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

} // namespace

TEST_F(WindowsReplaceFile, ReplacesAnExistingFileAsTextWithCrLf) {
    const fs::path path = dir / L"设置.json";
    ASSERT_EQ(replaceFileContents(path, "{\n    \"a\": 1\n}"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(path), "{\r\n    \"a\": 1\r\n}");
    ASSERT_EQ(replaceFileContents(path, "{\n    \"a\": 2\n}"), ReplaceResult::Done);
    EXPECT_EQ(bytesOf(path), "{\r\n    \"a\": 2\r\n}");
    EXPECT_FALSE(fs::exists(dir / L"设置.json.tmp"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(WindowsReplaceFile, ADirectoryInTheWayFailsAndLeavesNoTemporaryFile) {
    const fs::path path = dir / "settings.json";
    fs::create_directories(path);
    EXPECT_EQ(replaceFileContents(path, "{}"), ReplaceResult::Failed);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_FALSE(fs::exists(dir / "settings.json.tmp"));
}

TEST_F(WindowsReplaceFile, MissingDirectoryFails) {
    EXPECT_NE(replaceFileContents(dir / "missing" / "settings.json", "{}"), ReplaceResult::Done);
}
