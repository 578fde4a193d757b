#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// What sondrel-record needs from the operating system. One implementation per
// platform (posix/, win32/).

// Sets `interrupted` on the polite stop requests: SIGINT and SIGTERM; Ctrl+C,
// Ctrl+Break and closing the console on Windows. Writes to a child whose standard
// input is gone then fail with an error instead of ending this process.
void installInterruptHandlers(std::atomic<bool>& interrupted);

// The command line as UTF-8 strings, program name included.
std::vector<std::string> recordArguments(int argc, char** argv);

// sondrel-capture beside this program.
std::string defaultCapturePath();

// A path for the file-system calls from a UTF-8 string.
std::filesystem::path recordPath(const std::string& utf8);

// A binary file created (or truncated) for writing, not inherited by child processes:
// a descriptor, or -1 with errno set.
int createBinaryFile(const std::string& path);
// Writes up to size bytes at offset without moving a shared file position; the count
// written, or -1 with errno set.
long long writeFileAt(int fd, const void* data, std::size_t size, std::uint64_t offset);
int closeFile(int fd);

// Fills `size` bytes from the system's source of secure randomness (getrandom,
// BCryptGenRandom); false when it cannot.
bool secureRandomBytes(unsigned char* data, std::size_t size);
// Sets a variable in our own environment, which the child inherits.
bool setEnvironmentForChild(const std::string& name, const std::string& value);
