#include "capture_process.h"

#include "output_lines.h"

#include <iostream>

namespace {

constexpr std::size_t recentLimit = 20;
// How long an ended child's pipes may stay open (a grandchild that inherited them)
// before its end is reported without their last lines.
constexpr CaptureProcess::Duration drainTimeout(2000);
// How long the reader waits for output before it looks whether it should stop.
constexpr CaptureProcess::Duration readSlice(100);
// Between looks at a child that is being waited for.
constexpr CaptureProcess::Duration exitSlice(100);
// A child asked to end gets this long before it is killed, and as long again after.
constexpr CaptureProcess::Duration endGrace(3000);

} // namespace

CaptureProcess::CaptureProcess(const std::string& binary, const std::string& settingsPath,
                               const std::string& logPath)
    : pipes(std::make_unique<ChildPipes>(std::vector<std::string>{binary, settingsPath, logPath})) {
    reader = std::thread(&CaptureProcess::readOutput, this);
}

CaptureProcess::~CaptureProcess() {
    if (!status) {
        terminate();
        if (!waitExit(endGrace)) {
            kill();
            waitExit(endGrace);
        }
    }
    {
        std::lock_guard lock(mutex);
        stopReading = true;
    }
    if (reader.joinable())
        reader.join();
}

bool CaptureProcess::send(const std::string& command) { return pipes->write(command); }

std::optional<int> CaptureProcess::exitStatus() {
    if (!status) {
        if (const std::optional<int> ended = pipes->ended()) {
            // Its last lines may still be in the pipes; whoever asks how it ended
            // also wants to know what it said last.
            waitUntilDrained(drainTimeout);
            status = ended;
        }
    }
    return status;
}

std::optional<int> CaptureProcess::waitExit(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exitStatus()) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pipes->waitForEnd(std::min(left, exitSlice));
    }
    return status;
}

void CaptureProcess::terminate() {
    if (!exitStatus())
        pipes->terminate();
}

void CaptureProcess::kill() {
    if (!exitStatus())
        pipes->kill();
}

bool CaptureProcess::endedWithHiddenLine() {
    std::lock_guard lock(mutex);
    return hidden;
}

std::vector<std::string> CaptureProcess::recentOutput() {
    std::lock_guard lock(mutex);
    return {recent.begin(), recent.end()};
}

void CaptureProcess::setEcho(bool on) {
    std::lock_guard lock(mutex);
    echo = on;
}

void CaptureProcess::waitUntilDrained(Duration timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [this] { return drained; });
}

std::optional<int> CaptureProcess::portOrWait(Duration slice) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, slice, [this] { return port.has_value() || outputClosed; });
    return port;
}

void CaptureProcess::readOutput() {
    std::string pending[2];
    std::array<bool, 2> open{true, true};
    while (open[0] || open[1]) {
        {
            std::lock_guard lock(mutex);
            if (stopReading)
                break;
        }
        ChildPipes::Output output = pipes->read(open, readSlice);
        for (std::size_t i = 0; i < 2; ++i) {
            const Source source = i == 0 ? Source::Stdout : Source::Stderr;
            pending[i] += output.bytes[i];
            takeLines(pending[i], source, output.ended[i] ? Pending::All : Pending::Complete);
            if (!output.ended[i])
                continue;
            open[i] = false;
            if (source == Source::Stdout) {
                std::lock_guard lock(mutex);
                outputClosed = true;
                changed.notify_all();
            }
        }
    }
    std::lock_guard lock(mutex);
    outputClosed = true;
    drained = true;
    changed.notify_all();
}

void CaptureProcess::takeLines(std::string& pending, Source source, Pending which) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string_view line = std::string_view(pending).substr(start, nl - start);
        onLine(std::string(output_line::withoutCarriageReturn(line)), source);
    }
    pending.erase(0, start);
    if (which == Pending::All && !pending.empty()) {
        onLine(pending, source);
        pending.clear();
    }
}

void CaptureProcess::onLine(const std::string& line, Source source) {
    const bool fromStdout = source == Source::Stdout;
    if (fromStdout && output_line::isLibraryLog(line))
        return;
    std::lock_guard lock(mutex);
    if (fromStdout) {
        if (!port)
            port = output_line::parsePort(line);
        hidden = output_line::isHidden(line);
        if (echo)
            std::cerr << "sondrel-capture: " << line << '\n';
    } else if (line.empty()) {
        return;
    }
    recent.push_back(fromStdout ? line : "(stderr) " + line);
    if (recent.size() > recentLimit)
        recent.pop_front();
    changed.notify_all();
}
