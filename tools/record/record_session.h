#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "record_options.h"
#include "signal_stats.h"

class AudioReceiver;
class CaptureProcess;
class WavWriter;

// One run of sondrel-record: start sondrel-capture, connect, record, shut down,
// report. Every wait is bounded by a time-out from the options.
class RecordSession {
public:
    // `interrupted` is set by the SIGINT/SIGTERM handler; it ends the recording cleanly.
    RecordSession(RecordOptions options, std::string capturePath, const std::atomic<bool>& interrupted);
    ~RecordSession();

    // Returns the process exit status (0 success, 1 failure).
    int run();

    // The last `count` lines of a text file (fewer if it is shorter or missing).
    static std::vector<std::string> lastLines(const std::string& path, std::size_t count);

private:
    void startChild();
    void connect();
    void record();
    void consume(std::vector<float>& samples, std::chrono::steady_clock::time_point arrival);
    void finishWav();
    void stopChild();
    void printSummary() const;
    void printFailure() const;
    void setFailure(const std::string& reason);
    std::string childEnded();

    RecordOptions options;
    std::string capturePath;
    const std::atomic<bool>& interrupted;

    std::unique_ptr<WavWriter> wav;
    std::unique_ptr<CaptureProcess> child;
    std::unique_ptr<AudioReceiver> receiver;

    std::string failure;
    int connectPort = 0;
    // Handed to sondrel-capture in its environment; it accepts only clients that show it.
    std::string token;
    bool connected = false;
    bool stoppedByUser = false;
    bool sizeLimitReached = false;
    std::uint64_t targetSamples = 0;
    std::uint64_t samplesReceived = 0;
    std::uint64_t messages = 0;
    LevelMeter meter;
    GapDetector gaps;
    std::optional<int> childStatus;
    std::string childNote;
};
