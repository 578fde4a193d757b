#include "ring_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

// Floats hold every integer below 2^24 exactly, so the sequence stays unambiguous.
constexpr std::uint64_t totalSamples = 16'000'000;
constexpr auto deadline = std::chrono::seconds(90);

struct Outcome {
    std::uint64_t delivered = 0;
    std::uint64_t dropped = 0;
    std::uint64_t firstMismatchAt = ~std::uint64_t{0};
    float firstMismatchValue = 0.0f;
};

void produce(RingBuffer& ring, const std::atomic<bool>& stop, std::uint64_t& shortPuts) {
    std::mt19937 random(1);
    std::uniform_int_distribution<std::uint64_t> size(1, 300);
    std::vector<float> block(300);
    std::uint64_t next = 0;
    while (next < totalSamples && !stop.load(std::memory_order_relaxed)) {
        const std::uint64_t want = std::min(size(random), totalSamples - next);
        for (std::uint64_t i = 0; i < want; ++i) {
            block[i] = static_cast<float>(next + i);
        }
        const std::uint64_t room = ring.writable();
        const std::uint64_t put = ring.put(block.data(), SampleEncoding::Float32, want);
        // The consumer can only free slots, so a put never does less than the room seen before.
        shortPuts += put < std::min(want, room);
        next += put;
        if (put < want) {
            std::this_thread::yield();
        }
    }
}

Outcome consume(RingBuffer& ring, const std::atomic<bool>& stop) {
    std::mt19937 random(2);
    std::uniform_int_distribution<std::uint64_t> size(1, 700);
    std::uniform_int_distribution<int> action(0, 99);
    std::vector<float> block(700);
    Outcome outcome;
    std::uint64_t expected = 0;
    while (expected < totalSamples && !stop.load(std::memory_order_relaxed)) {
        if (action(random) == 0) {
            const std::uint64_t dropped = ring.discard(size(random) / 8);
            expected += dropped;
            outcome.dropped += dropped;
            continue;
        }
        const std::uint64_t got = ring.get(block.data(), SampleEncoding::Float32, size(random));
        for (std::uint64_t i = 0; i < got; ++i) {
            if (block[i] != static_cast<float>(expected + i) && outcome.firstMismatchAt == ~std::uint64_t{0}) {
                outcome.firstMismatchAt = expected + i;
                outcome.firstMismatchValue = block[i];
            }
        }
        expected += got;
        outcome.delivered += got;
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    return outcome;
}

} // namespace

TEST(RingBufferConcurrency, ProducerAndConsumerPassEverySampleOnceInOrder) {
    // A small odd capacity wraps thousands of times and hits full and empty often.
    RingBuffer ring(SampleEncoding::Float32, 1031);
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::uint64_t shortPuts = 0;
    Outcome outcome;

    std::thread watchdog([&] {
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (!finished.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop.store(true);
    });
    std::thread producer([&] { produce(ring, stop, shortPuts); });
    outcome = consume(ring, stop);
    producer.join();
    const bool timedOut = stop.load();
    finished.store(true);
    watchdog.join();

    ASSERT_FALSE(timedOut) << "stream did not complete in time; delivered " << outcome.delivered;
    EXPECT_EQ(outcome.firstMismatchAt, ~std::uint64_t{0})
        << "sample " << outcome.firstMismatchAt << " arrived as " << outcome.firstMismatchValue;
    EXPECT_EQ(outcome.delivered + outcome.dropped, totalSamples);
    EXPECT_GT(outcome.delivered, totalSamples / 2);
    EXPECT_EQ(shortPuts, 0u);
    EXPECT_EQ(ring.readable(), 0u);
    EXPECT_EQ(ring.writable(), ring.capacity() - 4);
}
