#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// Opens the log file for a fresh log. One implementation per platform (posix/, win32/).
//
// The log names devices and holds every command, so a file we create is readable by
// our user only. We never write into a regular file of another user, wherever the path
// leads: a path into a shared folder may name a file, or a link, that someone else put
// there. Such a refusal is reported (`refusal`); a path that simply cannot be opened (a
// missing folder) is not, and the process runs without a log either way.
struct LogFileOpening {
    std::FILE* file = nullptr; // open for writing, text mode, empty
    std::string refusal;
};

LogFileOpening openLogFile(const std::filesystem::path& path);
