// SPDX-License-Identifier: GPL-3.0-or-later
// A forward FFT for the acquisition's spectra: complex, power-of-two lengths, twiddles computed once.
// Ours rather than liquid-dsp's: Debian's liquid-dsp 1.5 runs its own mixed-radix code (not FFTW),
// which measured about half as fast at the lengths acquisition uses (2048 and 8192) and spent much
// of its time computing sines and cosines.
#pragma once

#include "coherent/baseband.h"

#include <cstddef>
#include <span>
#include <vector>

namespace sondeco {

class ForwardFft {
public:
    // Throws std::invalid_argument unless length is a power of two of at least 2.
    explicit ForwardFft(std::size_t length);

    // X[k] = sum over n of x[n] exp(-2 pi i k n / length), in natural order. Both spans hold length
    // samples; they may be the same.
    void transform(std::span<const ComplexSample> input, std::span<ComplexSample> output);
    std::size_t length() const { return length_; }

private:
    std::size_t length_;
    // exp(-2 pi i k / length) for k < length, real and imaginary parts apart.
    std::vector<float> twiddleReal_, twiddleImaginary_;
    // Ping-pong work arrays, real and imaginary parts apart so the butterflies run on plain floats.
    std::vector<float> real_[2], imaginary_[2];
};

// The Hann window over `length` samples (periodic: the sample after the last would be 0 again), for
// the spectra taken with this transform.
std::vector<float> hannWindow(std::size_t length);

}  // namespace sondeco
