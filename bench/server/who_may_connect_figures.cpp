// Figures for who may connect, side by side for two sondrel-capture builds (the one
// before the change and this one), on the virtual microphone with a 1 kHz tone. Driven by
// bench/who_may_connect.sh, which builds the baseline.
//
//   who_may_connect_figures BASELINE_CAPTURE CAPTURE CONNECT_PROBE [--race-starts N]
//
// Another user's attempts need root (a user is made as in the tests); without it those
// rows say so. The link race (N starts of each build, 300 by default) turns the kernel's
// fs.protected_symlinks and fs.protected_regular off while it runs, and puts back what
// was there, also when the program is interrupted.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "child_process.h"
#include "listening_port.h"
#include "output_lines.h"
#include "raw_socket.h"
#include "temp_dir.h"
#include "virtual_mic.h"
#include "ws_client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string token = "Bench_token-0123456789abcdefghijklmnopqrstuvw";
std::string probePath;
std::optional<uid_t> otherUid;
gid_t otherGid = 0;
int raceStarts = 300;
const std::string noUser = "(needs root for another user)";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool isPortLine(const std::string& line) { return output_line::isProtocol(line); }

// One run of a capture binary in a directory of its own.
struct Capture {
    Capture(const std::string& binary, const VirtualMic& mic, bool withToken, bool waitForPort = true) {
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
        if (waitForPort)
            awaitPortLine(30s);
    }
    ~Capture() {
        if (child->running() && child->writeStdin("exit\n"))
            child->waitExit(10s);
        child.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    bool awaitPortLine(std::chrono::milliseconds timeout) {
        const auto line = child->waitForLine(isPortLine, timeout);
        portLineAt = Clock::now();
        if (line)
            port = output_line::parsePort(*line).value_or(0);
        return port > 0;
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

// A build from before the token lets a client without one in.
bool takesToken(const std::string& binary, const VirtualMic& mic) {
    Capture capture(binary, mic, true);
    WsTestClient client;
    client.connect(capture.port, 5s, {}, "127.0.0.1", "/");
    return client.handshakeStatus() == 403;
}

// ---- the token's bearer while another user keeps connections stalled ----

bool bearerGetsAudio(int port, std::chrono::milliseconds within) {
    WsTestClient bearer;
    const bool got =
        bearer.connect(port, within, {}, "127.0.0.1", "/?token=" + token) && bearer.waitForMessages(1, within);
    bearer.close(2s);
    return got;
}

// Of 20 connections of the token's bearer, those that get a first audio message within
// 1 s, after one that may wait for the device to start.
std::string bearersServed(int port) {
    const bool warm = bearerGetsAudio(port, 15s);
    int gotIn = 0;
    for (int attempt = 0; attempt < 20; ++attempt)
        gotIn += bearerGetsAudio(port, 1s);
    return std::to_string(gotIn) + " of 20 got audio within 1 s" + (warm ? "" : " (warm-up: none in 15 s)");
}

std::string bearerUnderSiege(const std::string& binary, const VirtualMic& mic, int held, bool beforePortLine) {
    Capture capture(binary, mic, true, !beforePortLine);
    const int port = beforePortLine ? listeningPortOf(capture.child->pid(), 30s) : capture.port;
    if (port == 0)
        return "no listener in 30 s";
    // Long enough for the 21 connections; ended by its PID as soon as they are done.
    ChildProcess siege(
        {{probePath, std::to_string(*otherUid), std::to_string(port), "siege", std::to_string(held), "180"},
         {},
         {},
         ChildProcess::StdinMode::DevNull});
    const auto holdsAll = [&](const std::string& l) {
        return l.rfind("opened ", 0) == 0 && std::stoi(l.substr(7)) >= held;
    };
    const bool holding = siege.waitForLine(holdsAll, 20s).has_value();
    if (beforePortLine && !capture.awaitPortLine(60s))
        return "no port line in 60 s under the siege";
    std::string result = bearersServed(port);
    siege.kill(SIGKILL);
    siege.waitExit(5s);
    return holding ? result : result + " (siege never held " + std::to_string(held) + ")";
}

// ---- FIFOs at the paths the capture opens ----

enum class Path { Settings, Log };

struct PathCase {
    const char* name;
    std::optional<Path> fifoAt; // nothing: ordinary files
    bool theirs;
};

// A fresh folder with the settings and log paths of one start; a FIFO at one of them
// when the case asks for it, ours or another user's.
fs::path prepareStart(const VirtualMic& mic, const PathCase& c, int run) {
    const fs::path dir = fs::path(mic.directory()) / ("fifo-" + std::to_string(run));
    fs::create_directories(dir);
    if (!c.fifoAt)
        return dir;
    const fs::path fifo = dir / (*c.fifoAt == Path::Settings ? "settings.json" : "capture.log");
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo " + fifo.string() + ": " + std::strerror(errno));
    if (c.theirs && ::chown(fifo.c_str(), *otherUid, otherGid) != 0)
        throw std::runtime_error("chown " + fifo.string() + ": " + std::strerror(errno));
    return dir;
}

// Milliseconds from spawning to the port line; nothing after 20 s. A start held in the
// open() of a FIFO does not heed SIGTERM, so every start ends with SIGKILL when "exit"
// does not end it (the ChildProcess kills its group by the PID it started).
std::optional<double> timeToPortLine(const std::string& binary, const VirtualMic& mic, const fs::path& dir) {
    const auto began = Clock::now();
    ChildProcess child({{binary, (dir / "settings.json").string(), (dir / "capture.log").string()},
                        mic.environment(),
                        dir.string()});
    const bool portLine = child.waitForLine(isPortLine, 20s).has_value();
    const double ms = seconds(Clock::now() - began) * 1000.0;
    if (portLine && child.writeStdin("exit\n") && child.waitExit(10s))
        return ms;
    child.kill(SIGKILL);
    child.waitExit(10s);
    if (portLine)
        return ms;
    return std::nullopt;
}

// The median of three starts; a start that waits on the FIFO is not repeated.
std::string startTimes(const std::string& binary, const VirtualMic& mic, const PathCase& c) {
    static int runs = 0;
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        const fs::path dir = prepareStart(mic, c, ++runs);
        const std::optional<double> ms = timeToPortLine(binary, mic, dir);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        if (!ms)
            return "no port line in 20 s (ended by SIGKILL)";
        times.push_back(*ms);
    }
    std::sort(times.begin(), times.end());
    char text[96];
    std::snprintf(text, sizeof text, "port line after %.0f ms (median of 3)", times[1]);
    return text;
}

// ---- another user's link swapped with its own file in a shared folder ----

// The kernel's own guard against links and files of others in sticky folders, turned off
// while the race runs so that the figure is the program's own. The old values go back in
// the destructor, and from a handler when the program is interrupted.
const char* const protectionFiles[] = {"/proc/sys/fs/protected_symlinks", "/proc/sys/fs/protected_regular"};
char savedProtection[2][16];
std::atomic<bool> protectionChanged{false};

void restoreProtection() {
    if (!protectionChanged.exchange(false))
        return;
    for (int i = 0; i < 2; ++i) {
        const int fd = ::open(protectionFiles[i], O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t ignored = ::write(fd, savedProtection[i], std::strlen(savedProtection[i]));
        (void)ignored;
        ::close(fd);
    }
}

void restoreAndDie(int signal) {
    restoreProtection();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

class ProtectionOff {
public:
    ProtectionOff() {
        for (int i = 0; i < 2; ++i) {
            std::string value = readFile(protectionFiles[i]);
            value = value.substr(0, value.find('\n'));
            std::snprintf(savedProtection[i], sizeof savedProtection[i], "%s", value.c_str());
            was += (i ? ", " : "") + fs::path(protectionFiles[i]).filename().string() + "=" + value;
        }
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::signal(signal, restoreAndDie);
        protectionChanged = true;
        off = writeZero(protectionFiles[0]) && writeZero(protectionFiles[1]);
    }
    ~ProtectionOff() { restoreProtection(); }
    ProtectionOff(const ProtectionOff&) = delete;
    ProtectionOff& operator=(const ProtectionOff&) = delete;

    std::string note() const {
        return off ? "protected_symlinks and protected_regular set to 0 for the race (were " + was +
                         "), put back after it"
                   : "could not turn the kernel's protection off: it was in force for the race (" + was + ")";
    }

private:
    static bool writeZero(const char* file) {
        const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && ::write(fd, "0\n", 2) == 2;
        if (fd >= 0)
            ::close(fd);
        return written && readFile(file).rfind('0', 0) == 0;
    }

    std::string was;
    bool off = false;
};

// A child of the other user that swaps two names of a folder as fast as it can, for at
// most `limit`; killed by its PID when the object goes, and with this process.
class NameSwapper {
public:
    NameSwapper(const fs::path& folder, const char* a, const char* b, std::chrono::seconds limit) {
        // Opened while still root: the other user needs no way into the folders above.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const auto end = Clock::now() + limit;
        pid = ::fork();
        if (pid == 0)
            swapUntil(dir, a, b, end); // no return
        ::close(dir);
    }
    ~NameSwapper() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    NameSwapper(const NameSwapper&) = delete;
    NameSwapper& operator=(const NameSwapper&) = delete;

    // False once the child has ended, as when the other user may not swap the names.
    bool running() {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) != 0)
            pid = -1; // reaped: the number may be given to another process
        return pid > 0;
    }

private:
    // Only async-signal-safe calls here: this is the child of a threaded process.
    [[noreturn]] static void swapUntil(int dir, const char* a, const char* b, Clock::time_point end) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (dir < 0 || ::setgroups(0, nullptr) != 0 || ::setgid(otherGid) != 0 || ::setuid(*otherUid) != 0)
            ::_exit(3);
        while (Clock::now() < end)
            if (::syscall(SYS_renameat2, dir, a, dir, b, RENAME_EXCHANGE) != 0)
                ::_exit(4);
        ::_exit(0);
    }

    pid_t pid = -1;
};

const std::string victimText = "our own file, which no start may write\n";

// The shared folder of the race: another user's link to a file of ours, beside a file
// of that user. Returns the victim's path.
fs::path prepareRace(const fs::path& top) {
    const fs::path shared = top / "shared";
    const fs::path ours = top / "ours";
    fs::create_directories(shared);
    fs::create_directories(ours);
    ::chmod(shared.c_str(), 01777);
    const fs::path victim = ours / "victim.txt";
    writeFile(victim, victimText);
    const fs::path link = shared / "capture.log";
    const fs::path theirs = shared / "theirs.log";
    fs::create_symlink(victim, link);
    writeFile(theirs, "another user's own log\n");
    if (::lchown(link.c_str(), *otherUid, otherGid) != 0 || ::chown(theirs.c_str(), *otherUid, otherGid) != 0)
        throw std::runtime_error(std::string("chown in the shared folder: ") + std::strerror(errno));
    return victim;
}

// One start with the shared link as its log path, ended as soon as it has written its
// port line. False when it wrote none in 20 s.
bool startAndStop(const std::string& binary, const VirtualMic& mic, const fs::path& top) {
    ChildProcess child(
        {{binary, (top / "ours" / "settings.json").string(), (top / "shared" / "capture.log").string()},
         mic.environment(),
         (top / "ours").string()});
    const bool portLine = child.waitForLine(isPortLine, 20s).has_value();
    if (!(portLine && child.writeStdin("exit\n") && child.waitExit(10s)))
        child.kill(SIGKILL);
    child.waitExit(10s);
    return portLine;
}

std::string protectionNote = "link race: needs root for another user";

std::string linkRace(const std::string& binary, const VirtualMic& mic, const char* build) {
    const ProtectionOff off;
    protectionNote = "link race: " + off.note();
    const TempDir top("sondrel-link-race");
    const fs::path victim = prepareRace(top.path);
    // Bounded by the starts' own time-outs (30 s at most each).
    NameSwapper swapper(fs::path(top.path) / "shared", "capture.log", "theirs.log",
                        std::chrono::seconds(30L * raceStarts + 60));
    std::this_thread::sleep_for(200ms);
    if (!swapper.running())
        return "the other user could not swap the names";
    int wrote = 0;
    int noPortLine = 0;
    for (int i = 1; i <= raceStarts; ++i) {
        noPortLine += !startAndStop(binary, mic, top.path);
        if (readFile(victim) != victimText) {
            ++wrote;
            writeFile(victim, victimText);
        }
        if (i % 50 == 0 || i == raceStarts) {
            std::printf("  link race, %s: %d of %d starts, %d wrote to our file\n", build, i, raceStarts, wrote);
            std::fflush(stdout);
        }
    }
    std::string result = std::to_string(wrote) + " of " + std::to_string(raceStarts) + " starts wrote our file";
    if (noPortLine)
        result += " (" + std::to_string(noPortLine) + " without a port line)";
    return swapper.running() ? result : result + " (the swapping ended early)";
}

// ---- all rows for one build ----

using Row = std::pair<std::string, std::string>;

void siegeRows(std::vector<Row>& rows, const std::string& binary, const VirtualMic& mic, bool tokenSupported) {
    for (const int held : {8, 64}) {
        for (const bool beforePortLine : {false, true}) {
            const std::string name = beforePortLine ? "  ... " + std::to_string(held) + " from before port line"
                                                    : "token bearer, " + std::to_string(held) + " stalled conns";
            std::string value = !tokenSupported ? "(no token support)"
                                : !otherUid     ? noUser
                                                : bearerUnderSiege(binary, mic, held, beforePortLine);
            rows.emplace_back(name, value);
        }
    }
}

void fifoRows(std::vector<Row>& rows, const std::string& binary, const VirtualMic& mic) {
    const PathCase cases[] = {{"port line, settings: our FIFO", Path::Settings, false},
                              {"  ... another user's FIFO", Path::Settings, true},
                              {"port line, log: our FIFO", Path::Log, false},
                              {"  ... another user's FIFO", Path::Log, true},
                              {"port line, ordinary files", std::nullopt, false}};
    for (const PathCase& c : cases)
        rows.emplace_back(c.name, c.theirs && !otherUid ? noUser : startTimes(binary, mic, c));
}

// A tone of its own for each build: the rows that need audio come within its 15 minutes.
std::vector<Row> measure(const std::string& binary, VirtualMic& mic, const char* build) {
    mic.playTone(1000, 48000, 0.5, 900);
    const bool tokenSupported = takesToken(binary, mic);
    std::vector<Row> rows = {
        {"1 other user listens", otherUid ? otherUserListens(binary, mic) : noUser},
        {"2 other user sends exit", otherUid ? otherUserCommands(binary, mic) : noUser},
        {"3 older connection closes", strayClose(binary, mic)},
        {"4 other user holds 70 conns", otherUid ? lockOut(binary, mic) : noUser},
        {"3,000 failed handshakes", failedHandshakes(binary, mic)},
        {"20 s connect-and-reset flood", resetFlood(binary, mic)},
        {"port line -> 1st audio", firstAudio(binary, mic, false)},
        {"  ... with a token", tokenSupported ? firstAudio(binary, mic, true) : "(no token support)"}};
    siegeRows(rows, binary, mic, tokenSupported);
    fifoRows(rows, binary, mic);
    rows.emplace_back("link swapped in shared folder", otherUid ? linkRace(binary, mic, build) : noUser);
    mic.stopTone();
    return rows;
}

void printTable(const std::vector<Row>& before, const std::vector<Row>& after) {
    std::printf("\n%-34s | %-55s | %s\n", "", "baseline (before)", "this build");
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i)
        std::printf("%-34s | %-55s | %s\n", before[i].first.c_str(), before[i].second.c_str(),
                    after[i].second.c_str());
    std::printf("\n%s\n", protectionNote.c_str());
}

