#include "logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <fmt/chrono.h>

#include "command_queue.h"
#include "repeated_warning.h"
#include "stdin_channel.h"

namespace fs = std::filesystem;

namespace {

class LoggerFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("logger_test_" + std::to_string(uv_os_getpid()));
        fs::create_directories(dir);
        path = dir / "run.log";
    }
    void TearDown() override {
        Logger::instance().openFile((dir / "closing.log").string()); // releases run.log
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string contents() {
        Logger::instance().flush();
        // Text mode: the CR LF line ends of a Windows log read back as line feeds.
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir;
    fs::path path;
};

} // namespace

TEST_F(LoggerFile, LineLayoutForEachLevel) {
    std::time_t before = std::time(nullptr);
    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "收到指令: show\n");
    Logger::instance().warn("Audio", "a, b");
    Logger::instance().error("Server", "x: y");
    std::string text = contents();

    const std::regex layout("\\[(\\d\\d):(\\d\\d):(\\d\\d)\\] \\[INFO\\] <Main> 收到指令: show\n\n"
                            "\\[\\d\\d:\\d\\d:\\d\\d\\] \\[WARN\\] <Audio> a, b\n"
                            "\\[\\d\\d:\\d\\d:\\d\\d\\] \\[ERROR\\] <Server> x: y\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, layout)) << text;

    // The stamp is the local time of the call.
    const std::tm local = fmt::localtime(before);
    int stamped = std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]);
    int expected = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    int drift = (stamped - expected + 86400) % 86400;
    EXPECT_LE(drift, 2);
}

TEST_F(LoggerFile, SecondOpenTruncates) {
    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "first run");
    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "second run");
    std::string text = contents();
    EXPECT_EQ(text.find("first run"), std::string::npos);
    EXPECT_NE(text.find("second run"), std::string::npos);
}

// What a crash would leave: the file as it is on disk, without a final flush.
TEST_F(LoggerFile, WarningsAndErrorsReachTheFileAtOnceInfoWithinASecond) {
    auto onDisk = [&] {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "starting up");
    EXPECT_NE(onDisk().find("<Main> starting up\n"), std::string::npos);
    Logger::instance().endStartUp();
    Logger::instance().info("Main", "quiet start");
    Logger::instance().warn("Audio", "a warning");
    EXPECT_NE(onDisk().find("quiet start"), std::string::npos);
    EXPECT_NE(onDisk().find("<Audio> a warning\n"), std::string::npos);
    Logger::instance().error("Server", "an error");
    EXPECT_NE(onDisk().find("<Server> an error\n"), std::string::npos);

    Logger::instance().info("Main", "one");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Logger::instance().info("Main", "two");
    EXPECT_NE(onDisk().find("<Main> two\n"), std::string::npos);
}

TEST_F(LoggerFile, UnwritablePathIsSilentAndALaterOpenWorks) {
    fs::path missing = dir / "no" / "such" / "dir" / "x.log";
    Logger::instance().openFile(missing.string());
    EXPECT_NO_THROW(Logger::instance().info("Main", "dropped"));
    EXPECT_NO_THROW(Logger::instance().flush());
    EXPECT_FALSE(fs::exists(missing));

    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "kept");
    EXPECT_NE(contents().find("kept"), std::string::npos);
}

TEST_F(LoggerFile, ConcurrentLinesArriveWhole) {
    Logger::instance().openFile(path.string());
    constexpr int threads = 4, perThread = 2000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                Logger::instance().info("Server", "thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& th : pool)
        th.join();

    std::istringstream lines(contents());
    const std::regex whole("\\[\\d\\d:\\d\\d:\\d\\d\\] \\[INFO\\] <Server> thread \\d line \\d+");
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
        ++count;
    }
    EXPECT_EQ(count, threads * perThread);
}

// What arrives on standard input is logged line by line as received, before trimming,
// with its line breaks escaped so that each command is one line of the log.
TEST_F(LoggerFile, StdinLinesAreLoggedUntrimmedAndEscaped) {
    Logger::instance().openFile(path.string());
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    uv_file p[2];
    ASSERT_EQ(uv_pipe(p, 0, 0), 0);
    CommandQueue queue;
    auto channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);
    const std::string sent = " show\n x\r\ny";
    uv_buf_t buffer = uv_buf_init(const_cast<char*>(sent.data()), static_cast<unsigned>(sent.size()));
    uv_fs_t written;
    ASSERT_EQ(uv_fs_write(&loop, &written, p[1], &buffer, 1, -1, nullptr), static_cast<int>(sent.size()));
    uv_fs_req_cleanup(&written);
    for (int i = 0; i < 2000 && queue.empty(); ++i) {
        uv_run(&loop, UV_RUN_NOWAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    channel->close();
    uv_run(&loop, UV_RUN_DEFAULT);
    // The read end went with the channel's pipe handle.
    uv_fs_t closed;
    uv_fs_close(&loop, &closed, p[1], nullptr);
    uv_fs_req_cleanup(&closed);
    EXPECT_EQ(uv_loop_close(&loop), 0);

    EXPECT_EQ(queue.tryPop(), "show");
    EXPECT_EQ(queue.tryPop(), "x");
    EXPECT_EQ(queue.tryPop(), "y");
    std::istringstream lines(contents());
    std::vector<std::string> logged;
    for (std::string line; std::getline(lines, line);)
        logged.push_back(line.size() > 11 ? line.substr(11) : line);
    EXPECT_EQ(logged, (std::vector<std::string>{"[INFO] <Main> 收到指令:  show\\n",
                                                "[INFO] <Main> 收到指令:  x\\r\\n", "[INFO] <Main> 收到指令: y"}));
}

namespace {

// The WARN messages logged so far, without their time stamps.
std::vector<std::string> warnings(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream lines(text);
    std::string line;
    const std::string head = "[WARN] <Server> ";
    while (std::getline(lines, line))
        if (line.size() > 11 && line.compare(11, head.size(), head) == 0)
            result.push_back(line.substr(11 + head.size()));
    return result;
}

} // namespace

// A warning that fires 26 times a second for an hour must cost a few lines, not
// megabytes, and the count of what was held back must still reach the log.
TEST_F(LoggerFile, RepeatedWarningLogsTheFirstThenOneCountPerPeriod) {
    Logger::instance().openFile(path.string());
    using namespace std::chrono_literals;
    RepeatedWarning::Clock::time_point t{};
    {
        RepeatedWarning warning("Server", "音频数据发送问题, Bad Connection", 60s, [&] { return t; });
        warning.report();              // logged at once
        for (int i = 0; i < 25; ++i) { // counted
            t += 1s;
            warning.report();
        }
        t += 35s; // 60 s after the first: one summary
        warning.report();
        warning.poll(); // nothing pending
        t += 10s;
        warning.report(4); // counted again
        t += 50s;
        warning.poll(); // the burst's count arrives without a new occurrence
        t += 5min;      // a quiet spell: the next one starts a new burst
        warning.report();
        warning.report(); // reported when the warning goes away
    }
    EXPECT_EQ(warnings(contents()), (std::vector<std::string>{"音频数据发送问题, Bad Connection",
                                                              "音频数据发送问题, Bad Connection (又发生 26 次)",
                                                              "音频数据发送问题, Bad Connection (又发生 4 次)",
                                                              "音频数据发送问题, Bad Connection",
                                                              "音频数据发送问题, Bad Connection (又发生 1 次)"}));
}
