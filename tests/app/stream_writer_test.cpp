#include "stream_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Stands for the parent's end of the pipe: records what arrives, and can stop reading
// (the sink then blocks, as a write to a full pipe does) or go away (the sink fails).
// Shared with the writer's thread, which may outlive the test when a finish gives up.
struct Parent {
    std::mutex mutex;
    std::condition_variable changed;
    std::string received;
    std::size_t chunks = 0;
    bool reading = true;
    bool gone = false;
    std::chrono::milliseconds perChunk{0};

    StreamWriter::Sink sink(const std::shared_ptr<Parent>& self) {
        return [self](std::string_view bytes) {
            if (self->perChunk.count() > 0)
                std::this_thread::sleep_for(self->perChunk);
            std::unique_lock<std::mutex> lock(self->mutex);
            self->changed.wait(lock, [&] { return self->reading || self->gone; });
            if (self->gone)
                return false;
            self->received.append(bytes);
            ++self->chunks;
            self->changed.notify_all();
            return true;
        };
    }
    void setReading(bool value) {
        std::lock_guard<std::mutex> guard(mutex);
        reading = value;
        changed.notify_all();
    }
    void leave() {
        std::lock_guard<std::mutex> guard(mutex);
        gone = true;
        changed.notify_all();
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return received.find(text) != std::string::npos; });
    }
    std::string text() {
        std::lock_guard<std::mutex> guard(mutex);
        return received;
    }
};

class StreamWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        logPath =
            std::filesystem::temp_directory_path() / ("stream_writer_test_" + std::to_string(::getpid()) + ".log");
        Logger::instance().openFile(logPath.string());
    }
    void TearDown() override {
        // Whatever a test left blocked may run on now and end.
        parent->leave();
        Logger::instance().openFile((logPath.string() + ".closing"));
        std::filesystem::remove(logPath);
        std::filesystem::remove(logPath.string() + ".closing");
    }
    std::unique_ptr<StreamWriter> makeWriter(StreamWriter::Limits limits = {}) {
        return std::make_unique<StreamWriter>(parent->sink(parent), "标准输出", limits);
    }
    std::string logText() {
        Logger::instance().flush();
        std::ifstream in(logPath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::filesystem::path logPath;
};

} // namespace

TEST_F(StreamWriterTest, LinesAndEntriesArriveWholeInTheOrderTheyWereWritten) {
    auto writer = makeWriter();
    writer->writeLine("{ \"port\": 4000 }", Flush::Now);
    writer->writeLibraryEntry("[t] [connect] x\n");
    writer->writeLine("Getting command: bogus", Flush::Now);
    writer->writeLine("Unrecognisable command bogus", Flush::Later);
    writer->writeLibraryEntry("[t] [frame_header] Header Bytes: \n[0] (4) 82 7E 08 00 \n\n");
    writer->writeLine("Getting command: hide", Flush::Now);
    ASSERT_TRUE(parent->waitFor("Getting command: hide\n"));
    EXPECT_EQ(parent->text(), "{ \"port\": 4000 }\n[t] [connect] x\nGetting command: bogus\n"
                              "Unrecognisable command bogus\n[t] [frame_header] Header Bytes: \n"
                              "[0] (4) 82 7E 08 00 \n\nGetting command: hide\n");
}

TEST_F(StreamWriterTest, AnUnflushedLineWaitsForTheNextFlushOrTheEnd) {
    auto writer = makeWriter();
    writer->writeLine("Unrecognisable command a", Flush::Later);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(parent->text(), "");
    writer->writeLine("Getting command: b", Flush::Now);
    ASSERT_TRUE(parent->waitFor("Getting command: b\n"));
    EXPECT_EQ(parent->text(), "Unrecognisable command a\nGetting command: b\n");

    writer->writeLine("Unrecognisable command b", Flush::Later);
    EXPECT_TRUE(writer->finish(1s, 5s));
    EXPECT_TRUE(parent->text().ends_with("Unrecognisable command b\n"));
}

