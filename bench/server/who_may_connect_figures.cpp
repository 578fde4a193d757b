// Figures for who may connect, side by side for two sondrel-capture builds (the one
// before the change and this one), on the virtual microphone with a 1 kHz tone. Driven by
// bench/who_may_connect.sh, which builds the baseline.
//
//   who_may_connect_figures BASELINE_CAPTURE CAPTURE CONNECT_PROBE
//
// Another user's attempts need root (a user is made as in the tests); without it those
// rows say so.
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "output_lines.h"
#include "raw_socket.h"
#include "virtual_mic.h"
#include "ws_client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string token = "Bench_token-0123456789abcdefghijklmnopqrstuvw";
std::string probePath;
std::optional<uid_t> otherUid;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One run of a capture binary in a directory of its own.
struct Capture {
    Capture(const std::string& binary, const VirtualMic& mic, bool withToken) {
        static int runs = 0;
        dir = fs::path(mic.directory()) / ("bench-" + std::to_string(++runs));
        fs::create_directories(dir);
        ChildProcess::Options options;
        options.argv = {binary, (dir / "settings.json").string(), (dir / "capture.log").string()};
        options.environment = mic.environment();
        if (withToken)
            options.environment.push_back("SONDREL_CAPTURE_TOKEN=" + token);
        options.workingDirectory = dir.string();
        child = std::make_unique<ChildProcess>(options);
        const auto line = child->waitForLine([](const std::string& l) { return output_line::isProtocol(l); }, 30s);
        portLineAt = Clock::now();
        if (line)
            port = output_line::parsePort(*line).value_or(0);
    }
    ~Capture() {
        if (child->running() && child->writeStdin("exit\n"))
            child->waitExit(10s);
        child.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::size_t outputBytes() const { return child->stdoutText().size() + child->stderrText().size(); }
    std::size_t logBytes() const { return readFile(dir / "capture.log").size(); }

    fs::path dir;
    std::unique_ptr<ChildProcess> child;
    int port = 0;
    Clock::time_point portLineAt;
};

std::map<std::string, long> probe(int port, std::vector<std::string> arguments) {
    std::vector<std::string> argv = {probePath, std::to_string(*otherUid), std::to_string(port)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess child({argv, {}, {}, ChildProcess::StdinMode::DevNull});
    child.waitExit(60s);
    child.waitStdoutClosed(2s);
    std::map<std::string, long> results;
    for (const std::string& line : child.stdoutLines()) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos)
            results[line.substr(0, space)] = std::atol(line.c_str() + space + 1);
    }
    return results;
}

struct Figures {
    std::string listen, command, strayClose, lockOut, flood3000, floodCpu, firstAudio, firstAudioToken;
};

std::string otherUserListens(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    auto r = probe(capture.port, {"listen", "4"});
    return "HTTP " + std::to_string(r["status"]) + ", " + std::to_string(r["messages"]) + " audio msgs in 4 s";
}

std::string otherUserCommands(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    probe(capture.port, {"command", "exit"});
    std::this_thread::sleep_for(1s);
    return capture.child->running() ? "\"exit\" refused, still running" : "\"exit\" ended the process";
}

std::string strayClose(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    WsTestClient older;
    WsTestClient newer;
    if (!older.connect(capture.port, 5s) || !newer.connect(capture.port, 5s) || !newer.waitForMessages(20, 10s))
        return "no audio";
    older.close(3s);
    std::this_thread::sleep_for(300ms);
    const std::size_t before = newer.messageCount();
    std::this_thread::sleep_for(2s);
    return std::to_string(newer.messageCount() - before) + " msgs to the newer in 2 s after the older closed";
}

std::string lockOut(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    ChildProcess holder({{probePath, std::to_string(*otherUid), std::to_string(capture.port), "hold", "70", "14"},
                         {},
                         {},
                         ChildProcess::StdinMode::DevNull});
    holder.waitForLine([](const std::string& l) { return l.rfind("opened", 0) == 0; }, 10s);
    std::this_thread::sleep_for(1s);
    int served = 0;
    for (int i = 0; i < 24; ++i) {
        WsTestClient client;
        served += client.connect(capture.port, 3s) && client.waitForMessages(1, 3s);
        client.close(1s);
    }
    holder.waitExit(30s);
    return std::to_string(served) + " of 24 parent connections got audio";
}

