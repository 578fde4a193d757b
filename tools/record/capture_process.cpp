#include "capture_process.h"

#include "output_lines.h"

#include <iostream>

namespace {

constexpr std::size_t recentLimit = 20;

} // namespace

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
    if (!reader.joinable())
        return; // the program could not be started: nothing is read
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [this] { return drained; });
}

std::optional<int> CaptureProcess::portOrWait(Duration slice) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, slice, [this] { return port.has_value() || outputClosed; });
    return port;
}

void CaptureProcess::takeLines(std::string& pending, bool fromStdout, bool flushAll) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string_view line = std::string_view(pending).substr(start, nl - start);
        onLine(std::string(output_line::withoutCarriageReturn(line)), fromStdout);
    }
    pending.erase(0, start);
    if (flushAll && !pending.empty()) {
        onLine(pending, fromStdout);
        pending.clear();
    }
}

void CaptureProcess::onLine(const std::string& line, bool fromStdout) {
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
