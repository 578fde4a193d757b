#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "capture_run.h"
#include "capture_under_test.h"
#include "output_lines.h"
#include "sine_check.h"
#include "ws_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t messageBytes = 2048;

// The real binary on the virtual microphone; each test plays its tone.
class CaptureE2eTest : public CaptureTest {
protected:
    CaptureE2eTest() : CaptureTest(0) {}

    void SetUp() override {
        CaptureTest::SetUp();
        if (IsSkipped())
            return;
        settingsPath = mic->directory() + "/settings.json";
        logPath = mic->directory() + "/capture.log";
    }

    void TearDown() override {
        // Ended as a parent ends it; killing is the fall-back of the destructor.
        if (run && run->process().running() && run->process().writeStdin("exit\n"))
            run->process().waitExit(10s);
        CaptureTest::TearDown();
    }

    CaptureRun::Options options() const {
        CaptureRun::Options o;
        o.settingsPath = settingsPath;
        o.logPath = logPath;
        return o;
    }

    void start() {
        CaptureTest::start(options());
        port = run->port();
    }
    ChildProcess& process() { return run->process(); }

    // A settings file that selects 48000 Hz on the device the process picks by itself:
    // one run writes the file, then only the rate is changed.
    void prepare48kSettings() {
        {
            CaptureRun first(*mic, options());
            ASSERT_NE(first.port(), 0);
            // Start-up has written the file; it is whole once the process has ended.
            ASSERT_EQ(first.exitOverStdin(10s), 0);
        }
        std::ifstream in(settingsPath);
        nlohmann::json settings = nlohmann::json::parse(in);
        settings["sampleRate"] = 48000.0;
        std::ofstream(settingsPath) << settings.dump(4);
    }

    double storedSampleRate() {
        std::ifstream in(settingsPath);
        return nlohmann::json::parse(in).at("sampleRate").get<double>();
    }

    void connect(WsTestClient& client) { ASSERT_TRUE(client.connect(port, 5s)); }

    // Receives for the given time after the first message and checks the stream: whole
    // binary messages at about 86 a second carrying a continuous 1 kHz sine. The rate is
    // taken from a second after the first message on, over more than a second: the span
    // is at least 2.5 s of wall-clock time.
    void expectContinuousTone(WsTestClient& client, std::chrono::milliseconds span) {
        ASSERT_TRUE(client.waitForMessages(1, 10s)) << "no audio arrived";
        std::this_thread::sleep_until(client.messages().front().received + span);
        std::vector<WsTestClient::Message> messages = client.messages();
        for (const WsTestClient::Message& message : messages) {
            ASSERT_TRUE(message.binary);
            ASSERT_EQ(message.payload.size(), messageBytes);
        }
        const StreamCheck check = analyseMessages(messages);
        EXPECT_TRUE(isContinuousStream(check, 44100));
        // Under Wine the rate tells only how much input Wine dropped (see
        // isContinuousStream); it is checked where the stream came unbroken.
        if (!check.analysis.isContinuousTone(toneFrequency, 5.0))
            return;
        // Rate over the steady part (the first second may still carry a start-up burst).
        auto from = messages.front().received + 1s;
        auto to = messages.back().received;
        std::size_t count = 0;
        for (const WsTestClient::Message& message : messages)
            count += message.received >= from;
        double seconds = std::chrono::duration<double>(to - from).count();
        ASSERT_GT(seconds, 1.0);
        double rate = static_cast<double>(count) / seconds;
        EXPECT_GT(rate, 65.0);
        EXPECT_LT(rate, 110.0);
    }

    // Runs a helper with the virtual microphone's environment; its standard output once
    // it has ended with status 0, or nothing.
    std::optional<std::string> runHelper(const std::vector<std::string>& argv) {
        ChildProcess::Options options;
        options.argv = argv;
        options.environment = mic->environment();
        options.stdinMode = ChildProcess::StdinMode::DevNull;
        ChildProcess helper(options);
        if (helper.waitExit(60s) != 0 || !helper.waitStdoutClosed(10s))
            return std::nullopt;
        return helper.stdoutText();
    }

