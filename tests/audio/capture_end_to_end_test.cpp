#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "audio_engine.h"
#include "capture_stream.h"
#include "log_capture.h"
#include "ring_buffer.h"
#include "sine_check.h"
#include "temp_dir.h"
#include "virtual_mic.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// These tests check each operation's effect right after it: they wait for PortAudio.
constexpr std::chrono::milliseconds operationLimit = 60s;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Continues a frozen sound server when it goes out of scope: declared after an engine,
// it runs first, so the engine's destructor never waits on a frozen server.
struct ThawOnExit {
    VirtualMic& mic;
    ~ThawOnExit() { mic.thawDaemon(); }
};

template <typename Operation>
Clock::duration took(Operation&& operation) {
    const auto started = Clock::now();
    operation();
    return Clock::now() - started;
}

// Polls the engine as the control loop does until the condition holds; false on timeout.
// Every poll must return promptly, whatever the sound server does.
bool pollUntil(AudioEngine& engine, const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        EXPECT_LT(took([&] { engine.poll(); }), 500ms);
        std::this_thread::sleep_for(16ms);
    }
    return true;
}

std::size_t countStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    std::size_t n = 0;
    for (const auto& line : lines)
        n += line.rfind(start, 0) == 0 ? 1 : 0;
    return n;
}

// Sends this process's stderr to a file for the life of the object.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path(std::move(path)) {
        fflush(stderr);
        saved = dup(2);
        const int fd = open(this->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return readFile(path);
    }

private:
    void restore() {
        if (saved < 0)
            return;
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
    std::string path;
    int saved = -1;
};

// Drains the ring like the sender does and keeps what it took, with arrival times.
class Collector {
public:
    explicit Collector(std::shared_ptr<RingBuffer> ring) : ring(std::move(ring)), thread([this] { run(); }) {}
    ~Collector() { stop(); }
    void stop() {
        done = true;
        if (thread.joinable())
            thread.join();
    }
    std::size_t received() const { return count.load(); }
    std::vector<float> samples() {
        stop();
        return taken;
    }

private:
    void run() {
        std::vector<float> block(512);
        while (!done.load()) {
            const auto n = ring->get(block.data(), SampleEncoding::Float32, block.size());
            if (n == 0) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            taken.insert(taken.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
            count.store(taken.size());
        }
    }
    std::shared_ptr<RingBuffer> ring;
    std::atomic<bool> done{false};
    std::atomic<std::size_t> count{0};
    std::vector<float> taken;
    std::thread thread;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool hasSoundCard() {
    std::ifstream cards("/proc/asound/cards");
    std::string first;
    return cards && std::getline(cards, first) && first.find("no soundcards") == std::string::npos;
}

} // namespace

class VirtualMicCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VirtualMic::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        mic = std::make_unique<VirtualMic>();
        mic->exportToThisProcess();
        dir = mic->directory();
    }
    void TearDown() override {
        mic.reset();
        unsetenv("PULSE_SERVER");
    }

    LogCapture log;
    std::unique_ptr<VirtualMic> mic;
    std::string dir;
};

