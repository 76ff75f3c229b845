// SPDX-License-Identifier: GPL-3.0-or-later
// What demodulators hand the RTCM side: bit decisions, one at a time and in time order, with or
// without how sure each one is.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace sondeco {

// One demodulated bit with its reliability: larger is surer; 0 means "no information" (a blanked
// or erased bit). Scaled as a log-likelihood ratio magnitude where practical. The word layer uses the
// reliabilities to repair words that fail parity.
//
// A coherent MSK detector decides symbols, and each bit is the equality of two neighbouring ones
// (1 when they agree). Where it gives them, `symbol` is the log-likelihood ratio of the symbol that
// ends this bit (positive for +1; the previous bit carries the other), and the word layer decodes
// whole words from the symbols by maximum likelihood (word_trellis.h) instead of repairing them.
struct SoftBit {
    std::uint8_t bit;
    float reliability;
    float symbol = std::numeric_limits<float>::quiet_NaN();  // NaN: no symbols from this demodulator

    bool hasSymbol() const { return !std::isnan(symbol); }
};

class BitSink {
public:
    virtual ~BitSink() = default;
    virtual void pushBit(std::uint8_t bit) = 0;  // 0 or 1
};

}  // namespace sondeco
