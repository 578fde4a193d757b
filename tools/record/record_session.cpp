#include "record_session.h"

#include <cmath>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <unistd.h>

#include "audio_message.h"
#include "audio_receiver.h"
#include "capture_process.h"
#include "progress_display.h"
#include "record_platform.h"
#include "wav_writer.h"

namespace {

using std::chrono::milliseconds;

std::string secondsText(milliseconds d) { return fmt::format("{:g} s", static_cast<double>(d.count()) / 1000.0); }

std::string levelText(double value) {
    const double db = LevelMeter::toDbfs(value);
    if (std::isinf(db))
        return "-inf dBFS (silence)";
    return fmt::format("{:.1f} dBFS ({:.4f})", db, value);
}

} // namespace

RecordSession::RecordSession(RecordOptions opts, std::string capture, const std::atomic<bool>& stop)
    : options(std::move(opts)), capturePath(std::move(capture)), interrupted(stop), gaps(options.gapThreshold) {
    if (options.seconds > 0)
        targetSamples = std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(std::llround(options.seconds * streamSampleRate)));
}

RecordSession::~RecordSession() = default;

int RecordSession::run() {
    try {
        wav = std::make_unique<WavWriter>(options.output);
    } catch (const std::system_error& e) {
        setFailure(e.what());
        printFailure();
        return 1;
    }

    startChild();
    if (failure.empty())
        connect();
    if (failure.empty())
        record();
    finishWav();
    stopChild();

    if (connected)
        printSummary();
    if (!failure.empty()) {
        printFailure();
        return 1;
    }
    return 0;
}

void RecordSession::setFailure(const std::string& reason) {
    if (failure.empty())
        failure = reason;
}

std::string RecordSession::childEnded() {
    if (auto s = child->waitExit(milliseconds(1000)))
        return "sondrel-capture " + CaptureProcess::describeStatus(*s);
    return {};
}

namespace {

// 24 random bytes as base64url: 32 characters, as sondrel-capture requires at least.
std::string newCaptureToken() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    unsigned char bytes[24];
    if (!secureRandomBytes(bytes, sizeof bytes))
        return {};
    std::string text;
    for (std::size_t i = 0; i < sizeof bytes; i += 3) {
        const unsigned group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            text.push_back(alphabet[(group >> shift) & 63]);
    }
    return text;
}

} // namespace

void RecordSession::startChild() {
    token = newCaptureToken();
    if (token.empty() || !setEnvironmentForChild("SONDREL_CAPTURE_TOKEN", token)) {
        setFailure("cannot make a token for sondrel-capture: the system's random source failed");
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        child = std::make_unique<CaptureProcess>(capturePath, options.settingsPath, options.logPath);
    } catch (const std::runtime_error& e) {
        setFailure(e.what());
        return;
    }
    child->setEcho(options.verbose);
    const auto port = child->waitForPort(options.portTimeout, [this] { return interrupted.load(); });
    const std::string startUp =
        fmt::format("{:.1f} s", std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (port && *port > 0) {
        if (options.verbose)
            fmt::print(stderr, "sondrel-record: sondrel-capture listens on port {} (started in {})\n", *port,
                       startUp);
        connectPort = *port;
        return;
    }
    if (port)
        setFailure("sondrel-capture announced port 0: its server has no usable port");
    else if (interrupted)
        setFailure("interrupted before sondrel-capture announced its port");
    else if (const std::string ended = childEnded(); !ended.empty())
        setFailure(ended +
                   " without announcing its port; usually this means it found no usable audio input device");
    else
        setFailure("sondrel-capture did not announce its port within " + secondsText(options.portTimeout) +
                   " (still starting after " + startUp + "; --port-timeout allows longer)");
}

void RecordSession::connect() {
    receiver = std::make_unique<AudioReceiver>();
    const std::string error = receiver->connect(connectPort, milliseconds(5000), token);
    if (!error.empty()) {
        const std::string ended = childEnded();
        setFailure(error + (ended.empty() ? "" : "; " + ended));
        return;
    }
    connected = true;
    if (options.show && !child->send("show\n"))
        setFailure("cannot send \"show\": sondrel-capture's standard input is closed");
}

void RecordSession::record() {
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    ProgressDisplay progress(stdout, terminal, options.seconds);
    const auto connectedAt = std::chrono::steady_clock::now();
    auto lastAudio = connectedAt;
    auto lastHeader = connectedAt;
    AudioReceiver::Block block;

    while (true) {
        if (interrupted) {
            stoppedByUser = true;
            break;
        }
        const auto got = receiver->next(block, milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        if (got == AudioReceiver::Next::Block) {
            lastAudio = block.arrival;
            try {
                consume(block.samples, block.arrival);
            } catch (const std::system_error& e) {
                setFailure(e.what());
                break;
            }
            if ((targetSamples > 0 && wav->samplesWritten() >= targetSamples) || sizeLimitReached)
                break;
        } else if (got == AudioReceiver::Next::Closed) {
            const std::string ended = childEnded();
            if (ended.empty())
                setFailure("the connection to sondrel-capture ended during recording (" + receiver->closeReason() +
                           ")");
            else
                setFailure(ended + " during recording; the connection ended (" + receiver->closeReason() + ")");
            break;
        } else if (const auto s = child->exitStatus()) {
            setFailure("sondrel-capture " + CaptureProcess::describeStatus(*s) + " during recording");
            break;
        }
        if (now - lastAudio > options.audioTimeout) {
            setFailure(messages == 0
                           ? "no audio from sondrel-capture within " + secondsText(options.audioTimeout) +
                                 " of connecting"
                           : "audio from sondrel-capture stopped for " + secondsText(options.audioTimeout));
            break;
        }
        if (now - lastHeader >= std::chrono::seconds(1)) {
            try {
                wav->updateHeader();
            } catch (const std::system_error& e) {
                setFailure(e.what());
                break;
            }
            lastHeader = now;
        }
        if (!options.quiet && messages > 0)
            progress.update(static_cast<double>(wav->samplesWritten()) / streamSampleRate, meter.takeRecentPeak(),
                            now);
    }
    if (!options.quiet)
        progress.finish();
}

void RecordSession::consume(std::vector<float>& samples, std::chrono::steady_clock::time_point arrival) {
    ++messages;
    samplesReceived += samples.size();
    gaps.onMessage(arrival, samples.size());
    std::size_t wanted = samples.size();
    if (targetSamples > 0)
        wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, targetSamples - wav->samplesWritten()));
    const std::span<const float> part(samples.data(), wanted);
    const std::size_t written = wav->append(part);
    meter.add(part.first(written));
    if (written < wanted)
        sizeLimitReached = true;
}

