#include "stream_writer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "logger.h"
#include "standard_stream.h"

namespace {

// Progress is measured per chunk, so that a parent reading slowly is told apart from
// one that does not read at all.
constexpr std::size_t chunkBytes = 16 * 1024;

} // namespace

struct StreamWriter::State {
    struct Item {
        std::string bytes;
        bool library;
        Flush flush;
    };

    explicit State(Sink sink) : sink(std::move(sink)) {}

    const Sink sink;
    std::mutex mutex;
    std::condition_variable work;     // the writer waits for items
    std::condition_variable progress; // finish() waits for chunks written
    std::deque<Item> queue;
    // Queued or taken by the writer and not yet written.
    std::size_t libraryBytes = 0;
    std::size_t protocolBytes = 0;
    std::uint64_t chunksWritten = 0;
    bool finishing = false;
    bool done = false;
};

StreamWriter::StreamWriter(Sink sink, const std::string& streamName, Limits limits)
    : state(std::make_shared<State>(std::move(sink))), limits(limits),
      libraryDropWarning("Main", streamName + "堵塞, 已丢弃网络库日志"),
      protocolDropWarning("Main", streamName + "堵塞, 已丢弃协议行") {
    // The drop warnings log when they are destroyed, so the logger must outlive us.
    Logger::instance();
    // Detached: the thread owns its state, and at the end it may be stuck in a write
    // that only the end of the process can undo. finish() waits for it, with a bound.
    std::thread([s = state] { run(s); }).detach();
}

StreamWriter::~StreamWriter() {
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        if (state->finishing)
            return;
    }
    finish(std::chrono::milliseconds(100), std::chrono::milliseconds(300));
}

void StreamWriter::writeLine(std::string_view text, Flush flush) {
    std::string bytes;
    bytes.reserve(text.size() + 1);
    bytes.append(text);
    bytes.push_back('\n');
    if (!enqueue(std::move(bytes), false, flush)) {
        droppedProtocol.fetch_add(1);
        protocolDropWarning.report();
    }
}

void StreamWriter::writeLibraryEntry(std::string_view entry) {
    if (!enqueue(std::string(entry), true, Flush::Now)) {
        droppedLibrary.fetch_add(1);
        libraryDropWarning.report();
    }
}

bool StreamWriter::enqueue(std::string bytes, bool library, Flush flush) {
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        if (state->finishing)
            return true; // the process is ending; nobody counts these any more
        std::size_t& queued = library ? state->libraryBytes : state->protocolBytes;
        const std::size_t limit = library ? limits.libraryBytes : limits.protocolBytes;
        if (queued + bytes.size() > limit)
            return false;
        queued += bytes.size();
        state->queue.push_back({std::move(bytes), library, flush});
    }
    if (flush == Flush::Now)
        state->work.notify_one();
    return true;
}

void StreamWriter::run(const std::shared_ptr<State>& s) {
    std::string out; // taken from the queue, waiting for a flush
    std::size_t outLibrary = 0;
    std::size_t outProtocol = 0;
    bool broken = false; // the sink failed: nobody reads any more, drop everything
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        s->work.wait(lock, [&] { return !s->queue.empty() || s->finishing; });
        bool flush = s->finishing;
        for (State::Item& item : s->queue) {
            out += item.bytes;
            (item.library ? outLibrary : outProtocol) += item.bytes.size();
            flush = flush || item.flush == Flush::Now;
        }
        s->queue.clear();
        if (flush && !out.empty()) {
            lock.unlock();
            for (std::size_t at = 0; at < out.size(); at += chunkBytes) {
                std::string_view chunk = std::string_view(out).substr(at, chunkBytes);
                broken = broken || !s->sink(chunk);
                std::lock_guard<std::mutex> guard(s->mutex);
                ++s->chunksWritten;
                s->progress.notify_all();
            }
            lock.lock();
            s->libraryBytes -= outLibrary;
            s->protocolBytes -= outProtocol;
            out.clear();
            outLibrary = outProtocol = 0;
        }
        if (s->finishing && s->queue.empty() && out.empty()) {
            s->done = true;
            s->progress.notify_all();
            return;
        }
    }
}

bool StreamWriter::finish(std::chrono::milliseconds stall, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(state->mutex);
    state->finishing = true;
    state->work.notify_one();
    const Clock::time_point end = Clock::now() + limit;
    Clock::time_point lastProgress = Clock::now();
    std::uint64_t chunks = state->chunksWritten;
    while (!state->done) {
        const Clock::time_point giveUp = std::min(end, lastProgress + stall);
        if (Clock::now() >= giveUp)
            return false;
        state->progress.wait_until(lock, giveUp);
        if (state->chunksWritten != chunks) {
            chunks = state->chunksWritten;
            lastProgress = Clock::now();
        }
    }
    return true;
}

StreamWriter& standardOutput() {
    static StreamWriter writer(
        [](std::string_view bytes) { return writeStandardStream(StandardStream::Output, bytes); }, "标准输出", {});
    return writer;
}

StreamWriter& standardError() {
    static StreamWriter writer(
        [](std::string_view bytes) { return writeStandardStream(StandardStream::Error, bytes); }, "标准错误", {});
    return writer;
}

void finishStandardStreams() {
    // Standard output first: it carries the last protocol line.
    standardOutput().finish(std::chrono::milliseconds(100), std::chrono::milliseconds(400));
    standardError().finish(std::chrono::milliseconds(50), std::chrono::milliseconds(100));
}
