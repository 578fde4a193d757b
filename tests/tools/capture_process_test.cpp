// CaptureProcess against small stand-in programs that write what sondrel-capture
// writes, so the line handling and the process handling are checked exactly.
#include "capture_process.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CaptureProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("capture_process_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string script(const std::string& body) {
        const auto path = dir / ("fake" + std::to_string(++count) + ".sh");
        std::ofstream(path) << "#!/bin/sh\n" << body;
        ::chmod(path.c_str(), 0755);
        return path.string();
    }

    bool hasLine(CaptureProcess& p, const std::string& line) {
        for (const auto& l : p.recentOutput())
            if (l == line)
                return true;
        return false;
    }

    std::filesystem::path dir;
    int count = 0;
};

constexpr auto never = [] { return false; };

TEST_F(CaptureProcessTest, FindsThePortAmongLibraryLinesAndRunsTheCommandExchange) {
    const std::string fake = script(R"(echo "$1|$2" >&2
echo '[2026-01-01 10:00:00] [info] 音频'
echo '[2026-01-01 10:00:00] [frame_header] Header Bytes: '
echo '[0] (4) 82 7e 08 00 '
echo ''
echo '{ "port": 40001 }'
while IFS= read -r cmd; do
  echo "Getting command: $cmd"
  echo '[2026-01-01 10:00:01] [frame_header] Dispatching write containing 1 message(s)'
  if [ "$cmd" = exit ]; then echo '{ "event": "hidden" }'; exit 0; fi
done
exit 5
)");
    CaptureProcess p(fake, "settings.json", "capture.log");
    EXPECT_EQ(::getpgid(p.pid()), p.pid()) << "the child leads its own process group";
    ASSERT_EQ(p.waitForPort(5000ms, never), 40001);
    EXPECT_TRUE(p.send("show\n"));
    EXPECT_TRUE(p.send("exit\n"));
    const auto status = p.waitExit(5000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "exited with status 0");
    // The reader may still be taking the last lines out of the pipe.
    for (auto until = Clock::now() + 2s; !p.endedWithHiddenLine() && Clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(p.endedWithHiddenLine());
    EXPECT_TRUE(hasLine(p, "Getting command: show"));
    EXPECT_TRUE(hasLine(p, "Getting command: exit"));
    EXPECT_TRUE(hasLine(p, "(stderr) settings.json|capture.log"));
    for (const auto& l : p.recentOutput())
        EXPECT_NE(l.front(), '[') << l;
}

TEST_F(CaptureProcessTest, PortLineSplitAcrossWritesIsStillFound) {
    CaptureProcess p(script("printf '{ \"port\": '; sleep 0.2; printf '4242 }\\n'; sleep 30\n"), "s", "l");
    EXPECT_EQ(p.waitForPort(5000ms, never), 4242);
}

TEST_F(CaptureProcessTest, ChildEndingWithoutPortIsSeenAtOnce) {
    // The child ends at once, closing standard output. A grandchild that let go of
    // standard output writes the last error line a moment later. How the child ended
    // is reported only together with every line written to its pipes.
    CaptureProcess p(script("(exec 1>&-; sleep 0.3; echo 'no device' >&2) &\n"
                            "echo 'starting' >&2\nexit 3\n"),
                     "s", "l");
    const auto start = Clock::now();
    EXPECT_FALSE(p.waitForPort(20000ms, never));
    EXPECT_LT(Clock::now() - start, 5s) << "end of output must not wait for the time-out";
    const auto status = p.waitExit(5000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "exited with status 3");
    EXPECT_TRUE(hasLine(p, "(stderr) starting"));
    EXPECT_TRUE(hasLine(p, "(stderr) no device"));
}

TEST_F(CaptureProcessTest, PipesHeldOpenByAGrandchildDelayTheEndOnlyBriefly) {
    CaptureProcess p(script("sleep 60 &\necho $! > '" + (dir / "grandchild").string() +
                            "'\n"
                            "echo 'last words' >&2\nexit 4\n"),
                     "s", "l");
    const auto start = Clock::now();
    const auto status = p.waitExit(20000ms);
    const auto waited = Clock::now() - start;
    pid_t grandchild = 0;
    std::ifstream(dir / "grandchild") >> grandchild;
    if (grandchild > 0)
        ::kill(grandchild, SIGKILL);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "exited with status 4");
    EXPECT_LT(waited, 10s) << "the pipes' end is awaited for a short while only";
    EXPECT_TRUE(hasLine(p, "(stderr) last words"));
}

TEST_F(CaptureProcessTest, PortTimeOutAndCancelBothReturnAndTheChildIsEnded) {
    pid_t pid;
    {
        CaptureProcess p(script("exec sleep 30\n"), "s", "l");
        pid = static_cast<pid_t>(p.pid());
        auto start = Clock::now();
        EXPECT_FALSE(p.waitForPort(300ms, never));
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, 250ms);
        EXPECT_LT(waited, 3s);

        start = Clock::now();
        EXPECT_FALSE(p.waitForPort(20000ms, [] { return true; }));
        EXPECT_LT(Clock::now() - start, 3s);
        EXPECT_FALSE(p.exitStatus());
    }
    EXPECT_NE(::kill(pid, 0), 0) << "the destructor ends and reaps the child";
}

TEST_F(CaptureProcessTest, ReportsDeathBySignalAndRefusesCommandsAfterwards) {
    CaptureProcess p(script("echo '{ \"port\": 1 }'; exec sleep 30\n"), "s", "l");
    ASSERT_EQ(p.waitForPort(5000ms, never), 1);
    p.kill();
    const auto status = p.waitExit(5000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "was killed by signal 9 (SIGKILL)");
    std::signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(p.send("exit\n"));
}

TEST_F(CaptureProcessTest, MissingProgramIsReportedWhenStarting) {
    try {
        CaptureProcess p((dir / "nothing-here").string(), "s", "l");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
    }
}

} // namespace
