#include "virtual_mic.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Returns the wait status, or -1 when the child is still running after timeoutMs.
int waitForExit(pid_t pid, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return 0; // not our child any more: nothing to wait for
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void terminateProcess(pid_t pid, int timeoutMs) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (waitForExit(pid, timeoutMs) != -1)
        return;
    kill(pid, SIGKILL);
    waitForExit(pid, 5000);
}

bool pulseBinaryInstalled() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/pulseaudio";
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

VirtualMic::VirtualMic() {
    if (!available())
        throw std::runtime_error("VirtualMic: the pulseaudio binary is not installed");
    startDaemon();
}

void VirtualMic::startDaemon() {
    // --daemonize=no keeps the daemon our direct child, so its PID is known and it can be
    // torn down and reaped without trusting a pid file.
    daemon = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-L",
                    "module-native-protocol-unix", "-L", "module-null-sink sink_name=mic_sink", "-L",
                    "module-always-sink", "--log-target=file:" + logPath()});
    if (daemon <= 0)
        throw std::runtime_error("VirtualMic: could not start pulseaudio");

    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!answers()) {
        int status = 0;
        if (waitpid(daemon, &status, WNOHANG) == daemon) {
            daemon = -1;
            std::string log;
            std::ifstream in(logPath());
            std::getline(in, log, '\0');
            throw std::runtime_error("VirtualMic: pulseaudio exited during start-up; its log:\n" + log);
        }
        if (Clock::now() >= deadline) {
            stopDaemon();
            throw std::runtime_error("VirtualMic: pulseaudio did not answer within 15 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

VirtualMic::~VirtualMic() {
    stopTone();
    stopDaemon();
}

bool VirtualMic::available() { return pulseBinaryInstalled(); }

std::vector<std::string> VirtualMic::environment() const {
    return {"XDG_RUNTIME_DIR=" + dir, "HOME=" + dir, "PULSE_SERVER=unix:" + dir + "/pulse/native",
            "PULSE_RUNTIME_PATH=" + dir + "/pulse"};
}

void VirtualMic::exportToThisProcess() const {
    for (const std::string& entry : environment()) {
        const std::size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
}

void VirtualMic::playTone(double frequency, int sampleRate, double amplitude, double seconds,
                          const std::string& sink) {
    const std::string file = dir + "/tone" + std::to_string(toneCount++) + ".raw";
    {
        std::ofstream out(file, std::ios::binary);
        const long frames = std::lround(seconds * sampleRate);
        for (long i = 0; i < frames; ++i) {
            const float sample = static_cast<float>(
                amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate));
            out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
        }
        if (!out)
            throw std::runtime_error("VirtualMic: could not write " + file);
    }
    const pid_t player = spawn({"paplay", "--raw", "--device=" + sink, "--format=float32le",
                                "--rate=" + std::to_string(sampleRate), "--channels=1", file});
    if (player <= 0)
        throw std::runtime_error("VirtualMic: could not start paplay");
    players.push_back(player);
}

void VirtualMic::stopTone() {
    for (pid_t player : players)
        terminateProcess(player, 2000);
    players.clear();
}

void VirtualMic::killDaemon() {
    if (daemon <= 0)
        return;
    kill(daemon, SIGKILL);
    waitForExit(daemon, 5000);
    daemon = -1;
    frozen = false;
}

void VirtualMic::restartDaemon() {
    killDaemon();
    startDaemon();
}

void VirtualMic::freezeDaemon() {
    if (daemon <= 0)
        return;
    kill(daemon, SIGSTOP);
    frozen = true;
}

void VirtualMic::thawDaemon() {
    if (daemon <= 0 || !frozen)
        return;
    kill(daemon, SIGCONT);
    frozen = false;
}

std::string VirtualMic::addSecondMicrophone() {
    pactl({"load-module", "module-null-sink", "sink_name=second_sink"});
    // The default sink and source stay the first microphone's.
    pactl({"set-default-source", "mic_sink.monitor"});
    pactl({"set-default-sink", "mic_sink"});
    std::ofstream rc(dir + "/.asoundrc", std::ios::app);
    rc << "pcm.second_mic {\n    type pulse\n    device second_sink.monitor\n}\n";
    if (!rc)
        throw std::runtime_error("VirtualMic: could not write " + dir + "/.asoundrc");
    return "second_mic";
}

void VirtualMic::removeSource() { pactl({"unload-module", "module-null-sink"}); }

void VirtualMic::addSource() {
    pactl({"load-module", "module-null-sink", "sink_name=mic_sink"});
    pactl({"set-default-source", "mic_sink.monitor"});
    pactl({"set-default-sink", "mic_sink"});
}

void VirtualMic::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t child = spawn(argv);
    if (child <= 0)
        throw std::runtime_error("VirtualMic: could not start pactl");
    const int status = waitForExit(child, 10000);
    if (status == -1)
        terminateProcess(child, 1000);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("VirtualMic: pactl " + arguments.front() + " failed");
}

pid_t VirtualMic::spawn(const std::vector<std::string>& argv) const {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "XDG_RUNTIME_DIR" && name != "HOME" && name != "PULSE_SERVER" && name != "PULSE_RUNTIME_PATH")
            envStrings.push_back(entry);
    }
    for (const std::string& entry : environment())
        envStrings.push_back(entry);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // The helpers' chatter must not mix into the test output. If the test process dies
    // without running destructors (a sanitizer abort, a time-out kill), the kernel ends
    // the helpers too, so no daemon is left behind.
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

bool VirtualMic::answers() const {
    const pid_t pactl = spawn({"pactl", "info"});
    if (pactl <= 0)
        return false;
    int status = waitForExit(pactl, 3000);
    if (status == -1) {
        terminateProcess(pactl, 1000);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void VirtualMic::stopDaemon() {
    if (daemon <= 0)
        return;
    thawDaemon(); // a stopped process would not act on SIGTERM
    terminateProcess(daemon, 5000);
    daemon = -1;
}