void findOtherUser() {
    const passwd* entry = getpwnam("sondrel-other");
    if (!entry && geteuid() == 0 &&
        std::system("useradd --system --no-create-home --shell /usr/sbin/nologin sondrel-other >/dev/null 2>&1") ==
            0)
        entry = getpwnam("sondrel-other");
    if (entry) {
        otherUid = entry->pw_uid;
        otherGid = entry->pw_gid;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[4]) == "--race-starts")
        raceStarts = std::max(1, std::atoi(argv[5]));
    else if (argc != 4) {
        std::fprintf(stderr, "usage: %s BASELINE_CAPTURE CAPTURE CONNECT_PROBE [--race-starts N]\n", argv[0]);
        return 2;
    }
    probePath = argv[3];
    findOtherUser();
    // Caught, so that the stack unwinds and every guard (the kernel's settings, the
    // processes started) is undone on the way.
    try {
        VirtualMic mic;
        std::printf("measuring the baseline...\n");
        std::fflush(stdout);
        const std::vector<Row> before = measure(argv[1], mic, "baseline");
        std::printf("measuring this build...\n");
        std::fflush(stdout);
        const std::vector<Row> after = measure(argv[2], mic, "this build");
        printTable(before, after);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "who_may_connect_figures: %s\n", error.what());
        return 1;
    }
    return 0;
}
