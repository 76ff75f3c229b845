// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/band_channelizer.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sondeco {
namespace {

// The prototype filter. liquid-dsp's own design for a bank like this passes a whole spacing either
// side of the centre, so a neighbour beacon would come through at full strength (and, squared by the
// acquisition, fold back onto the channel). Ours is flat to 200 Hz either side, where a beacon's main
// lobe lies, and 80 dB down from 400 Hz, where the neighbour's begins: the neighbour's own spectral
// skirts, not the filter, are then what limits reception next to a strong station.
constexpr double CutoffHz = 300.0;  // half-way through the transition
constexpr unsigned PrototypeSemiLength = 7;  // in output samples: sets the transition's width
constexpr float PrototypeAttenuationDb = 80.0f;
// The input is kept for this many output samples beyond the prototype's length before the oldest is
// dropped, so that the copy that drops it is rare.
constexpr std::size_t HistoryFrames = 64;

// Whether every prime factor of n is 7 or less: the FFT has butterflies for 2, 3, 4 and 5, and 7 done
// the long way costs little.
bool smooth(std::size_t n) {
    for (const std::size_t factor : {2u, 3u, 5u, 7u})
        while (n % factor == 0) n /= factor;
    return n == 1;
}

// How fast a power measured through the filter (taps summing to 1) settles on white noise: the
// variance of |y|^2 averaged over T seconds is 1 / (T W) of its mean squared, where W is (integral of
// |H|^2)^2 over integral of |H|^4. Through the taps' autocorrelation r, W is the rate times r(0)^2
// over the sum of r(k)^2; that sum is taken in the frequency domain, over a transform long enough
// that r does not wrap.
double settlingBandwidth(const std::vector<float>& taps, double rate) {
    std::size_t length = 2 * taps.size();
    while (!smooth(length)) ++length;
    std::vector<float> real(length, 0.0f), imaginary(length, 0.0f);
    std::copy(taps.begin(), taps.end(), real.begin());
    double energy = 0.0;
    for (const float tap : taps) energy += static_cast<double>(tap) * tap;
    MixedRadixFft fft(length);
    fft.transform(real.data(), imaginary.data());
    double fourth = 0.0;
    for (std::size_t k = 0; k < length; ++k) {
        const double power = static_cast<double>(real[k]) * real[k] + static_cast<double>(imaginary[k]) * imaginary[k];
        fourth += power * power;
    }
    return rate * energy * energy / (fourth / static_cast<double>(length));
}

}  // namespace

BandChannelizer::BandChannelizer(double sampleRate, double gridOffsetHz, bool seams)
    : sampleRate_(sampleRate),
      gridOffset_(gridOffsetHz),
      raster_(0),
      branches_(0),
      spacing_(0.0),
      decimation_(0),
      tapsPerBranch_(0),
      historyEnd_(0),
      fft_(1) {
    if (!(sampleRate >= 8000.0) || !std::isfinite(sampleRate) || sampleRate > 1e8)
        throw std::invalid_argument("the channelizer needs a sample rate of at least 8000 Hz");
    raster_ = rasterChannelsFor(sampleRate);
    branches_ = seams ? 2 * raster_ : raster_;
    spacing_ = spacingFor(sampleRate);
    decimation_ = static_cast<std::size_t>(raster_ / 2);
    const auto branches = static_cast<std::size_t>(branches_);
    const std::size_t taps = 2 * static_cast<std::size_t>(raster_) * PrototypeSemiLength;
    tapsPerBranch_ = taps / branches;
    std::vector<float> prototype(taps);
    liquid_firdes_kaiser(static_cast<unsigned>(taps), static_cast<float>(CutoffHz / sampleRate), PrototypeAttenuationDb, 0.0f,
                         prototype.data());
    // Unity gain at the centre: a tone of amplitude A comes out of its channel with amplitude A.
    double sum = 0.0;
    for (const float tap : prototype) sum += tap;
    for (float& tap : prototype) tap = static_cast<float>(tap / sum);
    settlingBandwidth_ = settlingBandwidth(prototype, sampleRate);

    // Channel c's output is the input turned down by c times the bin spacing, then filtered:
    //   y_c(n) = sum over l of h(l) x(nD - l) exp(-2 pi i c (nD - l) / B)
    // for B branches and D input samples an output. Splitting l = p + qB, this is
    //   exp(-2 pi i c nD / B) times the inverse DFT over p of v_p = sum over q of h(p + qB) x(nD - p - qB),
    // and with the branches read backwards (w_i = v_(B-1-i)) the inverse DFT is a forward one times a
    // phase constant for each channel, which nobody downstream sees. The first factor turns by a
    // quarter or a half turn an output (D/B is 1/4 with seams, else 1/2), applied to the channels
    // copied out.
    coefficients_.resize(taps);
    for (std::size_t q = 0; q < tapsPerBranch_; ++q)
        for (std::size_t i = 0; i < branches; ++i) coefficients_[q * branches + i] = prototype[(branches - 1 - i) + q * branches];
    const std::size_t capacity = taps - 1 + HistoryFrames * decimation_;
    historyReal_.assign(capacity, 0.0f);
    historyImaginary_.assign(capacity, 0.0f);
    historyEnd_ = taps - 1;  // the filter starts from silence
    fft_ = MixedRadixFft(branches);
    real_.resize(branches);
    imaginary_.resize(branches);

    mixing_ = gridOffsetHz != 0.0;
    if (mixing_) {
        mixerSteps_.resize(decimation_);
        for (std::size_t n = 0; n < decimation_; ++n)
            mixerSteps_[n] = std::polar(1.0f, static_cast<float>(-2.0 * std::numbers::pi *
                                                                 std::remainder(gridOffsetHz * static_cast<double>(n) / sampleRate, 1.0)));
        mixerBlockStep_ =
            std::polar(1.0, -2.0 * std::numbers::pi * std::remainder(gridOffsetHz * static_cast<double>(decimation_) / sampleRate, 1.0));
    }
}

