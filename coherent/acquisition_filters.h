// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition's filters: the band limiter, which keeps only the search band, and the channel
// banks, which cut it into the narrow channels that are squared one by one. For the acquisition
// (acquisition.cpp) only.
#pragma once

#include "coherent/baseband.h"
#include "coherent/forward_fft.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace sondeco::acquisition {

// A channel bank decimates by at most this much.
inline constexpr std::size_t MaxChannelDecimation = 16;

// Cuts the input into overlapping blocks and transforms each (overlap-save framing), for the channel
// banks; where the input's rate leaves no room for channels it also keeps only the search band (plus
// the main lobe of the fastest beacon on either side) for a rung over the whole band. Either way
// nothing outside the band reaches the squaring. Squaring mixes every pair of frequencies, so
// whatever else reaches it adds noise under the lines, and worse: an audio front end's output
// carries the mirror images of real audio just outside its band (its filter cannot cut sharply next
// to 0 Hz of the audio without hundreds of taps), and squared images make ghost pairs at wrong
// tones. The sharp linear-phase FIR applied by FFT costs two short FFTs per block.
class BandLimiter {
public:
    // With `filtering` false the blocks' spectra are all that is wanted (the channel banks filter
    // them themselves), and the filter's own output is not made.
    BandLimiter(double sampleRate, double lowHz, double highHz, bool filtering);

    // The filter's frequency response at a bin of the blocks' spectra.
    ComplexSample responseAt(int bin) const { return unscaled_[static_cast<std::size_t>(bin) & (unscaled_.size() - 1)]; }

    // Filters `input` and hands each finished block to `sink`: the filter's output for the block's new
    // samples, and the spectrum of the whole block before filtering (for the channel bank, which
    // filters it again its own way).
    template <typename Sink>
    void process(std::span<const ComplexSample> input, Sink&& sink) {
        const std::size_t length = buffer_.size();
        std::size_t position = 0;
        while (position < input.size()) {
            const std::size_t count = std::min(length - filled_, input.size() - position);
            for (std::size_t i = 0; i < count; ++i) {
                // Samples that are not finite numbers count as 0: one would spread over a whole block.
                const ComplexSample z = input[position + i];
                buffer_[filled_ + i] = std::isfinite(z.real()) && std::isfinite(z.imag()) ? z : ComplexSample{};
            }
            filled_ += count;
            position += count;
            if (filled_ < length) break;
            // Overlap-save: the first taps - 1 outputs of the circular convolution wrap around and are
            // dropped; the rest are the filter's output for the newest samples. The inverse FFT is the
            // forward one on conjugates.
            fft_->transform(buffer_, blockSpectrum_);
            if (!filtering_) {
                sink(std::span<const ComplexSample>(), blockSpectrum_);
                std::copy(buffer_.end() - static_cast<std::ptrdiff_t>(overlap_), buffer_.end(), buffer_.begin());
                filled_ = overlap_;
                continue;
            }
            for (std::size_t k = 0; k < length; ++k) {
                // conj(spectrum * response), written out: std::complex's product checks for infinities.
                const float a = blockSpectrum_[k].real(), b = blockSpectrum_[k].imag();
                const float c = response_[k].real(), d = response_[k].imag();
                spectrum_[k] = ComplexSample(a * c - b * d, -(a * d + b * c));
            }
            fft_->transform(spectrum_, spectrum_);
            for (ComplexSample& value : spectrum_) value = ComplexSample(value.real(), -value.imag());
            sink(std::span<const ComplexSample>(spectrum_).subspan(overlap_), blockSpectrum_);
            std::copy(buffer_.end() - static_cast<std::ptrdiff_t>(overlap_), buffer_.end(), buffer_.begin());
            filled_ = overlap_;
        }
    }

    void setFiltering(bool filtering) { filtering_ = filtering; }
    std::size_t length() const { return buffer_.size(); }
    std::size_t taps() const { return taps_; }
    std::size_t overlap() const { return overlap_; }
    std::size_t newSamplesPerBlock() const { return buffer_.size() - overlap_; }