TEST_F(VirtualMicCapture, TonePlayedInArrivesAsContinuous44100HzSine) {
    const std::string settings = dir + "/settings.json";
    StderrCapture err(dir + "/stderr.txt");
    // Made before the engine, so it outlives the stream, as the process's own ring does:
    // the callback may still be in a call that began before the hand-off was cleared.
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    AudioEngine engine(settings);
    engine.waitLimit = operationLimit;
    const std::string stderrText = err.text();
    // Device probing chatter went to the log, not to stderr.
    EXPECT_EQ(stderrText, "");
    ASSERT_TRUE(engine.running);
    ASSERT_FALSE(engine.hostApis.empty());
    const std::int32_t device = engine.hostApis[0].defaultInputDevice;
    ASSERT_GE(device, 0);
    EXPECT_EQ(log.count("INFO 配置文件尚不存在"), 1u);
    EXPECT_EQ(log.count("INFO 音频设备已打开"), 1u);
    EXPECT_EQ(log.count("INFO 音频流已启动"), 1u);

    // As the panel does on a change: stop, new selection, start.
    engine.stopStream();
    EXPECT_FALSE(engine.running);
    engine.sampleRateIndex = 1;
    engine.startStream();
    ASSERT_TRUE(engine.running);
    ASSERT_TRUE(engine.capture);
    EXPECT_EQ(engine.capture->settings.sampleRate, 48000.0);

    mic->playTone(1000.0, 48000, 0.5, 20.0);
    engine.outputRing.set(ring);
    Collector collector(ring);

    // Capture begins within a few seconds; then it runs in real time.
    ASSERT_TRUE(waitFor([&] { return collector.received() > 44100; }, 15s)) << collector.received();
    const std::size_t firstCount = collector.received();
    const auto firstTime = Clock::now();
    std::this_thread::sleep_for(3s);
    const std::size_t secondCount = collector.received();
    const double seconds = std::chrono::duration<double>(Clock::now() - firstTime).count();
    engine.outputRing.reset();
    const std::vector<float> received = collector.samples();

    const double rate = static_cast<double>(secondCount - firstCount) / seconds;
    EXPECT_NEAR(rate, 44100.0, 44100.0 * 0.15);

    SineCheckOptions options;
    options.transient = 8192;
    const SineAnalysis analysis = analyseSine(received, options);
    EXPECT_TRUE(analysis.isContinuousTone(1000.0, 2.0)) << analysis.describe();
    EXPECT_NEAR(analysis.amplitude, 0.5, 0.05) << analysis.describe();
    EXPECT_GT(analysis.analysedCount, 3u * 44100u) << analysis.describe();
    EXPECT_GT(engine.level.load(), 0.8f); // about -9 dB

    // The file holds the resolved device and the new rate.
    const auto stored = nlohmann::json::parse(readFile(settings));
    EXPECT_EQ(stored["inputDevice"], device);
    EXPECT_EQ(stored["hostApiType"], engine.hostApis[0].type);
    EXPECT_EQ(stored["sampleRate"], 48000.0);
    EXPECT_EQ(stored["framesPerBuffer"], 120);
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 0u);
}

TEST_F(VirtualMicCapture, StoredProfileIsUsedAtStartUp) {
    const std::string settings = dir + "/settings.json";
    {
        AudioEngine first(settings);
        first.waitLimit = operationLimit;
        ASSERT_TRUE(first.running);
        first.stopStream();
        first.sampleRateIndex = 1;
        first.bufferSizeIndex = 4;
        first.startStream();
    }
    LogCapture secondLog;
    AudioEngine second(settings);
    EXPECT_TRUE(second.running);
    EXPECT_EQ(secondLog.count("INFO 配置文件已存在"), 1u);
    EXPECT_EQ(secondLog.count("INFO SR=48000Hz"), 1u);
    EXPECT_EQ(secondLog.count("INFO BufferSize=200"), 1u);
    EXPECT_EQ(secondLog.count("ERROR 无法加载配置文件"), 0u);
    ASSERT_TRUE(second.capture);
    EXPECT_EQ(second.capture->settings.framesPerBuffer, 200u);
}

TEST_F(VirtualMicCapture, UnwritableSettingsPathDoesNotStopCapture) {
    AudioEngine engine("");
    EXPECT_TRUE(engine.running);
    EXPECT_EQ(log.count("ERROR 无法更新配置文件"), 1u);
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "INFO 初始化音频引擎, 配置文件地址\"\"");
    EXPECT_EQ(lines[1], "INFO 配置文件尚不存在");
}

