// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/acquisition_filters.h"

#include <liquid/liquid.h>

#include <numbers>

namespace sondeco::acquisition {

BandLimiter::BandLimiter(double sampleRate, double lowHz, double highHz, bool filtering) : filtering_(filtering) {
    const double transition = std::min(TransitionHz, (highHz - lowHz) / 2.0);
    // Length for 60 dB with a Kaiser window: (A - 8) / (2.285 * transition in radians per sample).
    // Rounded up so that taps - 1 (and so the block's new samples) divides by every decimation the
    // channel bank may use.
    auto taps = static_cast<std::size_t>(std::ceil(52.0 / (2.285 * 2.0 * std::numbers::pi * transition / sampleRate)));
    taps = (taps + MaxChannelDecimation - 1) / MaxChannelDecimation * MaxChannelDecimation + 1;
    // Each block keeps room for two filters of that length one after the other: the channel banks
    // apply their own on top of this one.
    const std::size_t overlap = 2 * (taps - 1);
    std::size_t length = 64;
    while (length < 4 * overlap) length *= 2;
    taps_ = taps;
    overlap_ = overlap;
    fft_ = std::make_unique<ForwardFft>(length);
    buffer_.assign(length, ComplexSample{});
    spectrum_.resize(length);
    blockSpectrum_.resize(length);
    filled_ = overlap;  // the history starts as silence

    // liquid-dsp's Kaiser design for the low-pass of half the band's width plus half a transition,
    // moved up to the band's middle; its response is kept divided by the length for the inverse
    // transform.
    std::vector<float> prototype(taps);
    const double cutoff = ((highHz - lowHz) / 2.0 + transition / 2.0) / sampleRate;
    liquid_firdes_kaiser(static_cast<unsigned>(taps), static_cast<float>(std::min(cutoff, 0.49)), 60.0f, 0.0f, prototype.data());
    double gain = 0.0;
    for (float tap : prototype) gain += static_cast<double>(tap);
    const double middle = (lowHz + highHz) / 2.0;
    std::vector<ComplexSample> impulse(length, ComplexSample{});
    for (std::size_t k = 0; k < taps; ++k) {
        const double angle = 2.0 * std::numbers::pi * middle / sampleRate * static_cast<double>(k);
        // Taps may be negative, which std::polar does not take.
        const double tap = static_cast<double>(prototype[k]) / gain;
        impulse[k] = ComplexSample(static_cast<float>(tap * std::cos(angle)), static_cast<float>(tap * std::sin(angle)));
    }
    response_.resize(length);
    fft_->transform(impulse, response_);
    unscaled_ = response_;
    for (ComplexSample& value : response_) value /= static_cast<float>(length);
}

ChannelBank::ChannelBank(double sampleRate, const BandLimiter& limiter, std::vector<int> centreBins, std::size_t binsTaken, double flatHz)
    : length_(limiter.length()),
      taps_(limiter.taps()),
      overlap_(limiter.overlap()),
      newSamples_(limiter.newSamplesPerBlock()),
      binsTaken_(binsTaken),
      decimation_(limiter.length() / binsTaken),
      centreBins_(std::move(centreBins)),
      phases_(centreBins_.size(), 0.0),
      inverse_(binsTaken),
      bins_(binsTaken),
      samples_(binsTaken) {
    // The channel filter: as long as the limiter's, flat to flatHz, gone by flatHz plus the
    // limiter's transition. Its response on the bins taken, the centre bin first.
    std::vector<float> prototype(taps_);
    const double cutoff = (flatHz + BandLimiter::TransitionHz / 2.0) / sampleRate;
    liquid_firdes_kaiser(static_cast<unsigned>(taps_), static_cast<float>(cutoff), 60.0f, 0.0f, prototype.data());
    double gain = 0.0;
    for (float tap : prototype) gain += static_cast<double>(tap);
    std::vector<std::complex<double>> channelResponse(binsTaken_);
    for (std::size_t index = 0; index < binsTaken_; ++index) {
        const double bin =
            index < binsTaken_ / 2 ? static_cast<double>(index) : static_cast<double>(index) - static_cast<double>(binsTaken_);
        for (std::size_t n = 0; n < taps_; ++n) {
            const double angle = -2.0 * std::numbers::pi * bin * static_cast<double>(n) / static_cast<double>(length_);
            channelResponse[index] += static_cast<double>(prototype[n]) / gain * std::complex<double>(std::cos(angle), std::sin(angle));
        }
    }
    // Each channel's filter times the band limiter's, which keeps out what lies beyond the search
    // band: above all the mirror images of low audio that an audio front end lets through next
    // to its band (the product of a real sound's frequencies with their own images is a line, at
    // the squared 0 Hz of the audio, that folds into a channel like a beacon's). Divided by the
    // block length for the inverse transform.
    responses_.resize(centreBins_.size());
    for (std::size_t channel = 0; channel < centreBins_.size(); ++channel) {
        responses_[channel].resize(binsTaken_);
        for (std::size_t index = 0; index < binsTaken_; ++index) {
            const int offset = index < binsTaken_ / 2 ? static_cast<int>(index) : static_cast<int>(index) - static_cast<int>(binsTaken_);
            const std::complex<double> band(limiter.responseAt(centreBins_[channel] + offset));
            responses_[channel][index] = ComplexSample(channelResponse[index] * band / static_cast<double>(length_));
        }
    }
}

}  // namespace sondeco::acquisition
