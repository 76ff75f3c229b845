// SPDX-License-Identifier: GPL-3.0-or-later
// The enhanced receiver's front end: real audio in, complex baseband out. The band the beacon may be in
// is mixed so that its middle sits at 0 Hz, low-passed and decimated, so that everything after this
// runs at a few thousand samples a second instead of 48000.
#pragma once

#include "coherent/baseband.h"

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace sondeco {

struct FrontEndSettings {
    double inputRate = 48000.0;  // Hz of the real input, > 0
    // The band of tones to keep, Hz of the input, 0 < low < high < inputRate / 2. A beacon's tone
    // anywhere in it comes out with its whole main lobe (the passband reaches a little past both
    // edges), so a tone on the edge is received as well as one in the middle.
    double bandLowHz = 200.0;
    double bandHighHz = 3500.0;
};

class AudioFrontEnd {
public:
    // Throws std::invalid_argument for a band that does not fit between 0 Hz and half the input rate.
    explicit AudioFrontEnd(const FrontEndSettings& settings = {});

    // Turns input samples (any block size, any scale) into baseband samples, written to `output`
    // from its start; returns how many. `output` must hold maxOutputSamples(input.size()). The
    // decimation phase and the filter state carry over from call to call, so the way a stream is
    // cut into blocks does not change a single output sample. A tone of amplitude A at the input
    // comes out as a complex exponential of amplitude A. Samples that are not finite numbers
    // (NaN, infinity) are taken as 0: one bad sample must not poison the filter for good.
    std::size_t process(std::span<const float> input, std::span<ComplexSample> output);
    std::size_t process(std::span<const double> input, std::span<ComplexSample> output);
    // The same, appending to a vector.
    void process(std::span<const float> input, std::vector<ComplexSample>& output);
    void process(std::span<const double> input, std::vector<ComplexSample>& output);

    std::size_t maxOutputSamples(std::size_t inputSamples) const;
    double outputRate() const { return inputRate_ / static_cast<double>(decimation_); }
    // The input frequency that comes out at 0 Hz: a tone at f Hz in the audio is at f - centre at
    // the output.
    double centreFrequency() const { return centreFrequency_; }
    // The tones to search, relative to 0 Hz at the output: the band of the settings, shifted.
    double searchLowHz() const { return bandLowHz_ - centreFrequency_; }
    double searchHighHz() const { return bandHighHz_ - centreFrequency_; }
    // Up to this far either side of 0 Hz the output is flat (within a fraction of a dB).
    double passbandHalfWidth() const { return passbandHalfWidth_; }
    int decimation() const { return decimation_; }
    std::size_t filterLength() const { return tapsReal_.size(); }
    // Input samples that were not finite numbers and were taken as 0.
    std::size_t nonFiniteSamples() const { return nonFiniteSamples_; }

private:
    template <typename Sample>
    std::size_t processBlock(std::span<const Sample> input, std::span<ComplexSample> output);

    double inputRate_;
    double bandLowHz_;
    double bandHighHz_;
    double centreFrequency_;
    double passbandHalfWidth_ = 0.0;
    int decimation_ = 1;

    // The low-pass filter moved up to the centre frequency, stored oldest tap first so that one
    // forward pass over the history meets the taps in order (real and imaginary parts apart, so
    // each is a plain dot product of floats).
    std::vector<float> tapsReal_;
    std::vector<float> tapsImaginary_;
    // The last filterLength() - 1 input samples, then the block being worked on.
    std::vector<float> history_;
    std::size_t untilNextOutput_ = 0;  // input samples still to come before the next output sample
    // The mixer's phase at the newest input sample of the next output, as a unit phasor; turned once
    // per output sample instead of once per input sample.
    std::complex<double> mixer_{1.0, 0.0};
    std::complex<double> mixerStep_{1.0, 0.0};
    std::size_t nonFiniteSamples_ = 0;
};

}  // namespace sondeco
