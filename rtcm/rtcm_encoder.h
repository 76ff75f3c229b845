// SPDX-License-Identifier: GPL-3.0-or-later
// The transmitting side of RTCM SC-104 version 2: header fields and 24-bit data words in, 30-bit
// words with chained parity (and the data inversion it implies) out. Plain C++; knows nothing of
// message contents (see message_builders.h) nor of modulation.
#pragma once

#include "rtcm/rtcm_format.h"

#include <cstdint>
#include <span>
#include <vector>

namespace sondeco {

// The fields of the two header words, in the raw units they are sent in. The frame length is not
// here: it is the number of data words handed to the encoder.
struct RtcmHeader {
    int messageType = 0;  // 0..63
    int stationId = 0;  // reference station ID, 0..1023
    int zCount = 0;  // modified Z-count: time within the hour in units of 0.6 s, 0..5999
    int sequenceNumber = 0;  // 0..7, advanced by one each frame
    int stationHealth = 0;  // 0..7 (0 = UDRE scale 1.0, 6 = not monitored, 7 = not working)
};

// The 24 data bits (d1 most significant) of header word 1: preamble, type, station ID.
// Throws std::invalid_argument for a field out of range.
std::uint32_t headerWord1(const RtcmHeader& header);
// The 24 data bits of header word 2: Z-count, sequence number, frame length, health.
std::uint32_t headerWord2(const RtcmHeader& header, int frameLength);

// The Z-count a frame sent `secondsIntoHour` seconds after the top of the GPS hour carries: whole
// 0.6 s units, wrapping at the hour. Negative times wrap too.
int zCountAt(double secondsIntoHour);

// Turns data words into transmitted words. The parity of every word depends on the last two parity
// bits (D29*, D30*) of the word before it, across frame boundaries, so one encoder must be used for
// a whole continuous stream. A transmitted word holds D1..D30 in bits 29..0: D1..D24 are the data
// bits, complemented when D30* is 1, and D25..D30 the parity.
class RtcmEncoder {
public:
    // Encodes one 24-bit data word (bits above 24 are ignored) and advances D29*/D30*.
    std::uint32_t encodeWord(std::uint32_t data24);

    // Encodes the two header words and the data words of one frame. Throws std::invalid_argument
    // for more than 31 data words or a header field out of range (nothing is encoded then).
    std::vector<std::uint32_t> encodeFrame(const RtcmHeader& header, std::span<const std::uint32_t> dataWords);

    // The same frame as transmitted bits, one byte (0 or 1) per bit, appended to `bits`.
    void appendFrameBits(const RtcmHeader& header, std::span<const std::uint32_t> dataWords, std::vector<std::uint8_t>& bits);

    int lastD29() const { return lastD29_; }
    int lastD30() const { return lastD30_; }
    // Continues a stream whose last word ended with these parity bits (a receiver that has just
    // locked assumes both are 0, which is also where a new encoder starts).
    void setLastParityBits(int d29, int d30);

private:
    int lastD29_ = 0;
    int lastD30_ = 0;
};

// Appends the 30 bits of a transmitted word, D1 first, one byte per bit.
void appendWordBits(std::uint32_t word30, std::vector<std::uint8_t>& bits);

}  // namespace sondeco
