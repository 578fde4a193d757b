// Clients that a careless or hostile peer would write: what each may cost the server,
// and what the well-behaved client next to it still gets.
#include <algorithm>
#include <iostream>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_socket.h"
#include "server_fixture.h"

namespace {

using namespace server_test;

// ---- handshakes ----

// A web page in a sandboxed frame, or at a data: URL, sends "Origin: null"; any site can
// make one, so it is refused like a remote page.
TEST_F(ServerTest, RefusesTheOpaqueOriginNull) {
    WsTestClient client;
    EXPECT_FALSE(client.connect(server->port(), 3s, "null"));
    EXPECT_EQ(client.handshakeStatus(), 403);
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝来自外部网页的连接: null"), 1u);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(commands.empty());
}

// Drafts before RFC 6455 take the origin from Sec-WebSocket-Origin, so the Origin a
// browser sends would go unchecked: they are refused, with the version we speak.
TEST_F(ServerTest, RefusesProtocolVersionsBeforeThirteen) {
    for (const char* version : {"8", "7"}) {
        RawSocket raw;
        ASSERT_TRUE(raw.connect(server->port(), 3s));
        EXPECT_EQ(raw.handshake(RawSocket::upgradeRequest("Origin: http://evil.example\r\n", version), 3s), 426)
            << version;
        EXPECT_NE(raw.response().find("\r\nSec-WebSocket-Version: 13"), std::string::npos) << raw.response();
    }
    // Without any version header: the oldest draft (hixie-76), with its key bytes.
    RawSocket raw;
    ASSERT_TRUE(raw.connect(server->port(), 3s));
    EXPECT_EQ(raw.handshake("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                            "Origin: http://evil.example\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
                            "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n\r\n^n:ds[4U",
                            3s),
              426);
    // 8, 7 and none: one line for the burst, naming the first.
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝不支持的协议版本: 8"), 1u);
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝不支持的协议版本"), 1u);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(commands.empty());
}

// The library quotes the user agent and the resource in its access log on standard
// output; a bare CR or LF there would start a line of the peer's choosing.
TEST_F(ServerTest, RefusesHandshakesWithLineBreaksInTheirHeaders) {
    for (const char* header :
         {"User-Agent: x\n{ \"event\": \"hidden\" }\r\n", "User-Agent: x\r{ \"port\": 1 }\r\n"}) {
        RawSocket raw;
        ASSERT_TRUE(raw.connect(server->port(), 3s));
        EXPECT_EQ(raw.handshake(RawSocket::upgradeRequest(header), 3s), 400) << header;
    }
    RawSocket raw;
    ASSERT_TRUE(raw.connect(server->port(), 3s));
    EXPECT_EQ(
        raw.handshake("GET /a\nb HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
                      3s),
        400);
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝含有换行符的握手请求"), 1u); // three, counted
    // One in a header's name never gets that far: the library's parser refuses it.
    RawSocket name;
    ASSERT_TRUE(name.connect(server->port(), 3s));
    EXPECT_EQ(name.handshake(RawSocket::upgradeRequest("X-Other\n: y\r\n"), 3s), 400);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(commands.empty());

    // An ordinary user agent still gets in.
    RawSocket fine;
    ASSERT_TRUE(fine.connect(server->port(), 3s));
    EXPECT_EQ(fine.handshake(RawSocket::upgradeRequest("User-Agent: Mozilla/5.0 (X11; \"quoted\")\r\n"), 3s), 101);
    EXPECT_EQ(nextCommand(), "connected");
}

// A request for a stream we do not serve is answered with the reason, which the log
// keeps once per burst; nothing reaches the control loop.
TEST_F(ServerTest, StreamOptionsThatCannotBeServedAreABadRequestWithTheirReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"/?rate=12345", "不支持的采样率: 12345"},    {"/?format=u8", "不支持的样本格式: u8"},
        {"/?block=0", "不支持的块长度: 0"},           {"/?latency=fast", "不支持的延迟模式: fast"},
        {"/?rate=16000&rate=8000", "参数重复: rate"},
    };
    for (const auto& [path, reason] : cases) {
        RawSocket raw;
        ASSERT_TRUE(raw.connect(server->port(), 3s));
        EXPECT_EQ(raw.handshake(RawSocket::upgradeRequest({}, "13", path), 3s), 400) << path;
        EXPECT_NE(raw.response().find("\r\nContent-Type: text/plain; charset=utf-8"), std::string::npos)
            << raw.response();
        EXPECT_EQ(raw.responseBody(3s), reason) << path;
    }
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝无效的音频流参数: 不支持的采样率: 12345"), 1u);
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝无效的音频流参数"), 1u); // the rest counted
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(commands.empty());

    RawSocket fine;
    ASSERT_TRUE(fine.connect(server->port(), 3s));
    EXPECT_EQ(fine.handshake(RawSocket::upgradeRequest({}, "13", "/?rate=16000&format=s16&block=320&x=y"), 3s),
              101);
    EXPECT_EQ(nextCommand(), "connected");
}

