#include "ring_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace {

std::vector<float> counting(std::size_t n, float start = 1.0f) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

std::uint64_t putFloats(RingBuffer& ring, const std::vector<float>& v, std::uint64_t padding = 0) {
    return ring.put(v.data(), SampleEncoding::Float32, v.size(), padding);
}

std::vector<float> getFloats(RingBuffer& ring, std::size_t n) {
    std::vector<float> out(n, -7.0f);
    out.resize(ring.get(out.data(), SampleEncoding::Float32, n));
    return out;
}

// Moves both indices of an empty buffer forward by `distance`.
void advance(RingBuffer& ring, std::uint64_t distance) {
    for (std::uint64_t left = distance; left > 0;) {
        const std::uint64_t step = std::min<std::uint64_t>(left, 32);
        ASSERT_EQ(ring.put(nullptr, SampleEncoding::Float32, 0, step), step);
        ASSERT_EQ(ring.discard(step), step);
        left -= step;
    }
}

} // namespace

TEST(RingBufferConstruction, CapacityAndInitialCounts) {
    // Shared between the audio and the sender thread, as the process makes it; its two
    // indices sit on cache lines of their own only if the instance itself is aligned.
    const auto shared = std::make_shared<RingBuffer>(SampleEncoding::Float32, 264600);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(shared.get()) % 64, 0u);
    const RingBuffer& six = *shared;
    EXPECT_EQ(six.capacity(), 264600u);
    EXPECT_EQ(six.encoding(), SampleEncoding::Float32);
    EXPECT_EQ(six.readable(), 0u);
    EXPECT_EQ(six.writable(), 264596u);

    RingBuffer small(SampleEncoding::Pcm16, 10);
    EXPECT_EQ(small.capacity(), 64u);
    EXPECT_EQ(small.writable(), 60u);
    EXPECT_EQ(RingBuffer(SampleEncoding::Float32, 0).capacity(), 64u);
}

TEST(RingBufferConstruction, RejectsCapacitiesItCannotServe) {
    EXPECT_THROW(RingBuffer(SampleEncoding::Float32, std::uint64_t{1} << 32), std::length_error);
    EXPECT_THROW(RingBuffer(SampleEncoding::Float32, ~std::uint64_t{0}), std::length_error);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer allocators abort instead of throwing std::bad_alloc";
#endif
    // 2^32 - 1 slots of 65535 bytes cannot be allocated anywhere.
    EXPECT_THROW(RingBuffer(static_cast<SampleEncoding>(0xFFFF0001u), (std::uint64_t{1} << 32) - 1),
                 std::bad_alloc);
}

TEST(RingBufferPut, OverfillStoresOnlyWhatFits) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    const auto data = counting(100);
    EXPECT_EQ(putFloats(ring, data), 60u);
    EXPECT_EQ(ring.writable(), 0u);
    EXPECT_EQ(ring.readable(), 60u);
    EXPECT_EQ(putFloats(ring, data), 0u);
    EXPECT_EQ(getFloats(ring, 100), counting(60));
}

TEST(RingBufferPut, PaddingFollowsSamplesAndIsCutToFreeSpace) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    EXPECT_EQ(putFloats(ring, counting(10), 5), 15u);
    auto expected = counting(10);
    expected.resize(15, 0.0f);
    EXPECT_EQ(getFloats(ring, 64), expected);

    RingBuffer nearlyFull(SampleEncoding::Float32, 64);
    EXPECT_EQ(putFloats(nearlyFull, counting(57), 10), 60u);
    EXPECT_EQ(nearlyFull.readable(), 60u);
    expected = counting(57);
    expected.resize(60, 0.0f);
    EXPECT_EQ(getFloats(nearlyFull, 64), expected);
}

TEST(RingBufferPut, PaddingClearsStaleSlotsAcrossTheEnd) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    EXPECT_EQ(putFloats(ring, std::vector<float>(60, 5.0f)), 60u);
    EXPECT_EQ(ring.discard(60), 60u);
    EXPECT_EQ(putFloats(ring, std::vector<float>(60, 5.0f)), 60u); // stale data everywhere
    EXPECT_EQ(ring.discard(60), 60u);
    EXPECT_EQ(ring.put(nullptr, SampleEncoding::Float32, 0, 10), 10u);
    EXPECT_EQ(getFloats(ring, 10), std::vector<float>(10, 0.0f));
}