BandChannelizer::~BandChannelizer() = default;

int BandChannelizer::rasterChannelsFor(double sampleRate) {
    const int nearest = 2 * static_cast<int>(std::lround(sampleRate / (2.0 * RasterHz)));
    // With seams the FFT is twice the raster channels long.
    for (int away = 0;; away += 2) {
        if (smooth(2 * static_cast<std::size_t>(nearest + away))) return nearest + away;
        if (nearest - away >= 2 && smooth(2 * static_cast<std::size_t>(nearest - away))) return nearest - away;
    }
}

double BandChannelizer::centreHz(int channel) const {
    const int bin = channel < branches_ / 2 ? channel : channel - branches_;
    return gridOffset_ + bin * (sampleRate_ / branches_);
}

int BandChannelizer::channelNearest(double hz) const {
    const long bin = std::lround((hz - gridOffset_) / (sampleRate_ / branches_));
    const long wrapped = ((bin % branches_) + branches_) % branches_;
    return static_cast<int>(wrapped);
}

bool BandChannelizer::usable(int channel) const {
    if (channel < 0 || channel >= branches_) return false;
    // The channel's whole output band (+-spacing) inside the stream, with one spacing to spare for
    // the SDR's own anti-alias filter.
    return std::fabs(centreHz(channel)) + 2.0 * spacing_ <= sampleRate_ / 2.0;
}

void BandChannelizer::process(std::span<const ComplexSample> input, std::span<const int> wanted,
                              std::vector<std::vector<ComplexSample>>& outputs) {
    process(input, wanted, outputs, {});
}

void BandChannelizer::process(std::span<const ComplexSample> input, std::span<const int> wanted,
                              std::vector<std::vector<ComplexSample>>& outputs, std::span<float> powerSums) {
    if (outputs.size() < static_cast<std::size_t>(branches_)) outputs.resize(static_cast<std::size_t>(branches_));
    const std::size_t keep = historyReal_.size() - HistoryFrames * decimation_;  // the prototype's length less one
    while (!input.empty()) {
        const std::size_t take = std::min(input.size(), decimation_ - sinceFrame_);
        if (historyEnd_ + take > historyReal_.size()) {
            // Only the samples the next output needs: the prototype's length before it, less those of
            // it already here.
            const std::size_t held = keep + sinceFrame_;
            std::copy(historyReal_.begin() + static_cast<std::ptrdiff_t>(historyEnd_ - held),
                      historyReal_.begin() + static_cast<std::ptrdiff_t>(historyEnd_), historyReal_.begin());
            std::copy(historyImaginary_.begin() + static_cast<std::ptrdiff_t>(historyEnd_ - held),
                      historyImaginary_.begin() + static_cast<std::ptrdiff_t>(historyEnd_), historyImaginary_.begin());
            historyEnd_ = held;
        }
        float* real = historyReal_.data() + historyEnd_;
        float* imaginary = historyImaginary_.data() + historyEnd_;
        for (std::size_t n = 0; n < take; ++n) {
            std::complex<float> sample = input[n];
            if (!std::isfinite(sample.real()) || !std::isfinite(sample.imag())) sample = 0.0f;
            if (mixing_) sample *= std::complex<float>(mixer_) * mixerSteps_[sinceFrame_ + n];
            real[n] = sample.real();
            imaginary[n] = sample.imag();
        }
        historyEnd_ += take;
        sinceFrame_ += take;
        input = input.subspan(take);
        if (sinceFrame_ < decimation_) break;
        takeFrame(wanted, outputs, powerSums);
        sinceFrame_ = 0;
        if (mixing_) {
            mixer_ *= mixerBlockStep_;
            mixer_ /= std::abs(mixer_);
        }
    }
}

