// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/mixed_radix_fft.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

// The passes read one array and write another, at offsets the compiler cannot prove apart: told so,
// it vectorises their loops.
#if defined(__clang__)
#define SONDECO_INDEPENDENT_ITERATIONS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define SONDECO_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#else
#define SONDECO_INDEPENDENT_ITERATIONS
#endif

namespace sondeco {
namespace {

// Below this stride a pass loops over its butterflies' positions innermost (the stride's loop would
// be too short to fill a vector register); from it on, over the stride.
constexpr std::size_t StrideInnermostFrom = 4;

// Each butterfly takes R inputs a[t] and gives the R-point DFT b[u] = sum over t of a[t] w^(t u),
// w = exp(-2 pi i / R).
struct Radix2 {
    static constexpr std::size_t R = 2;
    void operator()(const float* ar, const float* ai, float* br, float* bi) const {
        br[0] = ar[0] + ar[1];
        bi[0] = ai[0] + ai[1];
        br[1] = ar[0] - ar[1];
        bi[1] = ai[0] - ai[1];
    }
};

struct Radix3 {
    static constexpr std::size_t R = 3;
    void operator()(const float* ar, const float* ai, float* br, float* bi) const {
        constexpr float Half = 0.5f;
        constexpr float Sine = 0.866025403784438647f;  // sin(2 pi / 3)
        const float sumR = ar[1] + ar[2], sumI = ai[1] + ai[2];
        const float midR = ar[0] - Half * sumR, midI = ai[0] - Half * sumI;
        // -i sin(2 pi / 3) (a1 - a2), and its opposite for b2.
        const float turnR = Sine * (ai[1] - ai[2]), turnI = -Sine * (ar[1] - ar[2]);
        br[0] = ar[0] + sumR;
        bi[0] = ai[0] + sumI;
        br[1] = midR + turnR;
        bi[1] = midI + turnI;
        br[2] = midR - turnR;
        bi[2] = midI - turnI;
    }
};

struct Radix4 {
    static constexpr std::size_t R = 4;
    void operator()(const float* ar, const float* ai, float* br, float* bi) const {
        const float s02R = ar[0] + ar[2], s02I = ai[0] + ai[2];
        const float d02R = ar[0] - ar[2], d02I = ai[0] - ai[2];
        const float s13R = ar[1] + ar[3], s13I = ai[1] + ai[3];
        const float d13R = ar[1] - ar[3], d13I = ai[1] - ai[3];
        br[0] = s02R + s13R;
        bi[0] = s02I + s13I;
        br[2] = s02R - s13R;
        bi[2] = s02I - s13I;
        // b1 = d02 - i d13, b3 = d02 + i d13
        br[1] = d02R + d13I;
        bi[1] = d02I - d13R;
        br[3] = d02R - d13I;
        bi[3] = d02I + d13R;
    }
};

struct Radix5 {
    static constexpr std::size_t R = 5;
    void operator()(const float* ar, const float* ai, float* br, float* bi) const {
        constexpr float C1 = 0.309016994374947424f;  // cos(2 pi / 5)
        constexpr float C2 = -0.809016994374947424f;  // cos(4 pi / 5)
        constexpr float S1 = 0.951056516295153572f;  // sin(2 pi / 5)
        constexpr float S2 = 0.587785252292473129f;  // sin(4 pi / 5)
        const float t1R = ar[1] + ar[4], t1I = ai[1] + ai[4];
        const float t2R = ar[2] + ar[3], t2I = ai[2] + ai[3];
        const float t3R = ar[1] - ar[4], t3I = ai[1] - ai[4];
        const float t4R = ar[2] - ar[3], t4I = ai[2] - ai[3];
        const float m1R = ar[0] + C1 * t1R + C2 * t2R, m1I = ai[0] + C1 * t1I + C2 * t2I;
        const float m2R = ar[0] + C2 * t1R + C1 * t2R, m2I = ai[0] + C2 * t1I + C1 * t2I;
        const float n1R = S1 * t3R + S2 * t4R, n1I = S1 * t3I + S2 * t4I;
        const float n2R = S2 * t3R - S1 * t4R, n2I = S2 * t3I - S1 * t4I;
        br[0] = ar[0] + t1R + t2R;
        bi[0] = ai[0] + t1I + t2I;
        // b1 = m1 - i n1, b4 = m1 + i n1; b2 = m2 - i n2, b3 = m2 + i n2
        br[1] = m1R + n1I;
        bi[1] = m1I - n1R;
        br[4] = m1R - n1I;
        bi[4] = m1I + n1R;
        br[2] = m2R + n2I;
        bi[2] = m2I - n2R;
        br[3] = m2R - n2I;
        bi[3] = m2I + n2R;
    }
};

// One pass: for each position p < m of the current transforms and each q < s of the interleaved
// ones, the butterfly over the inputs m strides apart, its outputs turned by the twiddles
// exp(-2 pi i u p / (R m)) and stored side by side. The loop over q is innermost where it is long
// enough (every pass but the first few): its loads and stores are then contiguous and its twiddles
// constant, which the compiler vectorises.
template <typename Butterfly>
void runPass(const Butterfly& butterfly, std::size_t m, std::size_t s, const float* sr, const float* si, float* dr, float* di,
             const float* twr, const float* twi) {
    constexpr std::size_t R = Butterfly::R;
    const std::size_t apart = s * m;
    if (s >= StrideInnermostFrom) {
        for (std::size_t p = 0; p < m; ++p) {
            const float* __restrict inR = sr + s * p;
            const float* __restrict inI = si + s * p;
            float* __restrict outR = dr + s * R * p;
            float* __restrict outI = di + s * R * p;
            float wr[R], wi[R];
            for (std::size_t u = 1; u < R; ++u) {
                wr[u] = twr[(u - 1) * m + p];
                wi[u] = twi[(u - 1) * m + p];
            }
            SONDECO_INDEPENDENT_ITERATIONS
            for (std::size_t q = 0; q < s; ++q) {
                float ar[R], ai[R], br[R], bi[R];
                for (std::size_t t = 0; t < R; ++t) {
                    ar[t] = inR[q + t * apart];
                    ai[t] = inI[q + t * apart];
                }
                butterfly(ar, ai, br, bi);
                outR[q] = br[0];
                outI[q] = bi[0];
                for (std::size_t u = 1; u < R; ++u) {
                    outR[q + u * s] = br[u] * wr[u] - bi[u] * wi[u];
                    outI[q + u * s] = br[u] * wi[u] + bi[u] * wr[u];
                }
            }
        }
        return;
    }
    for (std::size_t q = 0; q < s; ++q) {
        const float* __restrict inR = sr + q;
        const float* __restrict inI = si + q;
        float* __restrict outR = dr + q;
        float* __restrict outI = di + q;
        SONDECO_INDEPENDENT_ITERATIONS
        for (std::size_t p = 0; p < m; ++p) {
            float ar[R], ai[R], br[R], bi[R];
            for (std::size_t t = 0; t < R; ++t) {
                ar[t] = inR[s * p + t * apart];
                ai[t] = inI[s * p + t * apart];
            }
            butterfly(ar, ai, br, bi);
            outR[s * R * p] = br[0];
            outI[s * R * p] = bi[0];
            for (std::size_t u = 1; u < R; ++u) {
                const float wr = twr[(u - 1) * m + p], wi = twi[(u - 1) * m + p];
                outR[s * (R * p + u)] = br[u] * wr - bi[u] * wi;
                outI[s * (R * p + u)] = br[u] * wi + bi[u] * wr;
            }
        }
    }
}

// The same for a radix without a butterfly of its own: its DFT the long way, from its roots.
void runGenericPass(std::size_t r, std::size_t m, std::size_t s, const float* sr, const float* si, float* dr, float* di, const float* twr,
                    const float* twi, const std::vector<float>& rootR, const std::vector<float>& rootI) {
    std::vector<float> ar(r), ai(r);
    for (std::size_t p = 0; p < m; ++p) {
        for (std::size_t q = 0; q < s; ++q) {
            for (std::size_t t = 0; t < r; ++t) {
                ar[t] = sr[q + s * (p + t * m)];
                ai[t] = si[q + s * (p + t * m)];
            }
            for (std::size_t u = 0; u < r; ++u) {
                float accR = 0.0f, accI = 0.0f;
                for (std::size_t t = 0; t < r; ++t) {
                    const std::size_t k = (t * u) % r;
                    accR += ar[t] * rootR[k] - ai[t] * rootI[k];
                    accI += ar[t] * rootI[k] + ai[t] * rootR[k];
                }
                float wr = 1.0f, wi = 0.0f;
                if (u > 0) {
                    wr = twr[(u - 1) * m + p];
                    wi = twi[(u - 1) * m + p];
                }
                const std::size_t out = q + s * (r * p + u);
                dr[out] = accR * wr - accI * wi;
                di[out] = accR * wi + accI * wr;
            }
        }
    }
}

}  // namespace

MixedRadixFft::MixedRadixFft(std::size_t length) : length_(length) {
    if (length == 0) throw std::invalid_argument("an FFT needs a length of at least 1");
    // Fours first (fewer passes than twos), then the rest smallest first.
    std::vector<std::size_t> radices;
    std::size_t rest = length;
    while (rest % 4 == 0) {
        radices.push_back(4);
        rest /= 4;
    }
    for (std::size_t factor = 2; rest > 1; ++factor) {
        while (rest % factor == 0) {
            radices.push_back(factor);
            rest /= factor;
        }
    }
    std::size_t remaining = length;  // the length of each transform at the current pass
    std::size_t stride = 1;
    for (const std::size_t radix : radices) {
        const std::size_t span = remaining / radix;
        passes_.push_back({radix, span, stride, twiddleReal_.size()});
        for (std::size_t u = 1; u < radix; ++u) {
            for (std::size_t p = 0; p < span; ++p) {
                const double angle = -2.0 * std::numbers::pi * static_cast<double>(u * p) / static_cast<double>(remaining);
                twiddleReal_.push_back(static_cast<float>(std::cos(angle)));
                twiddleImaginary_.push_back(static_cast<float>(std::sin(angle)));
            }
        }
        remaining = span;
        stride *= radix;
    }
    for (const Pass& pass : passes_) {
        const std::size_t r = pass.radix;
        if (r <= 5) continue;
        if (rootReal_.size() <= r) {
            rootReal_.resize(r + 1);
            rootImaginary_.resize(r + 1);
        }
        if (!rootReal_[r].empty()) continue;
        for (std::size_t k = 0; k < r; ++k) {
            const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(r);
            rootReal_[r].push_back(static_cast<float>(std::cos(angle)));
            rootImaginary_[r].push_back(static_cast<float>(std::sin(angle)));
        }
    }
    workReal_.resize(length);
    workImaginary_.resize(length);
}

void MixedRadixFft::transform(float* real, float* imaginary) {
    float* sourceR = real;
    float* sourceI = imaginary;
    float* targetR = workReal_.data();
    float* targetI = workImaginary_.data();
    for (const Pass& pass : passes_) {
        const float* twr = twiddleReal_.data() + pass.twiddles;
        const float* twi = twiddleImaginary_.data() + pass.twiddles;
        switch (pass.radix) {
            case 2:
                runPass(Radix2{}, pass.span, pass.stride, sourceR, sourceI, targetR, targetI, twr, twi);
                break;
            case 3:
                runPass(Radix3{}, pass.span, pass.stride, sourceR, sourceI, targetR, targetI, twr, twi);
                break;
            case 4:
                runPass(Radix4{}, pass.span, pass.stride, sourceR, sourceI, targetR, targetI, twr, twi);
                break;
            case 5:
                runPass(Radix5{}, pass.span, pass.stride, sourceR, sourceI, targetR, targetI, twr, twi);
                break;
            default:
                runGenericPass(pass.radix, pass.span, pass.stride, sourceR, sourceI, targetR, targetI, twr, twi, rootReal_[pass.radix],
                               rootImaginary_[pass.radix]);
                break;
        }
        std::swap(sourceR, targetR);
        std::swap(sourceI, targetI);
    }
    if (sourceR != real) {
        std::copy(sourceR, sourceR + length_, real);
        std::copy(sourceI, sourceI + length_, imaginary);
    }
}

}  // namespace sondeco
