// Bad input thrown at the real binary on the virtual microphone. Each case shows
// that the process keeps running (it still streams a continuous tone or still answers
// commands), that it reports what happened in the agreed way, and that it loses
// nothing it had promised.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "capture_run.h"
#include "raw_socket.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string hiddenLine = "{ \"event\": \"hidden\" }";

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VirtualMic::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        mic = std::make_unique<VirtualMic>();
        mic->playTone(toneFrequency, 48000, 0.5, 110.0);
    }
    void TearDown() override {
        run.reset();
        if (mic)
            mic->stopTone();
        mic.reset();
    }

    void start(CaptureRun::Options options = {}) {
        run = std::make_unique<CaptureRun>(*mic, std::move(options));
        ASSERT_NE(run->port(), 0) << "no port line; stderr:\n" << run->process().stderrText();
    }

    // The client that listens for the whole case; audio must flow before the bad input.
    void listen(WsTestClient& client) {
        ASSERT_TRUE(client.connect(run->port(), 10s));
        ASSERT_TRUE(client.waitForMessages(20, 15s)) << "no audio before the bad input";
    }

    void expectStillStreaming(std::chrono::milliseconds span = 3s) {
        StreamCheck check = receiveTone(run->port(), span);
        EXPECT_TRUE(isContinuousStream(check, 44100));
    }

    void expectOrderlyExit() {
        auto status = run->exitOverStdin();
        ASSERT_TRUE(status) << "no exit after \"exit\"";
        EXPECT_EQ(*status, 0);
    }

    std::string stdoutText() { return run->process().stdoutText(); }

    // For output that may span several physical lines.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (stdoutText().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    std::unique_ptr<VirtualMic> mic;
    std::unique_ptr<CaptureRun> run;
};

// Random bytes with NULs, every other control byte and invalid UTF-8, framed by
// non-space bytes so that trimming leaves them whole.
std::string garbage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(byte(random));
    for (std::size_t i = 0; i < size; i += 97)
        bytes[i] = '\0';
    bytes.front() = 'G';
    bytes.back() = 'Z';
    return bytes;
}

}  // namespace

// websocketpp's default limit is 32000000 bytes: a message over it closes that one
// connection with 1009, and every other connection is served on.
TEST_F(BadInput, MessageOverTheSizeLimitClosesOnlyThatConnection) {
    start();
    WsTestClient observer;  // connected first, so it does not receive audio itself
    ASSERT_TRUE(observer.connect(run->port(), 10s));

    // A frame header announcing 40 MB: refused before any payload arrives.
    RawSocket announced;
    ASSERT_TRUE(announced.connect(run->port(), 5s));
    ASSERT_EQ(announced.handshake(5s), 101);
    ASSERT_TRUE(announced.sendFrameHeader(0x2, 40'000'000));
    EXPECT_EQ(announced.readCloseCode(10s), 1009);

    // A real 33 MB message from a well-behaved client.
    WsTestClient big;
    ASSERT_TRUE(big.connect(run->port(), 10s));
    ASSERT_TRUE(big.sendBinary(std::string(33'000'000, 'x')));
    ASSERT_TRUE(big.waitForEnd(30s));
    EXPECT_EQ(big.remoteCloseCode(), 1009);

    // The other connection's messages still become commands.
    EXPECT_TRUE(observer.isOpen());
    ASSERT_TRUE(observer.sendText("hide"));
    EXPECT_TRUE(run->process().waitForLine([](const std::string& l) { return l == "Getting command: hide"; }, 10s));
    EXPECT_TRUE(run->command("show-me-alive"));
    expectStillStreaming();

    // Neither message was queued as a command.
    EXPECT_EQ(stdoutText().find("Getting command: xxxx"), std::string::npos);
    expectOrderlyExit();
}

// Under the limit a 20 MB message is one command like any other: echoed and reported
// byte for byte, while the audio of the same connection runs on without a gap.
TEST_F(BadInput, TwentyMegabyteMessageIsOneUnrecognisedCommandAndAudioRunsOn) {
    start();
    WsTestClient client;
    listen(client);
    std::string payload(20'000'000, 'y');
    payload.front() = 'B';
    ASSERT_TRUE(client.sendBinary(payload));
    auto echo = run->process().waitForLine(
        [](const std::string& l) { return l.rfind("Getting command: Byyy", 0) == 0; }, 60s);
    ASSERT_TRUE(echo) << "the 20 MB command was never echoed";
    EXPECT_EQ(*echo, "Getting command: " + payload);
    EXPECT_TRUE(run->command("hide"));
    EXPECT_NE(stdoutText().find("\nUnrecognisable command " + payload + "\n"), std::string::npos);
    std::this_thread::sleep_for(2s);

    // Every message since the listener connected forms one continuous tone.
    StreamCheck check = analyseMessages(client.messages());
    EXPECT_TRUE(isContinuousStream(check, 44100 * 3));
    EXPECT_TRUE(client.isOpen());
    expectOrderlyExit();
    EXPECT_NE(run->logText().find("从客户端收到指令: " + payload + "\n"), std::string::npos);
}

