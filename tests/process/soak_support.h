#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <string>

// What the soak runs share: their length, and the figures they watch in /proc.

// SONDREL_SOAK_SECONDS (tools/soak.sh), 90 s when unset or not a positive number.
inline std::chrono::seconds soakDuration() {
    const char* text = std::getenv("SONDREL_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 90;
    return std::chrono::seconds(seconds > 0 ? seconds : 90);
}

// The entries of /proc/PID/<folder> ("task": threads, "fd": descriptors); -1 when gone.
inline int procEntries(pid_t pid, const char* folder) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/" + folder).c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}