std::string failedHandshakes(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    std::this_thread::sleep_for(1s);
    const std::size_t output = capture.outputBytes();
    const std::size_t log = capture.logBytes();
    for (int i = 0; i < 3000; ++i) {
        RawSocket socket;
        if (!socket.connect(capture.port, 2s))
            continue;
        if (i % 3 == 1)
            socket.send("\x16\x03\x01 not http\r\n\r\n");
        else if (i % 3 == 2)
            socket.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    std::this_thread::sleep_for(2s);
    char text[128];
    std::snprintf(text, sizeof text, "stdout+stderr +%.1f KB, log +%.1f KB",
                  static_cast<double>(capture.outputBytes() - output) / 1024.0,
                  static_cast<double>(capture.logBytes() - log) / 1024.0);
    return text;
}

// Connect and reset (SO_LINGER 0) as fast as one thread can, for 20 s.
std::string resetFlood(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, false);
    std::this_thread::sleep_for(1s);
    const double cpuBefore = capture.child->cpuSeconds();
    const std::size_t output = capture.outputBytes();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(capture.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long connections = 0;
    const auto began = Clock::now();
    while (Clock::now() - began < 20s) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            ++connections;
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    const double span = seconds(Clock::now() - began);
    const double cpu = capture.child->cpuSeconds() - cpuBefore;
    std::this_thread::sleep_for(1s);
    char text[160];
    std::snprintf(text, sizeof text, "%.0f%% of a core at %.0f conn/s, output +%.1f MB", 100.0 * cpu / span,
                  static_cast<double>(connections) / span,
                  static_cast<double>(capture.outputBytes() - output) / 1048576.0);
    return text;
}

std::string firstAudio(const std::string& binary, const VirtualMic& mic, bool withToken) {
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        Capture capture(binary, mic, withToken);
        WsTestClient client;
        const std::string resource = withToken ? "/?token=" + token : "/";
        if (!client.connect(capture.port, 5s, {}, "127.0.0.1", resource) || !client.waitForMessages(1, 10s))
            continue;
        times.push_back(seconds(client.messages().front().received - capture.portLineAt) * 1000.0);
    }
    if (times.empty())
        return "no audio";
    std::sort(times.begin(), times.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.0f ms (min %.0f, max %.0f, n=%zu)", times[times.size() / 2],
                  times.front(), times.back(), times.size());
    return text;
}

Figures measure(const std::string& binary, const VirtualMic& mic, bool tokenSupported) {
    Figures f;
    const std::string noUser = "(needs root for another user)";
    f.listen = otherUid ? otherUserListens(binary, mic) : noUser;
    f.command = otherUid ? otherUserCommands(binary, mic) : noUser;
    f.strayClose = strayClose(binary, mic);
    f.lockOut = otherUid ? lockOut(binary, mic) : noUser;
    f.flood3000 = failedHandshakes(binary, mic);
    f.floodCpu = resetFlood(binary, mic);
    f.firstAudio = firstAudio(binary, mic, false);
    f.firstAudioToken = tokenSupported ? firstAudio(binary, mic, true) : "(no token support)";
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s BASELINE_CAPTURE CAPTURE CONNECT_PROBE\n", argv[0]);
        return 2;
    }
    probePath = argv[3];
    if (const passwd* entry = getpwnam("sondrel-other"))
        otherUid = entry->pw_uid;
    else if (geteuid() == 0 && std::system("useradd --system --no-create-home --shell /usr/sbin/nologin "
                                           "sondrel-other >/dev/null 2>&1") == 0)
        if (const passwd* made = getpwnam("sondrel-other"))
            otherUid = made->pw_uid;
    VirtualMic mic;
    mic.playTone(1000, 48000, 0.5, 900);
    std::printf("measuring the baseline...\n");
    std::fflush(stdout);
    const Figures before = measure(argv[1], mic, false);
    std::printf("measuring this build...\n");
    std::fflush(stdout);
    const Figures after = measure(argv[2], mic, true);
    mic.stopTone();

    const std::vector<std::tuple<const char*, std::string, std::string>> rows = {
        {"1 other user listens", before.listen, after.listen},
        {"2 other user sends exit", before.command, after.command},
        {"3 older connection closes", before.strayClose, after.strayClose},
        {"4 other user holds 70 conns", before.lockOut, after.lockOut},
        {"3,000 failed handshakes", before.flood3000, after.flood3000},
        {"20 s connect-and-reset flood", before.floodCpu, after.floodCpu},
        {"port line -> 1st audio", before.firstAudio, after.firstAudio},
        {"  ... with a token", before.firstAudioToken, after.firstAudioToken}};
    std::printf("\n%-30s | %-55s | %s\n", "", "baseline (before)", "this build");
    for (const auto& [name, a, b] : rows)
        std::printf("%-30s | %-55s | %s\n", name, a.c_str(), b.c_str());
    return 0;
}
