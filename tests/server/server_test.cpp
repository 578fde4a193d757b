#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "command_queue.h"
#include "logger.h"
#include "ring_buffer.h"
#include "server.h"
#include "ws_client.h"

#include "server_fixture.h"

namespace {

using namespace server_test;

// ---- lifecycle ----

TEST_F(ServerTest, LogsTheListeningPortAndListensOnlyOnLoopback) {
    EXPECT_EQ(countLog("[INFO] <Server> 音频流服务器已启动，端口: " + std::to_string(server->port())), 1u);

    auto tryConnect = [this](const char* address) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(server->port()));
        inet_pton(AF_INET, address, &to.sin_addr);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        return ok;
    };
    EXPECT_TRUE(tryConnect("127.0.0.1"));
    EXPECT_FALSE(tryConnect("127.0.0.2"));
}

TEST_F(ServerTest, DestructorReturnsWithinAboutOneCycleAndDropsTheClientWithoutCloseFrame) {
    WsTestClient client;
    connectClient(client);
    auto start = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_TRUE(client.waitForEnd(3s));
    EXPECT_EQ(client.remoteCloseCode(), 1006); // abnormal closure: no close frame arrived
}

TEST_F(ServerTest, DestructorWithoutClientReturnsPromptly) {
    auto start = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(countLog("音频流服务器无法中止"), 0u);
}

// ---- sender ----

TEST_F(ServerTest, SendsOnlyWhileMoreThanOneBlockIsBuffered) {
    WsTestClient client;
    connectClient(client);

    fill(sequence(512));
    settle();
    EXPECT_EQ(client.messageCount(), 0u);
    EXPECT_EQ(ring->readable(), 512u);

    fill(sequence(1, 513.0f));
    ASSERT_TRUE(client.waitForMessages(1, 3s));
    settle();
    EXPECT_EQ(client.messageCount(), 1u);
    EXPECT_EQ(ring->readable(), 1u);
}

TEST_F(ServerTest, DrainsFourBlocksOutOf2205AndKeepsTheRest) {
    WsTestClient client;
    connectClient(client);
    fill(sequence(2205));
    ASSERT_TRUE(client.waitForMessages(4, 3s));
    settle();
    EXPECT_EQ(client.messageCount(), 4u);
    EXPECT_EQ(ring->readable(), 157u);

    // Blocks follow the ring's order without overlap.
    std::vector<WsTestClient::Message> messages = client.messages();
    for (std::size_t m = 0; m < messages.size(); ++m) {
        EXPECT_TRUE(messages[m].binary);
        ASSERT_EQ(messages[m].payload.size(), blockBytes);
        std::vector<float> samples = decodeSamples(messages[m].payload);
        EXPECT_EQ(samples.front(), 1.0f + static_cast<float>(m * blockSamples));
        EXPECT_EQ(samples.back(), static_cast<float>((m + 1) * blockSamples));
    }
}

TEST_F(ServerTest, PayloadCarriesTheStoredSamplesBitForBit) {
    WsTestClient client;
    connectClient(client);
    std::vector<float> stored(blockSamples + 1);
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = std::sin(static_cast<float>(i) * 0.37f) * 1.5f;
    stored[3] = -0.0f;
    stored[4] = std::numeric_limits<float>::denorm_min();
    stored[5] = std::numeric_limits<float>::infinity();
    stored[6] = -std::numeric_limits<float>::max();
    std::uint32_t quietNanBits = 0x7fc12345;
    std::memcpy(&stored[7], &quietNanBits, 4);
    fill(stored);

    ASSERT_TRUE(client.waitForMessages(1, 3s));
    WsTestClient::Message message = client.messages().front();
    EXPECT_TRUE(message.binary);
    ASSERT_EQ(message.payload.size(), blockBytes);
    std::vector<float> received = decodeSamples(message.payload);
    for (std::size_t i = 0; i < blockSamples; ++i)
        ASSERT_EQ(bitsOf(received[i]), bitsOf(stored[i])) << "sample " << i;
}

// With latency=low a block leaves as soon as the producer has put it and woken the
// sender, not on the sender's next 50 ms cycle. Each round puts one block right after the
// message before arrived, that is just after a cycle began: on the cycle every round
// would wait about 50 ms, so the median is far below that only when the wake-up works.
TEST_F(ServerTest, ALowLatencyClientGetsEachBlockAsSoonAsItIsPut) {
    WsTestClient client;
    ASSERT_TRUE(client.connect(server->port(), 3s, {}, "127.0.0.1", "/?latency=low&block=64"));
    ASSERT_EQ(nextCommand(), "connected");
    fill(sequence(64)); // exactly one block waits: a block leaves once more than that is there
    std::vector<Clock::duration> waits;
    for (std::size_t round = 0; round < 40; ++round) {
        const Clock::time_point put = Clock::now();
        fill(sequence(64, 65.0f + static_cast<float>(64 * round)));
        ring->wakeConsumer();
        ASSERT_TRUE(client.waitForMessages(round + 1, 3s)) << "round " << round;
        waits.push_back(client.messages().back().received - put);
    }
    std::sort(waits.begin(), waits.end());
    EXPECT_LT(waits[waits.size() / 2], 12ms);
    // Still the stream in order, in blocks of 64.
    const std::vector<WsTestClient::Message> messages = client.messages();
    for (std::size_t m = 0; m < messages.size(); ++m) {
        ASSERT_EQ(messages[m].payload.size(), 64u * sizeof(float));
        EXPECT_EQ(decodeSamples(messages[m].payload).front(), 1.0f + static_cast<float>(64 * m));
    }
}

