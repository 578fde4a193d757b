// The parent's microphone choice against the real binary on the virtual microphone:
// "devices" lists, "select" switches while a client keeps receiving, bad choices change
// nothing, "watch" tells of a frozen sound server, and a parent that never uses these
// words sees exactly the protocol it saw before.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "capture_run.h"
#include "output_lines.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double secondToneFrequency = 1500.0;
constexpr std::size_t blockSamples = 512;

// The first protocol line after now that begins with prefix (echo lines and others are
// passed over).
std::optional<json> answer(CaptureRun& run, const std::string& prefix, std::chrono::milliseconds timeout = 15s) {
    const auto line =
        run.process().waitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeout);
    if (!line)
        return std::nullopt;
    return json::parse(*line, nullptr, false);
}

// Which of the two tones a block of samples carries: 1 (first), 2 (second) or 0 (neither:
// the junction of two streams, or a converter starting).
int toneOf(const float* block) {
    int crossings = 0;
    double energy = 0.0;
    for (std::size_t i = 0; i < blockSamples; ++i) {
        energy += block[i] * block[i];
        if (i > 0 && (block[i - 1] < 0.0f) != (block[i] < 0.0f))
            ++crossings;
    }
    if (std::sqrt(energy / blockSamples) < 0.1)
        return 0;
    const double frequency = crossings / 2.0 * 44100.0 / blockSamples;
    if (std::abs(frequency - toneFrequency) < 90.0)
        return 1;
    if (std::abs(frequency - secondToneFrequency) < 90.0)
        return 2;
    return 0;
}

std::vector<int> tonesOf(const std::vector<WsTestClient::Message>& messages) {
    std::vector<int> tones;
    for (const auto& message : messages) {
        const std::vector<float> samples = decodeSamples(message.payload);
        if (samples.size() == blockSamples)
            tones.push_back(toneOf(samples.data()));
    }
    return tones;
}

std::optional<std::string> nextStreamLine(CaptureRun& run, std::chrono::milliseconds timeout) {
    return run.process().waitForLine([](const std::string& l) { return l.rfind("{ \"stream\":", 0) == 0; },
                                     timeout);
}

class ParentChoice : public CaptureTest {
protected:
    ParentChoice() : CaptureTest(300.0) {}

    int deviceNamed(const json& devices, const std::string& name) {
        for (const json& device : devices["devices"])
            if (device["name"] == name)
                return device["index"].get<int>();
        ADD_FAILURE() << name << " is not listed: " << devices.dump();
        return -1;
    }
};

} // namespace

