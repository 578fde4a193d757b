#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "logger.h"

// Sends the process log to a fresh file and reads back the "[LEVEL] <Tag> message" parts.
class LogCapture {
public:
    LogCapture() {
        path = (std::filesystem::temp_directory_path() /
                ("audio-log-" + std::to_string(getpid()) + "-" + std::to_string(counter()++) + ".log"))
                   .string();
        Logger::instance().openFile(path);
    }
    ~LogCapture() {
        Logger::instance().openFile("/dev/null");
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }

    // Each line as "LEVEL message" for tag Audio, in file order.
    std::vector<std::string> lines() const {
        Logger::instance().flush();
        std::vector<std::string> result;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            // "[HH:MM:SS] [LEVEL] <Tag> message"
            const auto levelStart = line.find("] [");
            const auto levelEnd = line.find("] <", levelStart + 3);
            const auto tagEnd = line.find("> ", levelEnd);
            if (levelStart == std::string::npos || levelEnd == std::string::npos || tagEnd == std::string::npos)
                continue;
            if (line.substr(levelEnd + 3, tagEnd - levelEnd - 3) != "Audio")
                continue;
            result.push_back(line.substr(levelStart + 3, levelEnd - levelStart - 3) + " " +
                             line.substr(tagEnd + 2));
        }
        return result;
    }

    // Lines as written, for checks of the layout itself.
    std::vector<std::string> rawLines() const {
        Logger::instance().flush();
        std::vector<std::string> result;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    std::size_t count(const std::string& entry) const {
        std::size_t n = 0;
        for (const auto& line : lines())
            n += line == entry ? 1 : 0;
        return n;
    }

private:
    static int& counter() {
        static int value = 0;
        return value;
    }
    std::string path;
};
