#include "command_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

TEST(CommandQueue, FifoOrderEmptyEntriesAndEmptyPop) {
    CommandQueue queue;
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.tryPop(), "");
    EXPECT_TRUE(queue.empty());

    // The reader's buffer is reused for the next read: an entry keeps its own text.
    std::string line = "show";
    queue.push(line);
    line = "changed";
    queue.push("");
    queue.push("hide");
    queue.push("exit");
    EXPECT_FALSE(queue.empty());
    EXPECT_EQ(queue.tryPop(), "show");
    EXPECT_FALSE(queue.empty()); // the empty string is an entry of its own
    EXPECT_EQ(queue.tryPop(), "");
    EXPECT_EQ(queue.tryPop(), "hide");
    EXPECT_EQ(queue.tryPop(), "exit");
    EXPECT_TRUE(queue.empty());

    // Entries the control loop never took go with the queue (LeakSanitizer checks).
    for (int i = 0; i < 1000; ++i)
        queue.push(std::string(100, 'x'));
}

// Producers on other threads while the consumer polls like the control loop:
// every command arrives exactly once and each producer's commands stay in order.
TEST(CommandQueue, ConcurrentProducersLoseAndDuplicateNothing) {
    constexpr int producers = 4;
    constexpr int perProducer = 20000;
    CommandQueue queue;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i)
                queue.push(std::to_string(p) + ":" + std::to_string(i));
            finished.fetch_add(1);
        });
    }

    std::vector<int> nextExpected(producers, 0);
    int received = 0;
    bool orderBroken = false;
    auto drain = [&] {
        while (!queue.empty()) {
            std::string entry = queue.tryPop();
            auto colon = entry.find(':');
            int p = std::stoi(entry.substr(0, colon));
            int i = std::stoi(entry.substr(colon + 1));
            if (i != nextExpected[p])
                orderBroken = true;
            nextExpected[p] = i + 1;
            ++received;
        }
    };
    while (finished.load() < producers)
        drain();
    drain();
    for (auto& t : threads)
        t.join();

    EXPECT_FALSE(orderBroken);
    EXPECT_EQ(received, producers * perProducer);
    for (int p = 0; p < producers; ++p)
        EXPECT_EQ(nextExpected[p], perProducer);
    EXPECT_EQ(queue.tryPop(), "");
}

// The bound that producers which can wait hold back at: full at either limit, drained
// below half of both. Pushing past it still works; nothing is ever refused.
TEST(CommandQueue, FullAtEitherBoundAndDrainedBelowHalfOfBoth) {
    CommandQueue queue;
    EXPECT_FALSE(queue.full());
    EXPECT_TRUE(queue.drained());
    for (std::size_t i = 0; i + 1 < CommandQueue::maxEntries; ++i)
        queue.push("c");
    EXPECT_FALSE(queue.full());
    queue.push("c");
    EXPECT_TRUE(queue.full());
    queue.push("over the bound");
    EXPECT_TRUE(queue.full());
    while (!queue.drained())
        queue.tryPop();
    EXPECT_FALSE(queue.full());
    std::size_t left = 0;
    while (!queue.empty()) {
        queue.tryPop();
        ++left;
    }
    EXPECT_EQ(left, CommandQueue::maxEntries / 2 - 1);

    // Few but large entries.
    const std::string big(CommandQueue::maxBytes / 4, 'x');
    for (int i = 0; i < 3; ++i)
        queue.push(big);
    EXPECT_FALSE(queue.full());
    EXPECT_FALSE(queue.drained());
    queue.push(big);
    EXPECT_TRUE(queue.full());
    queue.tryPop();
    queue.tryPop();
    EXPECT_FALSE(queue.drained()); // exactly half is not below half
    queue.tryPop();
    EXPECT_TRUE(queue.drained());
}
