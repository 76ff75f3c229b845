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
// of a beacon beneath it.
//
// A keyed line is a carrier of fixed phase times an envelope that is either full or nothing, except
// for the few milliseconds of each keying edge. So while it is on, it is taken out with its "on"
// amplitude, estimated as narrowly as a steady line's; while it is off, nothing is taken out; and only
// around an edge is the envelope estimated sample by sample, by a quadratic fit over a few
// milliseconds either side (the output lags the input by that look-ahead): the fit follows a keying
// edge without lag and costs the beacon beneath only the edge's few milliseconds. Where even that leaves
// far more than the background (a carrier keyed with hard edges, a click), the baseband is blanked
// and the stretch handed on as damaged: the detector then takes those symbols as unknown instead of as
// wrong. A keyed line too weak for its edges to be seen in the fit's noise is followed by a wider
// estimate instead (tens of hertz), which is what such a line needs. A line no longer found is let go.
#pragma once

#include "coherent/baseband.h"

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

    // Takes the carriers out of `samples` in place. The output lags the input by delay() samples
    // (zeros first).
    void process(std::span<ComplexSample> samples);
    std::size_t delay() const { return lookAhead_ + edgeMargin_; }

    struct Line {
        double frequencyHz;  // relative to 0 Hz of the baseband
        double power;  // of the estimate, in baseband units squared
        bool keyed;
    };
    // The lines followed now.
    std::vector<Line> lines() const;
    // Output samples [first, end) blanked at keying edges since the last call, counted from the
    // first sample put out; appended to `stretches`.
    void takeBlanked(std::vector<std::pair<std::uint64_t, std::uint64_t>>& stretches);

private:
    // What a keyed line's look-ahead keeps of each of the last ring-size samples.
    struct KeyedSample {
        std::complex<double> turned;  // the input turned down by the line's frequency
        std::complex<double> phasor;  // that turned it
        std::complex<double> fitted;  // the envelope fit's complex amplitude
        bool edge = false, on = false;
    };
    struct Tracker {
        std::complex<double> phasor{1.0, 0.0};  // exp(j omega n) at the next sample
        std::complex<double> step;
        std::complex<double> amplitude;  // the line's complex amplitude, as estimated (narrow, or wide if keyed)
        double frequencyHz;
        bool keyed = false;
        bool edgesSeen = false;  // keyed, and strong enough for its edges to be fitted
        bool seenThisSearch = true;
        int searches = 0;  // that found it; its estimate has settled after the first
        int missed = 0;  // searches in a row that did not
        double largest = 0.0, previousLargest = 0.0;  // of |amplitude|^2 since the last search, and before it
        std::uint64_t samplesSinceSearch = 0, quietSamples = 0;  // the latter under a tenth of the largest
        // Keyed lines:
        std::vector<KeyedSample> ring;
        std::complex<double> onAmplitude;  // while on, narrow
        double onSeconds = 0.0;  // that onAmplitude has been estimated over
        double peak = 0.0;  // recent peak of the fitted envelope
    };
    void search();
    bool followKeyed(Tracker& tracker, std::uint64_t n);

    double sampleRate_;
    std::vector<ComplexSample> recent_;  // the last search's span of samples (a power of two), oldest first once full
    std::size_t recentNext_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t nextSearch_;
    std::vector<Tracker> trackers_;
    double narrowGain_, wideGain_;  // one-pole gains of the amplitude estimate
    double fastGain_, slowGain_, peakDecay_, frequencyGain_;
    std::size_t lookAhead_, edgeMargin_;  // samples
    std::vector<double> fit_;  // the envelope fit's weights, over 2 lookAhead_ + 1 samples
    std::size_t ringMask_;
    std::vector<std::complex<double>> input_, taken_;  // rings: the input, and what is taken out of it
    double background_ = 0.0;  // mean power of the output outside edges
    double residual_ = 0.0;  // power of the output near an edge, over about a millisecond
    std::vector<bool> edge_;  // per sample of the block: left far above the background at a keying edge
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blanked_;
};

}  // namespace sondeco
