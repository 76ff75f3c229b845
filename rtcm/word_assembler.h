// Word synchronisation: the preamble search, the 30-bit word collector and the parity check that also
// removes the data inversion caused by the previous word's last parity bit.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

inline constexpr std::array<std::uint8_t, 8> PreamblePattern{0, 1, 1, 0, 0, 1, 1, 0};  // 0x66
inline constexpr int WordBitCount = 30;

struct WordAssembler {
    bool wordSync = false;                          // false while searching for the preamble
    std::array<std::uint8_t, 8> searchRegister{};   // last 8 bits seen while searching, oldest first
    std::array<std::uint8_t, WordBitCount> wordBits{};  // D1..D30 of the word being received
    int bitCount = 0;
    int wordIndex = 0;  // 0 = header word 1, 1 = header word 2, 2.. = data words
    std::uint8_t lastD29 = 0;  // D29* and D30*: the last two received bits of the previous word
    std::uint8_t lastD30 = 0;
};

// Un-inverts D1..D24 of `word` in place (when D30* is 1), records the word's D29/D30 as the next
// D29*/D30* whether or not it passes, and returns whether all six parity bits agree.
bool checkParity(WordAssembler& assembler, std::span<std::uint8_t, WordBitCount> word);

}  // namespace sondeco
