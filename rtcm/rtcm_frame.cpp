// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/rtcm_frame.h"

#include <cstdio>

namespace sondeco {

int getField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field) {
    // The field lies within the 64 bits that start at its first word: at most 23 bits into that word,
    // and at most 32 wide.
    const int start = entryStart + field.offset;
    if (start < 0 || field.width <= 0) return 0;
    const auto first = static_cast<std::size_t>(start / DataBitsPerWord);
    const auto word = [&words](std::size_t w) -> std::uint64_t { return w < words.size() ? words[w] & 0xFFFFFFu : 0u; };
    // The first word's d1 in bit 63, then 40 more bits of the next two words.
    const std::uint64_t window = word(first) << 40 | word(first + 1) << 16 | word(first + 2) >> 8;
    const int offset = start % DataBitsPerWord;
    const std::uint64_t value = window << offset >> (64 - field.width);
    return static_cast<int>(static_cast<std::uint32_t>(value));
}

int getSignedField(const std::array<std::uint32_t, MaxDataWords>& words, int entryStart, const BitField& field) {
    const int value = getField(words, entryStart, field);
    if (field.width <= 0 || field.width >= 32) return value;
    const std::int64_t half = std::int64_t{1} << (field.width - 1);
    return value >= half ? static_cast<int>(value - 2 * half) : value;
}

std::string formatZCount(int zCount) {
    if (zCount > 6000) return "N/A";
    const int tenths = 6 * zCount;
    const int seconds = tenths / 10;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d.%d", seconds / 60, seconds % 60, tenths % 10);
    return text;
}

}  // namespace sondeco
