// sondrel-record against the real sondrel-capture on the virtual microphone.
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "capture_under_test.h"
#include "child_process.h"
#include "sine_check.h"
#include "temp_dir.h"
#include "virtual_mic.h"
#include "wav_bytes.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct WavFile {
    std::string error;           // empty when the header is what sondrel-record writes
    std::uint32_t dataBytes = 0; // as the header says
    std::uint64_t fileBytes = 0;
    std::vector<float> samples; // the samples the header covers
};

// Parses the file as any WAV reader would: chunk by chunk.
WavFile readWav(const std::string& path) {
    WavFile w;
    std::ifstream in(path, std::ios::binary);
    const std::string b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    w.fileBytes = b.size();
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
        return w.error = "not a RIFF/WAVE file", w;
    if (u32(b, 4) + 8ull > b.size())
        return w.error = "RIFF size larger than the file", w;
    bool haveFmt = false;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::string id = b.substr(at, 4);
        const std::uint32_t size = u32(b, at + 4);
        const std::size_t body = at + 8;
        if (id == "fmt ") {
            if (size < 16 || u16(b, body) != 3 || u16(b, body + 2) != 1 || u32(b, body + 4) != 44100 ||
                u32(b, body + 8) != 176400 || u16(b, body + 12) != 4 || u16(b, body + 14) != 32)
                return w.error = "fmt chunk is not mono 44100 Hz float32", w;
            haveFmt = true;
        } else if (id == "data") {
            if (!haveFmt)
                return w.error = "data before fmt", w;
            if (body + size > b.size())
                return w.error = "data size larger than the file", w;
            w.dataBytes = size;
            w.samples.resize(size / 4);
            std::memcpy(w.samples.data(), b.data() + body, w.samples.size() * 4);
            if (u32(b, 4) != body + size - 8)
                return w.error = "RIFF size does not match the data chunk", w;
            return w;
        }
        at = body + size + (size & 1);
    }
    return w.error = "no data chunk", w;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (const auto until = Clock::now() + timeout; Clock::now() < until; std::this_thread::sleep_for(50ms))
        if (done())
            return true;
    return done();
}

// What a /proc file of another process holds; empty once that process is gone, where
// the read fails with ESRCH (which std::istreambuf_iterator throws).
std::string procFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return n < 0 ? std::string() : text;
}

// The PID of a child of `parent` whose command name is `name`, if there is one.
std::optional<pid_t> childNamed(pid_t parent, const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pidText = entry.path().filename();
        if (pidText.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = procFile(entry.path() / "stat");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
            stat.substr(open + 1, close - open - 1) == name)
            return static_cast<pid_t>(std::stoi(pidText));
    }
    return std::nullopt;
}

// The PID of the sondrel-capture that a recorder started with settings in `dir`.
// Natively it is a child of the recorder; Wine starts Windows children from its own
// server, so there the command line, which names the test's own directory, tells.
std::optional<pid_t> captureStartedFor(pid_t recorder, const std::filesystem::path& dir) {
    if (!capture_under_test::isWindows())
        return childNamed(recorder, "sondrel-capture");
    const std::string settings = (dir / "settings.json").string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pidText = entry.path().filename();
        if (pidText.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string cmdline = procFile(entry.path() / "cmdline");
        const std::string program = cmdline.substr(0, cmdline.find('\0'));
        if (program.ends_with("sondrel-capture.exe") && cmdline.find(settings) != std::string::npos)
            return static_cast<pid_t>(std::stoi(pidText));
    }
    return std::nullopt;
}

bool processGone(pid_t pid) {
    const std::string stat = procFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    const auto close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z';
}

std::optional<std::string> summaryValue(const std::string& out, const std::string& label) {
    const auto at = out.find("  " + label + ":");
    if (at == std::string::npos)
        return std::nullopt;
    const auto start = out.find_first_not_of(' ', at + label.size() + 3);
    return out.substr(start, out.find('\n', start) - start);
}

