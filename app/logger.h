#pragma once

#include <fstream>
#include <mutex>
#include <string>

// The process-wide diagnostic log. Lines go to the file named on the command line and
// nowhere else; without a file they are dropped. Safe to call from any thread.
class Logger {
public:
    static Logger& instance();

    // Truncates or creates the file. A failed open is silent: later lines are dropped.
    void openFile(const std::string& path);

    void info(const std::string& tag, const std::string& message);
    void warn(const std::string& tag, const std::string& message);
    void error(const std::string& tag, const std::string& message);

    // Pushes buffered lines to the file. Lines are not flushed one by one; this is for
    // the rare path that ends the process without running static destructors.
    void flush();

private:
    Logger() = default;
    void write(const char* level, const std::string& tag, const std::string& message);

    std::mutex mutex;
    std::ofstream file;
};
