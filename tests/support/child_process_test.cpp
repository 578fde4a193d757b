#include "child_process.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace std::chrono_literals;

namespace {

ChildProcess shell(const std::string& script, ChildProcess::StdinMode mode = ChildProcess::StdinMode::Pipe,
                   std::vector<std::string> env = {}, std::string cwd = {}) {
    return ChildProcess({{"/bin/sh", "-c", script}, std::move(env), std::move(cwd), mode});
}

} // namespace

// What is read after the exit is all the child and its descendants wrote, also on the
// pipe that ends last: here a descendant writes to stderr after stdout's end and the exit.
TEST(ChildProcess, LinesTailStderrAndExitStatus) {
    auto child =
        shell("printf 'one\\ntwo\\ntail'; printf 'oo' >&2; (exec 1>&-; sleep 0.3; printf 'ps' >&2) & exit 3");
    EXPECT_EQ(child.readLine(5s), "one");
    EXPECT_EQ(child.readLine(5s), "two");
    EXPECT_EQ(child.readLine(5s), std::nullopt); // the tail has no line feed and stdout ended
    EXPECT_EQ(child.waitExit(5s), 3);
    EXPECT_TRUE(child.waitStdoutClosed(5s));
    EXPECT_EQ(child.stdoutText(), "one\ntwo\ntail");
    EXPECT_EQ(child.stdoutLines(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(child.stderrText(), "oops");
    EXPECT_FALSE(child.running());
    EXPECT_FALSE(child.kill(SIGTERM)); // reaped: the PID is not ours any more
}

TEST(ChildProcess, StdinPipeRoundTripAndEpipe) {
    auto child = shell("read a; echo got:$a; exec 0<&-; sleep 0.2");
    ASSERT_TRUE(child.writeStdin("hello\n"));
    EXPECT_EQ(child.waitForLine([](const std::string& l) { return l.rfind("got:", 0) == 0; }, 5s), "got:hello");
    EXPECT_EQ(child.waitExit(5s), 0);
    // The reader is gone: the write reports the broken pipe instead of killing us.
    EXPECT_FALSE(child.writeStdin(std::string(1 << 16, 'x')));
}

TEST(ChildProcess, StdinModes) {
    auto devNull = shell("cat; echo done", ChildProcess::StdinMode::DevNull);
    EXPECT_EQ(devNull.readLine(5s), "done");
    EXPECT_EQ(devNull.waitExit(5s), 0);

    auto closed =
        shell("if [ -e /proc/self/fd/0 ]; then echo open; else echo closed; fi", ChildProcess::StdinMode::Closed);
    EXPECT_EQ(closed.readLine(5s), "closed");
    EXPECT_FALSE(closed.writeStdin("x"));
}

TEST(ChildProcess, EnvironmentWorkingDirectoryAndDescriptors) {
    auto child = shell("echo $CP_A $HOME; pwd; ls /proc/self/fd | wc -l", ChildProcess::StdinMode::Pipe,
                       {"CP_A=alpha", "HOME=/nowhere"}, "/tmp");
    EXPECT_EQ(child.readLine(5s), "alpha /nowhere");
    EXPECT_EQ(child.readLine(5s), "/tmp");
    // 0, 1, 2 and the one ls opens to list the directory: nothing leaked from us.
    EXPECT_EQ(child.readLine(5s), "4");
    EXPECT_EQ(child.waitExit(5s), 0);
}

TEST(ChildProcess, SignalsTimeoutsAndProcStats) {
    auto child = shell("echo up; exec sleep 30");
    ASSERT_EQ(child.readLine(5s), "up");
    EXPECT_TRUE(child.running());
    EXPECT_EQ(child.readLine(50ms), std::nullopt);
    EXPECT_EQ(child.waitExit(50ms), std::nullopt);
    EXPECT_GE(child.cpuSeconds(), 0.0);
    EXPECT_GT(child.residentKiB(), 0);
    EXPECT_TRUE(child.kill(SIGTERM));
    EXPECT_EQ(child.waitExit(5s), 128 + SIGTERM);
}

TEST(ChildProcess, SpawnFailureThrowsAndDestructorKills) {
    EXPECT_THROW(ChildProcess({{"/nonexistent/binary"}, {}, {}, ChildProcess::StdinMode::Pipe}),
                 std::runtime_error);
    pid_t pid;
    {
        auto child = shell("sleep 30");
        pid = child.pid();
        // A grandchild keeps the pipes open: the destructor must still return.
        auto holder = shell("sleep 30 & echo started; wait");
        EXPECT_EQ(holder.readLine(5s), "started");
    }
    EXPECT_NE(::kill(pid, 0), 0); // killed and reaped
}