TEST_F(VirtualMicCapture, StreamLifecycle) {
    AudioEngine engine(dir + "/settings.json");
    engine.waitLimit = operationLimit;
    ASSERT_TRUE(engine.running);

    // Starting a running stream is refused and changes nothing.
    engine.startStream();
    EXPECT_EQ(log.count("ERROR 音频流启动失败, Stream is not stopped"), 1u);
    EXPECT_TRUE(engine.running);

    engine.stopStream();
    engine.stopStream(); // nothing open: nothing happens
    EXPECT_EQ(log.count("INFO 音频流已停止"), 1u);
    EXPECT_FALSE(engine.capture);

    // No device: the open fails, the selection is still saved.
    engine.deviceIndex = -1;
    engine.startStream();
    EXPECT_EQ(log.count("INFO 音频设备打开失败, Both input and output stream params are invalid."), 1u);
    EXPECT_EQ(log.count("INFO 音频设备已打开"), 1u);
    EXPECT_FALSE(engine.running);
    EXPECT_EQ(nlohmann::json::parse(readFile(dir + "/settings.json"))["inputDevice"], -1);

    // Refresh while capturing closes the stream and keeps the selection.
    engine.selectHostApi(engine.hostApiIndex);
    engine.startStream();
    ASSERT_TRUE(engine.running);
    const auto before = log.lines().size();
    const std::int32_t device = engine.deviceIndex;
    engine.refreshDevices();
    EXPECT_FALSE(engine.running);
    EXPECT_FALSE(engine.capture);
    EXPECT_EQ(engine.deviceIndex, device);
    const auto lines = log.lines();
    std::vector<std::string> refreshLines;
    for (std::size_t i = before; i < lines.size(); ++i)
        if (lines[i].rfind("INFO ALSA", 0) != 0 && lines[i].rfind("INFO JACK", 0) != 0)
            refreshLines.push_back(lines[i]);
    ASSERT_GE(refreshLines.size(), 4u);
    // The sound libraries' probing is one line, not the 158 it used to be.
    EXPECT_LE(lines.size() - before, 5u) << ::testing::PrintToString(lines);
    EXPECT_EQ(refreshLines[0], "INFO 音频流已停止");
    EXPECT_EQ(refreshLines[1], "INFO 设备已关闭");
    EXPECT_EQ(refreshLines[2].rfind("INFO 共找到可用API: ", 0), 0u);
    EXPECT_EQ(refreshLines[3].rfind("INFO 共找到可用设备(麦克风+扬声器+其他音频设备): ", 0), 0u);

    engine.startStream();
    EXPECT_TRUE(engine.running);
}

TEST_F(VirtualMicCapture, RefusedStartThenRefreshCarriesOn) {
    AudioEngine engine(dir + "/settings.json");
    engine.waitLimit = operationLimit;
    ASSERT_TRUE(engine.running);
    engine.stopStream();
    engine.openStream(); // opened but never started, as after a refused start
    ASSERT_TRUE(engine.capture);
    engine.stopStream();
    EXPECT_EQ(log.count("ERROR 音频流停止失败, Stream is stopped"), 1u);
    ASSERT_TRUE(engine.capture);

    engine.refreshDevices();
    EXPECT_EQ(log.count("ERROR 音频流停止失败, Stream is stopped"), 2u);
    EXPECT_FALSE(engine.capture);
    EXPECT_FALSE(engine.hostApis.empty());
    EXPECT_EQ(log.count("INFO 设备已关闭"), 2u);
    engine.startStream();
    EXPECT_TRUE(engine.running);
}