    // True when no audio message arrives within the window.
    static bool staysSilent(WsTestClient& client, std::chrono::milliseconds window) {
        std::size_t before = client.messageCount();
        std::this_thread::sleep_for(window);
        return client.messageCount() == before;
    }

    std::string settingsPath;
    std::string logPath;
    int port = 0;
};

TEST_F(CaptureE2eTest, StreamsA48kHzToneAsContinuous44100HzSine) {
    prepare48kSettings();
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient client;
    connect(client);
    expectContinuousTone(client, 2500ms);
    EXPECT_EQ(storedSampleRate(), 48000.0);
}

TEST_F(CaptureE2eTest, StreamsA44100HzCaptureAsContinuousSine) {
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient client;
    connect(client);
    expectContinuousTone(client, 2500ms);
    EXPECT_EQ(storedSampleRate(), 44100.0);
}

TEST_F(CaptureE2eTest, DisconnectedMessageStopsAudioAndConnectedResumesIt) {
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient client;
    connect(client);
    ASSERT_TRUE(client.waitForMessages(10, 10s));

    ASSERT_TRUE(client.sendText("disconnected"));
    ASSERT_TRUE(
        process().waitForLine([](const std::string& l) { return l == "Getting command: disconnected"; }, 10s));
    std::this_thread::sleep_for(300ms); // blocks already queued may still arrive
    // At about 86 blocks a second, half a second of audio would show.
    EXPECT_TRUE(staysSilent(client, 500ms));
    EXPECT_TRUE(client.isOpen());

    std::size_t before = client.messageCount();
    ASSERT_TRUE(client.sendText("connected"));
    EXPECT_TRUE(client.waitForMessages(before + 20, 5s));
}

