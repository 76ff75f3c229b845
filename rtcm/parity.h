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
inline std::uint32_t parityBits(std::uint32_t data24, int lastD29, int lastD30) {
    std::uint32_t parity = 0;
    for (const ParityEquation& equation : ParityEquations) {
        std::uint32_t sum = static_cast<std::uint32_t>(__builtin_parity(data24 & equation.dataMask));
        sum ^= static_cast<std::uint32_t>(equation.previousBit == 29 ? lastD29 : lastD30) & 1u;
        parity = parity << 1 | sum;
    }
    return parity;
}

}  // namespace sondeco