// 16-bit samples beyond full scale are held there, and the log counts them like the
// other repeated warnings: a line at first, then a count.
TEST_F(ServerTest, A16BitClientGetsSamplesHeldAtFullScaleAndTheLogCountsThem) {
    WsTestClient client;
    ASSERT_TRUE(client.connect(server->port(), 3s, {}, "127.0.0.1", "/?format=s16&block=64"));
    ASSERT_EQ(nextCommand(), "connected");
    std::vector<float> samples(65, 0.5f);
    samples[1] = 1.5f;
    samples[2] = -1.5f;
    samples[3] = 1.0f;
    samples[4] = -1.0f;
    fill(samples);
    ASSERT_TRUE(client.waitForMessages(1, 3s));
    const std::string payload = client.messages().front().payload;
    ASSERT_EQ(payload.size(), 128u);
    const auto sampleAt = [&payload](std::size_t i) {
        return static_cast<std::int16_t>(static_cast<unsigned char>(payload[2 * i]) |
                                         (static_cast<unsigned char>(payload[2 * i + 1]) << 8));
    };
    EXPECT_EQ(sampleAt(0), 16384);
    EXPECT_EQ(sampleAt(1), 32767);
    EXPECT_EQ(sampleAt(2), -32768);
    EXPECT_EQ(sampleAt(3), 32767);
    EXPECT_EQ(sampleAt(4), -32767);
    // The sender reports once it has handed the message on.
    EXPECT_TRUE(waitForLog("[WARN] <Server> 16位音频样本超出满刻度, 已削波"));
}

// The warning repeats as long as the case lasts (a client message "connected" with no
// client stored can make it last for hours): one line, then a count a minute.
TEST_F(ServerTest, WithoutClientEachCycleLosesOneBlockAndTheWarningIsLoggedOnce) {
    fill(sequence(1100));
    std::set<std::uint64_t> seen;
    auto deadline = Clock::now() + 3s;
    while (ring->readable() > 512 && Clock::now() < deadline) {
        seen.insert(ring->readable());
        std::this_thread::sleep_for(1ms);
    }
    settle();
    EXPECT_EQ(ring->readable(), 76u);
    EXPECT_TRUE(seen.count(588)) << "a failed send must end the draining for that cycle";
    EXPECT_EQ(countLog("[WARN] <Server> 音频数据发送问题, Bad Connection"), 1u);

    // Many more cycles of it: still the one line.
    fill(sequence(513 * 40));
    auto until = Clock::now() + 5s;
    while (ring->readable() > 512 && Clock::now() < until)
        std::this_thread::sleep_for(10ms);
    settle();
    EXPECT_LE(ring->readable(), 512u);
    EXPECT_EQ(countLog("音频数据发送问题"), 1u);
}

TEST_F(ServerTest, DiscardLeavesNothingAndNoLaterBlockCarriesStaleSamples) {
    WsTestClient client;
    connectClient(client);

    // Each round buffers a burst numbered after the round, waits until the sender is
    // draining it and discards the rest right then. The samples that arrive must rise
    // strictly (no block repeats or mixes in earlier samples), and nothing discarded may
    // come back into the ring. The race is narrow, so there are many rounds.
    constexpr int rounds = 600;
    constexpr std::size_t burst = 20 * blockSamples + 100;
    auto budget = Clock::now() + 6s;
    for (int round = 1; round <= rounds && Clock::now() < budget; ++round) {
        ASSERT_EQ(ring->readable(), 0u) << "discarded samples came back before round " << round;
        fill(sequence(burst, static_cast<float>(round * 20000)));
        auto deadline = Clock::now() + 2s;
        while (ring->readable() == burst && Clock::now() < deadline)
            std::this_thread::yield();
        server->discardBuffered();
        ASSERT_EQ(ring->readable(), 0u);
        std::this_thread::yield();
    }
    settle();
    EXPECT_EQ(ring->readable(), 0u);

    float last = 0.0f;
    std::size_t index = 0;
    for (const WsTestClient::Message& message : client.messages()) {
        ASSERT_EQ(message.payload.size(), blockBytes);
        std::vector<float> samples = decodeSamples(message.payload);
        ASSERT_GT(samples[0], last) << "block " << index << " repeats earlier samples";
        for (std::size_t i = 1; i < samples.size(); ++i)
            ASSERT_EQ(samples[i], samples[0] + static_cast<float>(i))
                << "block " << index << " mixes samples at " << i;
        last = samples.back();
        ++index;
    }
}

