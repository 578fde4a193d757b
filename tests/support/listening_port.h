#pragma once

#include <sys/types.h>

#include <chrono>

// The port that process `pid` listens on over IPv4, read the way any local user watching
// /proc/net/tcp finds a new listener: before the process has said which port it is
// (its own descriptors, /proc/PID/fd, are readable to its user and root). 0 after the
// time-out.
int listeningPortOf(pid_t pid, std::chrono::milliseconds timeout);
