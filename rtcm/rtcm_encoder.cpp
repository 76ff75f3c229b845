// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/rtcm_encoder.h"

#include "rtcm/parity.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

void requireRange(int value, int low, int high, const char* field) {
    if (value < low || value > high) {
        throw std::invalid_argument(std::string(field) + " " + std::to_string(value) + " is outside " + std::to_string(low) + ".." +
                                    std::to_string(high));
    }
}

constexpr std::uint32_t DataMask = 0xFFFFFF;

}  // namespace

std::uint32_t headerWord1(const RtcmHeader& header) {
    requireRange(header.messageType, 0, 63, "message type");
    requireRange(header.stationId, 0, 1023, "station ID");
    return RtcmPreamble << 16 | static_cast<std::uint32_t>(header.messageType) << 10 | static_cast<std::uint32_t>(header.stationId);
}

std::uint32_t headerWord2(const RtcmHeader& header, int frameLength) {
    // 6000..8191 fit the field but name no time; a decoder shows them as unavailable, so they are
    // still allowed here for tests of that case.
    requireRange(header.zCount, 0, 8191, "Z-count");
    requireRange(header.sequenceNumber, 0, 7, "sequence number");
    requireRange(frameLength, 0, MaxDataWords, "frame length");
    requireRange(header.stationHealth, 0, 7, "station health");
    return static_cast<std::uint32_t>(header.zCount) << 11 | static_cast<std::uint32_t>(header.sequenceNumber) << 8 |
           static_cast<std::uint32_t>(frameLength) << 3 | static_cast<std::uint32_t>(header.stationHealth);
}

int zCountAt(double secondsIntoHour) {
    double seconds = std::fmod(secondsIntoHour, 3600.0);
    if (seconds < 0) seconds += 3600.0;
    // A tiny tolerance, so that a time computed as 0.6 * n does not land on n - 1.
    const int zCount = static_cast<int>(std::floor(seconds / 0.6 + 1e-9));
    return zCount % 6000;
}

std::uint32_t RtcmEncoder::encodeWord(std::uint32_t data24) {
    data24 &= DataMask;
    // Parity is computed over the source data; only the data bits go out complemented, so that a
    // receiver which has the previous word can undo the inversion before checking.
    const std::uint32_t parity = parityBits(data24, lastD29_, lastD30_);
    const std::uint32_t sent = lastD30_ ? (~data24 & DataMask) : data24;
    lastD29_ = static_cast<int>(parity >> 1 & 1u);
    lastD30_ = static_cast<int>(parity & 1u);
    return sent << 6 | parity;
}

std::vector<std::uint32_t> RtcmEncoder::encodeFrame(const RtcmHeader& header, std::span<const std::uint32_t> dataWords) {
    if (dataWords.size() > static_cast<std::size_t>(MaxDataWords)) {
        throw std::invalid_argument("a frame holds at most 31 data words, not " + std::to_string(dataWords.size()));
    }
    // Both header words are built before anything is encoded, so that a bad field leaves the
    // parity chain untouched.
    const std::uint32_t word1 = headerWord1(header);
    const std::uint32_t word2 = headerWord2(header, static_cast<int>(dataWords.size()));
    std::vector<std::uint32_t> words;
    words.reserve(dataWords.size() + 2);
    words.push_back(encodeWord(word1));
    words.push_back(encodeWord(word2));
    for (std::uint32_t data : dataWords) words.push_back(encodeWord(data));
    return words;
}

void RtcmEncoder::appendFrameBits(const RtcmHeader& header, std::span<const std::uint32_t> dataWords, std::vector<std::uint8_t>& bits) {
    for (std::uint32_t word : encodeFrame(header, dataWords)) appendWordBits(word, bits);
}

void RtcmEncoder::setLastParityBits(int d29, int d30) {
    lastD29_ = d29 & 1;
    lastD30_ = d30 & 1;
}

void appendWordBits(std::uint32_t word30, std::vector<std::uint8_t>& bits) {
    for (int i = WordBitCount - 1; i >= 0; --i) bits.push_back(static_cast<std::uint8_t>(word30 >> i & 1u));
}

}  // namespace sondeco