// ---- messages ----

TEST_F(ServerTest, MessagesOver64KiBAreClosedWith1009BeforeTheyAreRead) {
    WsTestClient largest;
    connectClient(largest);
    std::string payload(64 * 1024, 'y');
    payload.front() = 'B';
    ASSERT_TRUE(largest.sendBinary(payload));
    EXPECT_EQ(nextCommand(), payload);
    // The log carries the first 1024 bytes and the length, not the whole payload.
    const std::string logged = "[INFO] <Server> 从客户端收到指令: B" + std::string(1023, 'y') + "…(65536 bytes)";
    ASSERT_TRUE(waitForLog(logged));
    EXPECT_EQ(countLog(logged), 1u);
    EXPECT_TRUE(largest.isOpen());

    WsTestClient tooLarge;
    connectClient(tooLarge);
    ASSERT_TRUE(tooLarge.sendText(std::string(64 * 1024 + 1, 'z')));
    ASSERT_TRUE(tooLarge.waitForEnd(5s));
    EXPECT_EQ(tooLarge.remoteCloseCode(), 1009);
    EXPECT_EQ(nextCommand(), "disconnected");

    // A header announcing 40 MB is refused before any payload arrives.
    RawSocket announced;
    ASSERT_TRUE(announced.connect(server->port(), 3s));
    ASSERT_EQ(announced.handshake(3s), 101);
    EXPECT_EQ(nextCommand(), "connected");
    ASSERT_TRUE(announced.sendFrameHeader(0x2, 40'000'000));
    EXPECT_EQ(announced.readCloseCode(5s), 1009);
    EXPECT_EQ(countLog("zzzz"), 0u);
}

// One message, one command, one log line: whatever line breaks it holds are escaped.
TEST_F(ServerTest, AForgedMessageStaysOneLogLine) {
    WsTestClient client;
    connectClient(client);
    const std::string forged = "zz\n{ \"event\": \"hidden\" }\r\n{ \"port\": 1 }\n";
    ASSERT_TRUE(client.sendText(forged));
    EXPECT_EQ(nextCommand(), forged); // the command itself is queued as received
    ASSERT_TRUE(waitForLog("从客户端收到指令"));
    std::vector<std::string> lines = logLines();
    auto quoted = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("从客户端收到指令") != std::string::npos;
    });
    ASSERT_NE(quoted, lines.end());
    EXPECT_TRUE(
        quoted->ends_with("<Server> 从客户端收到指令: zz\\n{ \"event\": \"hidden\" }\\r\\n{ \"port\": 1 }\\n"))
        << *quoted;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.starts_with("["); }),
              0);
}

