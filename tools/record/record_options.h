#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Command line of sondrel-record.
struct RecordOptions {
    std::string output;      // the WAV file
    double seconds = 0.0;    // 0: until Ctrl+C
    bool show = false;       // open the settings window while recording
    bool quiet = false;      // no progress display
    bool verbose = false;    // copy sondrel-capture's protocol lines to stderr
    std::string capturePath; // empty: next to this program
    std::string settingsPath = "sondrel-settings.json";
    std::string logPath = "sondrel-capture.log";
    // Generous: under Wine, or on a busy machine, sondrel-capture takes seconds to start.
    std::chrono::milliseconds portTimeout{60000};
    std::chrono::milliseconds audioTimeout{5000};
    std::chrono::milliseconds exitTimeout{5000};
    std::chrono::milliseconds gapThreshold{150};
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    RecordOptions options;
    std::string error; // non-empty: a usage error
};

ParsedOptions parseRecordOptions(const std::vector<std::string>& args);
std::string recordUsage();
// What --version prints: the name and the version of the release it belongs to.
std::string recordVersion();