// NUL bytes and arbitrary binary on standard input: each read is one command, echoed
// byte for byte and reported as unrecognised; audio is not disturbed.
TEST_F(BadInput, BinaryGarbageOnStdinIsEchoedByteForByte) {
    start();
    WsTestClient client;
    listen(client);
    std::vector<std::string> chunks;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        // Below PIPE_BUF, so each write arrives whole in one read.
        chunks.push_back(garbage(seed == 1 ? 4000 : 100 + seed * 37, seed));
        ASSERT_TRUE(run->process().writeStdin(chunks.back()));
        // One read per write: the next write waits until this one has been taken.
        ASSERT_TRUE(waitForOutput("Getting command: " + chunks.back() + "\n", 10s)) << "chunk " << seed;
    }
    EXPECT_TRUE(run->command("hide"));
    EXPECT_EQ(run->nextProtocolLine(10s), hiddenLine);
    std::string out = stdoutText();
    for (const auto& chunk : chunks) {
        EXPECT_NE(out.find("Getting command: " + chunk + "\n"), std::string::npos);
        EXPECT_NE(out.find("Unrecognisable command " + chunk + "\n"), std::string::npos);
    }
    // At least 2.5 s of audio since the listener connected, garbage included.
    EXPECT_TRUE(client.waitForMessages(220, 15s));
    EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 44100 * 2));
    expectOrderlyExit();
    std::string log = run->logText();
    for (const auto& chunk : chunks)
        EXPECT_NE(log.find("<Main> 收到指令: " + chunk + "\n"), std::string::npos);
}

// Invalid UTF-8 is passed through untouched where it can arrive: standard input and
// binary WebSocket frames. A text frame must be UTF-8 by the protocol, so the library
// closes that one connection with 1007 and nothing is queued.
TEST_F(BadInput, InvalidUtf8CommandsAreEchoedByteForByte) {
    start();
    const std::string overlong = "sh\xC0\xAFow";
    const std::string fromStdin = "\xC3\x28 \xFF\xFE" + overlong + " \xED\xA0\x80";
    const std::string fromSocket = "\xF8\x88\x80\x80\x80 exit \xE2\x82";
    ASSERT_TRUE(run->command(fromStdin));
    WsTestClient client;
    listen(client);
    ASSERT_TRUE(client.sendBinary(fromSocket));
    EXPECT_TRUE(run->process().waitForLine(
        [&](const std::string& l) { return l == "Getting command: " + fromSocket; }, 10s));

    RawSocket raw;
    ASSERT_TRUE(raw.connect(run->port(), 5s));
    ASSERT_EQ(raw.handshake(5s), 101);
    ASSERT_TRUE(raw.sendFrame(0x1, "text\xFF\xFEonly"));
    EXPECT_EQ(raw.readCloseCode(10s), 1007);

    EXPECT_TRUE(run->command("hide"));
    std::string out = stdoutText();
    EXPECT_NE(out.find("Unrecognisable command " + fromStdin + "\n"), std::string::npos);
    EXPECT_NE(out.find("Unrecognisable command " + fromSocket + "\n"), std::string::npos);
    EXPECT_EQ(out.find("only"), std::string::npos) << "the invalid text frame was queued";
    // The raw connection took the audio and then closed; a new client gets it again.
    expectStillStreaming();
    expectOrderlyExit();
    std::string log = run->logText();
    EXPECT_NE(log.find("<Main> 收到指令: " + fromStdin + "\n"), std::string::npos);
    EXPECT_NE(log.find("<Server> 从客户端收到指令: " + fromSocket + "\n"), std::string::npos);
}

// Bytes that are not HTTP at all: the library rejects that connection, nothing else.
TEST_F(BadInput, NonHttpBytesOnTheSocketEndOnlyThatConnection) {
    start();
    RawSocket raw;
    ASSERT_TRUE(raw.connect(run->port(), 5s));
    ASSERT_TRUE(raw.send(garbage(3000, 99) + "\r\n\r\n"));
    EXPECT_TRUE(raw.waitForEnd(15s));
    RawSocket silent;  // connects and never speaks, then goes away
    ASSERT_TRUE(silent.connect(run->port(), 5s));
    EXPECT_TRUE(run->command("hide"));
    expectStillStreaming();
    expectOrderlyExit();
}

// The settings path names a directory: loading fails, every save fails and says so,
// capture goes on, and the directory and what it holds are left alone.
TEST_F(BadInput, SettingsPathThatIsADirectory) {
    fs::path settingsDir = fs::path(mic->directory()) / "settings-dir";
    fs::create_directories(settingsDir);
    std::ofstream(settingsDir / "keep.txt") << "untouched";
    CaptureRun::Options options;
    options.settingsPath = settingsDir.string();
    start(options);
    expectStillStreaming();
    EXPECT_TRUE(run->command("hide"));
    expectOrderlyExit();

    EXPECT_TRUE(fs::is_directory(settingsDir));
    EXPECT_EQ(readWholeFile(settingsDir / "keep.txt"), "untouched");
    std::size_t entries = std::distance(fs::directory_iterator(settingsDir), fs::directory_iterator());
    EXPECT_EQ(entries, 1u);
    // No temporary file left behind next to it either.
    for (const auto& entry : fs::directory_iterator(mic->directory()))
        EXPECT_EQ(entry.path().filename().string().find("settings-dir."), std::string::npos) << entry.path();
    std::string log = run->logText();
    EXPECT_NE(log.find("[INFO] <Audio> 配置文件已存在\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR] <Audio> 无法加载配置文件\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR] <Audio> 无法更新配置文件\n"), std::string::npos) << log;
    EXPECT_NE(log.find("音频流已启动"), std::string::npos) << log;
}

