#include "capture_run.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "capture_under_test.h"
#include "output_lines.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool isLibraryLogLine(const std::string& line) { return output_line::isLibraryLog(line); }

bool waitUntilPipeStopsFilling(const std::string& path, int atLeast, std::chrono::milliseconds timeout) {
    const int look = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (look < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int unchanged = 0;
    for (int pending = 0, before = -1; unchanged < 3 && ::ioctl(look, FIONREAD, &pending) == 0; before = pending) {
        unchanged = pending >= atLeast && pending == before ? unchanged + 1 : 0;
        if (unchanged < 3 && std::chrono::steady_clock::now() >= deadline)
            break;
        if (unchanged < 3)
            std::this_thread::sleep_for(100ms);
    }
    ::close(look);
    return unchanged >= 3;
}

std::string readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t countOccurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

CaptureRun::CaptureRun(const VirtualMic& mic, Options options) {
    static std::atomic<int> runs{0};
    dir = fs::path(mic.directory()) / ("run-" + std::to_string(++runs));
    fs::create_directories(dir);
    // The panel loads its font from the working directory first.
    if (options.fontInWorkingDirectory)
        fs::create_symlink(SONDREL_PANEL_FONT, dir / "SourceHanSansSC-VF.ttf");
    settings = options.settingsPath.empty() ? (dir / "settings.json").string() : options.settingsPath;
    log = options.logPath.empty() ? (dir / "capture.log").string() : options.logPath;

    ChildProcess::Options spawn;
    spawn.argv = options.argvPrefix;
    const std::vector<std::string> command =
        capture_under_test::command(options.arguments.value_or(std::vector<std::string>{settings, log}));
    spawn.argv.insert(spawn.argv.end(), command.begin(), command.end());
    spawn.environment = mic.environment();
    if (options.testToken) {
        for (auto& entry : capture_under_test::environment(testClientToken))
            spawn.environment.push_back(entry);
    }
    for (auto& entry : options.extraEnvironment)
        spawn.environment.push_back(entry);
    spawn.workingDirectory = dir.string();
    spawn.stdinMode = options.stdinMode;
    child = std::make_unique<ChildProcess>(std::move(spawn));

    if (!options.waitForPort)
        return;
    // Opening the capture stream at start-up takes a while, more so under sanitizers.
    auto line = nextProtocolLine(60s);
    std::smatch m;
    static const std::regex portLine(R"(\{ "port": ([1-9][0-9]{0,4}) \})");
    if (line && std::regex_match(*line, m, portLine))
        listeningPort = std::stoi(m[1]);
}

CaptureRun::~CaptureRun() {
    child.reset(); // ends the process group by PID if still running
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

std::optional<std::string> CaptureRun::nextProtocolLine(std::chrono::milliseconds timeout) {
    return child->waitForLine([](const std::string& line) { return !isLibraryLogLine(line); }, timeout);
}

bool CaptureRun::command(const std::string& word, std::chrono::milliseconds timeout) {
    if (!child->writeStdin(word + "\n"))
        return false;
    const std::string echo = "Getting command: " + word;
    return child->waitForLine([&](const std::string& line) { return line == echo; }, timeout).has_value();
}

std::optional<int> CaptureRun::exitOverStdin(std::chrono::milliseconds timeout) {
    child->writeStdin("exit\n");
    return child->waitExit(timeout);
}

std::string CaptureRun::logText() const { return readWholeFile(log); }

bool CaptureRun::waitForLog(const std::string& piece, std::chrono::milliseconds timeout, std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (countOccurrences(logText(), piece) < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

int CaptureRun::portFromLog(std::chrono::milliseconds timeout) const {
    // The log is not flushed per line; the start-up lines fill a buffer quickly, but
    // the caller may have to make the process log more before the port shows up.
    static const std::regex logged("音频流服务器已启动，端口: ([0-9]+)");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::smatch m;
        std::string text = logText();
        if (std::regex_search(text, m, logged))
            return std::stoi(m[1]);
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

namespace {

constexpr std::size_t toneTransient = 4410; // converter delay and the tone's fade-in
constexpr std::size_t samplesPerMessage = 512;

// The longest run of 200 ms windows that are each the tone without a break, in samples.
// Neighbouring windows share two samples, so a jump between them is seen too.
std::size_t longestUnbrokenTone(const std::vector<float>& samples, std::size_t from) {
    constexpr std::size_t window = 8820;
    SineCheckOptions options;
    options.sampleRate = 44100.0;
    options.skipLeadingSilence = false;
    std::size_t longest = 0;
    std::size_t current = 0;
    for (std::size_t at = from; at + window + 2 <= samples.size(); at += window) {
        const SineAnalysis part = analyseSine(samples.data() + at, window + 2, options);
        current = part.isContinuousTone(toneFrequency, 5.0) ? current + window : 0;
        longest = std::max(longest, current);
    }
    return longest;
}

} // namespace

StreamCheck analyseMessages(const std::vector<WsTestClient::Message>& messages) {
    StreamCheck check;
    check.connected = true;
    check.messages = messages.size();
    for (const auto& message : messages)
        check.badMessages += !message.binary || message.payload.size() != 2048;
    SineCheckOptions options;
    options.sampleRate = 44100.0;
    options.transient = toneTransient;
    const std::vector<float> samples = decodeSamples(messages);
    check.analysis = analyseSine(samples, options);
    if (capture_under_test::isWindows() && !check.analysis.isContinuousTone(toneFrequency, 5.0))
        check.longestUnbroken = longestUnbrokenTone(samples, check.analysis.analysedFrom);
    return check;
}

std::size_t messagesFor(std::chrono::milliseconds span) {
    const auto samples = static_cast<std::size_t>(span.count()) * 44100 / 1000;
    // Two more: the 200 ms windows of the Wine check overlap by two samples.
    return (toneTransient + samples + samplesPerMessage - 1) / samplesPerMessage + 2;
}

StreamCheck receiveTone(int port, std::chrono::milliseconds span) {
    WsTestClient client;
    if (!client.connect(port, 10s))
        return {};
    if (!client.waitForMessages(1, 10s)) {
        StreamCheck none;
        none.connected = true;
        return none;
    }
    client.waitForMessages(messagesFor(span), span + 10s);
    StreamCheck check = analyseMessages(client.messages());
    if (capture_under_test::isWindows()) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!check.analysis.isContinuousTone(toneFrequency, 5.0) && check.longestUnbroken < 44100 &&
               std::chrono::steady_clock::now() < deadline) {
            client.waitForMessages(client.messageCount() + 18, 1s); // about 200 ms more
            check = analyseMessages(client.messages());
        }
    }
    client.close(2s);
    return check;
}

::testing::AssertionResult isContinuousStream(const StreamCheck& check, std::size_t minimumSamples) {
    if (!check.connected)
        return ::testing::AssertionFailure() << "could not connect";
    if (check.messages == 0)
        return ::testing::AssertionFailure() << "no audio arrived";
    if (check.badMessages != 0)
        return ::testing::AssertionFailure() << check.badMessages << " messages were not 2048-byte binary blocks";
    if (!check.analysis.isContinuousTone(toneFrequency, 5.0)) {
        const std::size_t enough = std::min<std::size_t>(minimumSamples, 44100);
        if (capture_under_test::isWindows() && check.longestUnbroken >= enough)
            return ::testing::AssertionSuccess()
                   << "Wine dropped input; the tone ran unbroken for " << check.longestUnbroken << " samples; "
                   << check.analysis.describe();
        return ::testing::AssertionFailure()
               << "not a continuous tone: " << check.analysis.describe()
               << (capture_under_test::isWindows()
                       ? "; longest unbroken stretch " + std::to_string(check.longestUnbroken) + " samples"
                       : std::string());
    }
    if (check.analysis.analysedCount < minimumSamples)
        return ::testing::AssertionFailure()
               << "only " << check.analysis.analysedCount << " samples analysed; " << check.analysis.describe();
    return ::testing::AssertionSuccess() << check.messages << " messages, " << check.analysis.describe();
}