// A client that sends commands much faster than they are taken is no longer read while
// the queue is full: its socket pushes back, and nothing it sent is lost.
TEST_F(ServerTest, AClientThatFloodsCommandsIsHeldBackAndLosesNothing) {
    RawSocket flood;
    ASSERT_TRUE(flood.connect(server->port(), 3s));
    ASSERT_EQ(flood.handshake(3s), 101);
    ASSERT_EQ(nextCommand(), "connected");
    constexpr int sent = 20000;
    std::string frames;
    for (int i = 0; i < sent; ++i) {
        std::string word = std::to_string(i);
        std::string frame;
        frame.push_back(static_cast<char>(0x81));
        frame.push_back(static_cast<char>(0x80 | word.size()));
        frame.append("\0\0\0\0", 4); // a zero mask leaves the payload as it is
        frame += word;
        frames += frame;
    }
    ASSERT_TRUE(flood.send(frames));
    std::this_thread::sleep_for(500ms);

    // Nobody took anything meanwhile: the queue holds its bound and what the library
    // had already read (one read buffer), not all 20000.
    std::vector<std::string> taken;
    while (!commands.empty())
        taken.push_back(commands.tryPop());
    EXPECT_GE(taken.size(), CommandQueue::maxEntries);
    EXPECT_LT(taken.size(), 4000u);

    auto deadline = Clock::now() + 20s;
    while (taken.size() < static_cast<std::size_t>(sent) && Clock::now() < deadline) {
        if (commands.empty())
            std::this_thread::sleep_for(1ms);
        else
            taken.push_back(commands.tryPop());
    }
    ASSERT_EQ(taken.size(), static_cast<std::size_t>(sent));
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(taken[static_cast<std::size_t>(i)], std::to_string(i));
}

// ---- connections ----

TEST_F(ServerTest, ConnectionsBeyondSixtyFourAreClosedAtOnce) {
    std::vector<std::unique_ptr<RawSocket>> open;
    for (int i = 0; i < 64; ++i) {
        open.push_back(std::make_unique<RawSocket>());
        ASSERT_TRUE(open.back()->connect(server->port(), 3s));
        ASSERT_EQ(open.back()->handshake(3s), 101) << "connection " << i;
    }
    RawSocket extra;
    ASSERT_TRUE(extra.connect(server->port(), 3s)); // the kernel completes the TCP handshake
    EXPECT_TRUE(extra.waitForEnd(2s)) << "the 65th connection was kept";
    EXPECT_EQ(countLog("[WARN] <Server> 连接数已达上限 64, 已拒绝新连接"), 1u);

    // Once some have gone, new ones are served again.
    open.resize(60);
    std::this_thread::sleep_for(300ms);
    WsTestClient client;
    EXPECT_TRUE(client.connect(server->port(), 3s));
}

// ---- a client that stops reading ----

// The client stops reading while audio keeps coming: beyond about a second of unread
// audio, blocks are dropped instead of queued (the warning is logged once), and once it
// reads again it gets a few seconds of what was kept and then current audio.
TEST_F(ServerTest, AClientThatStopsReadingGetsCurrentAudioWhenItResumes) {
    RawSocket stalled;
    ASSERT_TRUE(stalled.connect(server->port(), 3s));
    ASSERT_EQ(stalled.handshake(3s), 101);
    ASSERT_EQ(nextCommand(), "connected");

    // Samples are numbered, so that the age of each block can be read off it.
    float next = 1.0f;
    auto produce = [&](std::size_t count) {
        std::vector<float> samples(count);
        for (float& s : samples)
            s = next++;
        while (ring->writable() < count)
            std::this_thread::sleep_for(5ms);
        fill(samples);
    };
    // 40 s of audio in two seconds, none of it read.
    for (int i = 0; i < 40; ++i) {
        produce(44100);
        std::this_thread::sleep_for(50ms);
    }
    settle();
    EXPECT_EQ(countLog("[WARN] <Server> 客户端读取过慢, 已丢弃音频数据"), 1u);

    // The client reads again while audio goes on at its real pace for three seconds.
    const float resumedAt = next;
    std::vector<float> received;
    std::thread reader([&] {
        while (auto message = stalled.readMessage(1s)) {
            std::vector<float> samples = decodeSamples(*message);
            received.insert(received.end(), samples.begin(), samples.end());
        }
    });
    for (int i = 0; i < 60; ++i) {
        produce(2205);
        std::this_thread::sleep_for(50ms);
    }
    reader.join();

    ASSERT_FALSE(received.empty());
    const std::size_t stale = static_cast<std::size_t>(
        std::count_if(received.begin(), received.end(), [&](float s) { return s < resumedAt; }));
    const double staleSeconds = static_cast<double>(stale) / 44100.0;
    std::cout << "audio kept for the stalled client: " << staleSeconds << " s\n";
    RecordProperty("stale_seconds", std::to_string(staleSeconds));
    EXPECT_LT(staleSeconds, 5.0) << "a backlog of old audio";
    // Everything since it reads again arrives, up to the newest block.
    auto fresh = std::find_if(received.begin(), received.end(), [&](float s) { return s >= resumedAt; });
    ASSERT_NE(fresh, received.end());
    for (auto it = fresh + 1; it != received.end(); ++it)
        ASSERT_EQ(*it, *(it - 1) + 1.0f) << "audio lost after the client read again";
    EXPECT_GE(received.back(), next - 1.0f - 2 * blockSamples);
}

