// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/audio_front_end.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

// The passband reaches this far past each edge of the band: the main lobe of MSK at 200 bit/s is
// 150 Hz either side of its tone, so a beacon on the edge keeps all of it.
constexpr double EdgeMarginHz = 200.0;
// Anything folded onto the passband by the decimation comes out at least this far down.
constexpr float StopbandAttenuationDb = 70.0f;
// Samples converted and filtered per pass; bounds the working memory whatever block the caller hands in.
constexpr std::size_t ChunkSamples = 4096;

// Sum of products of two float arrays. Four running sums let the compiler keep several multiply-adds
// in flight (and use vector registers) without changing the order of additions from call to call.
float dotProduct(const float* taps, const float* samples, std::size_t length) {
    float sum0 = 0.0f, sum1 = 0.0f, sum2 = 0.0f, sum3 = 0.0f;
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        sum0 += taps[i] * samples[i];
        sum1 += taps[i + 1] * samples[i + 1];
        sum2 += taps[i + 2] * samples[i + 2];
        sum3 += taps[i + 3] * samples[i + 3];
    }
    for (; i < length; ++i) sum0 += taps[i] * samples[i];
    return (sum0 + sum1) + (sum2 + sum3);
}

}  // namespace

AudioFrontEnd::AudioFrontEnd(const FrontEndSettings& settings)
    : inputRate_(settings.inputRate),
      bandLowHz_(settings.bandLowHz),
      bandHighHz_(settings.bandHighHz),
      centreFrequency_((settings.bandLowHz + settings.bandHighHz) / 2.0) {
    if (!(inputRate_ > 0.0) || !std::isfinite(inputRate_)) throw std::invalid_argument("the input rate must be positive");
    if (!(bandLowHz_ > 0.0) || !(bandHighHz_ > bandLowHz_) || !(bandHighHz_ < inputRate_ / 2.0)) {
        throw std::invalid_argument("the band " + std::to_string(bandLowHz_) + " to " + std::to_string(bandHighHz_) +
                                    " Hz does not fit between 0 Hz and " + std::to_string(inputRate_ / 2.0) + " Hz");
    }
    passbandHalfWidth_ = (bandHighHz_ - bandLowHz_) / 2.0 + EdgeMarginHz;
    if (!(passbandHalfWidth_ < inputRate_ / 2.0)) throw std::invalid_argument("the band is too wide for the input rate");

    // Keep four times the passband's half-width as the output rate: the acquisition squares the
    // signal, which doubles every frequency, and the squared band must still fit without folding.
    decimation_ = std::max(1, static_cast<int>(std::floor(inputRate_ / (4.0 * passbandHalfWidth_))));
    const double outputRate = inputRate_ / decimation_;
    // Whatever lies above outputRate - passband folds onto the passband; below it, it folds only
    // onto the unused edges of the output band. So the filter may roll off over that whole stretch,
    // which keeps it short.
    const double stopbandEdge = outputRate - passbandHalfWidth_;
    const double transition = (stopbandEdge - passbandHalfWidth_) / inputRate_;
    const double cutoff = (passbandHalfWidth_ + stopbandEdge) / 2.0 / inputRate_;

    // liquid-dsp designs the Kaiser-windowed prototype (its length estimate and window are well
    // tested); the filtering itself is ours, because moving the taps up to the band centre lets one
    // real-by-complex dot product per output sample do the mixing too, where liquid's decimators
    // would need the mixer run on every input sample first.
    unsigned length = estimate_req_filter_len(static_cast<float>(std::min(transition, 0.49)), StopbandAttenuationDb);
    length = std::max(length, 3u) | 1u;
    std::vector<float> prototype(length);
    liquid_firdes_kaiser(length, static_cast<float>(std::min(cutoff, 0.49)), StopbandAttenuationDb, 0.0f, prototype.data());
    double gain = 0.0;
    for (float tap : prototype) gain += tap;

    // Tap k multiplies the input k samples before the newest. Scaled by 2 so that a real tone's
    // upper half (amplitude A/2) comes out at amplitude A.
    const double centreStep = 2.0 * std::numbers::pi * centreFrequency_ / inputRate_;
    tapsReal_.resize(length);
    tapsImaginary_.resize(length);
    for (std::size_t k = 0; k < length; ++k) {
        const double tap = 2.0 * prototype[k] / gain;
        const double angle = centreStep * static_cast<double>(k);
        tapsReal_[length - 1 - k] = static_cast<float>(tap * std::cos(angle));
        tapsImaginary_[length - 1 - k] = static_cast<float>(tap * std::sin(angle));
    }
    history_.assign(length - 1, 0.0f);
    untilNextOutput_ = static_cast<std::size_t>(decimation_);
    mixer_ = std::polar(1.0, -centreStep * (decimation_ - 1));
    mixerStep_ = std::polar(1.0, -centreStep * decimation_);
}

std::size_t AudioFrontEnd::maxOutputSamples(std::size_t inputSamples) const {
    return inputSamples / static_cast<std::size_t>(decimation_) + 1;
}

template <typename Sample>
std::size_t AudioFrontEnd::processBlock(std::span<const Sample> input, std::span<ComplexSample> output) {
    if (output.size() < maxOutputSamples(input.size())) {
        throw std::invalid_argument("the output span is too short for the input block");
    }
    const std::size_t length = tapsReal_.size();
    const auto step = static_cast<std::size_t>(decimation_);
    std::size_t written = 0;
    for (std::size_t start = 0; start < input.size(); start += ChunkSamples) {
        const std::size_t count = std::min(ChunkSamples, input.size() - start);
        history_.resize(length - 1 + count);
        float* block = history_.data() + (length - 1);
        for (std::size_t n = 0; n < count; ++n) {
            const double sample = static_cast<double>(input[start + n]);
            if (std::isfinite(sample)) {
                block[n] = static_cast<float>(sample);
            } else {
                block[n] = 0.0f;
                ++nonFiniteSamples_;
            }
        }
        // The output whose newest input is block[position] uses history_[position .. position + length).
        std::size_t position = untilNextOutput_ - 1;
        for (; position < count; position += step) {
            const float* window = history_.data() + position;
            const std::complex<double> filtered(dotProduct(tapsReal_.data(), window, length),
                                                dotProduct(tapsImaginary_.data(), window, length));
            output[written++] = ComplexSample(filtered * mixer_);
            mixer_ *= mixerStep_;
            // Keep the phasor on the unit circle; rounding would otherwise let it grow or shrink.
            mixer_ *= (3.0 - std::norm(mixer_)) / 2.0;
        }
        untilNextOutput_ = position - count + 1;
        std::copy(history_.end() - static_cast<std::ptrdiff_t>(length - 1), history_.end(), history_.begin());
        history_.resize(length - 1);
    }
    return written;
}

std::size_t AudioFrontEnd::process(std::span<const float> input, std::span<ComplexSample> output) { return processBlock(input, output); }

std::size_t AudioFrontEnd::process(std::span<const double> input, std::span<ComplexSample> output) { return processBlock(input, output); }

void AudioFrontEnd::process(std::span<const float> input, std::vector<ComplexSample>& output) {
    const std::size_t before = output.size();
    output.resize(before + maxOutputSamples(input.size()));
    output.resize(before + processBlock(input, std::span<ComplexSample>(output).subspan(before)));
}

void AudioFrontEnd::process(std::span<const double> input, std::vector<ComplexSample>& output) {
    const std::size_t before = output.size();
    output.resize(before + maxOutputSamples(input.size()));
    output.resize(before + processBlock(input, std::span<ComplexSample>(output).subspan(before)));
}

}  // namespace sondeco
