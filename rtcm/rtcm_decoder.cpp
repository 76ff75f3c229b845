#include "rtcm/rtcm_decoder.h"

#include "rtcm/message_decoders.h"

#include <algorithm>
#include <cstdio>

namespace sondeco {
namespace {

constexpr std::array<double, 6> UdreScaleByHealth{1.0, 0.75, 0.5, 0.3, 0.2, 0.1};

const char* healthText(int health) {
    if (health == 6) return "Unmonitored";
    if (health == 7) return "Not Working";
    return "Normal";
}

}  // namespace

RtcmDecoder::RtcmDecoder(DecoderView& view, LocalTimeSource clock) : view_(view), pages_(view, std::move(clock)) {}

void RtcmDecoder::reset() {
    assembler_ = WordAssembler{};
    frame_ = RtcmFrame{};
    lastStationId_ = -1;
    statistics_ = DecoderStatistics{};
    for (int panel = 0; panel < StatusPanelCount; ++panel)
        view_.setStatusText(panel, StatusPrefixes[static_cast<std::size_t>(panel)]);
    pages_.rebuildTabCaptions();
    pages_.clearAllMessages();
}

void RtcmDecoder::pushBit(std::uint8_t bit) {
    ++statistics_.bits;
    bit &= 1u;
    if (assembler_.wordSync) {
        assembler_.wordBits[static_cast<std::size_t>(assembler_.bitCount)] = bit;
        if (++assembler_.bitCount >= WordBitCount) processWord();
        return;
    }
    // Searching: only an exact, upright preamble locks. No bit error is forgiven, and an inverted
    // preamble is not taken, since the first lock has to assume D29* = D30* = 0.
    std::copy(assembler_.searchRegister.begin() + 1, assembler_.searchRegister.end(), assembler_.searchRegister.begin());
    assembler_.searchRegister.back() = bit;
    if (assembler_.searchRegister != PreamblePattern) return;
    std::copy(PreamblePattern.begin(), PreamblePattern.end(), assembler_.wordBits.begin());
    assembler_.wordSync = true;
    assembler_.bitCount = static_cast<int>(PreamblePattern.size());
    assembler_.wordIndex = 0;
    assembler_.lastD29 = 0;
    assembler_.lastD30 = 0;
}

void RtcmDecoder::loseSync() {
    ++statistics_.syncLosses;
    assembler_.wordSync = false;
    frame_.frameLocked = false;
    for (int panel = 0; panel < StatusPanelCount; ++panel)
        view_.setStatusText(panel, StatusPrefixes[static_cast<std::size_t>(panel)]);
}

void RtcmDecoder::processWord() {
    auto& word = assembler_.wordBits;
    if (!checkParity(assembler_, word)) {
        ++statistics_.parityFailures;
        loseSync();
        return;
    }
    ++statistics_.words;
    const std::span<const std::uint8_t> bits(word.data(), 24);
    const int wordIndex = assembler_.wordIndex;
    if (wordIndex == 0) {
        if (!std::equal(PreamblePattern.begin(), PreamblePattern.end(), word.begin())) {
            ++statistics_.missingPreambles;
            loseSync();
            return;
        }
        frame_.messageType = getBits(bits, 8, 6);
        frame_.stationId = getBits(bits, 14, 10);
        frame_.frameLength = 0;
    } else if (wordIndex == 1) {
        acceptHeaderWord2(bits);
    } else {
        std::copy(bits.begin(), bits.end(), frame_.dataBits.begin() + (wordIndex - 2) * DataBitsPerWord);
    }

    const bool complete = (wordIndex == 1 && frame_.frameLength == 0) ||
                          (wordIndex >= 2 && wordIndex - 1 == frame_.frameLength);
    if (complete) {
        completeFrame();
        assembler_.wordIndex = -1;
    }
    // The next word follows without a new search: after a complete frame it is the next header.
    ++assembler_.wordIndex;
    assembler_.bitCount = 0;
}

void RtcmDecoder::acceptHeaderWord2(std::span<const std::uint8_t> bits) {
    frame_.zCount = getBits(bits, 0, 13);
    frame_.sequenceNumber = getBits(bits, 13, 3);
    frame_.frameLength = getBits(bits, 16, 5);
    frame_.stationHealth = getBits(bits, 21, 3);

    char number[16];
    std::snprintf(number, sizeof number, "%03d", frame_.stationId);
    view_.setStatusText(0, std::string(StatusPrefixes[0]) + number);
    view_.setStatusText(1, StatusPrefixes[1] + std::to_string(frame_.messageType));
    if (frame_.stationHealth < 6) frame_.udreScale = UdreScaleByHealth[static_cast<std::size_t>(frame_.stationHealth)];
    view_.setStatusText(3, StatusPrefixes[3] + std::to_string(frame_.sequenceNumber));
    view_.setStatusText(4, StatusPrefixes[4] + std::to_string(frame_.frameLength));
    view_.setStatusText(2, StatusPrefixes[2] + formatZCount(frame_.zCount));
    view_.setStatusText(5, healthText(frame_.stationHealth));
    frame_.frameLocked = true;
    view_.headerAccepted(frame_);
}

void RtcmDecoder::completeFrame() {
    ++statistics_.frames;
    ++statistics_.framesByType[static_cast<std::size_t>(frame_.messageType & 63)];
    // A new station's data must not mix with the old one's: everything is cleared before its first
    // frame is decoded. The very first frame after start-up has nothing to clear.
    if (frame_.stationId != lastStationId_) {
        if (lastStationId_ != -1) pages_.clearAllMessages();
        lastStationId_ = frame_.stationId;
    }
    if (frame_.stationHealth < 7) {
        decodeMessage(frame_, pages_);
    } else {
        ++statistics_.framesNotDecoded;  // "Not Working": shown in the status bar, never decoded
    }
    view_.frameCompleted(frame_);
}

}  // namespace sondeco
