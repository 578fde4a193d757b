#include "stdin_channel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "command_queue.h"

using namespace std::chrono_literals;

namespace {

// The plain trimming must agree with the regular expressions "\s+$" and "^\s+".
std::string trimByRegex(const std::string& text) {
    static const std::regex trailing("\\s+$", std::regex::ECMAScript);
    static const std::regex leading("^\\s+", std::regex::ECMAScript);
    return std::regex_replace(std::regex_replace(text, trailing, ""), leading, "");
}

std::vector<std::string> drain(CommandQueue& queue) {
    std::vector<std::string> out;
    while (!queue.empty()) out.push_back(queue.tryPop());
    return out;
}

// Runs the loop without blocking until the predicate holds or two seconds pass.
template <typename Predicate>
bool pollUntil(uv_loop_t* loop, Predicate predicate) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        uv_run(loop, UV_RUN_NOWAIT);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class LoopFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(uv_loop_init(&loop), 0); }
    void TearDown() override {
        if (channel) {
            channel->close();
            auto deadline = std::chrono::steady_clock::now() + 2s;
            while (uv_run(&loop, UV_RUN_NOWAIT) != 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            channel.reset();
        }
        EXPECT_EQ(uv_loop_close(&loop), 0);
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }

    uv_loop_t loop{};
    CommandQueue queue;
    std::unique_ptr<StdinChannel> channel;
    std::vector<int> fds;
};

}  // namespace

TEST(TrimCommand, RemovesOnlyOuterAsciiWhiteSpace) {
    EXPECT_EQ(trimCommand("show\n"), "show");
    EXPECT_EQ(trimCommand("  exit \r\n"), "exit");
    EXPECT_EQ(trimCommand("\t\v\f\r\n show"), "show");
    EXPECT_EQ(trimCommand(" \t\r\n"), "");
    EXPECT_EQ(trimCommand(""), "");
    EXPECT_EQ(trimCommand("show\nhide\n"), "show\nhide");  // inner line feed stays
    EXPECT_EQ(trimCommand("show \nhide"), "show \nhide");
    EXPECT_EQ(trimCommand("show\n hide"), "show\n hide");
    EXPECT_EQ(trimCommand("a b"), "a b");
    // Non-breaking and ideographic spaces are not white space here.
    EXPECT_EQ(trimCommand("\xC2\xA0show\xE3\x80\x80"), "\xC2\xA0show\xE3\x80\x80");
    EXPECT_EQ(trimCommand(std::string("\0show\0", 6)), std::string("\0show\0", 6));
}

TEST(TrimCommand, AgreesWithTheRegularExpressions) {
    const std::vector<std::string> samples = {
        "show", " show", "show ", "\nshow\n", "show\nhide", "show\n\nhide\n", " \n ",
        "x\ty\tz\t", "\r\n\r\nexit\r\n", "\x0b" "a" "\x0c", "\xE6\x94\xB6 \xE5\x88\xB0\n"};
    for (const auto& s : samples) EXPECT_EQ(trimCommand(s), trimByRegex(s)) << "input: " << s;
}

TEST(TrimCommand, LongRunsOfWhiteSpaceAreCheap) {
    // A full 64 KiB pipe read of blanks (with or without a word after them).
    EXPECT_EQ(trimCommand(std::string(65536, ' ')), "");
    EXPECT_EQ(trimCommand(std::string(65535, ' ') + "x"), "x");
    EXPECT_EQ(trimCommand("x" + std::string(65535, '\n') + "y"), "x" + std::string(65535, '\n') + "y");
}

TEST_F(LoopFixture, PipeDeliversOneCommandPerReadAndClosesAtEof) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    fds = {p[0], p[1]};
    channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::Pipe);

    ASSERT_EQ(::write(p[1], "  exit \r\n", 9), 9);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"exit"});

    // Two words in one write are one read: one command with the line feed inside.
    ASSERT_EQ(::write(p[1], "show\nhide\n", 10), 10);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"show\nhide"});

    ASSERT_EQ(::write(p[1], " \t\n", 3), 3);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{""});

    ::close(p[1]);
    fds[1] = -1;
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_TRUE(queue.empty());  // end of input queues nothing
}

TEST_F(LoopFixture, SocketIsReadLikeAPipe) {
    int s[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    fds = {s[0], s[1]};
    channel = std::make_unique<StdinChannel>(&loop, s[0], &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::Pipe);
    ASSERT_EQ(::write(s[1], "connected\n", 10), 10);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"connected"});
    ::shutdown(s[1], SHUT_WR);
    EXPECT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
}

TEST_F(LoopFixture, DevNullEndsAtOnce) {
    int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    fds = {fd};
    channel = std::make_unique<StdinChannel>(&loop, fd, &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::File);
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0);  // nothing left pending on the loop
}

TEST_F(LoopFixture, RegularFileIsReadToItsEnd) {
    auto path = std::filesystem::temp_directory_path() / ("stdin_channel_" + std::to_string(::getpid()));
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(" show\nexit \n", f);
        std::fclose(f);
    }
    int fd = ::open(path.c_str(), O_RDONLY);
    std::filesystem::remove(path);
    ASSERT_GE(fd, 0);
    fds = {fd};
    channel = std::make_unique<StdinChannel>(&loop, fd, &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::File);
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    // The whole small file comes in one read, hence one command.
    EXPECT_EQ(drain(queue), std::vector<std::string>{"show\nexit"});
}

TEST_F(LoopFixture, ClosedDescriptorAttachesNothing) {
    int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ::close(fd);
    StdinChannel none(&loop, fd, &queue);
    EXPECT_EQ(none.kind(), StdinChannel::Kind::None);
    EXPECT_FALSE(none.ended());
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0);
}

TEST(StdinCallbacks, ReadErrorsAndEmptyReadsQueueNothingAndFreeTheBuffer) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    uv_pipe_t pipe;
    ASSERT_EQ(uv_pipe_init(&loop, &pipe, 0), 0);
    CommandQueue queue;
    pipe.data = &queue;
    auto* stream = reinterpret_cast<uv_stream_t*>(&pipe);

    uv_buf_t buf;
    onStdinAlloc(reinterpret_cast<uv_handle_t*>(&pipe), 64, &buf);
    ASSERT_NE(buf.base, nullptr);
    ASSERT_EQ(buf.len, 64u);
    onStdinRead(stream, 0, &buf);  // frees buf (LeakSanitizer checks)
    onStdinAlloc(reinterpret_cast<uv_handle_t*>(&pipe), 64, &buf);
    onStdinRead(stream, UV_ECONNRESET, &buf);
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(uv_is_closing(reinterpret_cast<uv_handle_t*>(&pipe)));

    onStdinAlloc(reinterpret_cast<uv_handle_t*>(&pipe), 64, &buf);
    std::memcpy(buf.base, "hide\n", 5);
    onStdinRead(stream, 5, &buf);
    EXPECT_EQ(queue.tryPop(), "hide");

    pipe.data = nullptr;  // no queue attached: the text is only logged
    onStdinAlloc(reinterpret_cast<uv_handle_t*>(&pipe), 64, &buf);
    std::memcpy(buf.base, "show", 4);
    onStdinRead(stream, 4, &buf);

    uv_buf_t none = uv_buf_init(nullptr, 0);
    onStdinRead(stream, UV_EOF, &none);
    EXPECT_TRUE(uv_is_closing(reinterpret_cast<uv_handle_t*>(&pipe)));
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}