// A client that reconnects: the newer connection takes the audio, and the older one
// finishing its close afterwards does not stop it.
TEST_F(CaptureE2eTest, OnlyTheNewestClientReceivesAudioAndKeepsItWhenTheOlderCloses) {
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient first;
    WsTestClient second;
    connect(first);
    connect(second);
    ASSERT_TRUE(second.waitForMessages(20, 10s));
    EXPECT_EQ(first.messageCount(), 0u);

    ASSERT_TRUE(first.close(5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(second.isOpen());
    const std::size_t before = second.messageCount();
    EXPECT_TRUE(second.waitForMessages(before + 80, 3s)) << "the older connection's close stopped the audio";
    EXPECT_TRUE(staysSilent(first, 500ms));
}

// A web page on another site must not listen in; the refusal leaves a local client's
// audio running.
TEST_F(CaptureE2eTest, RefusesAForeignWebPageAndKeepsStreamingToTheLocalClient) {
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient local;
    ASSERT_TRUE(local.connect(port, 5s, "http://localhost:8080"));
    ASSERT_TRUE(local.waitForMessages(10, 10s));

    WsTestClient page;
    EXPECT_FALSE(page.connect(port, 5s, "https://example.com"));
    EXPECT_EQ(page.handshakeStatus(), 403);
    const std::size_t before = local.messageCount();
    EXPECT_TRUE(local.waitForMessages(before + 20, 5s)) << "the refused handshake stopped the audio";

    ASSERT_TRUE(local.sendText("exit"));
    ASSERT_EQ(process().waitExit(15s), 0);
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream log;
    log << in.rdbuf();
    EXPECT_NE(log.str().find("<Server> 拒绝来自外部网页的连接: https://example.com"), std::string::npos)
        << log.str();
}

TEST_F(CaptureE2eTest, ExitOverTheSocketEndsTheProcessAfterStdinEnded) {
    start();
    process().closeStdin();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(process().running());
    WsTestClient client;
    connect(client);
    ASSERT_TRUE(client.sendText("exit"));
    EXPECT_EQ(process().waitExit(15s), 0);
}

TEST_F(CaptureE2eTest, CommandEchoesStayWholeWhileAudioStreams) {
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient client;
    connect(client);
    ASSERT_TRUE(client.waitForMessages(10, 10s));

    constexpr int commandCount = 200;
    std::vector<std::string> sent;
    for (int i = 0; i < commandCount; ++i) {
        sent.push_back("cmd-" + std::to_string(i));
        ASSERT_TRUE(client.sendText(sent.back()));
    }
    std::string lastEcho = "Getting command: " + sent.back();
    ASSERT_TRUE(process().waitForLine([&](const std::string& line) { return line == lastEcho; }, 30s));
    ASSERT_TRUE(client.sendText("exit"));
    ASSERT_EQ(process().waitExit(15s), 0);

    const std::regex protocolLine(R"re(\{ "port": [0-9]+ \}|Getting command: .*|Unrecognisable command .*|)re"
                                  R"re(\{ "event": "(shown|hidden)" \}|\{ "error": "[0-9]+" \})re");
    std::vector<std::string> echoes;
    for (const std::string& line : process().stdoutLines()) {
        if (output_line::isLibraryLog(line))
            continue;
        EXPECT_TRUE(std::regex_match(line, protocolLine)) << "torn line: " << line;
        if (line.rfind("Getting command: cmd-", 0) == 0)
            echoes.push_back(line.substr(std::strlen("Getting command: ")));
    }
    EXPECT_EQ(echoes, sent);
}

// WASAPI's shared mode captures at the device's own rate, so the virtual microphone runs
// at 48 kHz here. The device is the one the settings window offers first for WASAPI: its
// default input, whose index only PortAudio knows (the probe asks it).
TEST_F(CaptureE2eTest, WasapiInputAt48kHzStreamsTheTone) {
    if (!capture_under_test::isWindows())
        GTEST_SKIP() << "the Windows build under Wine only";
    ASSERT_TRUE(runHelper({"/usr/bin/pactl", "unload-module", "module-null-sink"}));
    ASSERT_TRUE(
        runHelper({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=mic_sink", "rate=48000"}));
    ASSERT_TRUE(runHelper({"/usr/bin/pactl", "set-default-source", "mic_sink.monitor"}));
    ASSERT_TRUE(runHelper({"/usr/bin/pactl", "set-default-sink", "mic_sink"}));
    const std::optional<std::string> devices =
        runHelper(capture_under_test::windowsHelper("SONDREL_DEVICE_PROBE", "device_probe.exe"));
    ASSERT_TRUE(devices) << "the device probe failed";
    std::smatch wasapi;
    ASSERT_TRUE(std::regex_search(*devices, wasapi,
                                  std::regex(R"(hostapi=\d+ type=13 devices=[1-9]\d* defaultInput=(\d+) )")))
        << "no WASAPI input device:\n"
        << *devices;
    const int device = std::stoi(wasapi[1].str());
    ASSERT_TRUE(std::regex_search(*devices, std::regex("device=" + std::to_string(device) +
                                                       " hostapi=\\d+ type=13 inputs=[1-9]\\d* rate=48000 ")))
        << *devices;

    std::ofstream(settingsPath) << nlohmann::json{
        {"sampleRate", 48000.0},
        {"framesPerBuffer", 120},
        {"hostApiType", 13},
        {"inputDevice", device}}.dump(4);
    mic->playTone(1000, 48000, 0.5, 40);
    start();
    WsTestClient client;
    connect(client);
    expectContinuousTone(client, 2500ms);
    ASSERT_EQ(run->exitOverStdin(15s), 0);
    const std::string text = capture_under_test::text(run->logText());
    EXPECT_NE(text.find("API=Windows WASAPI\n"), std::string::npos) << text;
    EXPECT_NE(text.find("音频流已启动"), std::string::npos) << text;
    std::ifstream in(settingsPath);
    const nlohmann::json saved = nlohmann::json::parse(in);
    EXPECT_EQ(saved.at("hostApiType"), 13);
    EXPECT_EQ(saved.at("inputDevice"), device);
    EXPECT_EQ(saved.at("sampleRate"), 48000.0);
}

} // namespace
