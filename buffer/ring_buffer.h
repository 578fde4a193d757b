#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "sample_encoding.h"
#include "wake_up.h"

// Lock-free single-producer single-consumer sample queue. The producer calls writable
// and put, the consumer readable, get and discard. Four slots always stay free so that
// full and empty differ. Nothing allocates after construction.
class alignas(64) RingBuffer {
public:
    RingBuffer(SampleEncoding encoding, std::uint64_t requestedCapacity);
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    std::uint64_t readable() const;
    std::uint64_t writable() const;
    // Copies up to count samples in, then up to padding zero samples; returns both together.
    std::uint64_t put(const void* source, SampleEncoding sourceEncoding, std::uint64_t count,
                      std::uint64_t padding = 0);
    // Copies up to count samples out; destination slots past the result are untouched.
    std::uint64_t get(void* destination, SampleEncoding destinationEncoding, std::uint64_t count);
    std::uint64_t discard(std::uint64_t count);

    // The producer, after put: wakes the consumer if it sleeps in waitForSamples. While
    // it does not, this is a memory fence and an atomic load; when it does, one WakeUp
    // (no lock, no allocation, one system call that does not block).
    void wakeConsumer();
    // The consumer: sleeps until more than `count` samples are readable, the producer
    // has put samples since (a wake-up may come with fewer), or the deadline has passed;
    // false in the last case.
    bool waitForSamples(std::uint64_t count, WakeUp::Clock::time_point deadline);

    std::uint64_t capacity() const { return capacity_; }
    SampleEncoding encoding() const { return encoding_; }

private:
    unsigned char* slot(std::uint64_t index) const;

    alignas(64) std::atomic<std::uint64_t> readIndex{0};
    alignas(64) std::atomic<std::uint64_t> writeIndex{0};
    alignas(64) const std::uint64_t capacity_;
    const SampleEncoding encoding_;
    std::unique_ptr<unsigned char[]> storage;
    std::atomic<bool> consumerSleeps{false};
    WakeUp wakeUp;
};