TEST_F(ParentChoice, EachDeviceInTurnCarriesTheStreamToTheClient) {
    const std::string secondName = mic->addSecondMicrophone();
    mic->playTone(secondToneFrequency, 48000, 0.5, 300.0, "second_sink");
    start();
    WsTestClient client;
    ASSERT_TRUE(client.connect(run->port(), 10s));
    ASSERT_TRUE(client.waitForMessages(40, 15s));

    ASSERT_TRUE(run->command("devices"));
    const auto listed = answer(*run, "{ \"devices\":");
    ASSERT_TRUE(listed && listed->is_object());
    const int first = (*listed)["selected"]["inputDevice"].get<int>();
    const int second = deviceNamed(*listed, secondName);
    EXPECT_EQ(deviceNamed(*listed, "default"), first);
    EXPECT_TRUE((*listed)["running"].get<bool>());

    constexpr int switches = 10;
    std::vector<double> latencies;
    for (int i = 0; i < switches; ++i) {
        const int target = i % 2 == 0 ? second : first;
        const int tone = i % 2 == 0 ? 2 : 1;
        const std::size_t before = client.messageCount();
        const auto asked = Clock::now();
        ASSERT_TRUE(run->command("select {\"inputDevice\": " + std::to_string(target) + "}"));
        const auto selected = answer(*run, "{ \"selected\":");
        ASSERT_TRUE(selected && selected->is_object()) << run->logText();
        EXPECT_EQ((*selected)["selected"]["inputDevice"], target);
        EXPECT_TRUE((*selected)["running"].get<bool>());
        // Answered once the restart is done, and with it the save: the file holds this
        // choice, not the one the start-up wrote.
        EXPECT_EQ(json::parse(readWholeFile(run->settingsPath()))["inputDevice"], target) << "switch " << i;
        // Audio of the new device reaches the client.
        std::optional<Clock::time_point> arrived;
        for (const auto deadline = asked + 15s; !arrived && Clock::now() < deadline;) {
            const auto messages = client.messages();
            for (std::size_t m = before; m < messages.size() && !arrived; ++m) {
                const std::vector<float> samples = decodeSamples(messages[m].payload);
                if (samples.size() == blockSamples && toneOf(samples.data()) == tone)
                    arrived = messages[m].received;
            }
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(arrived) << "switch " << i << ": no audio of the chosen device";
        latencies.push_back(std::chrono::duration<double, std::milli>(*arrived - asked).count());
        // A run of the new device: a block of the old one after it would split the run.
        ASSERT_TRUE(client.waitForMessages(client.messageCount() + 20, 5s)) << "switch " << i;
    }

    // The stream runs on across every switch: runs of one tone, then the other, with at
    // most the junction block and the new converter's first block between them.
    const std::vector<int> tones = tonesOf(client.messages());
    std::vector<int> runs;
    std::size_t between = 0, worstBetween = 0;
    for (int tone : tones) {
        if (tone == 0) {
            ++between;
            continue;
        }
        if (runs.empty() || runs.back() != tone) {
            if (!runs.empty())
                worstBetween = std::max(worstBetween, between);
            runs.push_back(tone);
        }
        between = 0;
    }
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(switches + 1));
    for (std::size_t r = 0; r < runs.size(); ++r)
        EXPECT_EQ(runs[r], r % 2 == 0 ? 1 : 2) << "run " << r;
    EXPECT_LE(worstBetween, 2u) << "blocks of neither tone at one switch";

    std::sort(latencies.begin(), latencies.end());
    std::cout << "select to the first block of the new device: median " << latencies[latencies.size() / 2]
              << " ms, worst " << latencies.back() << " ms (" << switches << " switches)\n";
    RecordProperty("select_to_audio_median_ms", std::to_string(latencies[latencies.size() / 2]));

    // The file holds the last choice.
    const json file = json::parse(readWholeFile(run->settingsPath()));
    EXPECT_EQ(file["inputDevice"], first);
}

