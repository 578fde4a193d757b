// Runs the real binary against a private PulseAudio daemon and drives it like
// its parent application does: commands on standard input, protocol lines on
// standard output, the log file afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "capture_run.h"
#include "capture_under_test.h"
#include "child_process.h"
#include "output_lines.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A file as text: what the Windows build writes ends its lines in CR LF, read back here
// as line feeds.
std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return capture_under_test::text(s.str());
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool isProtocolLine(const std::string& line) { return output_line::isProtocol(line); }

std::vector<std::string> protocolLines(const ChildProcess& child) {
    std::vector<std::string> lines;
    for (auto& line : child.stdoutLines())
        if (isProtocolLine(line))
            lines.push_back(line);
    return lines;
}

// utime + stime of the thread that runs main(), whose id is the process id.
double mainThreadCpuSeconds(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string field;
    double ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index)
        if (index == 14 || index == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Runs share one folder for their settings and log, so that a second run finds what the
// first one left; the arguments are the test's own.
class CaptureProcess : public CaptureTest {
protected:
    CaptureProcess() : CaptureTest(0) {}

    void SetUp() override {
        CaptureTest::SetUp();
        if (IsSkipped())
            return;
        dir = fs::path(mic->directory()) / "run";
        fs::create_directories(dir);
        settings = dir / "settings.json";
        log = dir / "capture.log";
    }

    void start(std::vector<std::string> args, ChildProcess::StdinMode mode = ChildProcess::StdinMode::Pipe,
               std::vector<std::string> argvPrefix = {}) {
        CaptureRun::Options options;
        options.arguments = std::move(args);
        options.stdinMode = mode;
        options.argvPrefix = std::move(argvPrefix);
        options.waitForPort = false;
        CaptureTest::start(std::move(options));
        child = &run->process();
    }
    void startNormally(ChildProcess::StdinMode mode = ChildProcess::StdinMode::Pipe) {
        start({settings.string(), log.string()}, mode);
    }

    std::optional<std::string> nextLine(std::chrono::milliseconds timeout = 10s) {
        return child->waitForLine(isProtocolLine, timeout);
    }

    // The port line comes first; start-up opens the capture stream, which takes a while.
    int expectPortLine() {
        auto line = nextLine(30s);
        EXPECT_TRUE(line) << "no port line; stderr:\n" << child->stderrText();
        if (!line)
            return 0;
        const int port = output_line::parsePort(*line).value_or(0);
        EXPECT_GT(port, 0) << *line;
        return port;
    }

    // For runs whose standard output we cannot see: the server logs its port right
    // before the port line, and start-up writes every line at once.
    void waitForStartUp() {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (readFile(log).find("<Server> 音频流服务器已启动") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_NE(readFile(log).find("<Server> 音频流服务器已启动"), std::string::npos) << readFile(log);
    }

    void send(const std::string& bytes) { ASSERT_TRUE(child->writeStdin(bytes)); }
    void expectLine(const std::string& expected) { EXPECT_EQ(nextLine(), expected); }

    void expectOrderlyEnd() {
        EXPECT_EQ(child->waitExit(20s), 0);
        ASSERT_TRUE(child->waitStdoutClosed(5s));
        auto lines = protocolLines(*child);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), hiddenLine);
        // A parent that reads up to the hidden line and stops must miss nothing: not even
        // a line of the WebSocket library's logs may follow it.
        const auto everyLine = child->stdoutLines();
        ASSERT_FALSE(everyLine.empty());
        EXPECT_EQ(everyLine.back(), hiddenLine) << child->stdoutText();
    }

    ChildProcess* child = nullptr; // the current run's
    fs::path dir, settings, log;
};

} // namespace

