#include "progress_display.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "signal_stats.h"

namespace {
constexpr double meterFloorDb = -60.0;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool terminal, double totalSeconds)
    : out(out), terminal(terminal), total(totalSeconds) {}

std::string ProgressDisplay::bar(float peak, int width) {
    const double db = LevelMeter::toDbfs(peak);
    const double fraction = std::clamp((db - meterFloorDb) / -meterFloorDb, 0.0, 1.0);
    const int filled = static_cast<int>(std::lround(fraction * width));
    return std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.');
}

std::string ProgressDisplay::statusLine(double recordedSeconds, float peak) const {
    const double db = LevelMeter::toDbfs(peak);
    const std::string level = std::isinf(db) ? "  -inf" : fmt::format("{:6.1f}", std::max(db, -99.9));
    const std::string time = total > 0 ? fmt::format("{:6.1f} s / {:.1f} s", recordedSeconds, total)
                                       : fmt::format("{:6.1f} s (Ctrl+C stops)", recordedSeconds);
    if (terminal)
        return fmt::format("recording {}  [{}] {} dBFS", time, bar(peak, 30), level);
    return fmt::format("recording {}  peak {} dBFS", time, level);
}

void ProgressDisplay::update(double recordedSeconds, float peak, Clock::time_point now) {
    peakSinceDraw = std::max(peakSinceDraw, peak);
    const auto interval = terminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (drawn && now - lastDraw < interval)
        return;
    const std::string line = statusLine(recordedSeconds, peakSinceDraw);
    if (terminal)
        std::fprintf(out, "\r%s\x1b[K", line.c_str());
    else
        std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    drawn = true;
    lastDraw = now;
    peakSinceDraw = 0.0f;
}

void ProgressDisplay::finish() {
    if (terminal && drawn) {
        std::fputc('\n', out);
        std::fflush(out);
    }
    drawn = false;
}
