// sondrel-record: records sondrel-capture's audio stream into a WAV file, the way
// a desktop application drives sondrel-capture.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "record_options.h"
#include "record_session.h"

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onStopSignal(int)
{
    interrupted.store(true);
}

void installSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A child that died leaves its stdin pipe without a reader; the write
    // reports EPIPE and we carry on to report it.
    std::signal(SIGPIPE, SIG_IGN);
}

std::string defaultCapturePath()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "sondrel-capture";
    return (self.parent_path() / "sondrel-capture").string();
}

} // namespace

int main(int argc, char** argv)
{
    const ParsedOptions parsed = parseRecordOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        fmt::print(stderr, "sondrel-record: {}\nTry 'sondrel-record --help'.\n", parsed.error);
        return 2;
    }
    if (parsed.options.help) {
        fmt::print("{}", recordUsage());
        return 0;
    }
    installSignalHandlers();
    const std::string capture = parsed.options.capturePath.empty() ? defaultCapturePath() : parsed.options.capturePath;
    RecordSession session(parsed.options, capture, interrupted);
    return session.run();
}