TEST_F(CaptureProcess, CommandsAreEchoedAndUnrecognisedOnesReported) {
    startNormally();
    expectPortLine();

    send("hide\n");
    expectLine("Getting command: hide");
    expectLine(hiddenLine); // also when no window is open

    send("bogus\n");
    expectLine("Getting command: bogus");
    // The unrecognised line is not flushed: it travels with the next echo.
    send("SHOW\n");
    expectLine("Unrecognisable command bogus");
    expectLine("Getting command: SHOW");

    send(" \t \r\n");
    expectLine("Unrecognisable command SHOW");
    expectLine("Getting command: ");

    // Two lines in one write are two commands, each trimmed on its own.
    send("bogus2 \r\nhide\n");
    expectLine("Unrecognisable command ");
    expectLine("Getting command: bogus2");
    expectLine("Unrecognisable command bogus2");
    expectLine("Getting command: hide");
    expectLine(hiddenLine);

    // The last line of a write needs no line feed.
    send("connected");
    expectLine("Getting command: connected");
    send("disconnected\n");
    expectLine("Getting command: disconnected");

    send("  exit \r\n");
    expectLine("Getting command: exit");
    expectLine(hiddenLine);
    expectOrderlyEnd();

    // Nothing in between: connected and disconnected are recognised words.
    auto lines = protocolLines(*child);
    for (auto& line : lines)
        EXPECT_EQ(line.find("Unrecognisable command connected"), std::string::npos);
    for (auto& line : lines)
        EXPECT_EQ(line.find("Unrecognisable command disconnected"), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), hiddenLine), 3);

    // Every line on standard output ends as the platform's text mode ends it.
    const std::string raw = child->stdoutText();
    EXPECT_EQ(occurrences(raw, capture_under_test::lineEnd()), occurrences(raw, "\n")) << raw;

    // Every line was logged as received, untrimmed, its line breaks escaped.
    std::string logText = readFile(log);
    EXPECT_NE(logText.find("] [INFO] <Main> 收到指令: hide\\n\n"), std::string::npos) << logText;
    EXPECT_NE(logText.find("<Main> 收到指令: bogus2 \\r\\n\n"), std::string::npos);
    EXPECT_NE(logText.find("<Main> 收到指令:   exit \\r\\n\n"), std::string::npos);
    EXPECT_NE(logText.find("<Main> 收到指令: connected\n["), std::string::npos);
}

class StdinEnds : public CaptureProcess, public ::testing::WithParamInterface<ChildProcess::StdinMode> {};

// Losing standard input must neither end the process nor make it spin; a
// termination signal then shuts it down in order, log file included.
TEST_P(StdinEnds, ProcessKeepsRunningQuietlyUntilTerminated) {
    startNormally(GetParam());
    expectPortLine();
    if (GetParam() == ChildProcess::StdinMode::Pipe) {
        send("hide\n");
        expectLine("Getting command: hide");
        child->closeStdin();
    }
    // Start-up ended with the port line; from there the process idles.
    double processBefore = child->cpuSeconds();
    double mainBefore = mainThreadCpuSeconds(child->pid());
    std::this_thread::sleep_for(3s);
    double processSpent = child->cpuSeconds() - processBefore;
    double mainSpent = mainThreadCpuSeconds(child->pid()) - mainBefore;
    ASSERT_TRUE(child->running());
    // A control loop spinning on a dead descriptor would burn the whole 3 s.
    // Capture and resampling keep running meanwhile, on their own thread.
    EXPECT_LT(mainSpent, 0.5) << "main-thread CPU seconds over 3 s of idling";
    EXPECT_LT(processSpent, 1.5) << "process CPU seconds over 3 s of idling";
    RecordProperty("idle_cpu_seconds_per_3s", std::to_string(processSpent));

    ASSERT_TRUE(child->kill(capture_under_test::stopSignal()));
    expectOrderlyEnd();
    std::string logText = readFile(log);
    EXPECT_NE(logText.find("<Audio>"), std::string::npos) << "buffered log lines lost";
    EXPECT_TRUE(logText.ends_with("\n"));
    if (GetParam() == ChildProcess::StdinMode::Pipe) {
        EXPECT_NE(logText.find("<Main> 收到指令: hide\\n\n"), std::string::npos);
        // End of input logs nothing and queues nothing.
        std::size_t received = 0;
        for (auto at = logText.find("收到指令"); at != std::string::npos; at = logText.find("收到指令", at + 1))
            ++received;
        EXPECT_EQ(received, 1u);
        auto lines = protocolLines(*child);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("Getting command"); }),
                  1);
    }
}

