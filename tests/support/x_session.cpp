#include "x_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Tests set this in the child's environment so xprop prints titles as UTF-8.
const char* utf8Locale = "LC_ALL=C.UTF-8";

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout) {
    ChildProcess::Options options;
    options.argv = argv;
    options.environment = environment;
    options.stdinMode = ChildProcess::StdinMode::DevNull;
    ChildProcess child(std::move(options));
    CommandResult result;
    result.status = child.waitExit(timeout);
    child.waitStdoutClosed(2s);
    result.output = child.stdoutText();
    return result;
}

namespace {

// Every window undecorated and no border kept: the frame extents are all zero.
const char* framelessConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <theme><keepBorder>no</keepBorder></theme>
  <applications><application class="*"><decor>no</decor></application></applications>
</openbox_config>
)";

} // namespace

XSession::XSession(WindowManager manager) {
    const bool withWindowManager = manager != WindowManager::none;
    // A random display number well away from the ones people and other tools use; a
    // number whose lock file or socket exists is skipped, and a server that fails to
    // start (the number was taken meanwhile) is replaced by one on the next number.
    std::mt19937 random(static_cast<unsigned>(::getpid()) ^
                        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    int number = std::uniform_int_distribution<int>(300, 899)(random);
    for (int attempt = 0; attempt < 20 && !server; ++attempt, ++number) {
        if (pathExists("/tmp/.X" + std::to_string(number) + "-lock") ||
            pathExists("/tmp/.X11-unix/X" + std::to_string(number)))
            continue;
        name = ":" + std::to_string(number);
        ChildProcess::Options options;
        options.argv = {"/usr/bin/Xvfb", name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
        options.stdinMode = ChildProcess::StdinMode::DevNull;
        server = std::make_unique<ChildProcess>(std::move(options));
        if (!waitUntilAnswering(10s))
            server.reset();
    }
    if (!server)
        throw std::runtime_error("no Xvfb display could be started");

    for (int attempt = 0; withWindowManager && attempt < 3 && !windowManager; ++attempt) {
        ChildProcess::Options options;
        options.argv = {"/usr/bin/openbox"};
        if (manager == WindowManager::openboxWithoutFrames) {
            if (!configDir) {
                configDir.emplace("sondrel-openbox");
                std::ofstream(configDir->file("rc.xml")) << framelessConfig;
            }
            options.argv.insert(options.argv.end(), {"--config-file", configDir->file("rc.xml")});
        }
        options.environment = {environment()};
        options.stdinMode = ChildProcess::StdinMode::DevNull;
        windowManager = std::make_unique<ChildProcess>(std::move(options));
        if (!waitForWindowManager(10s)) {
            const auto status = windowManager->waitExit(1s);
            std::cerr << "openbox did not start on " << name << " (status "
                      << (status ? std::to_string(*status) : "none") << "): " << windowManager->stderrText()
                      << "\n";
            windowManager.reset();
        }
    }
    if (withWindowManager && !windowManager)
        throw std::runtime_error("openbox did not start on " + name);
}

XSession::~XSession() {
    // Asked to end first, so that Xvfb removes its lock file and socket; ChildProcess
    // then kills by PID whatever is still running.
    for (std::unique_ptr<ChildProcess>* process : {&windowManager, &server}) {
        if (*process && (*process)->running()) {
            (*process)->kill(SIGTERM);
            (*process)->waitExit(3s);
        }
        process->reset();
    }
}

void XSession::killServer() {
    server->kill(SIGKILL);
    server->waitExit(5s);
}

CommandResult XSession::run(std::vector<std::string> argv) const {
    return runCommand(argv, {environment(), utf8Locale});
}

bool XSession::waitUntilAnswering(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!server->running())
            return false;
        const CommandResult probe = run({"/usr/bin/xprop", "-root", "-display", name, "_NET_SUPPORTED"});
        // The server that answered must be ours: it is still running.
        if (probe.status && *probe.status == 0)
            return server->running();
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool XSession::waitForWindowManager(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!windowManager->running())
            return false;
        const CommandResult probe = run({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"});
        if (probe.output.find("window id") != std::string::npos)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::vector<std::string> XSession::findWindows(const std::string& text, std::chrono::milliseconds timeout,
                                               bool expectNone) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> ids;
    for (;;) {
        ids.clear();
        const CommandResult found = run({"/usr/bin/xdotool", "search", "--name", text});
        std::size_t start = 0;
        while (start < found.output.size()) {
            std::size_t end = found.output.find('\n', start);
            if (end == std::string::npos)
                end = found.output.size();
            if (end > start)
                ids.push_back(found.output.substr(start, end - start));
            start = end + 1;
        }
        if (ids.empty() == expectNone || std::chrono::steady_clock::now() >= deadline)
            return ids;
        std::this_thread::sleep_for(100ms);
    }
}

std::string XSession::property(const std::string& window, const std::string& atom) const {
    return run({"/usr/bin/xprop", "-id", window, atom}).output;
}

// Sanitizer settings for the capture process. ThreadSanitizer needs nothing beyond the
// suite's suppressions, which cover the OpenGL driver's threads.
//
// AddressSanitizer: slow unwinding on every allocation deadlocks in the unwinder's lock
// against the OpenGL driver's threads, so it is turned off. Leaks are not checked in
// the child: what the window's system libraries keep (the OpenGL driver and ALSA plugin
// modules, unloaded before exit and so beyond symbolising, and SDL's D-Bus connection)
// cannot be told apart from ours there; the panel's own code is leak-checked in the
// unit tests.
std::vector<std::string> windowProcessSanitizerEnvironment() {
    std::vector<std::string> entries;
#if defined(SONDREL_SANITIZED)
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char* inherited = std::getenv(name);
        std::string value = inherited ? inherited : "";
        if (!value.empty())
            value += ':';
        value += "detect_leaks=0:fast_unwind_on_malloc=1";
        entries.push_back(std::string(name) + "=" + value);
    }
#endif
    return entries;
}
