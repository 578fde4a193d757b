#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sample_encoding.h"

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

    std::uint64_t capacity() const { return capacity_; }
    SampleEncoding encoding() const { return encoding_; }

private:
    unsigned char* slot(std::uint64_t index) const;

    alignas(64) std::atomic<std::uint64_t> readIndex{0};
    alignas(64) std::atomic<std::uint64_t> writeIndex{0};
    alignas(64) const std::uint64_t capacity_;
    const SampleEncoding encoding_;
    std::unique_ptr<unsigned char[]> storage;
};
