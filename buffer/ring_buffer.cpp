#include "ring_buffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::uint64_t minimumCapacity = 64;
constexpr std::uint64_t reserve = 4;
// convertSamples counts in 32 bits, and one piece may span the whole storage.
constexpr std::uint64_t capacityLimit = std::uint64_t{1} << 32;

std::uint64_t checkedCapacity(std::uint64_t requested) {
    const std::uint64_t capacity = std::max(requested, minimumCapacity);
    if (capacity >= capacityLimit) {
        throw std::length_error("ring buffer capacity must stay below 2^32 samples");
    }
    return capacity;
}

std::uint64_t filled(std::uint64_t capacity, std::uint64_t read, std::uint64_t write) {
    return (capacity - read + write) % capacity;
}

std::uint64_t freeSlots(std::uint64_t capacity, std::uint64_t read, std::uint64_t write) {
    return std::max(capacity - filled(capacity, read, write), reserve) - reserve;
}

} // namespace

RingBuffer::RingBuffer(SampleEncoding encoding, std::uint64_t requestedCapacity)
    : capacity_(checkedCapacity(requestedCapacity)), encoding_(encoding),
      // Left uncleared on purpose: only the filled region is ever read.
      storage(std::make_unique_for_overwrite<unsigned char[]>(capacity_ * bytesPerSample(encoding))) {}

std::uint64_t RingBuffer::readable() const {
    const std::uint64_t read = readIndex.load(std::memory_order_relaxed);
    const std::uint64_t write = writeIndex.load(std::memory_order_acquire);
    return filled(capacity_, read, write);
}

std::uint64_t RingBuffer::writable() const {
    const std::uint64_t write = writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t read = readIndex.load(std::memory_order_acquire);
    return freeSlots(capacity_, read, write);
}

unsigned char* RingBuffer::slot(std::uint64_t index) const {
    return storage.get() + index * bytesPerSample(encoding_);
}

std::uint64_t RingBuffer::put(const void* source, SampleEncoding sourceEncoding, std::uint64_t count,
                              std::uint64_t padding) {
    std::uint64_t write = writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t read = readIndex.load(std::memory_order_acquire);
    const std::uint64_t free = freeSlots(capacity_, read, write);
    const std::uint64_t samples = std::min(count, free);
    const std::uint64_t zeros = std::min(padding, free - samples);
    if (samples + zeros == 0) {
        return 0;
    }

    const auto* from = static_cast<const unsigned char*>(source);
    for (std::uint64_t left = samples; left > 0;) {
        const std::uint64_t piece = std::min(capacity_ - write, left);
        convertSamples(from, sourceEncoding, slot(write), encoding_, static_cast<std::uint32_t>(piece),
                       DitherMode::Off, 1, 1);
        from += piece * bytesPerSample(sourceEncoding);
        write = (write + piece) % capacity_;
        left -= piece;
    }
    for (std::uint64_t left = zeros; left > 0;) {
        const std::uint64_t piece = std::min(capacity_ - write, left);
        std::memset(slot(write), 0, piece * bytesPerSample(encoding_));
        write = (write + piece) % capacity_;
        left -= piece;
    }

    writeIndex.store(write, std::memory_order_release);
    return samples + zeros;
}

std::uint64_t RingBuffer::get(void* destination, SampleEncoding destinationEncoding, std::uint64_t count) {
    std::uint64_t read = readIndex.load(std::memory_order_relaxed);
    const std::uint64_t write = writeIndex.load(std::memory_order_acquire);
    const std::uint64_t samples = std::min(count, filled(capacity_, read, write));
    if (samples == 0) {
        return 0;
    }

    auto* to = static_cast<unsigned char*>(destination);
    for (std::uint64_t left = samples; left > 0;) {
        const std::uint64_t piece = std::min(capacity_ - read, left);
        convertSamples(slot(read), encoding_, to, destinationEncoding, static_cast<std::uint32_t>(piece),
                       DitherMode::Off, 1, 1);
        to += piece * bytesPerSample(destinationEncoding);
        read = (read + piece) % capacity_;
        left -= piece;
    }

    readIndex.store(read, std::memory_order_release);
    return samples;
}

std::uint64_t RingBuffer::discard(std::uint64_t count) {
    const std::uint64_t read = readIndex.load(std::memory_order_relaxed);
    const std::uint64_t write = writeIndex.load(std::memory_order_acquire);
    const std::uint64_t samples = std::min(count, filled(capacity_, read, write));
    if (samples == 0) {
        return 0;
    }
    readIndex.store((read + samples) % capacity_, std::memory_order_release);
    return samples;
}

// The two fences pair up: either the consumer, having said it sleeps, sees the samples
// just put, or the producer sees that it sleeps and wakes it.
void RingBuffer::wakeConsumer() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (consumerSleeps.load(std::memory_order_relaxed) && consumerSleeps.exchange(false))
        wakeUp.give();
}

bool RingBuffer::waitForSamples(std::uint64_t count, WakeUp::Clock::time_point deadline) {
    consumerSleeps.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const bool woken = readable() > count || wakeUp.waitUntil(deadline);
    consumerSleeps.store(false, std::memory_order_relaxed);
    return woken;
}
