// SPDX-License-Identifier: GPL-3.0-or-later
// One beacon's decoding behind a coherent receiver: its soft bits through the word layer into frames
// and records, every frame tagged with how it was received (frequency, bit rate, Eb/N0), and a watch
// on how long no word has passed, which tells the receiver to search again. The single enhanced
// receiver and every channel of the band monitor decode through one of these.
#pragma once

#include "rtcm/bit_sink.h"
#include "rtcm/rtcm_decoder.h"

#include <cstdint>
#include <optional>
#include <span>

namespace sondeco {

// How the bits being decoded are received now.
struct ReceptionTag {
    std::optional<double> frequencyHz;  // the carrier as tracked: an audio tone, an offset or a radio frequency
    std::optional<double> bitRate;
    std::optional<double> ebN0Db;
    bool absoluteFrequency = false;  // frequencyHz is a radio frequency
    std::optional<double> time;  // the stream's time, seconds since the Unix epoch, when followed
};

class DecodingChannel {
public:
    void addListener(DecoderListener& listener) { decoder_.addListener(listener); }

    // One block's soft bits, received as `tag` says.
    void pushSoftBits(std::span<const SoftBit> bits, const ReceptionTag& tag);
    // `samples` more of the stream, at `sampleRate`, have gone by (bits or none); returns how long, in
    // seconds of the stream, no word has passed parity. A beacon heard well whose words never pass is
    // not an RTCM beacon at the rate it seems to have, and the receiver should search again.
    double advance(std::uint64_t samples, double sampleRate);
    // A new receiver takes over: the time without words counts from now.
    void restartWatch() { lastWordAt_ = samplesTaken_; }

    RtcmDecoder& decoder() { return decoder_; }
    const RtcmDecoder& decoder() const { return decoder_; }

private:
    RtcmDecoder decoder_;
    std::uint64_t samplesTaken_ = 0;
    std::uint64_t wordsSeen_ = 0;
    std::uint64_t lastWordAt_ = 0;  // samplesTaken_ when a word last passed
};

}  // namespace sondeco
