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

class BadInput : public CaptureTest {
protected:
    BadInput() : CaptureTest(110.0) {}

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

// Leading and trailing ASCII white space off, as standard input's commands are.
std::string trimByHand(const std::string& text) {
    const char* space = " \t\n\v\f\r";
    const std::size_t last = text.find_last_not_of(space);
    if (last == std::string::npos)
        return {};
    const std::size_t first = text.find_first_not_of(space);
    return text.substr(first, last - first + 1);
}

// Reads an echo back: "\r", "\n", "\\" and "\xNN" are the only escapes there are.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            const char kind = text[++i];
            out += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind;
        }
    }
    return out;
}

} // namespace

// Command words are a few bytes and messages are limited to 64 KiB: a message over
// that closes that one connection with 1009, and every other connection is served on.
TEST_F(BadInput, MessageOverTheSizeLimitClosesOnlyThatConnection) {
    start();
    WsTestClient observer; // connected first, so it does not receive audio itself
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
    // The library ends the TCP connection as soon as its 1009 close frame is written,
    // with the rest of the payload still arriving, so the kernel answers that payload
    // with a reset. A client whose network thread is slow to read (as under
    // ThreadSanitizer) may see the reset before the close frame: 1006. The frame itself
    // is checked on the raw connection above, where nothing is left unread.
    const int code = big.remoteCloseCode();
    EXPECT_TRUE(code == 1009 || code == 1006) << code;

    // The other connection's messages still become commands.
    EXPECT_TRUE(observer.isOpen());
    ASSERT_TRUE(observer.sendText("hide"));
    EXPECT_TRUE(
        run->process().waitForLine([](const std::string& l) { return l == "Getting command: hide"; }, 10s));
    EXPECT_TRUE(run->command("show-me-alive"));
    expectStillStreaming();

    // Neither message was queued as a command.
    EXPECT_EQ(stdoutText().find("Getting command: xxxx"), std::string::npos);
    expectOrderlyExit();
}

// The largest message allowed (64 KiB) is one command like any other: echoed and
// logged with its first 1024 bytes and its length, while the audio of the same
// connection runs on without a gap.
TEST_F(BadInput, LargestMessageIsOneCommandQuotedShortAndAudioRunsOn) {
    start();
    WsTestClient client;
    listen(client);
    std::string payload(64 * 1024, 'y');
    payload.front() = 'B';
    ASSERT_TRUE(client.sendBinary(payload));
    const std::string quoted = "B" + std::string(1023, 'y') + "…(65536 bytes)";
    auto echo = run->process().waitForLine(
        [](const std::string& l) { return l.rfind("Getting command: Byyy", 0) == 0; }, 30s);
    ASSERT_TRUE(echo) << "the 64 KiB command was never echoed";
    EXPECT_EQ(*echo, "Getting command: " + quoted);
    EXPECT_TRUE(run->command("hide"));
    EXPECT_NE(stdoutText().find("\nUnrecognisable command " + quoted + "\n"), std::string::npos);
    EXPECT_TRUE(client.waitForMessages(messagesFor(3s), 15s));

    // Every message since the listener connected forms one continuous tone.
    StreamCheck check = analyseMessages(client.messages());
    EXPECT_TRUE(isContinuousStream(check, 44100 * 3));
    EXPECT_TRUE(client.isOpen());
    expectOrderlyExit();
    EXPECT_NE(run->logText().find("从客户端收到指令: " + quoted + "\n"), std::string::npos);
}

// NUL bytes and arbitrary binary on standard input (line feeds aside, which split
// commands): each write is one command whose echo is one line, every control byte
// escaped, that reads back to the trimmed text (its first 1024 bytes, then its length);
// audio is not disturbed.
TEST_F(BadInput, BinaryGarbageOnStdinIsEchoedOnOneEscapedLine) {
    start();
    WsTestClient client;
    listen(client);
    std::vector<std::string> chunks;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::string chunk = garbage(seed == 1 ? 4000 : 100 + seed * 37, seed);
        std::replace(chunk.begin(), chunk.end(), '\n', '\x01');
        chunks.push_back(chunk);
        // Below PIPE_BUF, so each write arrives whole in one read.
        ASSERT_TRUE(run->process().writeStdin(chunk));
        ASSERT_TRUE(run->process().waitForLine(
            [](const std::string& l) { return l.starts_with("Getting command: G"); }, 10s))
            << "chunk " << seed;
    }
    EXPECT_TRUE(run->command("hide"));
    EXPECT_EQ(run->nextProtocolLine(10s), hiddenLine);
    std::vector<std::string> echoes;
    std::vector<std::string> reports;
    for (const std::string& line : run->process().stdoutLines()) {
        if (line.starts_with("Getting command: G"))
            echoes.push_back(line.substr(17));
        else if (line.starts_with("Unrecognisable command G"))
            reports.push_back(line.substr(23));
        else
            EXPECT_TRUE(isLibraryLogLine(line) || line == hiddenLine || line.starts_with("{ \"port\": ") ||
                        line == "Getting command: hide" || line == "Getting command: connected")
                << "a line the garbage made up: " << line;
    }
    ASSERT_EQ(echoes.size(), chunks.size());
    EXPECT_EQ(reports, echoes);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::string trimmed = trimByHand(chunks[i]);
        const std::string& echo = echoes[i];
        for (char c : echo)
            ASSERT_GE(static_cast<unsigned char>(c), 0x20u) << "chunk " << i;
        if (trimmed.size() <= 1024) {
            EXPECT_EQ(unescape(echo), trimmed) << "chunk " << i;
        } else {
            const std::string tail = "…(" + std::to_string(trimmed.size()) + " bytes)";
            ASSERT_TRUE(echo.ends_with(tail)) << "chunk " << i;
            const std::string kept = unescape(echo.substr(0, echo.size() - tail.size()));
            EXPECT_LE(kept.size(), 1024u);
            EXPECT_GE(kept.size(), 1021u);
            EXPECT_TRUE(trimmed.starts_with(kept)) << "chunk " << i;
        }
    }
    // At least 2.5 s of audio since the listener connected, garbage included.
    EXPECT_TRUE(client.waitForMessages(220, 15s));
    EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 44100 * 2));
    expectOrderlyExit();
    std::string log = run->logText();
    EXPECT_EQ(countOccurrences(log, "<Main> 收到指令: G"), chunks.size());
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
    EXPECT_NE(log.find("<Main> 收到指令: " + fromStdin + "\\n\n"), std::string::npos);
    EXPECT_NE(log.find("<Server> 从客户端收到指令: " + fromSocket + "\n"), std::string::npos);
}

