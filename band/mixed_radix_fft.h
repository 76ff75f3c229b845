// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A forward FFT of any length, for the band's filter bank, whose length is the stream's rate over
// the channel spacing: 9600 at 2.4 MS/s, 1000 at 250 kS/s, 80 at 20 kS/s. Those lengths are products
// of 2, 3 and 5, which get butterflies of their own (4 for the pairs of twos); any other factor is
// done as a plain DFT of its length, correct but slow for a large prime.
//
// Self-sorting (Stockham): every pass reads one array and writes the other, so no bit reversal is
// needed and the output comes in natural order. Real and imaginary parts are kept apart so that the
// passes run on plain float arrays the compiler turns into vector code.
#include <cstddef>
#include <vector>

namespace sondeco {

class MixedRadixFft {
public:
    // Throws std::invalid_argument for a length of 0.
    explicit MixedRadixFft(std::size_t length);

    // X[k] = sum over n of x[n] exp(-2 pi i k n / length), in place: `real` and `imaginary` hold
    // length() values each, in and out.
    void transform(float* real, float* imaginary);
    std::size_t length() const { return length_; }

private:
    struct Pass {
        std::size_t radix;
        std::size_t span;  // m: the butterflies' inputs lie this many strides apart
        std::size_t stride;  // s
        std::size_t twiddles;  // offset of this pass's twiddles: (radix - 1) rows of span values
    };
    std::size_t length_;
    std::vector<Pass> passes_;
    std::vector<float> twiddleReal_, twiddleImaginary_;
    std::vector<float> workReal_, workImaginary_;
    // exp(-2 pi i k / r) for the radices without butterflies of their own, one row per radix.
    std::vector<std::vector<float>> rootReal_, rootImaginary_;
};

}  // namespace sondeco
