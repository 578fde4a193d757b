#include "stdin_channel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "command_queue.h"
#include "temp_dir.h"

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
    while (!queue.empty())
        out.push_back(queue.tryPop());
    return out;
}

// Runs the loop without blocking until the predicate holds or two seconds pass.
template <typename Predicate>
bool pollUntil(uv_loop_t* loop, Predicate predicate) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        uv_run(loop, UV_RUN_NOWAIT);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The text as a regular file opened for reading, as a shell's "< file" hands it over.
int openAsInput(const std::string& text) {
    TempDir dir("stdin-channel");
    const std::string path = dir.file("input");
    std::ofstream(path, std::ios::binary) << text;
    return ::open(path.c_str(), O_RDONLY); // still readable once the folder is gone
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
            if (fd >= 0)
                ::close(fd);
    }

    uv_loop_t loop{};
    CommandQueue queue;
    std::unique_ptr<StdinChannel> channel;
    std::vector<int> fds;
};

} // namespace

TEST(TrimCommand, RemovesOnlyOuterAsciiWhiteSpace) {
    EXPECT_EQ(trimCommand("show\n"), "show");
    EXPECT_EQ(trimCommand("  exit \r\n"), "exit");
    EXPECT_EQ(trimCommand("\t\v\f\r\n show"), "show");
    EXPECT_EQ(trimCommand(" \t\r\n"), "");
    EXPECT_EQ(trimCommand(""), "");
    EXPECT_EQ(trimCommand("show\nhide\n"), "show\nhide"); // inner line feed stays
    EXPECT_EQ(trimCommand("show \nhide"), "show \nhide");
    EXPECT_EQ(trimCommand("show\n hide"), "show\n hide");
    EXPECT_EQ(trimCommand("a b"), "a b");
    // Non-breaking and ideographic spaces are not white space here.
    EXPECT_EQ(trimCommand("\xC2\xA0show\xE3\x80\x80"), "\xC2\xA0show\xE3\x80\x80");
    EXPECT_EQ(trimCommand(std::string("\0show\0", 6)), std::string("\0show\0", 6));
}

TEST(TrimCommand, AgreesWithTheRegularExpressions) {
    const std::vector<std::string> samples = {"show",
                                              " show",
                                              "show ",
                                              "\nshow\n",
                                              "show\nhide",
                                              "show\n\nhide\n",
                                              " \n ",
                                              "x\ty\tz\t",
                                              "\r\n\r\nexit\r\n",
                                              "\x0b"
                                              "a"
                                              "\x0c",
                                              "\xE6\x94\xB6 \xE5\x88\xB0\n"};
    for (const auto& s : samples)
        EXPECT_EQ(trimCommand(s), trimByRegex(s)) << "input: " << s;
}

TEST(TrimCommand, LongRunsOfWhiteSpaceAreCheap) {
    // A full 64 KiB pipe read of blanks (with or without a word after them).
    EXPECT_EQ(trimCommand(std::string(65536, ' ')), "");
    EXPECT_EQ(trimCommand(std::string(65535, ' ') + "x"), "x");
    EXPECT_EQ(trimCommand("x" + std::string(65535, '\n') + "y"), "x" + std::string(65535, '\n') + "y");
}

TEST_F(LoopFixture, PipeDeliversOneCommandPerLineAndClosesAtEof) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    fds = {p[0], p[1]};
    channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::Pipe);

    ASSERT_EQ(::write(p[1], "  exit \r\n", 9), 9);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"exit"});

    // Two words in one read are two commands, each line trimmed on its own.
    ASSERT_EQ(::write(p[1], "show\nhide\n", 10), 10);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"show", "hide"}));

    // What follows the last line feed of a read is a command too.
    ASSERT_EQ(::write(p[1], " hide \r\nexit", 12), 12);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"hide", "exit"}));

    // Blank lines are empty commands; nothing after a final line feed is none.
    ASSERT_EQ(::write(p[1], " \t\n\n", 4), 4);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"", ""}));

    ::close(p[1]);
    fds[1] = -1;
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_TRUE(queue.empty()); // end of input queues nothing
}

// A parent that writes far faster than the control loop takes commands: the channel
// stops reading while the queue is full, so the pipe fills and the parent's writes
// wait; nothing is lost, and the queue never holds more than its bound.
TEST_F(LoopFixture, AFloodingParentIsHeldBackAndLosesNothing) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    fds = {p[0], p[1]};
    ASSERT_EQ(::fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
    channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);

    std::string unsent;
    for (int i = 0; i < 40000; ++i)
        unsent += "c" + std::to_string(i) + "\n";
    // Whole lines, at most PIPE_BUF bytes per write, so that every write is all or
    // nothing: the pipe only ever cuts lines where a read fills its buffer.
    auto writeSome = [&] {
        while (!unsent.empty()) {
            std::size_t size = unsent.rfind('\n', std::min<std::size_t>(PIPE_BUF, unsent.size()) - 1) + 1;
            if (::write(p[1], unsent.data(), size) != static_cast<ssize_t>(size))
                return;
            unsent.erase(0, size);
        }
    };

    // Nobody takes commands: after a while the channel stops and the pipe is full.
    for (int i = 0; i < 200; ++i) {
        writeSome();
        uv_run(&loop, UV_RUN_NOWAIT);
    }
    EXPECT_FALSE(channel->reading());
    EXPECT_TRUE(queue.full());
    const std::size_t stuck = unsent.size();
    EXPECT_GT(stuck, 0u) << "the pipe never pushed back";

    // The control loop's pace: one command per run. The queue stays within its bound.
    std::vector<std::string> taken;
    std::size_t most = 0;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((taken.size() < 40000) && std::chrono::steady_clock::now() < deadline) {
        writeSome();
        uv_run(&loop, UV_RUN_NOWAIT);
        std::size_t held = 0;
        std::vector<std::string> batch;
        while (!queue.empty())
            batch.push_back(queue.tryPop());
        held = batch.size();
        most = std::max(most, held);
        taken.insert(taken.end(), batch.begin(), batch.end());
    }
    ASSERT_EQ(taken.size(), 40000u);
    for (std::size_t i = 0; i < taken.size(); ++i)
        ASSERT_EQ(taken[i], "c" + std::to_string(i));
    EXPECT_LE(most, CommandQueue::maxEntries);
    uv_run(&loop, UV_RUN_NOWAIT); // the queue is empty: reading resumes
    EXPECT_TRUE(channel->reading());
}