INSTANTIATE_TEST_SUITE_P(, StdinEnds,
                         ::testing::Values(ChildProcess::StdinMode::Pipe, ChildProcess::StdinMode::DevNull,
                                           ChildProcess::StdinMode::Closed),
                         [](const auto& info) {
                             switch (info.param) {
                             case ChildProcess::StdinMode::Pipe:
                                 return std::string("PipeClosedByParent");
                             case ChildProcess::StdinMode::DevNull:
                                 return std::string("DevNull");
                             default:
                                 return std::string("Closed");
                             }
                         });

TEST_F(CaptureProcess, InterruptShutsDownInOrder) {
    startNormally();
    expectPortLine();
    send("marker\n");
    expectLine("Getting command: marker");
    ASSERT_TRUE(child->kill(SIGINT));
    expectOrderlyEnd();
    EXPECT_NE(readFile(log).find("<Main> 收到指令: marker\\n\n"), std::string::npos);
}

TEST_F(CaptureProcess, LogFileOnlyWithExactlyTwoArguments) {
    start({settings.string(), log.string(), "extra"});
    expectPortLine();
    send("exit\n");
    expectOrderlyEnd();
    EXPECT_FALSE(fs::exists(log));

    start({settings.string()});
    expectPortLine();
    send("exit\n");
    expectOrderlyEnd();
    EXPECT_FALSE(fs::exists(log));
    EXPECT_TRUE(fs::exists(settings)); // the engine saved its settings there
}

// With no settings file, the first run takes the first host API's defaults and saves
// them in the settings file's exact layout.
TEST_F(CaptureProcess, FirstRunSavesTheDefaultsOfTheFirstHostApi) {
    startNormally();
    expectPortLine();
    send("exit\n");
    expectOrderlyEnd();
    std::ifstream in(settings, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string eol = capture_under_test::lineEnd();
    const std::string head = "{" + eol + "    \"framesPerBuffer\": 120," + eol +
                             "    \"hostApiType\": " + std::to_string(capture_under_test::firstHostApiType()) +
                             "," + eol + "    \"inputChannelCount\": 1," + eol + "    \"inputDevice\": ";
    EXPECT_TRUE(bytes.str().starts_with(head)) << bytes.str();
    EXPECT_TRUE(bytes.str().ends_with("    \"sampleRate\": 44100.0" + eol + "}")) << bytes.str();
}

// Paths are handed on as the parent spelt them, also outside ASCII (on Windows the
// arguments are read as wide characters, not in the system code page).
TEST_F(CaptureProcess, PathsWithChineseCharactersAreUsedAsGiven) {
    const fs::path sub = dir / "音频 设置";
    fs::create_directories(sub);
    const fs::path chineseSettings = sub / "设置.json";
    const fs::path chineseLog = sub / "日志.log";
    for (int run = 0; run < 2; ++run) {
        start({chineseSettings.string(), chineseLog.string()});
        expectPortLine();
        send("exit\n");
        expectOrderlyEnd();
    }
    ASSERT_TRUE(fs::exists(chineseSettings));
    const std::string logText = readFile(chineseLog);
    EXPECT_NE(logText.find("配置文件地址\"" + chineseSettings.string() + "\""), std::string::npos) << logText;
    // The second run found and loaded what the first one saved.
    EXPECT_NE(logText.find("配置文件已存在"), std::string::npos) << logText;
    EXPECT_EQ(logText.find("无法"), std::string::npos) << logText;
    EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 2);
}

TEST_F(CaptureProcess, SecondRunTruncatesTheLog) {
    startNormally();
    expectPortLine();
    send("first-run\n");
    expectLine("Getting command: first-run");
    send("exit\n");
    expectOrderlyEnd();
    ASSERT_NE(readFile(log).find("first-run"), std::string::npos);

    startNormally();
    expectPortLine();
    send("second-run\n");
    expectLine("Getting command: second-run");
    send("exit\n");
    expectOrderlyEnd();
    std::string logText = readFile(log);
    EXPECT_EQ(logText.find("first-run"), std::string::npos);
    EXPECT_NE(logText.find("second-run"), std::string::npos);
}

