#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

class RingBuffer;

// What the capture callback shares with the main thread, without anything of the
// sound libraries: where it delivers, and what it counts.

// Where the capture callback delivers. Replaced by the main thread on "connected" and
// "disconnected" while the callback may read it: the callback reads the raw pointer
// once per call; the shared reference keeps the ring alive while it is published.
class OutputRing {
public:
    void set(std::shared_ptr<RingBuffer> ring) {
        // The previous ring stays referenced until the new pointer is visible.
        std::shared_ptr<RingBuffer> previous = std::exchange(owner, std::move(ring));
        published.store(owner.get(), std::memory_order_release);
    }
    void reset() {
        published.store(nullptr, std::memory_order_release);
        owner.reset();
    }
    RingBuffer* load() const { return published.load(std::memory_order_acquire); }
    explicit operator bool() const { return load() != nullptr; }

private:
    std::shared_ptr<RingBuffer> owner;
    std::atomic<RingBuffer*> published{nullptr};
};

// What the capture callback runs into but must not log itself (logging takes a lock and
// writes a file): counted on the audio thread, logged by the main thread. calls counts
// every callback; it is how the engine notices a stream that stopped delivering. frames
// counts what they brought, at the stream's rate; against the clock it shows input that
// was lost before it reached the callback.
struct CallbackEvents {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> inputOverflows{0};
    std::atomic<std::uint64_t> inputUnderflows{0};
    std::atomic<std::uint64_t> ringOverflows{0};
};

// What a capture stream writes, and nothing else of its owner: the level meter's fields,
// where it delivers, what its callback counts, and the flag that says it runs. The
// callback writes the meter, the ring and the counts; the stream's end clears running.
struct CaptureTargets {
    std::atomic<float>& level;
    float& sumSquares;
    std::int32_t& sampleCount;
    const OutputRing& outputRing;
    CallbackEvents& events;
    std::atomic<bool>& running;
};
