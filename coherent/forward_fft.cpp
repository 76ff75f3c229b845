#include "coherent/forward_fft.h"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace sondeco {

ForwardFft::ForwardFft(std::size_t length) : length_(length)
{
    if (length < 2 || (length & (length - 1)) != 0) throw std::invalid_argument("the FFT length must be a power of two");
    twiddleReal_.resize(length);
    twiddleImaginary_.resize(length);
    for (std::size_t k = 0; k < length; ++k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(length);
        twiddleReal_[k] = static_cast<float>(std::cos(angle));
        twiddleImaginary_[k] = static_cast<float>(std::sin(angle));
    }
    for (int i = 0; i < 2; ++i) {
        real_[i].resize(length);
        imaginary_[i].resize(length);
    }
}

void ForwardFft::transform(std::span<const ComplexSample> input, std::span<ComplexSample> output)
{
    if (input.size() != length_ || output.size() != length_) throw std::invalid_argument("the FFT got a block of the wrong length");
    for (std::size_t i = 0; i < length_; ++i) {
        real_[0][i] = input[i].real();
        imaginary_[0][i] = input[i].imag();
    }
    // Stockham's self-sorting form, radix 4 with one radix-2 pass when the length is an odd power
    // of two: each pass reads one array and writes the other, so the result comes out in natural
    // order without a bit-reversal pass, and the inner loops run over consecutive floats (which the
    // compiler turns into vector instructions). Complex products are written out in real
    // arithmetic: std::complex's operator* checks for infinities on every call.
    int from = 0;
    std::size_t stride = 1;
    std::size_t span = length_;
    for (; span >= 4; span /= 4, stride *= 4, from = 1 - from) {
        const std::size_t quarter = span / 4;
        const float* xr = real_[from].data();
        const float* xi = imaginary_[from].data();
        float* yr = real_[1 - from].data();
        float* yi = imaginary_[1 - from].data();
        for (std::size_t p = 0; p < quarter; ++p) {
            const float w1r = twiddleReal_[p * stride], w1i = twiddleImaginary_[p * stride];
            const float w2r = twiddleReal_[2 * p * stride], w2i = twiddleImaginary_[2 * p * stride];
            const float w3r = twiddleReal_[3 * p * stride], w3i = twiddleImaginary_[3 * p * stride];
            const std::size_t in = stride * p;
            const std::size_t out = stride * 4 * p;
            for (std::size_t q = 0; q < stride; ++q) {
                const float ar = xr[in + q], ai = xi[in + q];
                const float br = xr[in + q + stride * quarter], bi = xi[in + q + stride * quarter];
                const float cr = xr[in + q + 2 * stride * quarter], ci = xi[in + q + 2 * stride * quarter];
                const float dr = xr[in + q + 3 * stride * quarter], di = xi[in + q + 3 * stride * quarter];
                const float sumACr = ar + cr, sumACi = ai + ci, diffACr = ar - cr, diffACi = ai - ci;
                const float sumBDr = br + dr, sumBDi = bi + di;
                // -i (b - d)
                const float turnedr = bi - di, turnedi = dr - br;
                yr[out + q] = sumACr + sumBDr;
                yi[out + q] = sumACi + sumBDi;
                const float oneR = diffACr + turnedr, oneI = diffACi + turnedi;
                yr[out + q + stride] = oneR * w1r - oneI * w1i;
                yi[out + q + stride] = oneR * w1i + oneI * w1r;
                const float twoR = sumACr - sumBDr, twoI = sumACi - sumBDi;
                yr[out + q + 2 * stride] = twoR * w2r - twoI * w2i;
                yi[out + q + 2 * stride] = twoR * w2i + twoI * w2r;
                const float threeR = diffACr - turnedr, threeI = diffACi - turnedi;
                yr[out + q + 3 * stride] = threeR * w3r - threeI * w3i;
                yi[out + q + 3 * stride] = threeR * w3i + threeI * w3r;
            }
        }
    }
    if (span == 2) {
        const float* xr = real_[from].data();
        const float* xi = imaginary_[from].data();
        float* yr = real_[1 - from].data();
        float* yi = imaginary_[1 - from].data();
        for (std::size_t q = 0; q < stride; ++q) {
            yr[q] = xr[q] + xr[q + stride];
            yi[q] = xi[q] + xi[q + stride];
            yr[q + stride] = xr[q] - xr[q + stride];
            yi[q + stride] = xi[q] - xi[q + stride];
        }
        from = 1 - from;
    }
    for (std::size_t i = 0; i < length_; ++i) output[i] = ComplexSample(real_[from][i], imaginary_[from][i]);
}

}  // namespace sondeco
