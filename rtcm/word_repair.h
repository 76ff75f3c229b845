// SPDX-License-Identifier: GPL-3.0-or-later
// Soft-decision repair of one RTCM word: when a word fails parity, the least reliable received bits are
// flipped until the parity passes, within limits that keep the chance of "repairing" a word into a
// wrong one that happens to pass negligible. Plain functions, no state: the word layer carries
// D29*/D30* from word to word itself. Used for soft bits that come without their symbols; a coherent
// detector's words are decided on the trellis instead (word_trellis.h), which is exact and knows
// how sure each word is.
#pragma once

#include "rtcm/bit_sink.h"

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

// The errors repair looks for are those of a coherent MSK receiver: each received bit is the
// exclusive-or of two neighbouring symbol decisions, so one wrong symbol flips two neighbouring bits
// (both unreliable), and only the symbols on a word's edges flip a single bit (D1 or D30, together
// with the neighbouring word's D30 or D1). Repair therefore tries, besides the word as received,
// exactly those patterns: a neighbouring pair D(i), D(i+1), or D1 or D30 alone. That is 31 patterns
// where "any one or two bits" would be 465, and almost all of the latter are errors no symbol makes:
// each would only add ways to turn a word with several wrong symbols into a wrong word that passes.
//
// The limits come from measurement (bench/coherent_ber, 1000 frames a point at 200 bit/s): at 5 dB
// and above no word was repaired into a wrong one; at 4 dB two in 8400 were (next to 76 that passed
// wrong as received, which no repair can help), where a floor of 3 let nine through and one of 5
// still one. Each step of the floor costs some 4 % of the frames at 6 dB (floor 3: 78 %, 4: 73.5 %,
// 5: 67 %); the ceiling matters less (2, 2.5, 3 at floor 4: 70, 72, 73.5 %).
struct WordRepairLimits {
    int maximumFlips = 2;  // 0: parity as received only; 1: D1 or D30 alone; 2: also neighbouring pairs
    // A pattern is flipped only if the wrong symbol it stands for was this unsure (log-likelihood
    // ratio magnitude, taken as the larger of the two bits' for a pair: each bit is about as sure
    // as the less sure of its two symbols).
    float reliabilityCeiling = 3.0f;
    // ... and only if every other bit of the word is at least this sure. The parity has no strength
    // left to check a repaired word with, so the repair must rest on one unsure symbol among sure
    // ones: a second unsure one is as likely wrong as the first, and two wrong symbols can make the
    // parity pass on a wrong word.
    float othersFloor = 4.0f;
};

struct RepairedWord {
    bool valid = false;  // parity passes, with `flippedBits` flips
    int flippedBits = 0;
    float flippedReliability = 0.0f;  // the reliability of the symbol taken to be wrong
    // How sure the rest of the word is: the least reliability among the bits not flipped, or for a
    // word that passed as received, among those outside its least sure symbol. A word layer can ask
    // as much of a word that passed as received where it must be surer than parity alone makes it.
    float weakestOther = 0.0f;
    std::uint32_t data = 0;  // d1..d24 with the D30* inversion removed, d1 the most significant of 24 bits
    // The word's own D29/D30 after any flip: the D29*/D30* of the next word. Set even when the
    // word is not valid (as received then), since the next word's parity depends on them either way.
    std::uint8_t d29 = 0;
    std::uint8_t d30 = 0;
};

// `word` holds D1..D30 as received (still inverted when the previous word's D30 was 1);
// `previousD29`/`previousD30` are that previous word's last two bits as the word layer took them.
RepairedWord repairWord(std::span<const SoftBit, 30> word, int previousD29, int previousD30, const WordRepairLimits& limits = {});

// The six-bit parity syndrome of a received word: 0 when it passes as received.
std::uint32_t paritySyndrome(std::span<const SoftBit, 30> word, int previousD29, int previousD30);

}  // namespace sondeco
