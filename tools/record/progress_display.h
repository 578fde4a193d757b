#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// Shows the recording's progress: on a terminal one line redrawn about ten times
// a second with the elapsed time and a level bar; otherwise a plain line each
// second, suitable for logs and pipes.
class ProgressDisplay {
public:
    using Clock = std::chrono::steady_clock;

    // `total` of 0 means "until Ctrl+C".
    ProgressDisplay(std::FILE* out, bool terminal, double totalSeconds);

    // Called often; draws only when it is time. `peak` is the largest absolute
    // sample since the previous call.
    void update(double recordedSeconds, float peak, Clock::time_point now = Clock::now());
    // Ends the progress line so that later output starts on a fresh line.
    void finish();

    // The terminal line (without control characters) and the plain line.
    static std::string bar(float peak, int width);
    std::string statusLine(double recordedSeconds, float peak) const;

private:
    std::FILE* out;
    bool terminal;
    double total;
    bool drawn = false;
    Clock::time_point lastDraw;
    float peakSinceDraw = 0.0f;
};
