// SPDX-License-Identifier: GPL-3.0-or-later
// The capture hand-off as the program uses it: the audio thread fills the ring and posts one call per
// completed buffer to the main thread, which takes the buffer at its capture index. Here the posting is a
// plain mutex-guarded queue standing in for the GUI's event queue, so that ThreadSanitizer (which cannot
// see inside the uninstrumented GUI library) checks every access of the ring itself.
#include "audio/capture_ring.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sondeco {
namespace {

class MainThreadQueue {
public:
    void post(std::function<void()> call) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(std::move(call));
        }
        ready_.notify_one();
    }
    // Runs queued calls until `done`; false if nothing arrives for a second.
    bool runUntil(const std::function<bool()>& done) {
        while (!done()) {
            std::function<void()> call;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!ready_.wait_for(lock, std::chrono::seconds(1), [this] { return !calls_.empty(); })) return false;
                call = std::move(calls_.front());
                calls_.pop_front();
            }
            call();
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> calls_;
};

TEST(CaptureHandOff, EveryBufferReachesTheMainThreadOnceAndInOrder) {
    CaptureRing ring;
    MainThreadQueue mainThread;
    std::vector<int> handled;
    int notifications = 0;
    ring.setSlotCompletedHandler([&] {
        mainThread.post([&] {
            ++notifications;
            if (!ring.hasCompletedSlot()) return;  // taken by an earlier call already
            // Every sample of the slot, as processCaptureBuffer converts them.
            const CaptureRing::Slot& slot = ring.currentSlot();
            const int tag = slot[0];
            for (std::size_t n = 0; n < slot.size(); ++n) ASSERT_EQ(slot[n], tag);
            handled.push_back(tag);
            ring.releaseCurrentSlot();
        });
    });

    constexpr int Buffers = 300;
    std::thread audioThread([&] {
        std::vector<std::int16_t> buffer(SamplesPerBuffer);
        for (int n = 0; n < Buffers; ++n) {
            std::fill(buffer.begin(), buffer.end(), static_cast<std::int16_t>(n));
            // Blocks of another size than the buffers, as sound cards deliver them.
            for (int done = 0; done < FramesPerBuffer; done += 1600)
                ring.writeFrames(buffer.data() + 2 * done, std::min(1600, FramesPerBuffer - done), 2);
            if (n % 40 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    // The main thread falls behind now and then, as a busy GUI does.
    std::size_t slowDowns = 0;
    mainThread.runUntil([&] {
        if (++slowDowns % 97 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ring.completedSlots() + ring.droppedFrames() / FramesPerBuffer == Buffers &&
               notifications == static_cast<int>(ring.completedSlots());
    });
    audioThread.join();

    EXPECT_EQ(static_cast<std::uint64_t>(notifications), ring.completedSlots());
    EXPECT_EQ(handled.size(), ring.completedSlots());
    for (std::size_t i = 1; i < handled.size(); ++i) EXPECT_LT(handled[i - 1], handled[i]);
    EXPECT_EQ(ring.completedSlots() + ring.droppedFrames() / FramesPerBuffer, static_cast<std::uint64_t>(Buffers));
    EXPECT_FALSE(ring.hasCompletedSlot());
}

}  // namespace
}  // namespace sondeco
