// SPDX-License-Identifier: GPL-3.0-or-later
// Generated beacon audio for the tests, the benchmarks, the sensitivity sweep and the soak: the simulated
// station's frames, MSK-modulated with noise and rounded to 16-bit stereo as a sound card hands it
// over. It is made buffer by buffer, so a day of audio never has to sit in memory, and it remembers
// the frames it sent when asked to, so that what the receiver decodes can be checked against them.
#pragma once

#include "rtcm/rtcm_encoder.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace sondeco {

class BeaconAudio {
public:
    // With `keepSentFrames`, every frame handed to the modulator is kept in sentFrames().
    BeaconAudio(const BeaconSettings& station, const MskSettings& transmitter, bool keepSentFrames = false)
        : beacon_(station), modulator_(transmitter), keepSentFrames_(keepSentFrames) {}

    // Stereo frames (signal left, silence right). Always fills the whole span: new frames are
    // queued as the modulator runs short of bits.
    void render(std::span<std::int16_t> interleavedStereo) {
        const std::size_t frames = interleavedStereo.size() / 2;
        if (samples_.size() < frames) samples_.resize(frames);
        std::size_t done = 0;
        while (done < frames) {
            // Half a second of bits queued ahead is always more than one render call needs.
            while (modulator_.queuedBits() < 200) queueNextFrame();
            done += modulator_.render(std::span<double>(samples_.data() + done, frames - done));
        }
        for (std::size_t n = 0; n < frames; ++n) {
            interleavedStereo[2 * n] = toPcm16(samples_[n]);
            interleavedStereo[2 * n + 1] = 0;
        }
    }

    // The receiver is retuned to another beacon: what is still queued of the old one is cut off
    // mid-frame, and the new station comes in with its own signal level (and leading time, off air)
    // and a parity chain of its own.
    void changeStation(const BeaconSettings& station, const MskSettings& transmitter) {
        beacon_ = SimulatedBeacon(station);
        encoder_ = RtcmEncoder{};
        modulator_ = MskModulator(transmitter);
    }

    const std::vector<BeaconFrame>& sentFrames() const { return sentFrames_; }
    std::uint64_t framesQueued() const { return framesQueued_; }

private:
    void queueNextFrame() {
        BeaconFrame frame = beacon_.nextFrame();
        bits_.clear();
        encoder_.appendFrameBits(frame.header, frame.dataWords, bits_);
        modulator_.pushBits(bits_);
        ++framesQueued_;
        if (keepSentFrames_) sentFrames_.push_back(std::move(frame));
    }

    SimulatedBeacon beacon_;
    RtcmEncoder encoder_;
    MskModulator modulator_;
    bool keepSentFrames_;
    std::vector<BeaconFrame> sentFrames_;
    std::uint64_t framesQueued_ = 0;
    std::vector<std::uint8_t> bits_;
    std::vector<double> samples_;
};

}  // namespace sondeco
