// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/word_repair.h"

#include "rtcm/parity.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace sondeco {
namespace {

constexpr int WordBits = 30;
constexpr int DataBits = 24;

// What flipping received bit D(i+1) does to the syndrome: the code is linear once D29*/D30* are
// fixed, and flipping a received data bit flips the un-inverted data bit whatever D30* is, so each bit
// has the column it has in the word's window, after D29* and D30*.
constexpr std::array<std::uint8_t, WordBits> syndromeColumns() {
    constexpr std::array<std::uint8_t, 32> window = windowSyndromeColumns();
    std::array<std::uint8_t, WordBits> columns{};
    for (std::size_t i = 0; i < columns.size(); ++i) columns[i] = window[i + 2];
    return columns;
}

constexpr std::array<std::uint8_t, WordBits> SyndromeColumns = syndromeColumns();

}  // namespace

std::uint32_t paritySyndrome(std::span<const SoftBit, 30> word, int previousD29, int previousD30) {
    const auto d30Star = static_cast<std::uint32_t>(previousD30 & 1);
    std::uint32_t data = 0;
    for (int i = 0; i < DataBits; ++i) data = data << 1 | ((word[static_cast<std::size_t>(i)].bit ^ d30Star) & 1u);
    std::uint32_t received = 0;
    for (int i = DataBits; i < WordBits; ++i) received = received << 1 | (word[static_cast<std::size_t>(i)].bit & 1u);
    return parityBits(data, previousD29 & 1, previousD30 & 1) ^ received;
}

RepairedWord repairWord(std::span<const SoftBit, 30> word, int previousD29, int previousD30, const WordRepairLimits& limits) {
    std::array<std::uint8_t, WordBits> bits{};
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = word[i].bit & 1u;

    const auto reliability = [&](int index) { return std::max(0.0f, word[static_cast<std::size_t>(index)].reliability); };
    // The least reliable bit outside [first, first + count).
    const auto weakestOutside = [&](int first, int count) {
        float weakest = std::numeric_limits<float>::infinity();
        for (int i = 0; i < WordBits; ++i)
            if (i < first || i >= first + count) weakest = std::min(weakest, reliability(i));
        return weakest;
    };

    RepairedWord result;
    const std::uint32_t syndrome = paritySyndrome(word, previousD29, previousD30);
    if (syndrome == 0) {
        // Nothing flipped: the word's least sure symbol (the least sure bit, or its neighbour) is
        // left out, and what remains is how sure the second least sure symbol is. Two wrong symbols
        // are what can make a wrong word pass as received, and then both are usually unsure.
        result.valid = true;
        int weakest = 0;
        for (int i = 1; i < WordBits; ++i)
            if (reliability(i) < reliability(weakest)) weakest = i;
        const int from = std::max(0, weakest - 1);
        result.weakestOther = weakestOutside(from, std::min(WordBits, weakest + 2) - from);
    } else {
        // Every pattern whose syndrome matches, with the reliability of the symbol it stands for.
        int bestFirst = -1, bestCount = 0, matches = 0;
        float best = 0.0f;
        const auto consider = [&](int first, int count, float cost) {
            if (count > limits.maximumFlips || !(cost < limits.reliabilityCeiling)) return;
            std::uint32_t column = 0;
            for (int i = first; i < first + count; ++i) column ^= SyndromeColumns[static_cast<std::size_t>(i)];
            if (column != syndrome) return;
            ++matches;
            if (bestFirst < 0 || cost < best) best = cost, bestFirst = first, bestCount = count;
        };
        consider(0, 1, reliability(0));
        consider(WordBits - 1, 1, reliability(WordBits - 1));
        for (int i = 0; i + 1 < WordBits; ++i) consider(i, 2, std::max(reliability(i), reliability(i + 1)));
        // A few syndromes belong to two patterns (D4 D5 and D24 D25, for one): when both are unsure
        // enough to be flipped, nothing says which symbol was wrong, and the word is refused.
        if (matches == 1 && weakestOutside(bestFirst, bestCount) >= limits.othersFloor) {
            result.valid = true;
            result.flippedBits = bestCount;
            result.flippedReliability = best;
            result.weakestOther = weakestOutside(bestFirst, bestCount);
            for (int i = bestFirst; i < bestFirst + bestCount; ++i) bits[static_cast<std::size_t>(i)] ^= 1u;
        }
    }

    const auto d30Star = static_cast<std::uint8_t>(previousD30 & 1);
    for (int i = 0; i < DataBits; ++i) {
        const auto bit = static_cast<std::uint8_t>(bits[static_cast<std::size_t>(i)] ^ d30Star);
        result.data = result.data << 1 | bit;
    }
    result.d29 = bits[28];
    result.d30 = bits[29];
    return result;
}

}  // namespace sondeco
