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

namespace {

using WaitClock = std::chrono::steady_clock;

// A consumer that sleeps until the producer has put samples is woken every time: a lost
// wake-up would leave a wait to run out its (long) deadline, reported as false.
TEST(RingBufferWakeUp, AConsumerThatSleepsIsWokenForEveryPutAndLosesNoWakeUp) {
    RingBuffer ring(SampleEncoding::Float32, 4096);
    constexpr std::uint64_t total = 200'000;
    std::atomic<bool> timedOut{false};
    std::thread consumer([&] {
        std::vector<float> scratch(4096);
        for (std::uint64_t read = 0; read < total;) {
            if (!ring.waitForSamples(0, WaitClock::now() + std::chrono::seconds(2))) {
                timedOut = true;
                return;
            }
            read += ring.get(scratch.data(), SampleEncoding::Float32, scratch.size());
        }
    });
    std::mt19937 random(2);
    std::uniform_int_distribution<std::uint64_t> size(1, 200);
    std::vector<float> block(200, 0.5f);
    for (std::uint64_t written = 0; written < total && !timedOut;) {
        const std::uint64_t count = std::min({size(random), total - written, ring.writable()});
        if (count == 0) {
            std::this_thread::yield();
            continue;
        }
        written += ring.put(block.data(), SampleEncoding::Float32, count);
        ring.wakeConsumer();
    }
    consumer.join();
    EXPECT_FALSE(timedOut.load()) << "a wait ran out its deadline although samples had been put";
}

TEST(RingBufferWakeUp, AWaitEndsAtOnceWithEnoughSamplesAndAtItsDeadlineWithout) {
    RingBuffer ring(SampleEncoding::Float32, 4096);
    const std::vector<float> samples(100, 0.25f);
    ring.put(samples.data(), SampleEncoding::Float32, samples.size());
    // More than 99 are there: no sleep, whatever the deadline.
    EXPECT_TRUE(ring.waitForSamples(99, WaitClock::now() + std::chrono::hours(1)));
    // Not more than 100, and nothing is put: the deadline ends the wait.
    const auto start = WaitClock::now();
    EXPECT_FALSE(ring.waitForSamples(100, start + std::chrono::milliseconds(30)));
    EXPECT_GE(WaitClock::now() - start, std::chrono::milliseconds(30));
    // A producer with no consumer asleep gives no wake-up for a later wait to find.
    ring.wakeConsumer();
    EXPECT_FALSE(ring.waitForSamples(100, WaitClock::now() + std::chrono::milliseconds(10)));
}

} // namespace
