#pragma once
// The words every part of the enhanced receiver speaks: complex baseband samples in, soft bits out.

#include <complex>
#include <cstdint>

namespace sondeco {

using ComplexSample = std::complex<float>;

// One demodulated bit with its reliability: larger is surer; 0 means "no information" (a blanked
// or erased bit). Scaled as a log-likelihood ratio magnitude where practical.
struct SoftBit {
    std::uint8_t bit;
    float reliability;
};

}  // namespace sondeco
