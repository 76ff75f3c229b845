// SPDX-License-Identifier: GPL-3.0-or-later
// The six parity bits of an RTCM SC-104 version 2 word: the GPS navigation-message parity of
// ICD-GPS-200, chained through the last two parity bits (D29*, D30*) of the previous word.
#pragma once

#include <array>
#include <cstdint>

namespace sondeco {

// For each parity bit D25..D30: which of the 24 source data bits it covers (d1 is the most
// significant bit of the mask) and whether D29* (0) or D30* (1) joins the sum.
struct ParityEquation {
    std::uint32_t dataMask;
    int previousBit;  // 29 or 30
};

inline constexpr std::array<ParityEquation, 6> ParityEquations{{
    {0xEC7CD2, 29},  // D25
    {0x763E69, 30},  // D26
    {0xBB1F34, 29},  // D27
    {0x5D8F9A, 30},  // D28
    {0xAEC7CD, 30},  // D29
    {0x2DEA27, 29},  // D30
}};

// The parity bits D25..D30 (D25 most significant of the six) for source data d1..d24 (d1 most
// significant of the 24), given the previous word's D29* and D30*.
constexpr std::uint32_t parityBits(std::uint32_t data24, int lastD29, int lastD30) {
    std::uint32_t parity = 0;
    for (const ParityEquation& equation : ParityEquations) {
        std::uint32_t sum = static_cast<std::uint32_t>(__builtin_parity(data24 & equation.dataMask));
        sum ^= static_cast<std::uint32_t>(equation.previousBit == 29 ? lastD29 : lastD30) & 1u;
        parity = parity << 1 | sum;
    }
    return parity;
}

// The syndrome of a word's window, D29* in bit 31, D30* in bit 30, then D1..D30 as received (D30
// in bit 0): the parity bits the data and D29*/D30* call for against those received, D25's in bit 5.
// With D30* un-inverting the data it is still linear in the 32 bits, so each bit has one column and
// a window's syndrome is the sum of the columns of its ones.
constexpr std::uint32_t windowSyndrome(std::uint32_t window) {
    const auto d29Star = static_cast<int>(window >> 31 & 1u), d30Star = static_cast<int>(window >> 30 & 1u);
    const std::uint32_t data = (window >> 6 & 0xFFFFFFu) ^ (d30Star != 0 ? 0xFFFFFFu : 0u);
    return parityBits(data, d29Star, d30Star) ^ (window & 0x3Fu);
}

// The column of each window bit, D29* first: what flipping that received bit does to the syndrome.
constexpr std::array<std::uint8_t, 32> windowSyndromeColumns() {
    std::array<std::uint8_t, 32> columns{};
    for (int j = 0; j < 32; ++j) columns[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(windowSyndrome(1u << (31 - j)));
    return columns;
}
static_assert(windowSyndrome(0) == 0, "the window's syndrome must be linear for columns to describe it");

}  // namespace sondeco
