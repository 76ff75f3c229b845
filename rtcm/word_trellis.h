// SPDX-License-Identifier: GPL-3.0-or-later
// Maximum-likelihood decoding of one RTCM word from the soft symbols of a coherent MSK detector.
//
// Each received bit is the equality of two neighbouring symbols, and the parity of a word covers the
// previous word's D29*/D30* as well as its own 30 bits. So the window that decides a word is 32 bits
// (D29*, D30*, D1..D30) resting on 33 symbols, and every one of its 2^26 code words (any D29*/D30*,
// any 24 data bits) is a path through a trellis whose state is the parity syndrome so far (6 bits)
// and the last symbol (1 bit): 128 states, 32 steps. The likeliest path ending on syndrome 0 is the
// maximum-likelihood word; the likeliest other path says how sure it is.
//
// This is what repair by flipping (word_repair.h) approximates: it is exact for any number of wrong
// symbols, costs about 16,000 additions a word, and gives every word, whether it passed parity as
// received or not, a margin that can be compared with a fixed floor. Seen as symbols the code has
// pairs of words only two symbols apart, so the margin, not parity, is what stands between a noisy
// word and a wrong one.
#pragma once

#include <cstdint>
#include <span>

namespace sondeco {

// The symbols of a word's window: the symbol before D29*, then the symbol that ends each window
// bit (D29*, D30*, D1, ..., D30). Each is a log-likelihood ratio, positive for the symbol +1; 0 says
// nothing (a blanked symbol).
inline constexpr int TrellisSymbolCount = 33;

struct TrellisWord {
    std::uint32_t data = 0;  // d1..d24 with the D30* inversion removed, d1 the most significant of 24 bits
    std::uint32_t received = 0;  // D1..D30 as decided (D30* inversion still in), D1 in bit 29
    std::uint8_t previousD29 = 0;  // D29*/D30* as decided in this window
    std::uint8_t previousD30 = 0;
    std::uint8_t d29 = 0;  // the word's own D29/D30: the next word's D29*/D30*
    std::uint8_t d30 = 0;
    // Log-likelihood ratio of the chosen path over the likeliest path that gives other bits (the
    // max-log approximation of the chosen word's log posterior odds): flipping one symbol of
    // log-likelihood ratio L costs |L|.
    float margin = 0.0f;
};

TrellisWord decodeWordOnTrellis(std::span<const float, TrellisSymbolCount> symbols);

}  // namespace sondeco
