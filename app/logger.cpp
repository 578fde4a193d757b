#include "logger.h"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "log_file.h"
#include "process_platform.h"

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

Logger::~Logger() { closeFile(); }

void Logger::closeFile() {
    if (file)
        std::fclose(file);
    file = nullptr;
}

std::optional<std::string> Logger::openFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex);
    closeFile();
    failed = false;
    LogFileOpening opening = openLogFile(pathFromUtf8(path));
    file = opening.file;
    if (opening.refusal.empty())
        return std::nullopt;
    return opening.refusal;
}

void Logger::info(const std::string& tag, const std::string& message) {
    write("INFO", Push::WithinASecond, tag, message);
}
void Logger::warn(const std::string& tag, const std::string& message) { write("WARN", Push::Now, tag, message); }
void Logger::error(const std::string& tag, const std::string& message) { write("ERROR", Push::Now, tag, message); }

void Logger::flush() {
    std::lock_guard<std::mutex> guard(mutex);
    if (file)
        std::fflush(file);
    lastPush = Clock::now();
}

void Logger::endStartUp() {
    std::lock_guard<std::mutex> guard(mutex);
    startingUp = false;
    if (file)
        std::fflush(file);
    lastPush = Clock::now();
}

std::string Logger::formatLine(const char* level, const std::string& tag, const std::string& message) {
    const std::tm local = fmt::localtime(std::time(nullptr));
    return fmt::format("[{:%H:%M:%S}] [{}] <{}> {}\n", local, level, tag, message);
}

void Logger::write(const char* level, Push push, const std::string& tag, const std::string& message) {
    const std::string line = formatLine(level, tag, message);

    std::lock_guard<std::mutex> guard(mutex);
    if (!file || failed)
        return;
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size()) {
        failed = true;
        return;
    }
    // A warning or an error is what someone reads the log for after a crash.
    const Clock::time_point now = Clock::now();
    if (push == Push::Now || startingUp || now - lastPush >= std::chrono::seconds(1)) {
        failed = std::fflush(file) != 0;
        lastPush = now;
    }
}
