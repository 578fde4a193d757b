#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "sine_check.h"
#include "virtual_mic.h"
#include "ws_client.h"

// The real capture binary in a private working directory on the virtual microphone,
// driven like its parent application drives it.
class CaptureRun {
public:
    struct Options {
        std::string settingsPath; // empty: <dir>/settings.json
        std::string logPath;      // empty: <dir>/capture.log
        // The arguments after the program's path; unset: the settings and the log path.
        // (Then settingsPath() and logPath() are only what the test passes itself.)
        std::optional<std::vector<std::string>> arguments;
        std::vector<std::string> extraEnvironment;
        std::vector<std::string> argvPrefix; // a wrapper such as /bin/bash -c "..."
        ChildProcess::StdinMode stdinMode = ChildProcess::StdinMode::Pipe;
        bool waitForPort = true;
        // The Windows build gets the tests' token (capture_under_test::environment).
        bool testToken = true;
        // A link to the panel's font in the working directory, where the program looks
        // first; without it the program finds one elsewhere, as when a user starts it.
        bool fontInWorkingDirectory = true;
    };

    CaptureRun(const VirtualMic& mic, Options options);
    ~CaptureRun();
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    ChildProcess& process() { return *child; }
    const std::filesystem::path& directory() const { return dir; }
    const std::string& settingsPath() const { return settings; }
    const std::string& logPath() const { return log; }
    int port() const { return listeningPort; }

    // The next line that is not a library log entry.
    std::optional<std::string> nextProtocolLine(std::chrono::milliseconds timeout);
    // Writes word + "\n" on standard input and waits for its echo line.
    bool command(const std::string& word, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // "exit" on standard input, then the exit status.
    std::optional<int> exitOverStdin(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    std::string logText() const;
    // Waits until the log holds `piece` at least `count` times. Warnings and errors reach
    // the file at once; an info line after start-up only with the next line logged a
    // second or more later, so wait for those on standard output or a warning instead.
    bool waitForLog(const std::string& piece, std::chrono::milliseconds timeout, std::size_t count = 1) const;
    // The port as the server logged it; for runs whose standard output is gone.
    int portFromLog(std::chrono::milliseconds timeout) const;

private:
    std::filesystem::path dir;
    std::string settings;
    std::string log;
    std::unique_ptr<ChildProcess> child;
    int listeningPort = 0;
};

bool isLibraryLogLine(const std::string& line);
// The pipe at path (a FIFO, or /proc/<pid>/fd/<n>) holds at least atLeast bytes that
// nobody reads, and its writer has stopped adding to them: the same for 300 ms. Looking
// does not read.
bool waitUntilPipeStopsFilling(const std::string& path, int atLeast, std::chrono::milliseconds timeout);
std::string readWholeFile(const std::filesystem::path& path);
std::size_t countOccurrences(const std::string& text, const std::string& piece);

// Receives on a fresh client for the given span and analyses the stream as a tone.
struct StreamCheck {
    bool connected = false;
    std::size_t messages = 0;
    std::size_t badMessages = 0; // not binary or not 2048 bytes
    SineAnalysis analysis;
    // Samples of the longest stretch that is the tone without a break, in 200 ms steps.
    std::size_t longestUnbroken = 0;
};
// The span is audio, not wall-clock time: the client waits (within span + 10 s) until it
// holds that much of the tone past the converter's transient, so an assertion on
// minimumSamples = span needs no more. Against Wine, whose dropped input breaks the
// tone, it listens up to 5 s longer for an unbroken second.
StreamCheck receiveTone(int port, std::chrono::milliseconds span);
// Messages of a fresh stream that carry span of audio past the transient analyseMessages skips.
std::size_t messagesFor(std::chrono::milliseconds span);
StreamCheck analyseMessages(const std::vector<WsTestClient::Message>& messages);

// The window's protocol lines, as the parent reads them.
inline const std::string shownLine = "{ \"event\": \"shown\" }";
inline const std::string hiddenLine = "{ \"event\": \"hidden\" }";

// Every assertion about "still streams": whole messages, a continuous 1 kHz tone.
constexpr double toneFrequency = 1000.0;
// Whole 2048-byte binary messages carrying the tone without a gap or jump over at least
// minimumSamples. Against the Windows build under Wine on a busy machine, Wine's own audio
// thread starves and the input it could not deliver never reaches the process (the
// Linux build on the same microphone loses nothing): there a stream with breaks passes
// when it is the tone without a break for a second, or for minimumSamples if fewer.
::testing::AssertionResult isContinuousStream(const StreamCheck& check, std::size_t minimumSamples);

// The fixture of the tests that start sondrel-capture: a virtual microphone playing the
// 1 kHz tone for toneSeconds (none for 0), and at most one capture run on it.
class CaptureTest : public ::testing::Test {
protected:
    explicit CaptureTest(double toneSeconds) : toneSeconds(toneSeconds) {}

    void SetUp() override {
        if (!VirtualMic::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        mic = std::make_unique<VirtualMic>();
        if (toneSeconds > 0)
            mic->playTone(toneFrequency, 48000, 0.5, toneSeconds);
    }
    void TearDown() override {
        run.reset();
        if (mic)
            mic->stopTone();
        mic.reset();
    }

    // Starts the capture, after the run before has ended; unless told not to wait for
    // it, its port line must come.
    void start(CaptureRun::Options options = {}) {
        const bool portExpected = options.waitForPort;
        run.reset();
        run = std::make_unique<CaptureRun>(*mic, std::move(options));
        if (portExpected) {
            ASSERT_NE(run->port(), 0) << "no port line; stderr:\n"
                                      << run->process().stderrText() << "\nlog so far (buffered lines missing):\n"
                                      << run->logText();
        }
    }

    const double toneSeconds;
    std::unique_ptr<VirtualMic> mic;
    std::unique_ptr<CaptureRun> run;
};