// ---- connection handlers ----

TEST_F(ServerTest, QueuesConnectionEventsAndLogsThem) {
    {
        WsTestClient client;
        connectClient(client);
        ASSERT_TRUE(client.close(3s));
        EXPECT_EQ(nextCommand(), "disconnected");
    }
    EXPECT_EQ(countLog("[INFO] <Server> 客户端已连接"), 1u);
    EXPECT_EQ(countLog("[INFO] <Server> 客户端已断开"), 1u);
}

TEST_F(ServerTest, QueuesEveryMessageUnchanged) {
    WsTestClient client;
    connectClient(client);
    ASSERT_TRUE(client.sendText("show"));
    ASSERT_TRUE(client.sendText("show\n"));
    ASSERT_TRUE(client.sendText(""));
    ASSERT_TRUE(client.sendBinary("exit"));
    ASSERT_TRUE(client.sendText("Hide me 隐藏"));
    EXPECT_EQ(nextCommand(), "show");
    EXPECT_EQ(nextCommand(), "show\n");
    EXPECT_EQ(nextCommand(), "");
    EXPECT_EQ(nextCommand(), "exit");
    EXPECT_EQ(nextCommand(), "Hide me 隐藏");
    ASSERT_TRUE(waitForLog("[INFO] <Server> 从客户端收到指令: Hide me 隐藏"));
    EXPECT_EQ(countLog("[INFO] <Server> 从客户端收到指令: show"), 2u);
    EXPECT_EQ(countLog("[INFO] <Server> 从客户端收到指令: exit"), 1u);
    EXPECT_EQ(countLog("[INFO] <Server> 从客户端收到指令: Hide me 隐藏"), 1u);
}

// A client that reconnects opens its new connection before the old one has finished
// closing: only the audio client's own close stops the audio.
TEST_F(ServerTest, OnlyTheNewestClientReceivesAudioAndAnOlderOneMayCloseMeanwhile) {
    WsTestClient first;
    WsTestClient second;
    connectClient(first);
    connectClient(second);

    fill(sequence(513));
    ASSERT_TRUE(second.waitForMessages(1, 3s));
    EXPECT_EQ(first.messageCount(), 0u);

    ASSERT_TRUE(first.close(3s));
    ASSERT_TRUE(waitForLog("客户端已断开"));
    EXPECT_TRUE(second.isOpen());

    fill(sequence(513));
    EXPECT_TRUE(second.waitForMessages(2, 3s)) << "the older connection's close stopped the audio";
    EXPECT_EQ(countLog("音频数据发送问题, "), 0u);

    // Commands still come from the remaining connection, and its own close is the end.
    ASSERT_TRUE(second.sendText("hide"));
    EXPECT_EQ(nextCommand(), "hide");
    ASSERT_TRUE(second.close(3s));
    EXPECT_EQ(nextCommand(), "disconnected");
    EXPECT_EQ(nextCommand(), std::nullopt) << "one \"disconnected\" for two closes";
}

// ---- origin check on the handshake ----

TEST_F(ServerTest, RefusesHandshakesFromRemoteWebPages) {
    for (const char* origin : {"http://evil.example", "https://example.com:443", "ws://192.168.1.1",
                               "http://127.0.0.1.evil.com", "http://localhost@evil.com"}) {
        WsTestClient client;
        EXPECT_FALSE(client.connect(server->port(), 3s, origin)) << origin;
        EXPECT_EQ(client.handshakeStatus(), 403) << origin;
    }
    // One line for the burst, naming the first; the others are counted.
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝来自外部网页的连接: http://evil.example"), 1u);
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝来自外部网页的连接"), 1u);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(countLog("客户端已连接"), 0u);
}

TEST_F(ServerTest, AcceptsNativeAndLocalOrigins) {
    for (const char* origin : {"", "file://", "chrome-extension://x", "http://localhost:3000",
                               "http://127.0.0.1:8080", "http://[::1]:5173"}) {
        WsTestClient client;
        EXPECT_TRUE(client.connect(server->port(), 3s, origin)) << origin;
        EXPECT_EQ(client.handshakeStatus(), 101) << origin;
        EXPECT_EQ(nextCommand(), "connected") << origin;
        ASSERT_TRUE(client.close(3s));
        EXPECT_EQ(nextCommand(), "disconnected") << origin;
    }
    EXPECT_EQ(countLog("拒绝来自外部网页的连接"), 0u);
}

} // namespace