// Bytes that are not HTTP at all: the library rejects that connection, nothing else.
TEST_F(BadInput, NonHttpBytesOnTheSocketEndOnlyThatConnection) {
    start();
    RawSocket raw;
    ASSERT_TRUE(raw.connect(run->port(), 5s));
    ASSERT_TRUE(raw.send(garbage(3000, 99) + "\r\n\r\n"));
    EXPECT_TRUE(raw.waitForEnd(15s));
    RawSocket silent; // connects and never speaks, then goes away
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
                          "'{ \"port\": '*) printf '%s\\n' \"$line\" > " +
                              portFile.string() + "; break;; esac; done; }; exit ${PIPESTATUS[0]}"};
    run = std::make_unique<CaptureRun>(*mic, options);
    auto deadline = std::chrono::steady_clock::now() + 60s;
    std::string portLine;
    while ((portLine = readWholeFile(portFile)).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(portLine.empty()) << "no port line";
    int port = std::atoi(portLine.c_str() + std::string("{ \"port\": ").size());
    ASSERT_GT(port, 0) << portLine;

    // Commands on standard input now make the process write to a pipe nobody reads.
    for (const char* word : {"hide", "bogus", "hide"})
        ASSERT_TRUE(run->process().writeStdin(std::string(word) + "\n"));
    WsTestClient client;
    ASSERT_TRUE(client.connect(port, 10s));
    ASSERT_TRUE(client.waitForMessages(10, 15s)) << "no audio after standard output was closed";
    ASSERT_TRUE(client.sendText("hide"));
    EXPECT_TRUE(client.waitForMessages(messagesFor(2s), 15s));
    EXPECT_TRUE(isContinuousStream(analyseMessages(client.messages()), 44100 * 2));
    ASSERT_TRUE(run->process().running());
    ASSERT_TRUE(client.sendText("exit"));
    auto status = run->process().waitExit(30s);
    ASSERT_TRUE(status) << "no exit after \"exit\" over the socket";
    EXPECT_EQ(*status, 0) << "128 + 13 would mean SIGPIPE";
    std::string log = run->logText();
    EXPECT_NE(log.find("<Server> 从客户端收到指令: exit\n"), std::string::npos) << log;
    // Words written back to back may share a read; none may be missing.
    EXPECT_NE(log.find("<Main> 收到指令: hide\\n\n"), std::string::npos) << log;
    EXPECT_NE(log.find("<Main> 收到指令: bogus\\n\n"), std::string::npos) << log;
}

// The sound server goes away while a client is streaming, as when a device is
// unplugged. The process keeps answering and ends in order on "exit".
TEST_F(BadInput, AudioDeviceDisappearsWhileStreaming) {
    start();
    WsTestClient client;
    listen(client);
    mic->stopTone();
    mic->killDaemon();
    const std::size_t before = client.messageCount();
    ASSERT_TRUE(run->waitForLog("[WARN] <Audio> 音频流中断", 15s)) << run->logText();
    ASSERT_TRUE(run->process().running());
    EXPECT_TRUE(run->command("hide"));
    EXPECT_EQ(run->nextProtocolLine(10s), hiddenLine);
    EXPECT_TRUE(client.isOpen());
    ASSERT_TRUE(client.sendText("client-still-heard"));
    EXPECT_TRUE(run->process().waitForLine(
        [](const std::string& l) { return l == "Getting command: client-still-heard"; }, 10s));
    std::cout << "audio messages after the daemon was gone: " << client.messageCount() - before << "\n";

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
