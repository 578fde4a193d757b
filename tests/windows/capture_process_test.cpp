// The recorder's Windows child process against a stand-in that writes what
// sondrel-capture writes: CreateProcessW's command line, the pipes, CR LF lines, the
// job object and how the child ended.
#include "capture_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto never = [] { return false; };

bool hasLine(CaptureProcess& p, const std::string& line) {
    for (const auto& l : p.recentOutput())
        if (l == line)
            return true;
    return false;
}

} // namespace

TEST(WindowsCaptureProcess, FindsThePortAmongLibraryLinesAndRunsTheCommandExchange) {
    CaptureProcess p(SONDREL_FAKE_CAPTURE, "talk", "capture.log");
    ASSERT_EQ(p.waitForPort(10000ms, never), 40001);
    EXPECT_TRUE(p.send("show\n"));
    EXPECT_TRUE(p.send("exit\n"));
    const auto status = p.waitExit(10000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "exited with status 0");
    // The end is reported only after the last lines were taken.
    EXPECT_TRUE(p.endedWithHiddenLine());
    EXPECT_TRUE(hasLine(p, "Getting command: show"));
    EXPECT_TRUE(hasLine(p, "Getting command: exit"));
    for (const auto& line : p.recentOutput())
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
}

TEST(WindowsCaptureProcess, ArgumentsWithBlanksQuotesAndChineseArriveUnchanged) {
    const std::string log = "C:\\dir with blanks\\日志 \"引号\" a\\\\\"b\\";
    CaptureProcess p(SONDREL_FAKE_CAPTURE, "args", log);
    ASSERT_EQ(p.waitForPort(10000ms, never), 40001);
    // Standard error is read beside standard output, not in step with it.
    for (const auto until = Clock::now() + 5s; !hasLine(p, "(stderr) args|" + log) && Clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(hasLine(p, "(stderr) args|" + log)) << p.recentOutput().front();
    EXPECT_TRUE(p.send("exit\n"));
    EXPECT_EQ(p.waitExit(10000ms), 0);
}

TEST(WindowsCaptureProcess, ACrashIsReportedAsAnException) {
    CaptureProcess p(SONDREL_FAKE_CAPTURE, "crash", "capture.log");
    EXPECT_FALSE(p.waitForPort(10000ms, never));
    const auto status = p.waitExit(10000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "ended with exception 0xC0000005");
}

TEST(WindowsCaptureProcess, KillEndsAChildThatIgnoresItsInput) {
    CaptureProcess p(SONDREL_FAKE_CAPTURE, "stuck", "capture.log");
    ASSERT_EQ(p.waitForPort(10000ms, never), 40002);
    EXPECT_FALSE(p.waitExit(300ms));
    p.kill();
    const auto status = p.waitExit(5000ms);
    ASSERT_TRUE(status);
    EXPECT_EQ(CaptureProcess::describeStatus(*status), "exited with status 1");
}

TEST(WindowsCaptureProcess, DestructorEndsAStuckChildWithinItsTimeOuts) {
    const auto started = Clock::now();
    {
        CaptureProcess p(SONDREL_FAKE_CAPTURE, "stuck", "capture.log");
        ASSERT_EQ(p.waitForPort(10000ms, never), 40002);
    }
    EXPECT_LT(Clock::now() - started, 15s);
}

TEST(WindowsCaptureProcess, AMissingProgramIsReportedAtStart) {
    try {
        CaptureProcess p("C:\\no\\such\\sondrel-capture.exe", "s.json", "l.log");
        FAIL() << "started a program that does not exist";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot start C:\\no\\such\\sondrel-capture.exe: "),
                  std::string::npos)
            << e.what();
    }
}
