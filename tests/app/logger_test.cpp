#include "logger.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
        dir = fs::temp_directory_path() / ("logger_test_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        path = dir / "run.log";
    }
    void TearDown() override {
        Logger::instance().openFile((dir / "closing.log").string());  // releases run.log
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

}  // namespace

TEST_F(LoggerFile, LineLayoutForEachLevel) {
    std::time_t before = std::time(nullptr);
    Logger::instance().openFile(path.string());
    Logger::instance().info("Main", "收到指令: show\n");
    Logger::instance().warn("Audio", "a, b");
    Logger::instance().error("Server", "x: y");
    std::string text = contents();

    const std::regex layout(
        "\\[(\\d\\d):(\\d\\d):(\\d\\d)\\] \\[INFO\\] <Main> 收到指令: show\n\n"
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
    for (auto& th : pool) th.join();

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

// What arrives on standard input is logged as received, before trimming.
TEST_F(LoggerFile, StdinReadIsLoggedUntrimmed) {
    Logger::instance().openFile(path.string());
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    uv_pipe_t pipe;
    ASSERT_EQ(uv_pipe_init(&loop, &pipe, 0), 0);
    CommandQueue queue;
    pipe.data = &queue;
    uv_buf_t buf;
    onStdinAlloc(reinterpret_cast<uv_handle_t*>(&pipe), 65536, &buf);
    std::string sent = " show\n";
    std::copy(sent.begin(), sent.end(), buf.base);
    onStdinRead(reinterpret_cast<uv_stream_t*>(&pipe), static_cast<ssize_t>(sent.size()), &buf);
    uv_close(reinterpret_cast<uv_handle_t*>(&pipe), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0);

    EXPECT_EQ(queue.tryPop(), "show");
    std::string text = contents();
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ(text.substr(11), "[INFO] <Main> 收到指令:  show\n\n");
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
        warning.report();                   // logged at once
        for (int i = 0; i < 25; ++i) {      // counted
            t += 1s;
            warning.report();
        }
        t += 35s;                           // 60 s after the first: one summary
        warning.report();
        warning.poll();                     // nothing pending
        t += 10s;
        warning.report(4);                  // counted again
        t += 50s;
        warning.poll();                     // the burst's count arrives without a new occurrence
        t += 5min;                          // a quiet spell: the next one starts a new burst
        warning.report();
        warning.report();                   // reported when the warning goes away
    }
    EXPECT_EQ(warnings(contents()),
              (std::vector<std::string>{"音频数据发送问题, Bad Connection",
                                        "音频数据发送问题, Bad Connection (又发生 26 次)",
                                        "音频数据发送问题, Bad Connection (又发生 4 次)",
                                        "音频数据发送问题, Bad Connection",
                                        "音频数据发送问题, Bad Connection (又发生 1 次)"}));
}