// A frozen sound server makes PortAudio calls wait for libpulse's time-out, twice (60 s
// for a stop). The panel calls the engine on the main thread: every operation returns
// within its limit, and what was asked for happens, in order, once the server answers.
TEST_F(VirtualMicCapture, OperationsReturnWithinTheirLimitWhileTheServerIsFrozen) {
    AudioEngine engine(dir + "/settings.json");
    ASSERT_TRUE(engine.running);
    const ThawOnExit thaw{*mic};
    const std::size_t linesBefore = log.lines().size();
    mic->freezeDaemon();

    // The panel's refresh button: refresh, the host API's defaults, start.
    EXPECT_LT(took([&] { engine.stopStream(); }), 1s);
    EXPECT_FALSE(engine.idle());
    EXPECT_LT(took([&] { engine.refreshDevices(); }), 1s);
    EXPECT_LT(took([&] { engine.selectHostApi(engine.hostApiIndex); }), 1s);
    EXPECT_LT(took([&] { engine.startStream(); }), 1s);
    EXPECT_FALSE(pollUntil(
        engine, [&] { return engine.idle(); }, 2s));

    mic->thawDaemon();
    ASSERT_TRUE(engine.waitUntilIdle(120s));
    EXPECT_TRUE(engine.running);
    std::vector<std::string> lines = log.lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
    const auto at = [&](const std::string& line, std::size_t from) {
        return static_cast<std::size_t>(
            std::find(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), line) - lines.begin());
    };
    const std::size_t stopped = at("INFO 音频流已停止", 0);
    const std::size_t closed = at("INFO 设备已关闭", stopped);
    const std::size_t defaults = at("INFO 加载缺省设定", closed);
    const std::size_t started = at("INFO 音频流已启动", defaults);
    EXPECT_LT(started, lines.size()) << ::testing::PrintToString(lines);
}

// Callbacks that stop coming (here: the server frozen) make the stream count as stopped,
// with one warning; it is restarted once the server answers again, with one line.
TEST_F(VirtualMicCapture, StalledStreamCountsAsStoppedAndIsRestarted) {
    mic->playTone(1000.0, 48000, 0.5, 300.0);
    auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600); // outlives the stream
    AudioEngine engine(dir + "/settings.json");
    const ThawOnExit thaw{*mic};
    engine.outputRing.set(ring);
    Collector collector(ring);
    ASSERT_TRUE(pollUntil(
        engine, [&] { return collector.received() > 4410; }, 15s));
    ASSERT_TRUE(engine.running);

    mic->freezeDaemon();
    ASSERT_TRUE(pollUntil(
        engine, [&] { return !engine.running; }, 5s));
    EXPECT_EQ(log.count("WARN 音频流中断: 1 秒内没有收到音频数据, 正在尝试恢复"), 1u);
    EXPECT_FALSE(pollUntil(
        engine, [&] { return engine.running.load(); }, 2s));

    const std::size_t before = collector.received();
    mic->thawDaemon();
    ASSERT_TRUE(pollUntil(
        engine, [&] { return engine.running.load(); }, 120s));
    EXPECT_EQ(countStartingWith(log.lines(), "INFO 音频流已恢复, 中断 "), 1u);
    EXPECT_EQ(countStartingWith(log.lines(), "WARN 音频流中断"), 1u);
    EXPECT_TRUE(pollUntil(
        engine, [&] { return collector.received() > before + 44100; }, 15s));
    engine.outputRing.reset();
}

// An unplugged USB microphone at start-up must not cost the user the choice stored in the
// file: the run falls back to the defaults, the file keeps the stored profile until a
// choice is made in the window.
TEST_F(VirtualMicCapture, StoredDeviceMissingAtStartKeepsTheFileUntilAChoiceIsMade) {
    const std::string settings = dir + "/settings.json";
    std::int32_t type = 0;
    {
        AudioEngine probe(dir + "/probe.json");
        type = probe.hostApis.at(0).type;
    }
    const std::string missingDevice = "{\"hostApiType\": " + std::to_string(type) + ", \"inputDevice\": 99}";
    const std::string missingHostApi = "{\"hostApiType\": 2, \"inputDevice\": 1, \"sampleRate\": 48000}";
    for (const std::string& text : {missingDevice, missingHostApi}) {
        writeFile(settings, text);
        LogCapture runLog;
        {
            AudioEngine engine(settings);
            EXPECT_TRUE(engine.running) << text;
            EXPECT_EQ(runLog.count("ERROR 无法加载配置文件"), 1u);
            EXPECT_EQ(runLog.count("ERROR 无法更新配置文件"), 0u);
        }
        EXPECT_EQ(readFile(settings), text);
    }

    AudioEngine engine(settings);
    engine.waitLimit = operationLimit;
    engine.stopStream();
    engine.sampleRateIndex = 1;
    engine.startStream(); // as after a click in the window
    ASSERT_TRUE(engine.running);
    const auto saved = nlohmann::json::parse(readFile(settings));
    EXPECT_EQ(saved["inputDevice"], engine.deviceIndex);
    EXPECT_EQ(saved["sampleRate"], 48000.0);
}

