#include "x_session.h"

#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

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

XSession::XSession(bool withWindowManager) {
    // Xvfb picks a free display number itself and writes it to standard output, so
    // servers started by concurrent tests never collide.
    ChildProcess::Options options;
    options.argv = {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
    options.stdinMode = ChildProcess::StdinMode::DevNull;
    server = std::make_unique<ChildProcess>(std::move(options));
    const auto number = server->readLine(10s);
    if (!number || number->empty())
        throw std::runtime_error("Xvfb did not report its display: " + server->stderrText());
    name = ":" + *number;
    if (!waitUntilAnswering(10s))
        throw std::runtime_error("Xvfb does not answer on " + name);
    if (withWindowManager) {
        ChildProcess::Options options;
        options.argv = {"/usr/bin/openbox"};
        options.environment = {environment()};
        options.stdinMode = ChildProcess::StdinMode::DevNull;
        windowManager = std::make_unique<ChildProcess>(std::move(options));
        if (!waitForWindowManager(10s))
            throw std::runtime_error("openbox did not start on " + name + ": " + windowManager->stderrText());
    }
}

XSession::~XSession() {
    // ChildProcess ends each process group by its PID; the window manager goes first.
    windowManager.reset();
    server.reset();
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
        if (probe.status && *probe.status == 0)
            return true;
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
