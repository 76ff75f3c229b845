// SPDX-License-Identifier: GPL-3.0-or-later
// The ring of 32 capture buffers between the audio thread (producer) and the main thread (consumer).
// The producer never blocks and never takes a lock: when the consumer falls more than the whole ring
// behind, incoming audio is dropped at the device side, exactly as a sound card drops audio when no
// buffer is queued, so every completed slot is still handled once and in order.
#pragma once

#include "audio/audio_format.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

namespace sondeco {

class CaptureRing {
public:
    static constexpr int SlotCount = 32;
    using Slot = std::array<std::int16_t, SamplesPerBuffer>;  // 4800 interleaved stereo frames

    // Called on the producer's thread once per completed slot. It must not block; the program
    // posts a queued call to the main thread from here.
    void setSlotCompletedHandler(std::function<void()> handler) { slotCompleted_ = std::move(handler); }

    // Producer side (audio thread). `channels` is 1 or more; channel 0 becomes the left channel,
    // channel 1 (if any) the right one; a mono device leaves the right channel silent.
    void writeFrames(const std::int16_t* interleaved, int frames, int channels);

    // Consumer side (main thread).
    bool hasCompletedSlot() const;
    int captureIndex() const { return captureIndex_; }  // slot expected to complete next (0..31)
    const Slot& currentSlot() const { return slots_[static_cast<std::size_t>(captureIndex_)]; }
    void releaseCurrentSlot();  // done with the slot at captureIndex(); advances it, wrapping 31 -> 0

    // Back to the empty state with captureIndex() = 0. Only while no producer is running.
    void reset();

    std::uint64_t completedSlots() const { return completed_.load(std::memory_order_acquire); }
    std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::array<Slot, SlotCount> slots_{};
    std::function<void()> slotCompleted_;
    int fillFrames_ = 0;  // producer only: frames already in the slot being filled
    int captureIndex_ = 0;  // consumer only
    std::atomic<std::uint64_t> completed_{0};
    std::atomic<std::uint64_t> released_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace sondeco
