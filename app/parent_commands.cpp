#include "parent_commands.h"

#include <algorithm>
#include <variant>

#include "audio_engine.h"
#include "command_words.h"
#include "control_panel.h"
#include "logger.h"
#include "quoted_text.h"
#include "remote_selection.h"
#include "ring_buffer.h"
#include "server.h"
#include "stdout_lines.h"

Answers::Answers(std::function<bool()> engineIdle, std::function<void(const std::string&)> write,
                 std::function<Clock::time_point()> clock)
    : engineIdle(std::move(engineIdle)), write(std::move(write)), clock(std::move(clock)) {}

void Answers::now(std::string line) {
    add({Waits::nothing, [line = std::move(line)] { return line; }, {}, {}});
}

void Answers::afterEngine(std::function<std::string()> line) {
    add({Waits::engine, std::move(line), {}, clock()});
}

void Answers::afterEarlierCalls(std::function<void()> call) { add({Waits::call, {}, std::move(call), clock()}); }

void Answers::add(Entry entry) {
    if (!callAnswersAt) {
        queue.push_back(std::move(entry));
        return;
    }
    queue.insert(queue.begin() + static_cast<std::ptrdiff_t>(*callAnswersAt), std::move(entry));
    ++*callAnswersAt;
}

void Answers::writeReady() {
    const Clock::time_point t = clock();
    makeCalls(t);
    while (!queue.empty()) {
        const Entry& front = queue.front();
        if (front.waits == Waits::call)
            return;
        if (front.waits == Waits::engine && !engineIdle() && t - front.since < answerWait)
            return;
        write(front.line());
        queue.pop_front();
    }
}

bool Answers::readyToEnd() {
    if (!endAsked)
        endAsked = clock();
    return clock() - *endAsked >= callWait ||
           std::none_of(queue.begin(), queue.end(), [](const Entry& entry) { return entry.waits == Waits::call; });
}

void Answers::finish() {
    while (!queue.empty() && queue.front().waits != Waits::call) {
        write(queue.front().line());
        queue.pop_front();
    }
    queue.clear();
}

void Answers::makeCalls(Clock::time_point now) {
    std::size_t i = 0;
    while (i < queue.size()) {
        if (queue[i].waits != Waits::call) {
            ++i;
            continue;
        }
        if (!engineIdle() && now - queue[i].since < callWait)
            return; // and every call after it
        const std::function<void()> call = std::move(queue[i].call);
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
        callAnswersAt = i;
        call();
        i = *callAnswersAt;
        callAnswersAt.reset();
        // The next call waits for the engine from here on, as if it came now.
        const auto next = std::find_if(queue.begin() + static_cast<std::ptrdiff_t>(i), queue.end(),
                                       [](const Entry& entry) { return entry.waits == Waits::call; });
        if (next != queue.end())
            next->since = std::max(next->since, now);
    }
}

void Command::run(const std::string& command) {
    switch (matchCommand(command)) {
    case CommandWord::Show:
        panel.show();
        break;
    case CommandWord::Hide:
        panel.hide();
        break;
    case CommandWord::Exit:
        exitRequested = true;
        break;
    case CommandWord::Connected:
        // A capture callback that picked up the ring just before the last
        // "disconnected" may have put samples after its discard; drop them, or
        // the new client's first block would start with stale audio.
        if (!engine.outputRing)
            server.discardBuffered();
        server.sendToNewestClient();
        engine.outputRing.set(ring);
        break;
    case CommandWord::Disconnected:
        // Stop the producer first so nothing new arrives, then drop what
        // is buffered, in step with the sender.
        engine.outputRing.reset();
        server.discardBuffered();
        break;
    case CommandWord::Devices:
        answers.afterEarlierCalls([this] {
            engine.refreshKeepingSelection();
            answers.afterEngine([this] { return devicesLine(engine); });
        });
        break;
    case CommandWord::Select:
        // A choice is checked against the catalogue an earlier command may still be
        // listing; with a sound server that does not answer, against what is known.
        answers.afterEarlierCalls([this, argument = std::string(selectArgument(command))] { select(argument); });
        break;
    case CommandWord::Watch:
        watching = true;
        answers.now(streamLine(engine.running));
        break;
    case CommandWord::Unrecognised:
        writeStdoutLine("Unrecognisable command " + quoteText(command), Flush::Later);
        break;
    }
}

void Command::select(const std::string& argument) {
    std::variant<SelectionChoice, std::string> parsed = parseSelectionChoice(argument);
    std::optional<std::string> refused;
    if (const auto* reason = std::get_if<std::string>(&parsed))
        refused = *reason;
    else
        refused = engine.choose(std::get<SelectionChoice>(parsed));
    if (refused) {
        Logger::instance().warn("Main", "无法应用父进程的选择, " + *refused);
        answers.now(selectErrorLine(*refused));
        return;
    }
    answers.afterEngine([this] { return selectedLine(engine); });
}
