// --version and --help: asked for only by a sole, exact flag, and answered without
// starting anything.
#include "program_info.h"

#include "capture_under_test.h"
#include "child_process.h"
#include "temp_dir.h"

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(ProgramInfo, OnlyASoleExactFlagAsksForIt) {
    EXPECT_TRUE(informationRequested({"sondrel-capture", "--version"}));
    EXPECT_TRUE(informationRequested({"sondrel-capture", "--help"}));
    for (const std::vector<std::string>& settingsPath : {std::vector<std::string>{"sondrel-capture"},
                                                         {"sondrel-capture", "--version", "log.txt"},
                                                         {"sondrel-capture", "--help", "log.txt"},
                                                         {"sondrel-capture", "settings.json", "--version"},
                                                         {"sondrel-capture", "--Version"},
                                                         {"sondrel-capture", "-v"},
                                                         {"sondrel-capture", "-h"},
                                                         {"sondrel-capture", "--help "},
                                                         {"sondrel-capture", "--version=1"},
                                                         {"sondrel-capture", ""}})
        EXPECT_FALSE(informationRequested(settingsPath)) << settingsPath.size() << " " << settingsPath.back();
}

class ProgramInfoProcess : public ::testing::Test {
protected:
    struct Result {
        std::optional<int> status;
        std::string out, err;
    };
    Result run(const std::string& flag) {
        ChildProcess child({capture_under_test::command({flag}), {}, dir.path, ChildProcess::StdinMode::DevNull});
        Result r;
        r.status = child.waitExit(10s);
        r.out = child.stdoutText();
        r.err = child.stderrText();
        return r;
    }

    const TempDir dir{"program-info"};
};

TEST_F(ProgramInfoProcess, VersionIsOneLineAndHelpTheUsageBothWithStatusZero) {
    const Result version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("sondrel-capture [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;
    EXPECT_EQ(version.err, "");

    const Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: sondrel-capture [SETTINGS_PATH [LOG_PATH]]\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("{ \"port\": N }"), std::string::npos);
    EXPECT_EQ(help.err, "");

    // Taken as a settings path, either flag would have been written as a file here.
    EXPECT_TRUE(fs::is_empty(dir.path));
}

} // namespace