// Ctrl-D on a console ends one line of input; the user may type on.
TEST_F(LoopFixture, ConsoleReadsOnAfterEndOfInput) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fds = {master, slave};
    channel = std::make_unique<StdinChannel>(&loop, slave, &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::Console);

    ASSERT_EQ(::write(master, "show\n", 5), 5);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"show"});

    ASSERT_EQ(::write(master, "\x04", 1), 1); // VEOF at the start of a line
    for (int i = 0; i < 20; ++i) {
        uv_run(&loop, UV_RUN_NOWAIT);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(channel->ended());
    ASSERT_EQ(::write(master, "hide\n", 5), 5);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"hide"});
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
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0); // nothing left pending on the loop
}

TEST_F(LoopFixture, RegularFileIsReadToItsEnd) {
    fds = {openAsInput(" show\nexit \n")};
    ASSERT_GE(fds[0], 0);
    channel = std::make_unique<StdinChannel>(&loop, fds[0], &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::File);
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"show", "exit"}));
}

// A file of whole 64 KiB reads: the last one is full, so its unterminated "exit" waits
// for text that might follow; the end of the file must then deliver it.
TEST_F(LoopFixture, ALastWordWithoutLineFeedAtTheEndOfAFullReadIsTaken) {
    constexpr std::size_t readSize = 65536;
    std::string text = "show" + std::string(readSize - 5, ' ') + "\n";
    text += "hide" + std::string(readSize - 9, ' ') + "\nexit";
    ASSERT_EQ(text.size(), 2 * readSize);
    fds = {openAsInput(text)};
    ASSERT_GE(fds[0], 0);
    channel = std::make_unique<StdinChannel>(&loop, fds[0], &queue);
    ASSERT_EQ(channel->kind(), StdinChannel::Kind::File);
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"show", "hide", "exit"}));
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

TEST_F(LoopFixture, ReadErrorsAndEmptyReadsQueueNothingAndFreeTheBuffer) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    fds = {p[0], p[1]};
    channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);
    uv_stream_t* stream = nullptr;
    uv_walk(
        &loop,
        [](uv_handle_t* handle, void* found) {
            if (handle->type == UV_NAMED_PIPE)
                *static_cast<uv_stream_t**>(found) = reinterpret_cast<uv_stream_t*>(handle);
        },
        &stream);
    ASSERT_NE(stream, nullptr);

    uv_buf_t buf;
    StdinChannel::onAlloc(reinterpret_cast<uv_handle_t*>(stream), 64, &buf);
    ASSERT_NE(buf.base, nullptr);
    ASSERT_GE(buf.len, 64u);
    StdinChannel::onRead(stream, 0, &buf); // frees buf (LeakSanitizer checks)
    StdinChannel::onAlloc(reinterpret_cast<uv_handle_t*>(stream), 64, &buf);
    StdinChannel::onRead(stream, UV_ECONNRESET, &buf);
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(channel->ended());

    StdinChannel::onAlloc(reinterpret_cast<uv_handle_t*>(stream), 64, &buf);
    std::memcpy(buf.base, "hide\n", 5);
    StdinChannel::onRead(stream, 5, &buf);
    EXPECT_EQ(queue.tryPop(), "hide");

    uv_buf_t none = uv_buf_init(nullptr, 0);
    StdinChannel::onRead(stream, UV_EOF, &none);
    EXPECT_TRUE(channel->ended());
}

// libuv on Windows suggests a buffer of exactly the bytes the pipe holds. A parent's
// "exit" without a line feed then fills that buffer, and must still be taken at once
// rather than wait for text that never comes.
TEST_F(LoopFixture, AReadOfExactlyTheSuggestedSizeIsNotTakenAsAFullBuffer) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    fds = {p[0], p[1]};
    channel = std::make_unique<StdinChannel>(&loop, p[0], &queue);
    uv_stream_t* stream = nullptr;
    uv_walk(
        &loop,
        [](uv_handle_t* handle, void* found) {
            if (handle->type == UV_NAMED_PIPE)
                *static_cast<uv_stream_t**>(found) = reinterpret_cast<uv_stream_t*>(handle);
        },
        &stream);
    ASSERT_NE(stream, nullptr);

    uv_buf_t buf;
    StdinChannel::onAlloc(reinterpret_cast<uv_handle_t*>(stream), 4, &buf);
    ASSERT_NE(buf.base, nullptr);
    std::memcpy(buf.base, "exit", 4);
    StdinChannel::onRead(stream, 4, &buf);
    EXPECT_EQ(queue.tryPop(), "exit");
}