// The parent stops reading: nobody who writes may wait for it. Library entries beyond
// the bound are dropped and counted, protocol lines are all kept, and once the parent
// reads again everything kept arrives, in order.
TEST_F(StreamWriterTest, AParentThatStopsReadingHoldsUpNoWriterAndLosesNoProtocolLine) {
    auto writer = makeWriter({.libraryBytes = 4096, .protocolBytes = 1 << 20});
    parent->setReading(false);
    const std::string entry = "[t] [frame_header] Dispatching write containing 5 message(s)\n"; // 61 bytes
    std::vector<std::thread> servers;
    const auto began = Clock::now();
    for (int t = 0; t < 2; ++t)
        servers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                writer->writeLibraryEntry(entry);
        });
    for (int i = 0; i < 500; ++i)
        writer->writeLine("Getting command: c" + std::to_string(i), i % 2 ? Flush::Later : Flush::Now);
    for (auto& server : servers)
        server.join();
    EXPECT_LT(Clock::now() - began, 2s) << "a writer waited for the parent";
    EXPECT_GT(writer->droppedLibraryEntries(), 3900u);
    EXPECT_EQ(writer->droppedProtocolLines(), 0u);

    parent->setReading(true);
    writer->writeLine("Getting command: last", Flush::Now);
    ASSERT_TRUE(parent->waitFor("Getting command: last\n"));
    std::istringstream lines(parent->text());
    std::string line;
    int next = 0;
    std::size_t entries = 0;
    while (std::getline(lines, line)) {
        if (line + "\n" == entry) {
            ++entries;
        } else if (line != "Getting command: last") {
            ASSERT_EQ(line, "Getting command: c" + std::to_string(next)) << "lost or reordered";
            ++next;
        }
    }
    EXPECT_EQ(next, 500);
    EXPECT_EQ(entries + writer->droppedLibraryEntries(), 4000u);
    EXPECT_LE(entries * entry.size(), 2 * 4096u);

    // One warning for the burst, not one per dropped entry.
    const std::string log = logText();
    const std::string warning = "[WARN] <Main> 标准输出堵塞, 已丢弃网络库日志\n";
    ASSERT_NE(log.find(warning), std::string::npos) << log;
    EXPECT_EQ(log.find(warning), log.rfind(warning));
}

TEST_F(StreamWriterTest, ProtocolLinesBeyondTheirBoundAreDroppedAndCounted) {
    auto writer = makeWriter({.libraryBytes = 4096, .protocolBytes = 1000});
    parent->setReading(false);
    for (int i = 0; i < 100; ++i)
        writer->writeLine(std::string(90, 'p'), Flush::Now); // 91 bytes each
    // Ten fit, counting the one the writer is stuck on.
    EXPECT_EQ(writer->droppedProtocolLines(), 90u);
    EXPECT_NE(logText().find("[WARN] <Main> 标准输出堵塞, 已丢弃协议行\n"), std::string::npos);
}

TEST_F(StreamWriterTest, FinishGivesUpOnAParentThatDoesNotRead) {
    auto writer = makeWriter();
    parent->setReading(false);
    writer->writeLine("{ \"event\": \"hidden\" }", Flush::Now);
    const auto began = Clock::now();
    EXPECT_FALSE(writer->finish(100ms, 2s));
    const auto took = Clock::now() - began;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 1s);
    writer->writeLine("after the end", Flush::Now); // ignored, and does not block
    writer.reset();                                 // nor does destroying it
}

TEST_F(StreamWriterTest, FinishWaitsForAParentThatReadsSlowly) {
    auto writer = makeWriter();
    parent->perChunk = 30ms;
    const std::string entry(1000, 'x');
    for (int i = 0; i < 150; ++i) // about ten chunks, 300 ms in all
        writer->writeLine(entry, Flush::Later);
    EXPECT_TRUE(writer->finish(200ms, 5s));
    EXPECT_EQ(parent->text().size(), 150 * (entry.size() + 1));
}

TEST_F(StreamWriterTest, AParentThatWentAwayCostsNothing) {
    auto writer = makeWriter();
    parent->leave();
    writer->writeLine("lost", Flush::Now);
    for (int i = 0; i < 1000; ++i)
        writer->writeLibraryEntry("[t] [connect] x\n");
    const auto began = Clock::now();
    EXPECT_TRUE(writer->finish(100ms, 2s));
    EXPECT_LT(Clock::now() - began, 1s);
}
