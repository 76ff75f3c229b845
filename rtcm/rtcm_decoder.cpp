// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/rtcm_decoder.h"

#include "rtcm/message_layouts.h"
#include "rtcm/message_registry.h"

namespace sondeco {
namespace {

constexpr std::array<double, 6> UdreScaleByHealth{1.0, 0.75, 0.5, 0.3, 0.2, 0.1};

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
    if (complete) {
        if (frameDamaged_) {
            ++statistics_.framesLost;
        } else {
            completeFrame();
        }
    }
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
    for (DecoderListener* listener : listeners_) listener->headerAccepted(frame_);
}

void RtcmDecoder::completeFrame() {
    ++statistics_.frames;
    ++statistics_.framesByType[static_cast<std::size_t>(frame_.messageType & 63)];
    // A new station's data must not mix with the old one's. The very first frame after start-up
    // has nothing to clear.
    if (frame_.stationId != lastStationId_) {
        if (lastStationId_ != -1)
            for (DecoderListener* listener : listeners_) listener->stationChanged(frame_);
        lastStationId_ = frame_.stationId;
    }
    if (frame_.stationHealth >= 7) ++statistics_.framesNotDecoded;  // "Not Working": no page is built from it
    message_.reception.repairedWords = repairedInFrame_;
    decodeMessageRecord(frame_, message_);
    for (DecoderListener* listener : listeners_) listener->frameCompleted(frame_, message_);
}

}  // namespace sondeco