TEST_F(ParentChoice, BadChoicesAreAnsweredAndChangeNothing) {
    start();
    WsTestClient client;
    ASSERT_TRUE(client.connect(run->port(), 10s));
    ASSERT_TRUE(client.waitForMessages(20, 15s));
    ASSERT_TRUE(run->command("select {\"framesPerBuffer\": 80}"));
    ASSERT_TRUE(answer(*run, "{ \"selected\":"));
    const std::string settings = readWholeFile(run->settingsPath());

    const std::vector<std::pair<std::string, std::string>> cases{
        {"select", "选择的设定不是有效的JSON"},
        {"select nope", "选择的设定不是有效的JSON"},
        {"select [1]", "选择的设定必须是JSON对象"},
        {"select {\"device\": 1}", "未知的设定项: device"},
        {"select {\"inputDevice\": \"1\"}", "设定项类型错误: inputDevice"},
        {"select {\"hostApiType\": 13}", "找不到满足条件的API"},
        {"select {\"inputDevice\": 99}", "找不到适合的音频设备#99"},
        {"select {\"sampleRate\": 22050}", "不支持的采样率: 22050"},
        {"select {\"inputDevice\": 0, \"framesPerBuffer\": 100}", "不支持的缓冲区长度: 100"},
    };
    for (const auto& [command, reason] : cases) {
        ASSERT_TRUE(run->command(command)) << command;
        const auto refused = answer(*run, "{ \"selectError\":");
        ASSERT_TRUE(refused && refused->is_object()) << command;
        EXPECT_EQ((*refused)["selectError"], reason) << command;
    }
    // Over the socket as well, untrimmed like every message.
    ASSERT_TRUE(client.sendText("select {\"sampleRate\": 96000}"));
    const auto overSocket = answer(*run, "{ \"selectError\":");
    ASSERT_TRUE(overSocket && overSocket->is_object());
    EXPECT_EQ((*overSocket)["selectError"], "不支持的采样率: 96000");

    ASSERT_TRUE(run->command("select {}"));
    const auto unchanged = answer(*run, "{ \"selected\":");
    ASSERT_TRUE(unchanged && unchanged->is_object());
    EXPECT_EQ((*unchanged)["selected"]["framesPerBuffer"], 80);
    EXPECT_EQ(readWholeFile(run->settingsPath()), settings);
    EXPECT_EQ(countOccurrences(run->logText(), "无法应用父进程的选择, "), cases.size() + 1);
    const std::size_t before = client.messageCount();
    EXPECT_TRUE(client.waitForMessages(before + 20, 10s)) << "the stream goes on";
    EXPECT_EQ(run->exitOverStdin(), 0);
}

// A parent that makes its choice and ends the process at once: the choice is made and
// saved, although the engine is still listing the devices for the command before it.
TEST_F(ParentChoice, AChoiceSentRightBeforeExitIsMadeAnsweredAndSaved) {
    start();
    ASSERT_TRUE(run->waitForLog("音频流已启动", 15s));
    ASSERT_EQ(json::parse(readWholeFile(run->settingsPath()))["sampleRate"], 44100.0);
    ASSERT_TRUE(run->process().writeStdin("devices\nselect {\"sampleRate\": 48000}\nexit\n"));
    EXPECT_EQ(run->process().waitExit(20s), 0);

    std::vector<std::string> answers;
    for (const std::string& line : run->process().stdoutLines())
        if (line.rfind("{ \"devices\":", 0) == 0 || line.rfind("{ \"select", 0) == 0)
            answers.push_back(line);
    ASSERT_EQ(answers.size(), 2u) << run->process().stdoutText();
    EXPECT_EQ(answers[0].rfind("{ \"devices\":", 0), 0u);
    EXPECT_EQ(json::parse(answers[1])["selected"]["sampleRate"], 48000.0) << answers[1];
    EXPECT_EQ(json::parse(readWholeFile(run->settingsPath()))["sampleRate"], 48000.0);
}

// While the sound server is frozen, "devices" is answered only after its five seconds;
// the refused choices after it are answered after it too, in the order they came.
TEST_F(ParentChoice, AnswersKeepTheCommandOrderWhileTheSoundServerIsFrozen) {
    start();
    WsTestClient client;
    ASSERT_TRUE(client.connect(run->port(), 10s));
    ASSERT_TRUE(client.waitForMessages(20, 15s));
    mic->freezeDaemon();
    for (const char* command : {"devices", "select {\"sampleRate\": 22050}", "select {\"inputDevice\": 99}"})
        ASSERT_TRUE(run->command(command)) << command;
    const auto isAnswer = [](const std::string& line) {
        return line.rfind("{ \"devices\":", 0) == 0 || line.rfind("{ \"selectError\":", 0) == 0;
    };
    std::vector<std::string> answers;
    for (int i = 0; i < 3; ++i) {
        const auto line = run->process().waitForLine(isAnswer, 20s);
        ASSERT_TRUE(line) << "answer " << i << "\n" << run->logText();
        answers.push_back(line->substr(0, line->find(':')));
        if (answers.back() == "{ \"selectError\"")
            answers.back() = json::parse(*line)["selectError"].get<std::string>();
    }
    EXPECT_EQ(answers,
              (std::vector<std::string>{"{ \"devices\"", "不支持的采样率: 22050", "找不到适合的音频设备#99"}));
    mic->thawDaemon();
    EXPECT_EQ(run->exitOverStdin(60s), 0);
}

