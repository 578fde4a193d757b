#pragma once

// The server under test with a ring like the process's own, a command queue and a log
// file; shared by the server's test files.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "command_queue.h"
#include "logger.h"
#include "ring_buffer.h"
#include "server.h"
#include "ws_client.h"

namespace server_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t blockSamples = 512;
constexpr std::size_t blockBytes = blockSamples * sizeof(float);

inline std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

// A ring like the process's own, a queue, a log file and the server under test.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        logPath = ::testing::TempDir() + "server_test_" + info->name() + "_" + std::to_string(getpid()) + ".log";
        Logger::instance().openFile(logPath);
        ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
        server = std::make_unique<Server>(ring, &commands);
        ASSERT_GT(server->port(), 0);
    }

    void TearDown() override {
        server.reset();
        std::remove(logPath.c_str());
    }

    std::optional<std::string> nextCommand(std::chrono::milliseconds timeout = 3s) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (!commands.empty()) {
                std::optional<std::string> command = commands.tryPop();
                // What the control loop does with it: the newest connection gets the audio.
                if (command == "connected")
                    server->sendToNewestClient();
                return command;
            }
            std::this_thread::sleep_for(2ms);
        }
        return std::nullopt;
    }

    // Connects and waits until the server's open handler has queued "connected", so the
    // client is the one that receives audio.
    void connectClient(WsTestClient& client) {
        ASSERT_TRUE(client.connect(server->port(), 3s));
        ASSERT_EQ(nextCommand(), "connected");
    }

    void fill(const std::vector<float>& samples) {
        ASSERT_EQ(ring->put(samples.data(), SampleEncoding::Float32, samples.size()), samples.size());
    }

    static std::vector<float> sequence(std::size_t count, float first = 1.0f) {
        std::vector<float> samples(count);
        for (std::size_t i = 0; i < count; ++i)
            samples[i] = first + static_cast<float>(i);
        return samples;
    }

    std::vector<std::string> logLines() {
        Logger::instance().flush();
        std::ifstream file(logPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }

    std::size_t countLog(const std::string& text) {
        std::size_t count = 0;
        for (const std::string& line : logLines())
            count += line.find(text) != std::string::npos;
        return count;
    }

    // Handlers queue a command before they log it: a test that has seen the command
    // waits for the line.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 3s) {
        auto deadline = Clock::now() + timeout;
        while (countLog(text) == 0) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Long enough for several sender cycles.
    static void settle() { std::this_thread::sleep_for(300ms); }

    std::string logPath;
    CommandQueue commands;
    std::shared_ptr<RingBuffer> ring;
    std::unique_ptr<Server> server;
};

} // namespace server_test
