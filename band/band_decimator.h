// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Brings a wide complex stream down to the band around its 0 Hz that holds the channels wanted, by
// halving its rate as often as the band allows, before the filter bank cuts it: an RTL-SDR's
// 2.4 MS/s around 304 kHz holds the whole beacon band in its middle 42 kHz, so the bank need only
// run at 75 kS/s. Each halving is a half-band filter, whose every other tap is zero: a few
// multiplies an input sample for the first halvings (their transition bands are wide), more only
// for the last, which runs at the lowest rate.
#include "coherent/baseband.h"

#include <cstddef>
#include <span>
#include <vector>

namespace sondeco {

class BandDecimator {
public:
    // Keeps -passbandHz..+passbandHz flat (within a thousandth of a decibel) and everything that
    // would fold onto it at least 90 dB down. `rateAllowed` says whether a halved rate may be used
    // (a bank after it may need its rate to divide evenly); the rate is halved while the result
    // leaves a transition band at least half the passband wide on each side and is allowed.
    template <typename Allowed>
    BandDecimator(double sampleRate, double passbandHz, Allowed rateAllowed) {
        double rate = sampleRate;
        while (rate / 2.0 >= MinimumRateOverPassband * passbandHz && rateAllowed(rate / 2.0)) {
            addStage(rate, passbandHz);
            rate /= 2.0;
        }
        outputRate_ = rate;
    }

    // How many times the rate is halved (0: the stream passes as it is).
    std::size_t halvings() const { return stages_.size(); }
    double outputRate() const { return outputRate_; }
    // Takes input samples (any block size) and appends the output samples they complete to `output`.
    // Samples that are not finite numbers count as 0.
    void process(std::span<const ComplexSample> input, std::vector<ComplexSample>& output);

    // Output rate over passband (one-sided): 2 for the passband itself, 0.5 more for the transition.
    static constexpr double MinimumRateOverPassband = 2.5;

private:
    // y(m) = centreTap x(2m + 2K - 1) + sum over i of outerTaps(i) (x(2m + 2K - 2i) + x(2m + 2K + 2i - 2)),
    // i = 1..K: the centre is an odd input sample, and every other tap falls on even ones. So the
    // input is kept as its even and odd samples apart, real and imaginary parts apart, and each sum
    // runs over consecutive elements of those arrays.
    struct Stage {
        float centreTap = 0.5f;
        std::vector<float> outerTaps;  // h at 1, 3, 5... samples either side of the centre
        // The input's pairs not yet done with: the filter's length less one, then the new ones.
        std::vector<float> evenReal, evenImaginary, oddReal, oddImaginary;
        bool halfPair = false;  // an even sample waits for its odd one
        ComplexSample waiting;
        std::vector<float> outReal, outImaginary;
    };
    void addStage(double inputRate, double passbandHz);
    static void runStage(Stage& stage, std::span<const ComplexSample> input, std::vector<ComplexSample>& output);

    double outputRate_ = 0.0;
    std::vector<Stage> stages_;
    std::vector<ComplexSample> scratch_[2];
};

}  // namespace sondeco