// A log path in a directory that does not exist: no file, no directory, no message,
// and the process works normally.
TEST_F(BadInput, LogPathInAMissingDirectory) {
    fs::path missing = fs::path(mic->directory()) / "no-such-dir";
    CaptureRun::Options options;
    options.logPath = (missing / "capture.log").string();
    start(options);
    EXPECT_TRUE(run->command("hide"));
    EXPECT_EQ(run->nextProtocolLine(10s), hiddenLine);
    expectStillStreaming();
    expectOrderlyExit();
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::exists(run->settingsPath()));  // the settings were still saved
    EXPECT_EQ(run->process().stderrText().find("capture.log"), std::string::npos);
}

// The parent reads the port line and then closes its end of standard output. The
// process must survive the failed writes, keep streaming, take commands from both
// channels and end with 0 on "exit" over the socket.
TEST_F(BadInput, StandardOutputClosedByTheParent) {
    fs::path portFile = fs::path(mic->directory()) / "port-line";
    CaptureRun::Options options;
    options.waitForPort = false;
    // bash reads a pipe byte by byte, so nothing after the port line is consumed; the
    // brace group then ends and with it the only reader of the pipe.
    options.argvPrefix = {"/bin/bash", "-c",
                          "\"$0\" \"$@\" | { while IFS= read -r line; do case \"$line\" in "
                          "'{ \"port\": '*) printf '%s\\n' \"$line\" > " + portFile.string() +
                              "; break;; esac; done; }; exit ${PIPESTATUS[0]}"};
    run = std::make_unique<CaptureRun>(*mic, options);
    auto deadline = std::chrono::steady_clock::now() + 60s;
    std::string portLine;
    while ((portLine = readWholeFile(portFile)).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(portLine.empty()) << "no port line";
    int port = std::atoi(portLine.c_str() + std::string("{ \"port\": ").size());
    ASSERT_GT(port, 0) << portLine;

    // Commands on standard input now make the process write to a pipe nobody reads.
    for (const char* word : {"hide", "bogus", "hide"}) {
        ASSERT_TRUE(run->process().writeStdin(std::string(word) + "\n"));
        std::this_thread::sleep_for(200ms);
    }
    WsTestClient client;
    ASSERT_TRUE(client.connect(port, 10s));
    ASSERT_TRUE(client.waitForMessages(10, 15s)) << "no audio after standard output was closed";
    ASSERT_TRUE(client.sendText("hide"));
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 44100 * 2));
    ASSERT_TRUE(run->process().running());
    ASSERT_TRUE(client.sendText("exit"));
    auto status = run->process().waitExit(30s);
    ASSERT_TRUE(status) << "no exit after \"exit\" over the socket";
    EXPECT_EQ(*status, 0) << "128 + 13 would mean SIGPIPE";
    std::string log = run->logText();
    EXPECT_NE(log.find("<Server> 从客户端收到指令: exit\n"), std::string::npos) << log;
    // Words written back to back may share a read; none may be missing.
    EXPECT_NE(log.find("<Main> 收到指令: hide\n"), std::string::npos) << log;
    EXPECT_NE(log.find("bogus\n"), std::string::npos) << log;
}

// The sound server goes away while a client is streaming, as when a device is
// unplugged. The process keeps answering and ends in order on "exit".
TEST_F(BadInput, AudioDeviceDisappearsWhileStreaming) {
    start();
    WsTestClient client;
    listen(client);
    mic->stopTone();
    mic->killDaemon();
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(run->process().running());
    EXPECT_TRUE(run->command("hide"));
    EXPECT_EQ(run->nextProtocolLine(10s), hiddenLine);
    EXPECT_TRUE(client.isOpen());
    ASSERT_TRUE(client.sendText("client-still-heard"));
    EXPECT_TRUE(run->process().waitForLine(
        [](const std::string& l) { return l == "Getting command: client-still-heard"; }, 10s));
    std::size_t before = client.messageCount();
    std::this_thread::sleep_for(2s);
    std::cout << "audio messages in 2 s after the daemon was gone: " << client.messageCount() - before << "\n";

    auto status = run->exitOverStdin(60s);
    ASSERT_TRUE(status) << "no exit after the device went away";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(run->process().stdoutText().ends_with(hiddenLine + "\n"));
    // What the log says about it, for the record.
    std::string log = run->logText();
    const std::size_t started = log.rfind("音频流已启动");
    ASSERT_NE(started, std::string::npos) << log;
    std::cout << "log after the daemon was killed:\n" << log.substr(started) << "\n";
}