void BandChannelizer::takeFrame(std::span<const int> wanted, std::vector<std::vector<ComplexSample>>& outputs, std::span<float> powerSums) {
    const auto branches = static_cast<std::size_t>(branches_);
    float* __restrict sumReal = real_.data();
    float* __restrict sumImaginary = imaginary_.data();
    // The newest sample is at historyEnd_ - 1; branch i of tap q reads the one (q + 1) B - 1 - i before it.
    for (std::size_t q = 0; q < tapsPerBranch_; ++q) {
        const std::size_t start = historyEnd_ - (q + 1) * branches;
        const float* __restrict taps = coefficients_.data() + q * branches;
        const float* __restrict inReal = historyReal_.data() + start;
        const float* __restrict inImaginary = historyImaginary_.data() + start;
        if (q == 0) {
            for (std::size_t i = 0; i < branches; ++i) {
                sumReal[i] = taps[i] * inReal[i];
                sumImaginary[i] = taps[i] * inImaginary[i];
            }
            continue;
        }
        for (std::size_t i = 0; i < branches; ++i) {
            sumReal[i] += taps[i] * inReal[i];
            sumImaginary[i] += taps[i] * inImaginary[i];
        }
    }
    fft_.transform(sumReal, sumImaginary);
    if (!powerSums.empty()) {
        float* __restrict power = powerSums.data();
        for (std::size_t c = 0; c < branches; ++c) power[c] += sumReal[c] * sumReal[c] + sumImaginary[c] * sumImaginary[c];
    }
    if (recentLength_ > 0) {
        const std::size_t slot = static_cast<std::size_t>(frames_ % recentLength_) * branches;
        std::copy(real_.begin(), real_.end(), recentReal_.begin() + static_cast<std::ptrdiff_t>(slot));
        std::copy(imaginary_.begin(), imaginary_.end(), recentImaginary_.begin() + static_cast<std::ptrdiff_t>(slot));
    }
    for (const int channel : wanted) {
        const auto c = static_cast<std::size_t>(channel);
        outputs[c].push_back(turned(sumReal[c], sumImaginary[c], c, frames_));
    }
    ++frames_;
}

// Output n of channel c: (-i)^(c n) with seams, (-1)^(c n) without, as a count of quarter turns.
ComplexSample BandChannelizer::turned(float re, float im, std::size_t channel, std::uint64_t output) const {
    const std::uint64_t quarters = branches_ == raster_ ? 2 : 1;
    switch ((static_cast<std::uint64_t>(channel) * output * quarters) & 3u) {
        case 0:
            return {re, im};
        case 1:  // times -i
            return {im, -re};
        case 2:
            return {-re, -im};
        default:  // times i
            return {-im, re};
    }
}

void BandChannelizer::keepRecent(std::size_t samples) {
    recentLength_ = samples;
    recentReal_.assign(samples * static_cast<std::size_t>(branches_), 0.0f);
    recentImaginary_.assign(samples * static_cast<std::size_t>(branches_), 0.0f);
    recentFrom_ = frames_;
}

void BandChannelizer::recent(int channel, std::size_t count, std::vector<ComplexSample>& out) const {
    const std::uint64_t kept = std::min<std::uint64_t>(recentLength_, frames_ - recentFrom_);
    const std::uint64_t given = std::min<std::uint64_t>(count, kept);
    const auto c = static_cast<std::size_t>(channel);
    for (std::uint64_t n = frames_ - given; n < frames_; ++n) {
        const std::size_t at = static_cast<std::size_t>(n % recentLength_) * static_cast<std::size_t>(branches_) + c;
        out.push_back(turned(recentReal_[at], recentImaginary_[at], c, n));
    }
}

}  // namespace sondeco