// A log path in a directory that does not exist: no file, no directory, no message on
// either stream, and the process works normally.
TEST_F(CaptureProcess, UnwritableLogPathIsSilent) {
    mic->playTone(toneFrequency, 48000, 0.5, 30);
    fs::path unwritable = dir / "missing" / "capture.log";
    start({settings.string(), unwritable.string()});
    const int port = expectPortLine();
    send("hide\n");
    expectLine("Getting command: hide");
    expectLine(hiddenLine);
    EXPECT_TRUE(isContinuousStream(receiveTone(port, 1s), 44100));
    expectLine("Getting command: connected");
    expectLine("Getting command: disconnected");
    send("exit\n");
    expectOrderlyEnd();
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_TRUE(fs::exists(settings)); // the settings were still saved
    // Nothing about the log: port, 4 echoes, 2 hidden lines.
    EXPECT_EQ(protocolLines(*child).size(), 7u);
    EXPECT_EQ(child->stderrText().find("capture.log"), std::string::npos) << child->stderrText();
}

// A parent that stops reading standard output must not kill the process: the
// writes fail and it carries on with its commands.
TEST_F(CaptureProcess, SurvivesAParentThatStopsReading) {
    start({settings.string(), log.string()}, ChildProcess::StdinMode::Pipe,
          {"/bin/bash", "-c", "\"$0\" \"$@\" | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}"});
    // head is gone after the first byte of the port line; then the echo of the
    // command below writes into a pipe nobody reads. The shell is left with one child.
    waitForStartUp();
    const std::string children =
        "/proc/" + std::to_string(child->pid()) + "/task/" + std::to_string(child->pid()) + "/children";
    const auto childCount = [&] {
        std::istringstream pids(readFile(children));
        return std::distance(std::istream_iterator<std::string>(pids), std::istream_iterator<std::string>());
    };
    for (auto until = std::chrono::steady_clock::now() + 10s;
         childCount() > 1 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(childCount(), 1) << "head never ended";
    send("exit\n");
    auto deadline = std::chrono::steady_clock::now() + 30s;
    std::optional<int> status;
    while (!(status = child->waitExit(100ms)) && std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_EQ(status, 0) << "128 + 13 means SIGPIPE killed it";
    std::string logText = readFile(log);
    EXPECT_NE(logText.find("<Main> 收到指令: exit"), std::string::npos) << logText;
}

// Started with standard output closed, the log file must not become
// descriptor 1 and receive the protocol lines.
TEST_F(CaptureProcess, ClosedStandardOutputDoesNotCaptureOurFiles) {
    start({settings.string(), log.string()}, ChildProcess::StdinMode::Pipe,
          {"/bin/sh", "-c", "exec \"$0\" \"$@\" 1>&-"});
    waitForStartUp();
    send("exit\n");
    EXPECT_EQ(child->waitExit(30s), 0);
    std::string logText = readFile(log);
    EXPECT_NE(logText.find("<Main> 收到指令: exit"), std::string::npos) << logText;
    EXPECT_EQ(logText.find("{ \"port\""), std::string::npos) << logText;
    EXPECT_EQ(logText.find("Getting command"), std::string::npos);
}

// Without a usable input device the process ends before the port line, with a
// failure status, and the reason is in the log.
TEST(CaptureProcessNoDevice, EndsBeforeThePortLineWithTheReasonLogged) {
    const TempDir dir("capture-nodevice");
    const fs::path log = dir / "capture.log";
    {
        ChildProcess child(
            {capture_under_test::command({dir.file("settings.json"), log.string()}),
             {"XDG_RUNTIME_DIR=" + dir.path, "HOME=" + dir.path, "PULSE_SERVER=unix:" + dir.file("none")},
             dir.path,
             ChildProcess::StdinMode::Pipe});
        auto status = child.waitExit(30s);
        ASSERT_TRUE(status);
        EXPECT_NE(*status, 0);
        for (auto& line : child.stdoutLines())
            EXPECT_EQ(line.find("\"port\""), std::string::npos) << line;
    }
    std::string logText = readFile(log);
    EXPECT_NE(logText.find("] [ERROR] <Audio> "), std::string::npos) << logText;
}

// ---- paths other local users may have prepared ----

namespace {

constexpr uid_t nobody = 65534;

// A folder like /tmp: anyone may put names in it, only their owner may remove them.
fs::path sharedFolderIn(const fs::path& parent) {
    const fs::path shared = parent / "shared";
    fs::create_directories(shared);
    EXPECT_EQ(::chmod(shared.c_str(), 01777), 0);
    return shared;
}

fs::path fifoOf(uid_t owner, const fs::path& at) {
    EXPECT_EQ(::mkfifo(at.c_str(), 0666), 0) << at;
    EXPECT_EQ(::chown(at.c_str(), owner, owner), 0) << at;
    return at;
}

} // namespace

// Nobody opens the other end of a FIFO at the settings or the log path: the port line
// still comes as soon as usual, and a stop request right after ends the run.
TEST_F(CaptureProcess, FifosAtOurPathsDelayNeitherStartNorStop) {
    if (capture_under_test::isWindows() || ::geteuid() != 0)
        GTEST_SKIP() << "needs POSIX FIFOs and root, to plant them as another user";
    const fs::path shared = sharedFolderIn(dir);
    const std::vector<std::pair<fs::path, fs::path>> runs = {
        {fifoOf(0, dir / "settings-fifo.json"), fifoOf(nobody, shared / "their.log")},
        {fifoOf(nobody, shared / "their.json"), fifoOf(0, dir / "fifo.log")},
    };
    for (const auto& [settingsFifo, logFifo] : runs) {
        SCOPED_TRACE(settingsFifo.string() + ", " + logFifo.string());
        const auto started = std::chrono::steady_clock::now();
        start({settingsFifo.string(), logFifo.string()});
        const auto line = nextLine(15s);
        ASSERT_TRUE(line && output_line::parsePort(*line)) << "no port line; stderr:\n" << child->stderrText();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
        ASSERT_TRUE(child->kill(capture_under_test::stopSignal()));
        expectOrderlyEnd();
        EXPECT_NE(child->stderrText().find("日志文件路径不是普通文件, 不写日志: "), std::string::npos)
            << child->stderrText();
        EXPECT_TRUE(fs::is_fifo(settingsFifo));
        EXPECT_TRUE(fs::is_fifo(logFifo));
    }
}

// Another user's link at the settings path, in a shared folder or in a folder of theirs
// inside it: the file it leads to is neither read as our settings nor replaced.
TEST_F(CaptureProcess, PlantedSettingsLinksLeaveTheirTargetAlone) {
    if (capture_under_test::isWindows() || ::geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant links as another user";
    const fs::path shared = sharedFolderIn(dir);
    const fs::path theirs = shared / "theirs";
    fs::create_directories(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), nobody, nobody), 0);
    const fs::path victim = dir / "victim.json";
    const std::string precious = "{\"sampleRate\": 48000.0}";
    std::ofstream(victim) << precious;
    for (const fs::path& planted : {shared / "settings.json", theirs / "settings.json"}) {
        SCOPED_TRACE(planted.string());
        fs::create_symlink(victim, planted);
        ASSERT_EQ(::lchown(planted.c_str(), nobody, nobody), 0);
        start({planted.string(), log.string()});
        expectPortLine();
        ASSERT_TRUE(child->kill(capture_under_test::stopSignal()));
        expectOrderlyEnd();
        EXPECT_EQ(readFile(victim), precious);
        EXPECT_TRUE(fs::is_symlink(planted));
        const std::string logText = readFile(log);
        EXPECT_NE(logText.find("[WARN] <Audio> 配置文件路径经过其他用户的链接, 不读取: "), std::string::npos)
            << logText;
        EXPECT_NE(logText.find("[ERROR] <Audio> 无法更新配置文件"), std::string::npos) << logText;
    }
}
