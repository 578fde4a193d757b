#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "repeated_warning.h"

// Whether a line must reach the parent at once or may wait for the next line that does.
enum class Flush { Now, Later };

// One writer thread per standard stream, so that no other thread ever waits on a
// parent that reads slowly or not at all: the control loop, the network thread and the
// sender keep running, and "exit" and signals are still taken.
//
// Two kinds of text go through it, in the order they were handed in:
// - protocol lines, which are never dropped as long as the parent leaves less than
//   Limits::protocolBytes of them unread (beyond that it is not reading at all, and
//   later lines are dropped and counted);
// - the WebSocket library's log entries, which are dropped and counted while more than
//   Limits::libraryBytes of them wait.
// Each entry is written whole by the one writer thread; drops are logged once per
// burst (RepeatedWarning).
class StreamWriter {
public:
    // Writes all the bytes or fails for good (false); may block for as long as it likes.
    using Sink = std::function<bool(std::string_view)>;
    struct Limits {
        std::size_t libraryBytes = 256 * 1024;
        std::size_t protocolBytes = 16 * 1024 * 1024;
    };

    // streamName names the stream in the log's drop warnings ("标准输出").
    StreamWriter(Sink sink, const std::string& streamName, Limits limits);
    // finish() with a short grace, unless it already ran.
    ~StreamWriter();
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    // text plus a line feed.
    void writeLine(std::string_view text, Flush flush);
    // A whole entry, line feeds included; always flushed.
    void writeLibraryEntry(std::string_view entry);

    // Writes what is queued (unflushed lines included) and ends the writer thread.
    // Gives up when the sink made no progress for `stall` or after `limit` in all,
    // leaving the thread to the end of the process; true when everything was written.
    // Later writes are ignored.
    bool finish(std::chrono::milliseconds stall, std::chrono::milliseconds limit);

    std::uint64_t droppedLibraryEntries() const { return droppedLibrary.load(); }
    std::uint64_t droppedProtocolLines() const { return droppedProtocol.load(); }

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);
    // False when the text was dropped.
    bool enqueue(std::string bytes, bool library, Flush flush);

    std::shared_ptr<State> state;
    const Limits limits;
    std::atomic<std::uint64_t> droppedLibrary{0};
    std::atomic<std::uint64_t> droppedProtocol{0};
    RepeatedWarning libraryDropWarning;
    RepeatedWarning protocolDropWarning;
};

// The process's standard output and standard error (the latter carries only the
// library's error log).
StreamWriter& standardOutput();
StreamWriter& standardError();

// At the end of main: a parent that reads gets everything, one that does not costs
// at most a fraction of a second.
void finishStandardStreams();
