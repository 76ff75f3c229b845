// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/rtcm_decoder.h"

#include "rtcm/message_layouts.h"
#include "rtcm/message_registry.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace sondeco {
namespace {

constexpr std::array<double, 6> UdreScaleByHealth{1.0, 0.75, 0.5, 0.3, 0.2, 0.1};
constexpr int HourInZCounts = 6000;  // 0.6 s each
// How far a Z-count may stray from the time the bits say, either way: 30 s, against the 3600 s a
// Z-count could be.
constexpr int ZCountSlack = 50;

// How far the Z-count moved on from one header to the next, 0..5999 (it wraps at the hour).
int zCountAdvance(const RtcmFrame& before, const RtcmFrame& next) {
    return ((next.zCount - before.zCount) % HourInZCounts + HourInZCounts) % HourInZCounts;
}

int field(std::uint32_t data24, const BitField& field) {
    return static_cast<int>(data24 >> (DataBitsPerWord - field.offset - field.width) & ((1u << field.width) - 1));
}

}  // namespace

void RtcmDecoder::pushBit(std::uint8_t bit) { pushBits(bit & 1u, 1); }

void RtcmDecoder::pushBits(std::uint32_t bits, int count) {
    statistics_.bits += static_cast<std::uint64_t>(count);
    while (count > 0) {
        const WordLayer::Step step = words_.pushBits(bits, count);
        count -= step.taken;
        handle(step.result);
        // A lost lock may hand back bits to be searched again, each of which may lock and lose again.
        while (words_.replaying()) handle(words_.replayBit());
    }
}

void RtcmDecoder::pushSoftBits(std::span<const SoftBit> bits) {
    for (const SoftBit bit : bits) {
        ++statistics_.bits;
        handle(words_.pushSoftBit(bit));
        while (words_.replaying()) handle(words_.replayBit());
    }
}

void RtcmDecoder::handle(WordLayer::Result result) {
    switch (result) {
        case WordLayer::Result::Incomplete:
            return;
        case WordLayer::Result::ParityFailed:
            ++statistics_.parityFailures;
            loseSync();
            return;
        case WordLayer::Result::WordAccepted:
            ++statistics_.words;
            processWord();
            return;
        case WordLayer::Result::WordLost:
            ++statistics_.lostWords;
            frameDamaged_ = true;
            nextWord(words_.state().wordIndex);
            return;
    }
}

void RtcmDecoder::loseSync() {
    dropHeldFrame();
    if (searchAgainFrom_) words_.searchAgainFrom(*std::exchange(searchAgainFrom_, std::nullopt));
    nextFollowsFrame_ = false;
    lastEndedVouched_ = false;
    ++statistics_.syncLosses;
    frame_.frameLocked = false;
    for (DecoderListener* listener : listeners_) listener->syncLost();
}

void RtcmDecoder::processWord() {
    const std::uint32_t data = words_.data();
    const int wordIndex = words_.state().wordIndex;
    if (wordIndex == 0) {
        frameDamaged_ = false;
        repairedInFrame_ = 0;
        headerFollowsFrame_ = std::exchange(nextFollowsFrame_, false);
        headerBit_ = words_.position() - WordBitCount;
        headerFirstWordEnd_ = words_.firstWordEnd();
    }
    if (words_.lastWordRepaired()) {
        ++statistics_.repairedWords;
        ++repairedInFrame_;
    }
    if (wordIndex == 0) {
        if (static_cast<std::uint32_t>(field(data, HeaderWord1::Preamble)) != RtcmPreamble) {
            ++statistics_.missingPreambles;
            words_.loseSync();
            loseSync();
            return;
        }
        frame_.messageType = field(data, HeaderWord1::MessageType);
        frame_.stationId = field(data, HeaderWord1::StationId);
        frame_.frameLength = 0;
    } else if (wordIndex == 1) {
        // From soft bits, where a repaired word is possible, a header must also make sense: no station
        // sends a Z-count past the hour.
        if (words_.softInput() && field(data, HeaderWord2::ZCount) >= 6000) {
            words_.loseSync();
            loseSync();
            return;
        }
        acceptHeaderWord2(data);
    } else {
        frame_.dataWords[static_cast<std::size_t>(wordIndex - 2)] = data;
    }

    nextWord(wordIndex);
}

void RtcmDecoder::nextWord(int wordIndex) {
    const bool complete = (wordIndex == 1 && frame_.frameLength == 0) || (wordIndex >= 2 && wordIndex - 1 == frame_.frameLength);
    if (complete) frameEnded();
    // The next word follows without a new search: after a complete frame it is the next header.
    words_.startWord(complete ? 0 : wordIndex + 1);
}

