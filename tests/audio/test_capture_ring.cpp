// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/capture_ring.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sondeco {
namespace {

// A stereo buffer whose left samples all hold `tag` and whose right samples hold -tag.
std::vector<std::int16_t> taggedBuffer(int tag, int frames = FramesPerBuffer) {
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(frames) * 2);
    for (int n = 0; n < frames; ++n) {
        buffer[2 * static_cast<std::size_t>(n)] = static_cast<std::int16_t>(tag);
        buffer[2 * static_cast<std::size_t>(n) + 1] = static_cast<std::int16_t>(-tag);
    }
    return buffer;
}

TEST(CaptureRing, CompletesOneSlotPerBufferWhateverTheBlockSizes) {
    CaptureRing ring;
    int notifications = 0;
    ring.setSlotCompletedHandler([&] { ++notifications; });
    const auto buffer = taggedBuffer(7, FramesPerBuffer * 2);
    // 3000 + 5000 + 1600 frames: two whole buffers, cut at other places than their edges.
    ring.writeFrames(buffer.data(), 3000, 2);
    EXPECT_EQ(notifications, 0);
    ring.writeFrames(buffer.data() + 6000, 5000, 2);
    EXPECT_EQ(notifications, 1);
    ring.writeFrames(buffer.data() + 16000, 1600, 2);
    EXPECT_EQ(notifications, 2);
    ASSERT_TRUE(ring.hasCompletedSlot());
    EXPECT_EQ(ring.currentSlot()[0], 7);
    EXPECT_EQ(ring.currentSlot()[1], -7);
    EXPECT_EQ(ring.currentSlot()[2 * FramesPerBuffer - 1], -7);
}

TEST(CaptureRing, MonoDeviceBecomesTheLeftChannelAndExtraChannelsAreIgnored) {
    CaptureRing ring;
    std::vector<std::int16_t> mono(FramesPerBuffer, 1234);
    ring.writeFrames(mono.data(), FramesPerBuffer, 1);
    ASSERT_TRUE(ring.hasCompletedSlot());
    EXPECT_EQ(ring.currentSlot()[0], 1234);
    EXPECT_EQ(ring.currentSlot()[1], 0);
    ring.releaseCurrentSlot();

    std::vector<std::int16_t> four(static_cast<std::size_t>(FramesPerBuffer) * 4);
    for (std::size_t i = 0; i < four.size(); ++i) four[i] = static_cast<std::int16_t>(i % 4 + 1);
    ring.writeFrames(four.data(), FramesPerBuffer, 4);
    EXPECT_EQ(ring.currentSlot()[0], 1);
    EXPECT_EQ(ring.currentSlot()[1], 2);
    EXPECT_EQ(ring.currentSlot()[2], 1);
}

TEST(CaptureRing, StaysAlignedOverMoreThanOneTurn) {
    CaptureRing ring;
    for (int buffer = 0; buffer < 3 * CaptureRing::SlotCount + 5; ++buffer) {
        const auto samples = taggedBuffer(buffer);
        ring.writeFrames(samples.data(), FramesPerBuffer, 2);
        ASSERT_TRUE(ring.hasCompletedSlot());
        EXPECT_EQ(ring.captureIndex(), buffer % CaptureRing::SlotCount);
        EXPECT_EQ(ring.currentSlot()[0], buffer);
        ring.releaseCurrentSlot();
        EXPECT_FALSE(ring.hasCompletedSlot());
    }
}

TEST(CaptureRing, DropsAudioAtTheDeviceSideWhenTheWholeRingIsWaiting) {
    CaptureRing ring;
    int notifications = 0;
    ring.setSlotCompletedHandler([&] { ++notifications; });
    for (int buffer = 0; buffer < CaptureRing::SlotCount + 3; ++buffer) {
        const auto samples = taggedBuffer(buffer);
        ring.writeFrames(samples.data(), FramesPerBuffer, 2);
    }
    // Buffers 32..34 found no free slot: dropped, with no notification, nothing overwritten.
    EXPECT_EQ(notifications, CaptureRing::SlotCount);
    EXPECT_EQ(ring.droppedFrames(), 3u * FramesPerBuffer);
    EXPECT_EQ(ring.currentSlot()[0], 0);

    ring.releaseCurrentSlot();  // slot 0 is free again: the next buffer lands there
    const auto next = taggedBuffer(100);
    ring.writeFrames(next.data(), FramesPerBuffer, 2);
    EXPECT_EQ(notifications, CaptureRing::SlotCount + 1);
    for (int expected = 1; expected < CaptureRing::SlotCount; ++expected) {
        ASSERT_TRUE(ring.hasCompletedSlot());
        EXPECT_EQ(ring.currentSlot()[0], expected);
        ring.releaseCurrentSlot();
    }
    ASSERT_TRUE(ring.hasCompletedSlot());
    EXPECT_EQ(ring.captureIndex(), 0);
    EXPECT_EQ(ring.currentSlot()[0], 100);
}

TEST(CaptureRing, ResetStartsOverAtSlotZero) {
    CaptureRing ring;
    const auto samples = taggedBuffer(1, FramesPerBuffer + 100);
    ring.writeFrames(samples.data(), FramesPerBuffer + 100, 2);
    ring.releaseCurrentSlot();
    ring.reset();
    EXPECT_EQ(ring.captureIndex(), 0);
    EXPECT_FALSE(ring.hasCompletedSlot());
    // The 100 frames of the interrupted buffer are gone: a full buffer is needed again.
    ring.writeFrames(samples.data(), FramesPerBuffer - 1, 2);
    EXPECT_FALSE(ring.hasCompletedSlot());
}

TEST(CaptureRing, ProducerThreadAndConsumerSeeEveryBufferOnceAndInOrder) {
    CaptureRing ring;
    constexpr int Buffers = 400;
    std::thread producer([&] {
        for (int buffer = 0; buffer < Buffers; ++buffer) {
            const auto samples = taggedBuffer(buffer, 1200);
            for (int quarter = 0; quarter < 4; ++quarter) ring.writeFrames(samples.data(), 1200, 2);
            std::this_thread::yield();
        }
    });
    int expected = 0;
    int lastSeen = -1;
    while (ring.completedSlots() + ring.droppedFrames() / FramesPerBuffer < Buffers || ring.hasCompletedSlot()) {
        if (!ring.hasCompletedSlot()) {
            std::this_thread::yield();
            continue;
        }
        const int tag = ring.currentSlot()[0];
        EXPECT_GT(tag, lastSeen);  // drops may skip buffers, but order never goes back
        EXPECT_EQ(ring.currentSlot()[2 * FramesPerBuffer - 2], tag);  // never a mix of two buffers
        lastSeen = tag;
        ++expected;
        ring.releaseCurrentSlot();
    }
    producer.join();
    EXPECT_EQ(static_cast<std::uint64_t>(expected), ring.completedSlots());
}

}  // namespace
}  // namespace sondeco