// ---- handshakes that never finish ----

// Connections that send nothing hold a handshake slot for a second at most, and never
// more than eight at once: a further connection is closed at once, and once the slow
// ones have been dropped a client gets in.
TEST_F(ServerTest, SlowHandshakesAreBoundedInNumberAndTime) {
    std::vector<std::unique_ptr<RawSocket>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<RawSocket>());
        ASSERT_TRUE(silent.back()->connect(server->port(), 3s));
    }
    std::this_thread::sleep_for(200ms);
    RawSocket ninth;
    ASSERT_TRUE(ninth.connect(server->port(), 3s));
    EXPECT_TRUE(ninth.waitForEnd(500ms)) << "a ninth handshake was let in";
    EXPECT_TRUE(waitForLog("[WARN] <Server> 进行中的握手已达上限 8, 已拒绝新连接"));

    const auto began = Clock::now();
    for (auto& socket : silent)
        EXPECT_TRUE(socket->waitForEnd(2s)) << "a handshake that sent nothing was kept";
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    EXPECT_LT(seconds, 1.5);

    WsTestClient client;
    EXPECT_TRUE(client.connect(server->port(), 3s));
    EXPECT_EQ(nextCommand(), "connected");
    EXPECT_TRUE(commands.empty());
}

// A handshake trickling in a byte at a time is cut off after a second all the same.
TEST_F(ServerTest, HandshakeThatTricklesInIsDroppedAfterASecond) {
    RawSocket slow;
    ASSERT_TRUE(slow.connect(server->port(), 3s));
    const std::string request = RawSocket::upgradeRequest();
    const auto began = Clock::now();
    std::size_t sent = 0;
    while (sent < request.size() && Clock::now() - began < 3s && slow.send(request.substr(sent, 1))) {
        ++sent;
        if (slow.waitForEnd(200ms))
            break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    EXPECT_LT(sent, request.size());
    EXPECT_GT(seconds, 0.8);
    EXPECT_LT(seconds, 1.6);
    EXPECT_TRUE(commands.empty());
}

// ---- the token ----

class ServerWithToken : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        server.reset();
        server = std::make_unique<Server>(ring, &commands, token);
        ASSERT_GT(server->port(), 0);
    }
    const std::string token = "Kx9_-0123456789abcdefghijklmnopqrstuvwxyz";
};

TEST_F(ServerWithToken, OnlyTheRightTokenOpensAConnection) {
    for (const std::string& resource :
         {std::string("/"), "/?token=" + token.substr(0, 32), "/?token=" + token + "0", std::string("/?token=")}) {
        WsTestClient client;
        EXPECT_FALSE(client.connect(server->port(), 3s, {}, "127.0.0.1", resource)) << resource;
        EXPECT_EQ(client.handshakeStatus(), 403) << resource;
    }
    EXPECT_EQ(countLog("[WARN] <Server> 拒绝令牌不符的连接"), 1u);
    EXPECT_EQ(countLog(token.substr(0, 32)), 0u);
    EXPECT_TRUE(commands.empty());

    WsTestClient client;
    ASSERT_TRUE(client.connect(server->port(), 3s, {}, "127.0.0.1", "/?token=" + token));
    EXPECT_EQ(nextCommand(), "connected");
    fill(sequence(513));
    EXPECT_TRUE(client.waitForMessages(1, 3s));
}

} // namespace