    static constexpr double TransitionHz = 150.0;

private:
    bool filtering_;
    std::size_t taps_ = 0;
    std::size_t overlap_ = 0;  // samples each block shares with the one before
    std::vector<ComplexSample> unscaled_;
    std::unique_ptr<ForwardFft> fft_;
    std::vector<ComplexSample> buffer_;
    std::vector<ComplexSample> blockSpectrum_;
    std::vector<ComplexSample> spectrum_;
    std::vector<ComplexSample> response_;
    std::size_t filled_ = 0;
};

// Splits the band limiter's blocks into narrow channels, straight from each block's spectrum: a channel's bins times its filter's response, turned back with a short inverse FFT, give
// the channel at a low rate (overlap-save with decimation; the filter's response is nil outside the
// bins taken, so nothing folds). Squaring MSK within a few hundred hertz of it instead of the whole
// band leaves out most of the noise-times-noise products that otherwise bury the lines near the
// band's middle, where every pair of noise frequencies symmetric about the tone adds up on a line:
// at 8 dB a beacon of 100 bit/s in the middle of the band was not found at all over the whole band,
// and is within a second and a half in channels.
class ChannelBank {
public:
    // Channels centred on the given bins of the limiter's blocks, `binsTaken` bins wide each, flat to
    // flatHz either side of their centres.
    ChannelBank(double sampleRate, const BandLimiter& limiter, std::vector<int> centreBins, std::size_t binsTaken, double flatHz);

    double outputRate(double sampleRate) const { return sampleRate / static_cast<double>(decimation_); }
    std::size_t channels() const { return centreBins_.size(); }
    int centreBin(std::size_t channel) const { return centreBins_[channel]; }

    // Hands `sink(channel, samples)` each channel's new samples for one block of the limiter.
    template <typename Sink>
    void split(const std::vector<ComplexSample>& blockSpectrum, Sink&& sink) {
        const auto mask = static_cast<int>(length_ - 1);
        const std::size_t firstValid = overlap_ / decimation_;
        for (std::size_t channel = 0; channel < centreBins_.size(); ++channel) {
            const int centre = centreBins_[channel];
            for (std::size_t index = 0; index < binsTaken_; ++index) {
                const int offset =
                    index < binsTaken_ / 2 ? static_cast<int>(index) : static_cast<int>(index) - static_cast<int>(binsTaken_);
                const ComplexSample x = blockSpectrum[static_cast<std::size_t>((centre + offset) & mask)];
                const ComplexSample h = responses_[channel][index];
                // conj(x * h), for the inverse transform by the forward one.
                bins_[index] = ComplexSample(x.real() * h.real() - x.imag() * h.imag(), -(x.real() * h.imag() + x.imag() * h.real()));
            }
            inverse_.transform(bins_, samples_);
            // The bins were taken relative to the block's start; the mixer runs on from block to block.
            const std::complex<double> turn = std::polar(1.0, -phases_[channel]);
            const ComplexSample rotation(turn);
            for (std::size_t m = firstValid; m < binsTaken_; ++m) {
                const ComplexSample z(samples_[m].real(), -samples_[m].imag());
                samples_[m] = z * rotation;
            }
            phases_[channel] = std::fmod(phases_[channel] + 2.0 * std::numbers::pi * static_cast<double>(centre) *
                                                                static_cast<double>(newSamples_) / static_cast<double>(length_),
                                         2.0 * std::numbers::pi);
            sink(channel, std::span<const ComplexSample>(samples_).subspan(firstValid));
        }
    }

private:
    std::size_t length_, taps_, overlap_, newSamples_, binsTaken_, decimation_;
    std::vector<int> centreBins_;
    std::vector<double> phases_;
    std::vector<std::vector<ComplexSample>> responses_;
    ForwardFft inverse_;
    std::vector<ComplexSample> bins_, samples_;
};

}  // namespace sondeco::acquisition
