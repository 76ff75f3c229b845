// SPDX-License-Identifier: GPL-3.0-or-later
// The one frame record every message decoder reads, its two bit-field readers and the Z-count text.
#pragma once

#include "rtcm/rtcm_format.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace sondeco {

struct RtcmFrame {
    int messageType = 0;  // 0..63
    int stationId = 0;  // 0..1023
    int zCount = 0;  // modified Z-count, 0.6 s units within the hour (valid 0..5999)
    int sequenceNumber = 0;  // 0..7
    int frameLength = 0;  // data words that follow the header, 0..31
    int stationHealth = 0;  // 0..7
    double udreScale = 0.0;  // from the last header with health 0..5
    bool frameLocked = false;  // a header word 2 was accepted since synchronisation was last lost
    // d1..d24 of data words 1..31 as one bit string: position p is word p / 24, bit p % 24. Rows past
    // frameLength keep what earlier frames left there.
    std::array<std::uint8_t, DataBitCount> dataBits{};
    // The same rows packed, d1 in bit 23 of each: what the message decoders read their fields from.
    std::array<std::uint32_t, MaxDataWords> dataWords{};
};

// Unsigned value of `width` bits from `start`, first bit most significant. Width 32 gives the
// pattern as a two's-complement int. Bits past the end of the array read as 0.
int getBits(std::span<const std::uint8_t> bits, int start, int width);
// Two's-complement value of the same bits.
int getSignedBits(std::span<const std::uint8_t> bits, int start, int width);

// The same readers over the packed rows, for a field of a layout table in the entry that starts at
// bit `entryStart` of the data words. Bits past the last row read as 0.
int getField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field);
int getSignedField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field);

// "MM:SS.t" of a modified Z-count, "N/A" above 6000.
std::string formatZCount(int zCount);

}  // namespace sondeco