TEST_F(ParentChoice, WatchTellsWhenTheSoundServerFreezesAndComesBack) {
    start();
    ASSERT_TRUE(run->command("watch"));
    const auto now = nextStreamLine(*run, 10s);
    ASSERT_TRUE(now);
    EXPECT_EQ(*now, R"({ "stream": "running" })");
    // Audio is flowing: from here a second without it counts.
    WsTestClient client;
    ASSERT_TRUE(client.connect(run->port(), 10s));
    ASSERT_TRUE(client.waitForMessages(20, 15s));

    mic->freezeDaemon();
    const auto frozen = Clock::now();
    const auto stopped = nextStreamLine(*run, 20s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(*stopped, R"({ "stream": "stopped" })");
    const double noticed = std::chrono::duration<double>(Clock::now() - frozen).count();
    std::cout << "stopped line " << noticed << " s after the sound server froze\n";
    EXPECT_LT(noticed, 4.0) << "the stall watch notices a second without audio";

    mic->thawDaemon();
    const auto running = nextStreamLine(*run, 90s);
    ASSERT_TRUE(running) << run->logText();
    EXPECT_EQ(*running, R"({ "stream": "running" })");
    EXPECT_EQ(run->exitOverStdin(60s), 0);
}

// Recorded with a build that had none of the device words: the same commands give the
// same lines, also across a sound server that goes away and comes back.
TEST_F(ParentChoice, ParentThatNeverSendsTheNewWordsSeesTheSameProtocol) {
    start();
    for (const char* word : {"hide", "connected", "disconnected", "Devices", "watch2", "selectx"})
        ASSERT_TRUE(run->command(word)) << word;
    // The server goes away once audio flows, as it would in use: gone before the first
    // callback, the stream is given five seconds to start before it counts as lost.
    WsTestClient client;
    ASSERT_TRUE(client.connect(run->port(), 10s));
    ASSERT_TRUE(client.waitForMessages(20, 15s));
    mic->killDaemon();
    mic->stopTone();
    ASSERT_TRUE(run->waitForLog("[WARN] <Audio> 音频流中断", 15s)) << run->logText();
    mic->restartDaemon();
    mic->playTone(toneFrequency, 48000, 0.5, 100.0);
    const auto deadline = Clock::now() + 40s;
    while (run->logText().find("音频流已恢复") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(200ms);
    ASSERT_NE(run->logText().find("音频流已恢复"), std::string::npos) << "the stream did not restart\n"
                                                                      << run->logText();
    client.close(5s);
    ASSERT_TRUE(run->process().waitForLine(
        [](const std::string& l) { return l == "Getting command: disconnected"; }, 10s));
    ASSERT_EQ(run->exitOverStdin(), 0);

    std::vector<std::string> protocol;
    for (const std::string& line : run->process().stdoutLines())
        if (!isLibraryLogLine(line))
            protocol.push_back(line);
    const std::vector<std::string> expected{"{ \"port\": " + std::to_string(run->port()) + " }",
                                            "Getting command: hide",
                                            hiddenLine,
                                            "Getting command: connected",
                                            "Getting command: disconnected",
                                            "Getting command: Devices",
                                            "Unrecognisable command Devices",
                                            "Getting command: watch2",
                                            "Unrecognisable command watch2",
                                            "Getting command: selectx",
                                            "Unrecognisable command selectx",
                                            "Getting command: connected",
                                            "Getting command: disconnected",
                                            "Getting command: exit",
                                            hiddenLine};
    EXPECT_EQ(protocol, expected);
}
