// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/decoding_channel.h"

#include <cmath>

namespace sondeco {

void DecodingChannel::pushSoftBits(std::span<const SoftBit> bits, const ReceptionTag& tag) {
    if (bits.empty()) return;
    const auto rate = tag.bitRate ? std::optional<int>(static_cast<int>(std::lround(*tag.bitRate))) : std::nullopt;
    decoder_.setReception(tag.frequencyHz, rate, tag.ebN0Db, tag.absoluteFrequency, tag.time);
    decoder_.pushSoftBits(bits);
}

double DecodingChannel::advance(std::uint64_t samples, double sampleRate) {
    samplesTaken_ += samples;
    if (decoder_.statistics().words != wordsSeen_) {
        wordsSeen_ = decoder_.statistics().words;
        lastWordAt_ = samplesTaken_;
    }
    return static_cast<double>(samplesTaken_ - lastWordAt_) / sampleRate;
}

}  // namespace sondeco
