#pragma once

#include "child_process.h"
#include "temp_dir.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Output and exit status of a short helper program (xprop, xdotool, wmctrl, ...).
struct CommandResult {
    std::optional<int> status;
    std::string output;
};

// Runs argv (argv[0] a full path) with extra environment entries; the program is
// killed by its PID when it has not finished within the timeout.
CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A private Xvfb server on a free display number, optionally with openbox as its
// window manager. Both are ended by PID when the session is destroyed.
class XSession {
public:
    enum class WindowManager {
        none,
        openbox,
        // openbox set to draw neither title bars nor borders: frame extents of 0
        openboxWithoutFrames,
    };

    explicit XSession(WindowManager manager);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    const std::string& display() const { return name; }
    pid_t serverPid() const { return server->pid(); }
    std::string environment() const { return "DISPLAY=" + name; }

    // Runs an X client program against this display.
    CommandResult run(std::vector<std::string> argv) const;

    // The ids of client windows whose name contains text, waiting up to the timeout
    // for at least one (or, with expectNone, for none).
    std::vector<std::string> findWindows(const std::string& text, std::chrono::milliseconds timeout,
                                         bool expectNone = false) const;
    // A property of a window as xprop prints it.
    std::string property(const std::string& window, const std::string& atom) const;

    // Ends the X server at once (SIGKILL), as when a remote display goes away; the
    // window manager loses its display with it.
    void killServer();

private:
    bool waitUntilAnswering(std::chrono::milliseconds timeout);
    bool waitForWindowManager(std::chrono::milliseconds timeout);

    std::string name;
    std::optional<TempDir> configDir; // openbox's configuration, when it has one of ours
    std::unique_ptr<ChildProcess> server;
    std::unique_ptr<ChildProcess> windowManager;
};

// Environment entries for a capture process that opens its window in a sanitizer build
// (none in a plain build): AddressSanitizer with fast unwinding and no leak check.
std::vector<std::string> windowProcessSanitizerEnvironment();
