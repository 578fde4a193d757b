#include "listening_port.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::set<std::string> socketInodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

int listenerAmong(const std::set<std::string>& inodes) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeouts >> inode;
        if (state == "0A" && inodes.count(inode))
            return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
    }
    return 0;
}

} // namespace

int listeningPortOf(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const int port = listenerAmong(socketInodes(pid)))
            return port;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
