// sondrel-record: records sondrel-capture's audio stream into a WAV file, the way
// a desktop application drives sondrel-capture.

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "record_options.h"
#include "record_platform.h"
#include "record_session.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = recordArguments(argc, argv);
    const ParsedOptions parsed =
        parseRecordOptions(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    if (!parsed.error.empty()) {
        fmt::print(stderr, "sondrel-record: {}\nTry 'sondrel-record --help'.\n", parsed.error);
        return 2;
    }
    if (parsed.options.help) {
        fmt::print("{}", recordUsage());
        return 0;
    }
    if (parsed.options.version) {
        fmt::print("{}", recordVersion());
        return 0;
    }
    static std::atomic<bool> interrupted{false};
    installInterruptHandlers(interrupted);
    const std::string capture =
        parsed.options.capturePath.empty() ? defaultCapturePath() : parsed.options.capturePath;
    RecordSession session(parsed.options, capture, interrupted);
    return session.run();
}
