// SPDX-License-Identifier: GPL-3.0-or-later
// The shape of an RTCM SC-104 version 2 stream, for both directions: the preamble that starts every
// frame, the 30-bit word with its 24 data and 6 parity bits, and the frame's at most 31 data words.
#pragma once

#include <array>
#include <cstdint>

namespace sondeco {

inline constexpr std::uint32_t RtcmPreamble = 0x66;  // 0,1,1,0,0,1,1,0, first transmitted bit first
inline constexpr int WordBitCount = 30;  // D1..D30 of a transmitted word
inline constexpr int DataBitsPerWord = 24;  // D1..D24; D25..D30 are parity
inline constexpr int ParityBitsPerWord = WordBitCount - DataBitsPerWord;
inline constexpr int MaxDataWords = 31;  // the frame-length field has 5 bits
inline constexpr int DataBitCount = MaxDataWords * DataBitsPerWord;  // 744

// A field of a word or message entry: `width` bits from `offset`, counted from the first transmitted bit.
struct BitField {
    int offset;
    int width;
};

// The preamble as one byte per bit, in order of transmission.
inline constexpr std::array<std::uint8_t, 8> PreamblePattern = [] {
    std::array<std::uint8_t, 8> bits{};
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint8_t>(RtcmPreamble >> (7 - i) & 1u);
    return bits;
}();

}  // namespace sondeco
