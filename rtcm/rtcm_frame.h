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
    // d1..d24 of data words 1..31, d1 in bit 23 of each: what the message decoders read their fields
    // from (bit p of the frame's data is word p / 24, bit p % 24). Rows past frameLength keep what
    // earlier frames left there.
    std::array<std::uint32_t, MaxDataWords> dataWords{};
};

// Unsigned value of a field of a layout table in the entry that starts at bit `entryStart` of the data
// words, first bit most significant; a width of 32 gives the pattern as a two's-complement int. Bits
// past the last row read as 0.
int getField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field);
int getSignedField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field);

// "MM:SS.t" of a modified Z-count, "N/A" above 6000.
std::string formatZCount(int zCount);

}  // namespace sondeco
