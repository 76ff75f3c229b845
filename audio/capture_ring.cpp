// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/capture_ring.h"

namespace sondeco {

void CaptureRing::writeFrames(const std::int16_t* interleaved, int frames, int channels) {
    if (channels < 1 || frames <= 0 || interleaved == nullptr) return;
    int frame = 0;
    while (frame < frames) {
        const std::uint64_t completed = completed_.load(std::memory_order_relaxed);
        if (fillFrames_ == 0 && completed - released_.load(std::memory_order_acquire) >= static_cast<std::uint64_t>(SlotCount)) {
            // Every slot holds audio the main thread has not taken yet: drop the rest of this block.
            dropped_.fetch_add(static_cast<std::uint64_t>(frames - frame), std::memory_order_relaxed);
            return;
        }
        Slot& slot = slots_[static_cast<std::size_t>(completed % SlotCount)];
        const int take = std::min(frames - frame, FramesPerBuffer - fillFrames_);
        for (int n = 0; n < take; ++n) {
            const std::int16_t* source = interleaved + static_cast<std::ptrdiff_t>(frame + n) * channels;
            const std::size_t at = static_cast<std::size_t>(fillFrames_ + n) * 2;
            slot[at] = source[0];
            slot[at + 1] = channels > 1 ? source[1] : std::int16_t{0};
        }
        frame += take;
        fillFrames_ += take;
        if (fillFrames_ == FramesPerBuffer) {
            fillFrames_ = 0;
            completed_.store(completed + 1, std::memory_order_release);
            if (slotCompleted_) slotCompleted_();
        }
    }
}

bool CaptureRing::hasCompletedSlot() const {
    return completed_.load(std::memory_order_acquire) > released_.load(std::memory_order_relaxed);
}

void CaptureRing::releaseCurrentSlot() {
    if (!hasCompletedSlot()) return;
    captureIndex_ = (captureIndex_ + 1) % SlotCount;
    released_.fetch_add(1, std::memory_order_release);
}

void CaptureRing::reset() {
    fillFrames_ = 0;
    captureIndex_ = 0;
    completed_.store(0, std::memory_order_relaxed);
    released_.store(0, std::memory_order_relaxed);
    dropped_.store(0, std::memory_order_relaxed);
}

}  // namespace sondeco
