#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the process needs from the operating system around main(): its standard
// descriptors, the requests to stop, its arguments and the paths they name.
// One implementation per platform (posix/, win32/).

// A parent may start us with standard input, output or error closed. The first file
// we open later (the log, the settings, a socket) would then take that place and
// receive protocol lines or be read as commands, so each closed one gets the null
// device. Also makes writes to a parent that stopped reading fail instead of ending
// the process.
void prepareStandardStreams();

// The platform's polite stop requests (SIGINT and SIGTERM; Ctrl+C, Ctrl+Break and closing
// the console) are taken by one thread that waits for them, rather than interrupting
// whichever thread they land on: a thread blocked in a write or inside a library would
// never see a flag set by a handler. Call before any other thread is started (on POSIX,
// the threads inherit the blocked signals).
void installStopHandlers();
// Waits up to the timeout for the next stop request; true when one arrived.
bool waitForStopRequest(std::chrono::milliseconds timeout);

// The parent process, remembered at start. It is gone once it has ended (POSIX: our
// parent process id is no longer its id, we were handed to a reaper; Windows: a handle
// to it, opened at start, is signalled).
void rememberParentProcess();
bool parentProcessGone();

// The command line as UTF-8 strings, argv[0] included.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// A path for the file-system calls from a UTF-8 command-line argument.
std::filesystem::path pathFromUtf8(const std::string& path);

// Reads an environment variable as UTF-8 and removes it from our environment, so that
// nothing we start inherits it. Nothing when it is not set.
std::optional<std::string> takeEnvironmentVariable(const std::string& name);