void RecordSession::finishWav() {
    if (!wav)
        return;
    const std::string path = wav->path();
    const bool empty = wav->samplesWritten() == 0;
    try {
        wav->finish();
    } catch (const std::system_error& e) {
        setFailure(e.what());
    }
    wav.reset();
    // A file without audio would only mislead; it is removed.
    if (empty) {
        std::error_code ignored;
        std::filesystem::remove(recordPath(path), ignored);
    }
}

void RecordSession::stopChild() {
    if (!child)
        return;
    if (receiver)
        receiver->close(milliseconds(1000));
    childStatus = child->exitStatus();
    if (!childStatus) {
        if (!child->send("exit\n"))
            childNote = "its standard input was closed; ";
        childStatus = child->waitExit(options.exitTimeout);
        if (!childStatus) {
            setFailure("sondrel-capture did not exit within " + secondsText(options.exitTimeout) + " of \"exit\"");
            childNote = "terminated after not exiting in time; ";
            child->terminate();
            childStatus = child->waitExit(milliseconds(3000));
            if (!childStatus) {
                child->kill();
                childStatus = child->waitExit(milliseconds(3000));
            }
        }
        if (childStatus && *childStatus != 0)
            setFailure("sondrel-capture " + CaptureProcess::describeStatus(*childStatus) + " after \"exit\"");
    }
    receiver.reset();
}

void RecordSession::printSummary() const {
    const std::uint64_t written = meter.count();
    std::string how;
    if (!failure.empty())
        how = " (recording failed)";
    else if (stoppedByUser)
        how = " (stopped by Ctrl+C)";
    else if (sizeLimitReached)
        how = " (WAV size limit reached)";
    fmt::print("Recorded {} into {}{}\n",
               written > 0 ? fmt::format("{:.3f} s", static_cast<double>(written) / streamSampleRate) : "nothing",
               written > 0 ? options.output : options.output + " (removed)", how);
    fmt::print("  duration:         {:.3f} s ({} samples written)\n",
               static_cast<double>(written) / streamSampleRate, written);
    fmt::print("  samples received: {}\n", samplesReceived);
    fmt::print("  messages:         {}\n", messages);
    if (gaps.gaps() > 0)
        fmt::print("  gaps detected:    {} (longest {} ms late)\n", gaps.gaps(), gaps.longestGap().count());
    else
        fmt::print("  gaps detected:    0\n");
    fmt::print("  peak level:       {}\n", levelText(meter.peak()));
    fmt::print("  RMS level:        {}\n", levelText(meter.rms()));
    fmt::print("  sondrel-capture:  {}{}\n", childNote,
               childStatus ? CaptureProcess::describeStatus(*childStatus) : std::string("did not end"));
    std::fflush(stdout);
}

void RecordSession::printFailure() const {
    fmt::print(stderr, "sondrel-record: error: {}\n", failure);
    if (!child)
        return;
    const auto lines = lastLines(options.logPath, 10);
    if (lines.empty()) {
        fmt::print(stderr, "sondrel-record: sondrel-capture's log {} is empty\n", options.logPath);
    } else {
        fmt::print(stderr, "sondrel-record: last lines of sondrel-capture's log {}:\n", options.logPath);
        for (const auto& l : lines)
            fmt::print(stderr, "  {}\n", l);
    }
    const auto output = child->recentOutput();
    if (!output.empty()) {
        fmt::print(stderr, "sondrel-record: last output of sondrel-capture:\n");
        for (const auto& l : output)
            fmt::print(stderr, "  {}\n", l);
    }
}

std::vector<std::string> RecordSession::lastLines(const std::string& path, std::size_t count) {
    std::ifstream in(recordPath(path));
    std::deque<std::string> tail;
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        tail.push_back(std::move(line));
        if (tail.size() > count)
            tail.pop_front();
    }
    return {tail.begin(), tail.end()};
}
