#pragma once

#include <filesystem>
#include <string>
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

// Routes the platform's polite stop requests (SIGINT and SIGTERM; Ctrl+C, Ctrl+Break
// and closing the console) to stopRequested(), which the control loop polls.
void installStopHandlers();
bool stopRequested();

// The command line as UTF-8 strings, argv[0] included.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// A path for the file-system calls from a UTF-8 command-line argument.
std::filesystem::path pathFromUtf8(const std::string& path);
