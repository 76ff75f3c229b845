// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/forward_fft.h"

#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace sondeco {

namespace {

// Four floats in one SSE register (GCC and Clang vector extension); arithmetic with a float
// broadcasts it.
using Vector4 = float __attribute__((vector_size(16)));

template <typename T>
T load(const float* from) {
    T value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

template <typename T>
void store(float* to, T value) {
    std::memcpy(to, &value, sizeof value);
}

struct Twiddles {
    float r1, i1, r2, i2, r3, i3;
};

// One radix-4 butterfly (or four, with T = Vector4): inputs `apart` floats from each other starting at
// `in`, outputs `stride` floats from each other starting at `out`, the last three turned by the
// twiddles. Complex products are written out in real arithmetic: std::complex's operator* checks for
// infinities on every call.
template <typename T>
void butterfly(const float* xr, const float* xi, float* yr, float* yi, std::size_t in, std::size_t apart, std::size_t out,
               std::size_t stride, const Twiddles& w) {
    const T ar = load<T>(xr + in), ai = load<T>(xi + in);
    const T br = load<T>(xr + in + apart), bi = load<T>(xi + in + apart);
    const T cr = load<T>(xr + in + 2 * apart), ci = load<T>(xi + in + 2 * apart);
    const T dr = load<T>(xr + in + 3 * apart), di = load<T>(xi + in + 3 * apart);
    const T sumACr = ar + cr, sumACi = ai + ci, diffACr = ar - cr, diffACi = ai - ci;
    const T sumBDr = br + dr, sumBDi = bi + di;
    const T turnedR = bi - di, turnedI = dr - br;  // -i (b - d)
    store(yr + out, sumACr + sumBDr);
    store(yi + out, sumACi + sumBDi);
    const T oneR = diffACr + turnedR, oneI = diffACi + turnedI;
    store(yr + out + stride, oneR * w.r1 - oneI * w.i1);
    store(yi + out + stride, oneR * w.i1 + oneI * w.r1);
    const T twoR = sumACr - sumBDr, twoI = sumACi - sumBDi;
    store(yr + out + 2 * stride, twoR * w.r2 - twoI * w.i2);
    store(yi + out + 2 * stride, twoR * w.i2 + twoI * w.r2);
    const T threeR = diffACr - turnedR, threeI = diffACi - turnedI;
    store(yr + out + 3 * stride, threeR * w.r3 - threeI * w.i3);
    store(yi + out + 3 * stride, threeR * w.i3 + threeI * w.r3);
}

}  // namespace

ForwardFft::ForwardFft(std::size_t length) : length_(length) {
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

void ForwardFft::transform(std::span<const ComplexSample> input, std::span<ComplexSample> output) {
    if (input.size() != length_ || output.size() != length_) throw std::invalid_argument("the FFT got a block of the wrong length");
    for (std::size_t i = 0; i < length_; ++i) {
        real_[0][i] = input[i].real();
        imaginary_[0][i] = input[i].imag();
    }
    // Stockham's self-sorting form, radix 4 with one radix-2 pass when the length is an odd power
    // of two: each pass reads one array and writes the other, so the result comes out in natural
    // order without a bit-reversal pass, and from the second pass on the butterflies of one
    // twiddle sit on consecutive floats, four to a vector register.
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
            const Twiddles w{twiddleReal_[p * stride],          twiddleImaginary_[p * stride], twiddleReal_[2 * p * stride],
                             twiddleImaginary_[2 * p * stride], twiddleReal_[3 * p * stride],  twiddleImaginary_[3 * p * stride]};
            const std::size_t in = stride * p;
            const std::size_t out = stride * 4 * p;
            const std::size_t apart = stride * quarter;
            std::size_t q = 0;
            // Four butterflies side by side in vector registers (the first pass has stride 1 and
            // goes one at a time).
            for (; q + 4 <= stride; q += 4) butterfly<Vector4>(xr, xi, yr, yi, in + q, apart, out + q, stride, w);
            for (; q < stride; ++q) butterfly<float>(xr, xi, yr, yi, in + q, apart, out + q, stride, w);
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

std::vector<float> hannWindow(std::size_t length) {
    std::vector<float> window(length);
    for (std::size_t i = 0; i < length; ++i)
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(length)));
    return window;
}

}  // namespace sondeco
