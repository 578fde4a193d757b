#include "logger.h"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "process_platform.h"

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

void Logger::openFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    if (file.is_open())
        file.close();
    file.clear();
    file.open(pathFromUtf8(path), std::ios::out | std::ios::trunc);
}

void Logger::info(const std::string& tag, const std::string& message) {
    write("INFO", Push::WithinASecond, tag, message);
}
void Logger::warn(const std::string& tag, const std::string& message) { write("WARN", Push::Now, tag, message); }
void Logger::error(const std::string& tag, const std::string& message) { write("ERROR", Push::Now, tag, message); }

void Logger::flush() {
    std::lock_guard<std::mutex> guard(mutex);
    if (file.is_open())
        file.flush();
    lastPush = Clock::now();
}

void Logger::endStartUp() {
    std::lock_guard<std::mutex> guard(mutex);
    startingUp = false;
    if (file.is_open())
        file.flush();
    lastPush = Clock::now();
}

void Logger::write(const char* level, Push push, const std::string& tag, const std::string& message) {
    const std::tm local = fmt::localtime(std::time(nullptr));
    std::string line = fmt::format("[{:%H:%M:%S}] [{}] <{}> {}\n", local, level, tag, message);

    std::lock_guard<std::mutex> guard(mutex);
    if (!file.is_open() || !file.good())
        return;
    file.write(line.data(), static_cast<std::streamsize>(line.size()));
    // A warning or an error is what someone reads the log for after a crash.
    const Clock::time_point now = Clock::now();
    if (push == Push::Now || startingUp || now - lastPush >= std::chrono::seconds(1)) {
        file.flush();
        lastPush = now;
    }
}
