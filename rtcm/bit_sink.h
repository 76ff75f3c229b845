// SPDX-License-Identifier: GPL-3.0-or-later
// What demodulators hand the RTCM side: bit decisions, one at a time and in time order, with or
// without how sure each one is.
#pragma once

#include <cstdint>

namespace sondeco {

// One demodulated bit with its reliability: larger is surer; 0 means "no information" (a blanked
// or erased bit). Scaled as a log-likelihood ratio magnitude where practical. The word layer uses the
// reliabilities to repair words that fail parity.
struct SoftBit {
    std::uint8_t bit;
    float reliability;
};

class BitSink {
public:
    virtual ~BitSink() = default;
    virtual void pushBit(std::uint8_t bit) = 0;  // 0 or 1
};

}  // namespace sondeco
