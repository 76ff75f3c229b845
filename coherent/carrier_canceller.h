// SPDX-License-Identifier: GPL-3.0-or-later
// Other stations' carriers in the beacon's band, found and taken out of the baseband before the
// acquisition and the detector see it. A non-directional beacon's carrier is a single spectral line
// (steady, keyed on and off with its identifier, or carrying a keyed 1020 Hz tone whose sidebands are
// lines too); an MSK beacon has no line in its own spectrum, only a smooth lobe. Squared, though, a
// carrier near the beacon lands on or beside the lines the acquisition looks for, and a strong one
// holds the detector's loops: so it must go before either.
//
// Every second the last few seconds' spectrum (about 1 Hz bins) is searched for lines that stand far
// above the median of their neighbourhood. Each line found is followed by an estimate of its complex
// amplitude (the baseband turned down by the line's frequency, low-passed) and subtracted sample by
// sample. The estimate's bandwidth is a few hertz for a steady line, so that it takes next to nothing
// of a beacon beneath it; a line whose amplitude is seen to jump (keyed) gets a wider one, so the
// estimate follows the keying within milliseconds. No estimate narrow enough to spare the beacon
// follows a keying edge (5 ms) of a carrier far stronger than the beacon, so while such a carrier's
// amplitude is changing the baseband is blanked and the stretch handed on as damaged: the detector
// then takes those symbols as unknown instead of as wrong. A line that is no longer found is let go.
#pragma once

#include "coherent/baseband.h"
#include "coherent/forward_fft.h"

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace sondeco {

class CarrierCanceller {
public:
    explicit CarrierCanceller(double sampleRate);

    // Takes the carriers out of `samples` in place.
    void process(std::span<ComplexSample> samples);

    struct Line {
        double frequencyHz;  // relative to 0 Hz of the baseband
        double power;  // of the estimate, in baseband units squared
        bool keyed;
    };
    // The lines followed now.
    std::vector<Line> lines() const;
    // Baseband samples [first, end) blanked at keying edges since the last call, counted from the
    // first sample processed; appended to `stretches`.
    void takeBlanked(std::vector<std::pair<std::uint64_t, std::uint64_t>>& stretches);

private:
    struct Tracker {
        std::complex<double> phasor{1.0, 0.0};  // exp(j omega n) at the next sample
        std::complex<double> step;
        std::complex<double> amplitude;  // the line's complex amplitude, as estimated
        double frequencyHz;
        bool keyed = false;
        bool seenThisSearch = true;
        int searches = 0;  // that found it; its estimate has settled after the first
        int missed = 0;  // searches in a row that did not
        double smallest = 0.0, largest = 0.0;  // |amplitude|^2 since the last search
        double fast = 0.0, slow = 0.0, peak = 0.0;  // |amplitude| smoothed two ways, and its recent peak
    };
    void search();

    double sampleRate_;
    ForwardFft fft_;
    std::vector<ComplexSample> recent_;  // the last fft length samples, oldest first once full
    std::size_t recentNext_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t nextSearch_;
    std::vector<float> window_;  // Hann, over the search's span
    std::vector<ComplexSample> spectrum_;
    std::vector<float> power_, sorted_;
    std::vector<Tracker> trackers_;
    double narrowGain_, wideGain_;  // one-pole gains of the amplitude estimate
    double fastGain_, slowGain_, peakDecay_;
    double background_ = 0.0;  // mean power of the output outside blanked stretches
    std::vector<bool> edge_;  // per sample of the block: at a keying edge
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blanked_;
};

}  // namespace sondeco
