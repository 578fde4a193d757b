#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

// The process-wide diagnostic log. Lines go to the file named on the command line and
// nowhere else; without a file they are dropped. Safe to call from any thread.
class Logger {
public:
    static Logger& instance();

    // Truncates or creates the file (readable by our user only). A failed open is
    // silent and later lines are dropped; a file or link of another user is not written
    // either, and the reason is returned for the caller to report.
    std::optional<std::string> openFile(const std::string& path);

    void info(const std::string& tag, const std::string& message);
    void warn(const std::string& tag, const std::string& message);
    void error(const std::string& tag, const std::string& message);

    // A line as the log holds it (line feed included), for the few that also go to
    // standard error.
    static std::string formatLine(const char* level, const std::string& tag, const std::string& message);

    // Pushes buffered lines to the file. Until endStartUp() every line is pushed as it is
    // written, so a start-up that crashes (PortAudio aborts on an internal assertion)
    // leaves its lines. Afterwards WARN and ERROR lines still are; INFO lines wait, at the
    // longest until the first line a second after the last push. The process also calls
    // this once a second and before an exit that cannot wait, so a crash loses at most a
    // second of INFO lines.
    void flush();
    // The process has started (its port line is out): pushes what is buffered and lets
    // INFO lines wait from now on.
    void endStartUp();

private:
    using Clock = std::chrono::steady_clock;
    enum class Push { Now, WithinASecond };

    Logger() = default;
    ~Logger();
    void closeFile();
    void write(const char* level, Push push, const std::string& tag, const std::string& message);

    std::mutex mutex;
    std::FILE* file = nullptr;
    bool failed = false; // a write failed: later lines are dropped
    Clock::time_point lastPush = Clock::now();
    bool startingUp = true;
};