class RecordEndToEnd : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> startRecord(std::vector<std::string> args, std::vector<std::string> env) {
        ChildProcess::Options o;
        o.argv = capture_under_test::recordCommand({"--capture", capture_under_test::path(), "--settings",
                                                    (dir / "settings.json").string(), "--log", logPath});
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.argv.push_back(wavPath);
        o.environment = std::move(env);
        o.workingDirectory = dir.path;
        o.stdinMode = ChildProcess::StdinMode::DevNull;
        return std::make_unique<ChildProcess>(std::move(o));
    }

    std::uint64_t wavSize() const {
        std::error_code ec;
        const auto size = std::filesystem::file_size(wavPath, ec);
        return ec ? 0 : size;
    }

    const TempDir dir{"record-e2e"};
    const std::string wavPath = dir.file("out.wav");
    const std::string logPath = dir.file("capture.log");
};

void expectContinuousTone(const std::vector<float>& samples) {
    SineCheckOptions options;
    options.transient = 2048; // the resampler's start
    const SineAnalysis a = analyseSine(samples, options);
    EXPECT_TRUE(a.isContinuousTone(1000.0, 2.0)) << a.describe();
    EXPECT_NEAR(a.amplitude, 0.5, 0.05) << a.describe();
}

TEST_F(RecordEndToEnd, TwoSecondsOfToneGiveAValidWavOfContinuousSine) {
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 30);
    auto rec = startRecord({"-d", "2"}, mic.environment());
    const auto status = rec->waitExit(60s);
    ASSERT_TRUE(status) << "sondrel-record did not end";
    const std::string raw = rec->stdoutText();
    const std::string out = capture_under_test::text(raw);
    ASSERT_EQ(*status, 0) << out << rec->stderrText();

    const WavFile wav = readWav(wavPath);
    ASSERT_EQ(wav.error, "");
    EXPECT_EQ(wav.samples.size(), 88200u) << "exactly two seconds";
    EXPECT_EQ(wav.fileBytes, 58u + 88200u * 4u);
    expectContinuousTone(wav.samples);

    EXPECT_NE(out.find("Recorded 2.000 s into " + wavPath), std::string::npos) << out;
    EXPECT_EQ(summaryValue(out, "duration"), "2.000 s (88200 samples written)");
    const auto received = std::stoull(summaryValue(out, "samples received").value_or("0"));
    const auto messages = std::stoull(summaryValue(out, "messages").value_or("0"));
    EXPECT_GE(received, 88200u);
    EXPECT_EQ(received, messages * 512) << "every message is 512 samples";
    // The peak includes the resampler's start, which may overshoot a little.
    const double peakDb = std::stod(summaryValue(out, "peak level").value_or("0"));
    EXPECT_GE(peakDb, -6.2) << out;
    EXPECT_LE(peakDb, -4.5) << out;
    EXPECT_NE(summaryValue(out, "RMS level").value_or("").find("-9.0 dBFS"), std::string::npos) << out;
    EXPECT_TRUE(summaryValue(out, "gaps detected"));
    EXPECT_EQ(summaryValue(out, "sondrel-capture"), "exited with status 0");
    EXPECT_EQ(out.find('\r'), std::string::npos) << "no terminal redraws when stdout is a pipe";
    // Lines end as the platform's text mode ends them (CR LF on Windows).
    EXPECT_EQ(raw.find("\n"), raw.find(capture_under_test::lineEnd()) + (capture_under_test::isWindows() ? 1 : 0));
}

