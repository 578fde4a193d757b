// Standard input on Windows: a parent's anonymous pipe is read as a stream; a file is
// read with file requests. (A pipe libuv cannot open as a stream, such as the Unix pipe
// Wine hands over, is covered by the process tests, which all start the program so.)
#include "stdin_channel.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "command_queue.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> drain(CommandQueue& queue) {
    std::vector<std::string> out;
    while (!queue.empty())
        out.push_back(queue.tryPop());
    return out;
}

template <typename Predicate>
bool pollUntil(uv_loop_t* loop, Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        uv_run(loop, UV_RUN_NOWAIT);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class WindowsStdin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(uv_loop_init(&loop), 0); }
    void TearDown() override {
        if (channel) {
            channel->close();
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (uv_run(&loop, UV_RUN_NOWAIT) != 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            channel.reset();
        }
        EXPECT_EQ(uv_loop_close(&loop), 0);
        if (writeEnd)
            CloseHandle(writeEnd);
    }

    void write(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writeEnd, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    uv_loop_t loop{};
    CommandQueue queue;
    std::unique_ptr<StdinChannel> channel;
    HANDLE writeEnd = nullptr;
};

} // namespace

TEST_F(WindowsStdin, AnonymousPipeOfAWindowsParentIsReadAsAStream) {
    HANDLE readEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(readEnd), _O_RDONLY);
    ASSERT_GE(fd, 0);
    channel = std::make_unique<StdinChannel>(&loop, fd, &queue);
    EXPECT_EQ(channel->kind(), StdinChannel::Kind::Pipe);

    write("show\r\n");
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    write("  exit \r\n");
    std::vector<std::string> got = drain(queue);
    ASSERT_TRUE(pollUntil(&loop, [&] { return !queue.empty(); }));
    for (const std::string& command : drain(queue))
        got.push_back(command);
    EXPECT_EQ(got, (std::vector<std::string>{"show", "exit"}));

    CloseHandle(writeEnd);
    writeEnd = nullptr;
    EXPECT_TRUE(pollUntil(&loop, [&] { return channel->ended(); })) << "end of input not noticed";
    EXPECT_TRUE(queue.empty());
}

TEST_F(WindowsStdin, FileIsReadToItsEnd) {
    const auto path = std::filesystem::temp_directory_path() / "sondrel_stdin_file_test.txt";
    std::ofstream(path, std::ios::binary) << "hide\r\n";
    const int fd = _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    channel = std::make_unique<StdinChannel>(&loop, fd, &queue);
    EXPECT_EQ(channel->kind(), StdinChannel::Kind::File);
    ASSERT_TRUE(pollUntil(&loop, [&] { return channel->ended(); }));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"hide"});
    channel->close();
    while (uv_run(&loop, UV_RUN_NOWAIT) != 0) {
    }
    channel.reset();
    _close(fd);
    std::filesystem::remove(path);
}
