// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The words every part of the enhanced receiver speaks: complex baseband samples in, soft bits out.

#include "rtcm/bit_sink.h"  // SoftBit: what the detector hands the word layer

#include <complex>
#include <cstdint>

namespace sondeco {

using ComplexSample = std::complex<float>;

}  // namespace sondeco