TEST_F(RecordEndToEnd, NoInputDeviceFailsWithAClearReasonAndNoFile) {
    // No sound server reachable: empty runtime and home directories.
    const std::string empty = (dir / "empty").string();
    std::filesystem::create_directories(empty);
    auto rec = startRecord(
        {"-d", "2"}, {"XDG_RUNTIME_DIR=" + empty, "HOME=" + empty, "PULSE_SERVER=unix:" + empty + "/no-server"});
    const auto status = rec->waitExit(60s);
    ASSERT_TRUE(status) << "sondrel-record did not end";
    EXPECT_EQ(*status, 1);
    const std::string err = rec->stderrText();
    EXPECT_NE(err.find("sondrel-record: error: sondrel-capture exited with status "), std::string::npos) << err;
    EXPECT_NE(err.find("without announcing its port; usually this means it found no usable audio input device"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("last lines of sondrel-capture's log " + logPath + ":"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(wavPath)) << "a file without audio is not left behind";
}

TEST_F(RecordEndToEnd, CaptureKilledMidRecordingFailsAndLeavesAReadableWav) {
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 60);
    auto rec = startRecord({"-d", "30"}, mic.environment());
    std::optional<pid_t> capture;
    ASSERT_TRUE(waitUntil([&] { return (capture = captureStartedFor(rec->pid(), dir.path)).has_value(); }, 10s));
    ASSERT_TRUE(waitUntil([&] { return wavSize() > 58 + 44100 * 4; }, 30s))
        << "no audio recorded\n"
        << rec->stdoutText() << rec->stderrText();
    ASSERT_EQ(::kill(*capture, SIGKILL), 0);

    const auto status = rec->waitExit(30s);
    ASSERT_TRUE(status) << "sondrel-record did not end";
    EXPECT_EQ(*status, 1);
    const std::string err = rec->stderrText();
    EXPECT_NE(err.find("sondrel-record: error: "), std::string::npos) << err;
    // Windows has no signals; Wine reports a process that was killed as one that ended.
    const std::string how = capture_under_test::isWindows() ? "" : "was killed by signal 9 (SIGKILL) ";
    EXPECT_NE(err.find("sondrel-record: error: sondrel-capture " + how), std::string::npos) << err;
    EXPECT_NE(err.find(" during recording"), std::string::npos) << err;
    EXPECT_NE(rec->stdoutText().find("(recording failed)"), std::string::npos) << rec->stdoutText();

    const WavFile wav = readWav(wavPath);
    ASSERT_EQ(wav.error, "");
    EXPECT_EQ(wav.fileBytes, 58u + wav.dataBytes) << "sizes fixed when recording stopped";
    EXPECT_GE(wav.samples.size(), 44100u);
    EXPECT_LT(wav.samples.size(), 30u * 44100u);
    expectContinuousTone(wav.samples);
}

TEST_F(RecordEndToEnd, InterruptEndsTheRecordingCleanly) {
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 60);
    auto rec = startRecord({}, mic.environment());
    ASSERT_TRUE(waitUntil([&] { return wavSize() > 58 + 44100 * 4; }, 30s))
        << "no audio recorded\n"
        << rec->stdoutText() << rec->stderrText();
    ASSERT_TRUE(rec->kill(SIGINT));
    const auto status = rec->waitExit(30s);
    ASSERT_TRUE(status) << "sondrel-record did not end";
    const std::string out = capture_under_test::text(rec->stdoutText());
    EXPECT_EQ(*status, 0) << out << rec->stderrText();
    EXPECT_NE(out.find("(stopped by Ctrl+C)"), std::string::npos) << out;
    EXPECT_EQ(summaryValue(out, "sondrel-capture"), "exited with status 0");

    const WavFile wav = readWav(wavPath);
    ASSERT_EQ(wav.error, "");
    EXPECT_EQ(wav.fileBytes, 58u + wav.dataBytes);
    EXPECT_GE(wav.samples.size(), 44100u);
    expectContinuousTone(wav.samples);
}

