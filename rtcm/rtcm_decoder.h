// SPDX-License-Identifier: GPL-3.0-or-later
// Frame assembly: takes the word layer's parity-checked words, recognises the two header words,
// collects the data words, notices a change of reference station and decodes each completed frame
// into its record once. What it finds goes to its listeners (decoder_listener.h); it shows nothing.
#pragma once

#include "rtcm/bit_sink.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"
#include "rtcm/word_layer.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sondeco {

// Why words and frames were lost, counted for the headless decoder's summary.
struct DecoderStatistics {
    std::uint64_t bits = 0;
    std::uint64_t words = 0;  // words that passed parity
    std::uint64_t parityFailures = 0;
    std::uint64_t missingPreambles = 0;  // a frame's first word without the preamble
    std::uint64_t syncLosses = 0;
    std::uint64_t frames = 0;  // completed frames
    std::uint64_t framesNotDecoded = 0;  // completed, but the station reported "not working"
    std::uint64_t repairedWords = 0;  // soft bits: words that passed only after repair
    std::uint64_t lostWords = 0;  // soft bits: data words that could not be repaired (the lock held)
    std::uint64_t framesLost = 0;  // soft bits: frames that ended with a lost word, not reported
    std::array<std::uint64_t, 64> framesByType{};
};

class RtcmDecoder final : public BitSink {
public:
    RtcmDecoder() = default;

    // Listeners hear of every event in the order they were added.
    void addListener(DecoderListener& listener) { listeners_.push_back(&listener); }

    void pushBit(std::uint8_t bit) override;
    // Up to 30 bits at once, the first in bit `count` - 1: a serial stream's six bits a byte.
    void pushBits(std::uint32_t bits, int count);
    // Soft bits, from the enhanced receiver: words that fail parity are repaired where the
    // reliabilities allow, and a lost data word costs its frame but not the lock.
    void pushSoftBits(std::span<const SoftBit> bits);
    // What the frames that complete from now on were received on (tone or carrier frequency, bit
    // rate, the receiver's Eb/N0 estimate), for their records.
    void setReception(std::optional<double> toneHz, std::optional<int> bitRate, std::optional<double> ebN0Db = std::nullopt,
                      bool absoluteFrequency = false) {
        message_.reception.toneHz = toneHz;
        message_.reception.bitRate = bitRate;
        message_.reception.ebN0Db = ebN0Db;
        message_.reception.absoluteFrequency = absoluteFrequency;
    }

    const RtcmFrame& frame() const { return frame_; }
    const WordAssembler& wordAssembler() const { return words_.state(); }
    int LastStationId() const { return lastStationId_; }
    const DecoderStatistics& statistics() const { return statistics_; }

private:
    void handle(WordLayer::Result result);
    void nextWord(int wordIndex);
    void processWord();
    void loseSync();  // what a lost lock means above the word layer; the word layer knows already
    void acceptHeaderWord2(std::uint32_t data);
    void completeFrame();

    WordLayer words_;
    RtcmFrame frame_;
    DecodedMessage message_;
    int lastStationId_ = -1;
    DecoderStatistics statistics_;
    std::vector<DecoderListener*> listeners_;
    bool frameDamaged_ = false;  // a data word of this frame was lost
    int repairedInFrame_ = 0;
};

}  // namespace sondeco
