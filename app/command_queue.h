#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

// Command words on their way from standard input and the WebSocket handlers to the
// control loop. Any thread may push; only the control loop pops. The observer sees each
// command as it is pushed, on the pushing thread: a word that must act before the
// control loop gets to it ("exit" starts the exit deadline) is noticed there.
class CommandQueue {
public:
    using Observer = std::function<void(const std::string& command)>;
    explicit CommandQueue(Observer observer = {}) : observer(std::move(observer)) {}
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    void push(const std::string& command);
    bool empty();
    // The oldest entry, removed; an empty string when nothing is queued.
    std::string tryPop();

private:
    const Observer observer;
    std::deque<std::string> entries;
    std::mutex lock;
};