TEST_F(RecordEndToEnd, KilledRecorderLeavesAReadableWavAndCaptureShutsDown) {
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 60);
    auto rec = startRecord({"-d", "30"}, mic.environment());
    std::optional<pid_t> capture;
    ASSERT_TRUE(waitUntil([&] { return (capture = captureStartedFor(rec->pid(), dir.path)).has_value(); }, 10s));
    // Past the first periodic header update.
    ASSERT_TRUE(waitUntil([&] { return wavSize() > 58 + 2 * 44100 * 4; }, 30s))
        << "no audio recorded\n"
        << rec->stdoutText() << rec->stderrText();
    ASSERT_TRUE(rec->kill(SIGKILL));
    ASSERT_TRUE(rec->waitExit(10s));

    // sondrel-capture is told by the kernel that its parent died (on Windows, its job
    // object ends it).
    const bool captureEnded = waitUntil([&] { return processGone(*capture); }, 15s);
    if (!captureEnded)
        ::kill(*capture, SIGKILL);
    EXPECT_TRUE(captureEnded) << "sondrel-capture outlived its parent";

    const WavFile wav = readWav(wavPath);
    ASSERT_EQ(wav.error, "");
    EXPECT_GE(wav.samples.size(), 44100u) << "the header was updated while recording";
    EXPECT_LE(58u + wav.dataBytes, wav.fileBytes);
    EXPECT_GE(58u + wav.dataBytes + 2 * 44100u * 4u, wav.fileBytes) << "the header lags by about a second at most";
    expectContinuousTone(wav.samples);
}

} // namespace

// Under Wine, sondrel-record.exe and sondrel-capture.exe are both Windows processes of
// this user: with no token in the capture's environment (a batch file clears the one the
// recorder hands down), the capture identifies the recorder's socket through Wine's TCP
// table and lets it in by the same-user rule.
TEST_F(RecordEndToEnd, UnderWineTheRecorderGetsInAsTheSameUserWithoutAToken) {
    if (!capture_under_test::isWindows())
        GTEST_SKIP() << "the Linux build's same-user rule is tested with a second Unix user";
    std::string windowsCapture = std::string("Z:") + capture_under_test::path();
    std::replace(windowsCapture.begin(), windowsCapture.end(), '/', '\\');
    const std::filesystem::path batch = dir / "without-token.bat";
    {
        std::ofstream out(batch, std::ios::binary);
        out << "@set SONDREL_CAPTURE_TOKEN=\r\n@\"" << windowsCapture << "\" %*\r\n";
    }
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 30);
    ChildProcess::Options o;
    o.argv = capture_under_test::recordCommand({"--capture", batch.string(), "--settings",
                                                (dir / "settings.json").string(), "--log", logPath, "-d", "2",
                                                wavPath});
    o.environment = mic.environment();
    o.workingDirectory = dir.path;
    o.stdinMode = ChildProcess::StdinMode::DevNull;
    ChildProcess rec(std::move(o));
    const auto status = rec.waitExit(60s);
    ASSERT_TRUE(status) << "sondrel-record did not end";
    std::ifstream logFile(logPath, std::ios::binary);
    const std::string log = capture_under_test::text(
        std::string((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>()));
    std::cout << "same user under Wine: sondrel-record.exe ended with " << *status << "; capture log:\n" << log;
    EXPECT_EQ(log.find("拒绝"), std::string::npos) << log;
    ASSERT_EQ(*status, 0) << capture_under_test::text(rec.stdoutText()) << rec.stderrText();
    const WavFile wav = readWav(wavPath);
    EXPECT_EQ(wav.samples.size(), 88200u);
}

// Both programs of a release say the same version, the recorder in the capture's words.
TEST(RecordProgram, VersionIsPrintedLikeTheCapturesWithStatusZero) {
    const TempDir dir{"record-version"};
    const auto versionOf = [&](const std::vector<std::string>& command) {
        ChildProcess child({command, {}, dir.path, ChildProcess::StdinMode::DevNull});
        EXPECT_EQ(child.waitExit(60s), 0) << command[command.size() - 2];
        return capture_under_test::text(child.stdoutText());
    };
    // The capture as the tests start it: under Wine, through its launcher.
    const std::string capture = versionOf(capture_under_test::command({"--version"}));
    const std::string record = versionOf(capture_under_test::recordCommand({"--version"}));
    ASSERT_EQ(capture.rfind("sondrel-capture ", 0), 0u) << capture;
    EXPECT_EQ(record, "sondrel-record " + capture.substr(std::string("sondrel-capture ").size())) << record;
}
