#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

// Command words on their way from standard input and the WebSocket handlers to the
// control loop. Any thread may push; only the control loop pops. The observer sees each
// command as it is pushed, on the pushing thread: a word that must act before the
// control loop gets to it ("exit" starts the exit deadline) is noticed there.
//
// The control loop takes one command per frame, so a producer that outruns it must be
// held back, not buffered without end: push() never refuses, but the producers that can
// wait (standard input, a client's connection) stop reading while full() and resume
// once drained(). Nothing is ever dropped.
class CommandQueue {
public:
    static constexpr std::size_t maxEntries = 64;
    static constexpr std::size_t maxBytes = 1024 * 1024;

    using Observer = std::function<void(const std::string& command)>;
    explicit CommandQueue(Observer observer = {}) : observer(std::move(observer)) {}
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    void push(const std::string& command);
    bool empty();
    // The oldest entry, removed; an empty string when nothing is queued.
    std::string tryPop();

    // At or over maxEntries entries or maxBytes bytes.
    bool full();
    // Under half of both bounds.
    bool drained();

private:
    const Observer observer;
    std::deque<std::string> entries;
    std::size_t bytes = 0;
    std::mutex lock;
};