// When the sound server dies, PortAudio's ALSA thread and libpulse's main-loop thread can
// deadlock inside the ALSA pulse plugin, and then any abort, stop or Pa_Terminate of the
// stream never returns. So the engine runs in a fresh child process (libpulse refuses to
// work in a forked copy of a process that used it) which reports over its stdout and
// ends with _exit; the test checks that delivery stops and the child keeps answering.
TEST_F(VirtualMicCapture, DaemonGoneWhileCapturingEndsDelivery) {
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    mic->playTone(440.0, 48000, 0.3, 30.0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, toParent[1], 1);
    posix_spawn_file_actions_addclose(&actions, toParent[0]);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string flag = "--device-loss-child";
    std::string settings = dir + "/settings.json";
    char* argv[] = {self.data(), flag.data(), settings.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toParent[1]);
    close(toChild[0]);
    ASSERT_EQ(spawned, 0);

    auto receive = [&](int seconds) {
        pollfd fd{toParent[0], POLLIN, 0};
        char c = 0;
        if (poll(&fd, 1, seconds * 1000) == 1 && read(toParent[0], &c, 1) == 1)
            return c;
        return '?';
    };
    EXPECT_EQ(receive(60), 'c');
    mic->killDaemon();
    (void)!write(toChild[1], "k", 1);
    EXPECT_EQ(receive(30), 's');
    // Ended by PID whatever state it is in.
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(toParent[0]);
    close(toChild[1]);
}

// The child side: capture until told the daemon is gone, then report whether samples
// still arrive. Reports: 'c' capturing, 's' stopped, 'm' still moving, 'n' no capture.
[[noreturn]] void deviceLossChild(const std::string& settings) {
    auto report = [](char c) { (void)!write(1, &c, 1); };
    try {
        auto ring = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600); // outlives the stream
        AudioEngine engine(settings);
        engine.outputRing.set(ring);
        if (!engine.running || !waitFor([&] { return ring->readable() > 4410; }, 15s)) {
            report('n');
            _exit(1);
        }
        report('c');
        char go = 0;
        if (read(0, &go, 1) != 1)
            _exit(2);
        std::this_thread::sleep_for(1s);
        const auto settled = ring->readable();
        std::this_thread::sleep_for(1s);
        report(ring->readable() == settled ? 's' : 'm');
    } catch (const std::exception&) {
        report('n');
    }
    // No stop and no Pa_Terminate: they may never return now.
    _exit(0);
}

TEST(NoInputDevice, ConstructionFails) {
    if (hasSoundCard())
        GTEST_SKIP() << "this machine has a sound card";
    LogCapture log;
    const TempDir dir("audio-nodevice");
    setenv("PULSE_SERVER", ("unix:" + dir.file("nothing")).c_str(), 1);
    StderrCapture err(dir.file("stderr.txt"));
    EXPECT_THROW(AudioEngine engine(dir.file("settings.json")), std::runtime_error);
    const std::string stderrText = err.text();
    unsetenv("PULSE_SERVER");
    EXPECT_EQ(stderrText, "");
    EXPECT_EQ(log.count("ERROR 找不到适合的音频设备#-1"), 1u);
    // The probing chatter explains the failure: it is in the log, one entry per line.
    std::size_t alsaLines = 0;
    for (const auto& line : log.lines())
        alsaLines += line.rfind("INFO ALSA ", 0) == 0 ? 1 : 0;
    EXPECT_GT(alsaLines, 0u);
    for (const auto& line : log.rawLines())
        EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    EXPECT_EQ(log.count("INFO 准备启动音频流"), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("settings.json")));
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--device-loss-child")
        deviceLossChild(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