TEST(RingBufferWrap, PutAndGetAcrossTheEndKeepOrder) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    advance(ring, 61);
    EXPECT_EQ(putFloats(ring, counting(10)), 10u);
    EXPECT_EQ(ring.readable(), 10u);
    EXPECT_EQ(ring.writable(), 50u);
    EXPECT_EQ(getFloats(ring, 2), counting(2));
    EXPECT_EQ(getFloats(ring, 8), counting(8, 3.0f)); // starts at 63, ends past the wrap
    EXPECT_EQ(ring.readable(), 0u);

    // Fill to the brim starting just before the end, then drain in uneven pieces.
    advance(ring, 62 - 7); // the indices stand at 7 now
    EXPECT_EQ(putFloats(ring, counting(60)), 60u);
    std::vector<float> drained;
    for (const std::size_t n : {7, 1, 31, 64}) {
        const auto part = getFloats(ring, n);
        drained.insert(drained.end(), part.begin(), part.end());
    }
    EXPECT_EQ(drained, counting(60));
}

TEST(RingBufferWrap, ConvertsOnTheWayInAndOut) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    advance(ring, 60);
    const std::vector<std::int16_t> in{16384, -32768, 1, 0, -16384, 8192};
    EXPECT_EQ(ring.put(in.data(), SampleEncoding::Pcm16, in.size()), in.size());
    EXPECT_EQ(getFloats(ring, 2), (std::vector<float>{0.5f, -1.0f}));

    const float step = 1.0f / 32768.0f;
    const std::vector<float> loud{2.0f, 2.5f * step, -3.0f};
    EXPECT_EQ(putFloats(ring, loud), 3u);
    std::vector<std::int16_t> out(9, 77);
    EXPECT_EQ(ring.get(out.data(), SampleEncoding::Pcm16, 9), 7u);
    EXPECT_EQ(out, (std::vector<std::int16_t>{1, 0, -16384, 8192, 32767, 2, -32768, 77, 77}));
}

TEST(RingBufferWrap, IndicesMoveEvenWhenNothingCanBeConverted) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    const std::vector<std::uint32_t> junk(5, 1);
    EXPECT_EQ(ring.put(junk.data(), static_cast<SampleEncoding>(0x00040002), 5), 5u);
    EXPECT_EQ(ring.readable(), 5u);
    std::vector<std::uint32_t> out(5, 3);
    EXPECT_EQ(ring.get(out.data(), static_cast<SampleEncoding>(0x00040002), 5), 5u);
    EXPECT_EQ(out, std::vector<std::uint32_t>(5, 3));
    EXPECT_EQ(ring.readable(), 0u);
}

TEST(RingBufferGet, PartialReadLeavesRestOfDestinationUntouched) {
    RingBuffer ring(SampleEncoding::Float32, 264600);
    EXPECT_EQ(putFloats(ring, counting(100)), 100u);
    std::vector<float> out(512, -7.0f);
    EXPECT_EQ(ring.get(out.data(), SampleEncoding::Float32, 512), 100u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 100), counting(100));
    EXPECT_EQ(std::vector<float>(out.begin() + 100, out.end()), std::vector<float>(412, -7.0f));
    EXPECT_EQ(ring.get(out.data(), SampleEncoding::Float32, 512), 0u);
}

TEST(RingBufferDiscard, DropsAtMostWhatIsReadable) {
    RingBuffer ring(SampleEncoding::Float32, 64);
    EXPECT_EQ(ring.discard(10), 0u);
    advance(ring, 50);
    EXPECT_EQ(putFloats(ring, counting(30)), 30u);
    EXPECT_EQ(ring.discard(20), 20u); // crosses the end of the storage
    EXPECT_EQ(getFloats(ring, 3), counting(3, 21.0f));
    EXPECT_EQ(ring.discard(1000), 7u);
    EXPECT_EQ(ring.readable(), 0u);
    EXPECT_EQ(ring.writable(), 60u);
}
