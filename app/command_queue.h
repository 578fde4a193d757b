#pragma once

#include <deque>
#include <mutex>
#include <string>

// Command words on their way from standard input and the WebSocket handlers to the
// control loop. Any thread may push; only the control loop pops.
class CommandQueue {
public:
    CommandQueue() = default;
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    void push(const std::string& command);
    bool empty();
    // The oldest entry, removed; an empty string when nothing is queued.
    std::string tryPop();

private:
    std::deque<std::string> entries;
    std::mutex lock;
};