void RtcmDecoder::acceptHeaderWord2(std::uint32_t data) {
    frame_.zCount = field(data, HeaderWord2::ZCount);
    frame_.sequenceNumber = field(data, HeaderWord2::SequenceNumber);
    frame_.frameLength = field(data, HeaderWord2::FrameLength);
    frame_.stationHealth = field(data, HeaderWord2::StationHealth);
    // Health 6 and 7 say nothing about the range error: the last scale stays.
    if (frame_.stationHealth < 6) frame_.udreScale = UdreScaleByHealth[static_cast<std::size_t>(frame_.stationHealth)];
    frame_.frameLocked = true;
    if (words_.softInput()) {
        searchAgainFrom_.reset();
        // A held frame is confirmed by this header or never.
        const bool confirms = held_ && headerFollowsFrame_ && followsInSequence(*held_, frame_);
        if (confirms) {
            lastVouched_ = *held_;
            lastVouchedBit_ = heldBit_;
            lastEndedVouched_ = true;
            completeHeldFrame();
        } else {
            dropHeldFrame();
        }
        vouched_ = headerFollowsFrame_ ? lastEndedVouched_ && lastVouched_ && frame_.stationId == lastVouched_->stationId &&
                                             followsInSequence(*lastVouched_, frame_)
                                       : fitsLastVouched(frame_);
    }
    for (DecoderListener* listener : listeners_) listener->headerAccepted(frame_);
}

bool RtcmDecoder::followsInSequence(const RtcmFrame& before, const RtcmFrame& next) const {
    if (next.sequenceNumber != (before.sequenceNumber + 1) % 8) return false;
    // A station's Z-count is the time its data refers to: the next frame's may repeat it (partial
    // sets of one epoch) or lag a little, but not run ahead of the time sent by far.
    const int rate = message_.reception.bitRate.value_or(25);
    const double frameSeconds = WordBitCount * (before.frameLength + 2) / static_cast<double>(rate);
    const int advance = zCountAdvance(before, next);
    return advance <= static_cast<int>(frameSeconds / 0.6) + ZCountSlack || advance >= HourInZCounts - ZCountSlack;
}

bool RtcmDecoder::fitsLastVouched(const RtcmFrame& next) const {
    if (!lastVouched_ || next.stationId != lastVouched_->stationId || !message_.reception.bitRate || headerBit_ < lastVouchedBit_)
        return false;
    const double elapsed = static_cast<double>(headerBit_ - lastVouchedBit_) / *message_.reception.bitRate;
    // Beyond ten minutes the bit count may have missed a pause of the signal too long to allow for.
    if (elapsed > 600.0) return false;
    const int advance = zCountAdvance(*lastVouched_, next);
    const int expected = static_cast<int>(elapsed / 0.6);
    const int difference = std::abs(advance - expected);
    return std::min(difference, HourInZCounts - difference) <= ZCountSlack;
}

void RtcmDecoder::frameEnded() {
    nextFollowsFrame_ = true;
    if (!words_.softInput()) {
        completeFrame(frame_, repairedInFrame_);
        return;
    }
    // Even a damaged frame's header places the next one, when it was vouched for.
    lastEndedVouched_ = vouched_;
    if (vouched_) {
        lastVouched_ = frame_;
        lastVouchedBit_ = headerBit_;
    } else {
        searchAgainFrom_ = headerFirstWordEnd_;
    }
    if (frameDamaged_) {
        ++statistics_.framesLost;
    } else if (vouched_) {
        completeFrame(frame_, repairedInFrame_);
    } else {
        held_ = frame_;
        heldRepairedWords_ = repairedInFrame_;
        heldReception_ = message_.reception;
        heldBit_ = headerBit_;
    }
}

// Tagged with the reception as it was when the frame ended, not as it is now.
void RtcmDecoder::completeHeldFrame() {
    const Reception now = message_.reception;
    message_.reception = heldReception_;
    completeFrame(*held_, heldRepairedWords_);
    message_.reception = now;
    held_.reset();
}

void RtcmDecoder::dropHeldFrame() {
    if (!held_) return;
    ++statistics_.framesUnconfirmed;
    held_.reset();
}

void RtcmDecoder::completeFrame(const RtcmFrame& frame, int repairedWords) {
    ++statistics_.frames;
    ++statistics_.framesByType[static_cast<std::size_t>(frame.messageType & 63)];
    // A new station's data must not mix with the old one's. The very first frame after start-up
    // has nothing to clear.
    if (frame.stationId != lastStationId_) {
        if (lastStationId_ != -1)
            for (DecoderListener* listener : listeners_) listener->stationChanged(frame);
        lastStationId_ = frame.stationId;
    }
    if (frame.stationHealth >= 7) ++statistics_.framesNotDecoded;  // "Not Working": no page is built from it
    message_.reception.repairedWords = repairedWords;
    decodeMessageRecord(frame, message_);
    for (DecoderListener* listener : listeners_) listener->frameCompleted(frame, message_);
}

}  // namespace sondeco
