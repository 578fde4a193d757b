#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class AudioEngine;
class ControlPanel;
class RingBuffer;
class Server;

// Answers to the parent's device commands, written in the order the commands came. One
// that reports what an engine operation leads to waits until the engine is idle, for at
// most answerWait; then it tells what is in effect by then. An engine call that must see
// what the commands before it led to (a choice is checked against the catalogue an
// earlier "devices" may still be listing) waits here too, for at most callWait, so the
// control loop never holds for it.
class Answers {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration answerWait = std::chrono::seconds(5);
    static constexpr Clock::duration callWait = std::chrono::seconds(2);

    Answers(std::function<bool()> engineIdle, std::function<void(const std::string&)> write,
            std::function<Clock::time_point()> clock = Clock::now);

    void now(std::string line);
    void afterEngine(std::function<std::string()> line);
    // Runs `call` once the engine is idle, or callWait after the call before it ran (or
    // after this one was asked for), and after every earlier call. What it answers (with
    // now() or afterEngine()) takes its place among the answers.
    void afterEarlierCalls(std::function<void()> call);

    // Control loop, once per iteration: makes the calls that may go and writes the answers
    // that are ready, in order.
    void writeReady();
    // Asked at every turn once "exit" was taken: true when no call waits any more, or
    // callWait after the first asking. Until then the control loop goes on, so that a
    // choice sent before "exit" is still made and saved.
    bool readyToEnd();
    // At the end: writes what is in effect for every answer still waiting, in order, up
    // to the first call not made (neither it nor what follows it is answered).
    void finish();

private:
    enum class Waits { nothing, engine, call };
    struct Entry {
        Waits waits;
        std::function<std::string()> line;
        std::function<void()> call;
        Clock::time_point since;
    };

    void add(Entry entry);
    void makeCalls(Clock::time_point now);

    const std::function<bool()> engineIdle;
    const std::function<void(const std::string&)> write;
    const std::function<Clock::time_point()> clock;
    std::deque<Entry> queue;
    // While a call runs: where its answers go.
    std::optional<std::size_t> callAnswersAt;
    std::optional<Clock::time_point> endAsked;
};

// What the control loop does with each command word.
struct Command {
    const std::shared_ptr<RingBuffer>& ring;
    AudioEngine& engine;
    Server& server;
    ControlPanel& panel;
    Answers& answers;
    bool& watching;
    bool& exitRequested;

    void run(const std::string& command);

private:
    void select(const std::string& argument);
};
