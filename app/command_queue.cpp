#include "command_queue.h"

void CommandQueue::push(const std::string& command) {
    if (observer)
        observer(command);
    std::lock_guard<std::mutex> guard(lock);
    entries.push_back(command);
    bytes += command.size();
}

bool CommandQueue::empty() {
    std::lock_guard<std::mutex> guard(lock);
    return entries.empty();
}

std::string CommandQueue::tryPop() {
    std::lock_guard<std::mutex> guard(lock);
    if (entries.empty())
        return {};
    std::string front = std::move(entries.front());
    entries.pop_front();
    bytes -= front.size();
    return front;
}

bool CommandQueue::full() {
    std::lock_guard<std::mutex> guard(lock);
    return entries.size() >= maxEntries || bytes >= maxBytes;
}

bool CommandQueue::drained() {
    std::lock_guard<std::mutex> guard(lock);
    return entries.size() < maxEntries / 2 && bytes < maxBytes / 2;
}
