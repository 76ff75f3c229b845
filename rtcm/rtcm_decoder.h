// SPDX-License-Identifier: GPL-3.0-or-later
// Frame assembly: takes the word layer's parity-checked words, recognises the two header words,
// collects the data words, notices a change of reference station and decodes each completed frame
// into its record once. What it finds goes to its listeners (decoder_listener.h); it shows nothing.
//
// From soft bits (the enhanced receiver, the band monitor), where the lock is kept through bad words
// and words are repaired, a frame is passed on only when its header is vouched for. A header that
// follows a vouched-for frame exactly where that frame's length put it, with the next sequence number,
// the same station and a Z-count that moved on as far as the time allows, is vouched for by the
// frame before. A header found by a search is vouched for by the last vouched-for frame when it names
// the same station and its Z-count moved on by the time the bits since then took (give or take 30 s:
// a false header passes one time in about 60,000). Any other header (the first after a search, which
// may be a data word that happens to begin with the preamble, or one out of sequence) holds its frame
// back until the next frame's header
// arrives where the held frame's length says, with the next sequence number and a Z-count that fits:
// then the held frame goes out, just before that header is reported; otherwise it is dropped and
// counted. The wait is the two header words after the frame: 0.3 s at 200 bit/s, 2.4 s at 25 bit/s.
// When the lock is lost where such a frame said the next header would be, the frame was most likely
// false, and its length swallowed real frames: the word layer searches again every window after its
// first word.
// Hard bits keep the plain behaviour: every frame that passes parity goes out.
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
    // Soft bits: frames held back because nothing vouched for their header (found by a search, or out
    // of sequence with the frame before) and then not confirmed by the header that followed them.
    std::uint64_t framesUnconfirmed = 0;
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
                      bool absoluteFrequency = false, std::optional<double> time = std::nullopt) {
        message_.reception.toneHz = toneHz;
        message_.reception.time = time;
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
    // Whether `next`'s header may follow `before`'s: the next sequence number and a Z-count that
    // moved on by about the time `before` took to send.
    bool followsInSequence(const RtcmFrame& before, const RtcmFrame& next) const;
    // Whether a header found by a search fits the last vouched-for frame: the same station, and a
    // Z-count that moved on by the time the bits since then took.
    bool fitsLastVouched(const RtcmFrame& next) const;
    void frameEnded();
    void dropHeldFrame();
    void completeFrame(const RtcmFrame& frame, int repairedWords);
    void completeHeldFrame();

    WordLayer words_;
    RtcmFrame frame_;
    DecodedMessage message_;
    int lastStationId_ = -1;
    DecoderStatistics statistics_;
    std::vector<DecoderListener*> listeners_;
    bool frameDamaged_ = false;  // a data word of this frame was lost
    int repairedInFrame_ = 0;
    // Soft bits: the frame integrity described at the top.
    bool headerFollowsFrame_ = false;  // the current header came where the frame before ended
    bool nextFollowsFrame_ = false;  // a frame has just ended; the next word is its successor's header
    bool vouched_ = false;  // the current frame's header is vouched for
    std::optional<RtcmFrame> lastVouched_;  // the header of the last vouched-for frame
    std::uint64_t lastVouchedBit_ = 0;  // the bit its header began at (counted in statistics_.bits)
    std::uint64_t headerBit_ = 0;  // the same for the current frame's header
    std::uint64_t headerFirstWordEnd_ = 0;  // the bit after the current frame's first word
    // The bit after the first word of a frame that ended without being vouched for, until the header
    // after it is accepted: where to search again if that header is not there.
    std::optional<std::uint64_t> searchAgainFrom_;
    bool lastEndedVouched_ = false;  // the frame that ended last was vouched for
    std::optional<RtcmFrame> held_;  // a frame waiting for the next header to confirm it
    int heldRepairedWords_ = 0;
    Reception heldReception_;  // as it was when the held frame ended
    std::uint64_t heldBit_ = 0;
};

}  // namespace sondeco
