// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/carrier_canceller.h"

#include "coherent/forward_fft.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <memory>
#include <numbers>

namespace sondeco {
namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
// A line stands this far above the median of the bins around it (the median of a noise-like spectrum's
// bins is 0.69 of their mean, so this is about 20 times the mean: a noise bin gets there once in
// e^20, and the smooth lobe of an MSK beacon never).
constexpr float LineOverMedian = 30.0f;
constexpr int NeighbourBins = 64;  // either side, for the median
constexpr int ExcludedBins = 4;  // the line's own skirt, left out of it
constexpr int NarrowFromBins = 2, NarrowToBins = 3;  // where a line has fallen away (a 25 bit/s beacon's lobe has not)...
constexpr double LineOverNear = 10.0;  // ...to below this share of its peak
constexpr double NarrowHz = 3.0;  // the amplitude estimate's bandwidth for a steady line...
constexpr double WideHz = 60.0;  // ...and for a keyed one
// Keyed: between two searches, the estimate's power spent this share of the time under a tenth of its
// peak. A steady line with a beacon's tone beside it (a run of equal bits is a tone a quarter of the
// bit rate off the beacon's centre) beats with it and can dip as deep, but only for moments.
constexpr double KeyedQuietShare = 0.15;
constexpr double QuietPower = 0.1;
constexpr std::size_t MaximumLines = 8;
constexpr double KeyingSidebandsHz = 30.0;  // lines this close to a stronger one are its keying's
constexpr int MissedSearches = 3;
constexpr double KeyedAliveOverBackground = 2.0;
// A line is taken out only once found in this many searches in a row at the same frequency: the
// spectrum of a second of a beacon has chance peaks too, but never twice in the same bin.
constexpr int ConfirmingSearches = 3;
// Keyed lines: the envelope fit reaches this far either side of a sample, and an edge is widened by
// this much either way (the fit crosses the thresholds a little inside the edge).
constexpr double LookAheadSeconds = 0.003, EdgeMarginSeconds = 0.002;
// Between these shares of the "on" amplitude (and clear of the fit's noise) the envelope is in an edge;
// above the middle one it is on.
constexpr double EdgeLow = 0.1, EdgeHigh = 0.9, OnShare = 0.5;
constexpr double EdgeOverNoise = 4.0;  // standard deviations of the fit's noise, for either threshold
constexpr double SettledSeconds = 0.2;  // of "on" time before the "on" amplitude is trusted
constexpr double PeakSeconds = 2.0;
// The "on" amplitude's phase is also followed in frequency (the line's frequency from the search is
// good to a tenth of a hertz; over the silence between two words of Morse that is a turn of phase).
constexpr double FrequencyLoopShare = 0.25;  // of the narrow gain, squared
// Around an edge, output power over about a millisecond this far above the background is blanked,
// with a little either side.
constexpr double ResidualSeconds = 0.001;
constexpr double BackgroundSeconds = 0.5;  // time constant of the background's power, away from edges
constexpr double ResidualOverBackground = 4.0;
constexpr double BlankMarginSeconds = 0.003;

// The search's FFT and scratch, shared by every canceller of the thread that searches with the same
// length: a band monitor has a canceller in each of up to thousands of channels, and each searches
// only once a second.
struct SearchScratch {
    explicit SearchScratch(std::size_t length) : fft(length), window(hannWindow(length)), spectrum(length), power(length) {}
    ForwardFft fft;
    std::vector<float> window;  // Hann, over the search's span
    std::vector<ComplexSample> spectrum;
    std::vector<float> power, sorted;
};

SearchScratch& scratchFor(std::size_t length) {
    thread_local std::map<std::size_t, std::unique_ptr<SearchScratch>> scratch;
    std::unique_ptr<SearchScratch>& entry = scratch[length];
    if (!entry) entry = std::make_unique<SearchScratch>(length);
    return *entry;
}

// Where an envelope of this full level is in an edge, given the fit's noise (its standard deviation).
std::pair<double, double> edgeThresholds(double full, double noise) {
    return {std::max(EdgeLow * full, EdgeOverNoise * noise), std::min(EdgeHigh * full, full - EdgeOverNoise * noise)};
}

// Weights of a least-squares quadratic over samples -m..m, evaluated at the middle (Savitzky-Golay):
// exact for any quadratic, so an edge's smooth curve is followed without the lag or the rounding of a
// low-pass of the same noise bandwidth.
std::vector<double> quadraticFitAtMiddle(std::size_t m) {
    const auto half = static_cast<double>(m);
    const double denominator = (2.0 * half + 3.0) * (2.0 * half + 1.0) * (2.0 * half - 1.0);
    std::vector<double> weights;
    for (std::size_t i = 0; i <= 2 * m; ++i) {
        const double k = static_cast<double>(i) - half;
        weights.push_back(3.0 * (3.0 * half * half + 3.0 * half - 1.0 - 5.0 * k * k) / denominator);
    }
    return weights;
}

double onePoleGain(double bandwidthHz, double sampleRate) { return 1.0 - std::exp(-TwoPi * bandwidthHz / sampleRate); }

}  // namespace

CarrierCanceller::CarrierCanceller(double sampleRate)
    : sampleRate_(sampleRate),
      recent_(std::bit_ceil(static_cast<std::size_t>(std::max(64.0, sampleRate)))),
      nextSearch_(recent_.size()),
      narrowGain_(onePoleGain(NarrowHz, sampleRate)),
      wideGain_(onePoleGain(WideHz, sampleRate)),
      fastGain_(onePoleGain(1.0 / (TwoPi * ResidualSeconds), sampleRate)),
      slowGain_(onePoleGain(1.0 / (TwoPi * BackgroundSeconds), sampleRate)),
      peakDecay_(std::exp(-1.0 / (PeakSeconds * sampleRate))),
      frequencyGain_(FrequencyLoopShare * narrowGain_ * narrowGain_),
      lookAhead_(std::max<std::size_t>(2, static_cast<std::size_t>(std::lround(LookAheadSeconds * sampleRate)))),
      edgeMargin_(static_cast<std::size_t>(std::lround(EdgeMarginSeconds * sampleRate))),
      fit_(quadraticFitAtMiddle(lookAhead_)),
      ringMask_(std::bit_ceil(2 * (lookAhead_ + edgeMargin_) + 2) - 1),
      input_(ringMask_ + 1),
      taken_(ringMask_ + 1) {}

void CarrierCanceller::process(std::span<ComplexSample> samples) {
    edge_.assign(samples.size(), false);
    const std::uint64_t delay = this->delay();
    std::size_t index = 0;
    for (ComplexSample& sample : samples) {
        const std::size_t here = index++;
        const std::uint64_t n = received_;
        recent_[recentNext_] = sample;
        recentNext_ = (recentNext_ + 1) % recent_.size();
        if (++received_ == nextSearch_) {
            search();
            nextSearch_ = received_ + static_cast<std::uint64_t>(sampleRate_);
        }
        const std::complex<double> input(sample.real(), sample.imag());
        input_[n & ringMask_] = input;
        taken_[n & ringMask_] = {};
        bool nearEdge = false;
        for (Tracker& tracker : trackers_) {
            const std::complex<double> turned = input * std::conj(tracker.phasor);
            tracker.amplitude += (tracker.keyed ? wideGain_ : narrowGain_) * (turned - tracker.amplitude);
            const double power = std::norm(tracker.amplitude);
            tracker.largest = std::max(tracker.largest, power);
            ++tracker.samplesSinceSearch;
            if (power < QuietPower * std::max(tracker.largest, tracker.previousLargest)) ++tracker.quietSamples;
            tracker.ring[n & ringMask_] = {turned, tracker.phasor, {}, false, false};
            if (tracker.keyed && n >= delay) nearEdge = followKeyed(tracker, n) || nearEdge;
            if (tracker.searches >= ConfirmingSearches && !tracker.edgesSeen) taken_[n & ringMask_] += tracker.amplitude * tracker.phasor;
            tracker.phasor *= tracker.step;
        }
        if (n < delay) {
            sample = {};
            continue;
        }
        const std::uint64_t out = n - delay;
        const std::complex<double> output = input_[out & ringMask_] - taken_[out & ringMask_];
        const double outputPower = std::norm(output);
        if (nearEdge) {
            residual_ += fastGain_ * (outputPower - residual_);
            edge_[here] = residual_ > ResidualOverBackground * background_;
        } else {
            residual_ = background_;
            background_ += slowGain_ * (outputPower - background_);
        }
        sample = ComplexSample(static_cast<float>(output.real()), static_cast<float>(output.imag()));
    }
    // Blank what was left far above the background, with a margin, as far back as this block reaches.
    const auto margin = static_cast<std::size_t>(BlankMarginSeconds * sampleRate_);
    const std::uint64_t blockStart = received_ - samples.size();
    for (std::size_t n = 0; n < samples.size();) {
        if (!edge_[n]) {
            ++n;
            continue;
        }
        std::size_t end = n;
        while (end < samples.size() && (edge_[end] || (end + 1 < samples.size() && edge_[end + 1]))) ++end;
        const std::size_t from = n > margin ? n - margin : 0;
        end = std::min(samples.size(), end + margin);
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(from), samples.begin() + static_cast<std::ptrdiff_t>(end), ComplexSample{});
        // Counted in output samples, which lag the input by the delay.
        const std::uint64_t first = blockStart + from - std::min<std::uint64_t>(blockStart + from, delay);
        const std::uint64_t last = blockStart + end - std::min<std::uint64_t>(blockStart + end, delay);
        if (!blanked_.empty() && blanked_.back().second >= first)
            blanked_.back().second = std::max(blanked_.back().second, last);
        else
            blanked_.emplace_back(first, last);
        n = end;
    }
    // Rounding must not let the phasors' length drift over hours.
    for (Tracker& tracker : trackers_) tracker.phasor /= std::abs(tracker.phasor);
}

// Fits the envelope of a keyed line at the sample lookAhead_ back from `n`, and takes the line out of
// the sample edgeMargin_ further back, where the edges either side are known. True if that sample is
// near an edge the fit follows.
bool CarrierCanceller::followKeyed(Tracker& tracker, std::uint64_t n) {
    const std::uint64_t middle = n - lookAhead_;
    std::complex<double> fitted;
    for (std::size_t i = 0; i < fit_.size(); ++i) fitted += fit_[i] * tracker.ring[(middle - lookAhead_ + i) & ringMask_].turned;
    KeyedSample& here = tracker.ring[middle & ringMask_];
    const bool settled = tracker.onSeconds >= SettledSeconds;
    const std::complex<double> direction = settled ? tracker.onAmplitude / std::abs(tracker.onAmplitude) : std::complex<double>{1.0, 0.0};
    // Once the "on" phase is known, only the part of the fit in that phase is the line's: half the noise.
    if (settled) fitted = std::real(fitted * std::conj(direction)) * direction;
    here.fitted = fitted;
    const double level = settled ? std::real(fitted * std::conj(direction)) : std::abs(fitted);
    tracker.peak = std::max(level, tracker.peak * peakDecay_);
    const double full = settled ? std::abs(tracker.onAmplitude) : tracker.peak;
    const auto [low, high] = edgeThresholds(full, std::sqrt(fit_[lookAhead_] * background_ / (settled ? 2.0 : 1.0)));
    here.edge = level > low && level < high;
    here.on = level > OnShare * full;
    if (here.on && level >= high) {
        const std::complex<double> error = here.turned - tracker.onAmplitude;
        tracker.onAmplitude += narrowGain_ * error;
        tracker.onSeconds += 1.0 / sampleRate_;
        if (settled) {
            const double phaseError = std::imag(here.turned * std::conj(tracker.onAmplitude)) / std::norm(tracker.onAmplitude);
            tracker.step *= std::polar(1.0, frequencyGain_ * std::clamp(phaseError, -1.0, 1.0));
        }
    }
    if (!tracker.edgesSeen) return false;
    const std::uint64_t out = middle - edgeMargin_;
    bool nearEdge = false;
    for (std::uint64_t m = out - std::min<std::uint64_t>(out, edgeMargin_); m <= middle; ++m)
        nearEdge = nearEdge || tracker.ring[m & ringMask_].edge;
    const KeyedSample& taken = tracker.ring[out & ringMask_];
    std::complex<double> amplitude;
    if (nearEdge)
        amplitude = taken.fitted;
    else if (taken.on)
        amplitude = settled ? tracker.onAmplitude : taken.fitted;
    taken_[out & ringMask_] += amplitude * taken.phasor;
    return nearEdge;
}

void CarrierCanceller::search() {
    const std::size_t length = recent_.size();
    SearchScratch& scratch = scratchFor(length);
    std::vector<ComplexSample>& spectrum = scratch.spectrum;
    const std::vector<float>& power = scratch.power;
    for (std::size_t n = 0; n < length; ++n) spectrum[n] = recent_[(recentNext_ + n) % length] * scratch.window[n];
    scratch.fft.transform(spectrum, spectrum);
    for (std::size_t k = 0; k < length; ++k) scratch.power[k] = std::norm(spectrum[k]);
    scratch.sorted = power;
    std::nth_element(scratch.sorted.begin(), scratch.sorted.begin() + static_cast<std::ptrdiff_t>(length / 2), scratch.sorted.end());
    const float overall = scratch.sorted[length / 2];

    for (Tracker& tracker : trackers_) tracker.seenThisSearch = false;
    struct Candidate {
        float power;
        double frequencyHz;
    };
    std::vector<Candidate> candidates;
    const auto bin = [length](std::ptrdiff_t k) {
        return static_cast<std::size_t>((k % static_cast<std::ptrdiff_t>(length) + static_cast<std::ptrdiff_t>(length)) %
                                        static_cast<std::ptrdiff_t>(length));
    };
    std::vector<float> neighbourhood;
    for (std::size_t k = 0; k < length; ++k) {
        const float peak = power[k];
        // Cheap tests first: far above the whole spectrum's median, and a local maximum.
        if (!(peak > LineOverMedian * overall) || peak < power[bin(static_cast<std::ptrdiff_t>(k) - 1)] ||
            peak < power[bin(static_cast<std::ptrdiff_t>(k) + 1)])
            continue;
        neighbourhood.clear();
        for (int d = ExcludedBins; d <= NeighbourBins; ++d) {
            neighbourhood.push_back(power[bin(static_cast<std::ptrdiff_t>(k) + d)]);
            neighbourhood.push_back(power[bin(static_cast<std::ptrdiff_t>(k) - d)]);
        }
        std::nth_element(neighbourhood.begin(), neighbourhood.begin() + static_cast<std::ptrdiff_t>(neighbourhood.size() / 2),
                         neighbourhood.end());
        if (!(peak > LineOverMedian * neighbourhood[neighbourhood.size() / 2])) continue;
        // And narrow: a beacon's spectrum has humps that stand above a median too (the lobe of a
        // slow one, the sidelobes between deep nulls of a strong one), but they are tens of hertz
        // wide, where a line (keyed or not) falls away within two or three bins.
        double near = 0.0;
        for (int d = NarrowFromBins; d <= NarrowToBins; ++d)
            near += power[bin(static_cast<std::ptrdiff_t>(k) + d)] + power[bin(static_cast<std::ptrdiff_t>(k) - d)];
        if (!(peak > LineOverNear * near / (2.0 * (NarrowToBins - NarrowFromBins + 1)))) continue;
        // Where between the bins the line lies: a parabola through the log powers around the peak.
        const double left = std::log(std::max(power[bin(static_cast<std::ptrdiff_t>(k) - 1)], 1e-30f));
        const double centre = std::log(peak);
        const double right = std::log(std::max(power[bin(static_cast<std::ptrdiff_t>(k) + 1)], 1e-30f));
        const double denominator = left - 2.0 * centre + right;
        const double offset = denominator < 0.0 ? std::clamp(0.5 * (left - right) / denominator, -0.5, 0.5) : 0.0;
        const double signedBin = static_cast<double>(k) - (k > length / 2 ? static_cast<double>(length) : 0.0) + offset;
        candidates.push_back({peak, signedBin * sampleRate_ / static_cast<double>(length)});
    }
    // Strongest first: a keyed carrier's keying puts weaker lines a few hertz either side of it,
    // which belong to its tracker, not to trackers of their own.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) { return a.power > b.power; });
    const double binHz = sampleRate_ / static_cast<double>(length);
    for (const Candidate& candidate : candidates) {
        const double frequencyHz = candidate.frequencyHz;
        auto known = std::find_if(trackers_.begin(), trackers_.end(),
                                  [&](const Tracker& t) { return std::fabs(t.frequencyHz - frequencyHz) < KeyingSidebandsHz; });
        if (known != trackers_.end() && known->seenThisSearch) continue;  // a sideband of a line already placed
        // A keyed line's keying sidebands can outdo the line itself over a search's span (the keying
        // spreads the line over its neighbours): they say it is still there, but must not move it.
        if (known != trackers_.end() && known->keyed && known->searches >= ConfirmingSearches &&
            std::fabs(known->frequencyHz - frequencyHz) > 2.0 * binHz) {
            known->seenThisSearch = true;
            known->missed = 0;
            continue;
        }
        if (known == trackers_.end()) {
            if (trackers_.size() >= MaximumLines) continue;
            trackers_.push_back(Tracker{});
            known = trackers_.end() - 1;
            known->ring.resize(ringMask_ + 1);
        } else if (known->searches >= 2 &&
                   static_cast<double>(known->quietSamples) >=
                       KeyedQuietShare * static_cast<double>(std::max<std::uint64_t>(known->samplesSinceSearch, 1))) {
            known->keyed = true;
        }
        // A line that moved by more than two bins since the last search starts its confirmation again:
        // a carrier stays put, where chance peaks of a beacon's lobe wander.
        if (std::fabs(known->frequencyHz - frequencyHz) > 2.0 * binHz) {
            known->searches = 0;
            known->keyed = known->edgesSeen = false;
            known->onSeconds = 0.0;
        }
        ++known->searches;
        // The phasor keeps its place; only its step follows the frequency. A keyed line's frequency
        // followed from its "on" phase is finer than the search's.
        if (known->keyed && known->onSeconds >= SettledSeconds) {
            known->frequencyHz = std::arg(known->step) * sampleRate_ / TwoPi;
        } else {
            known->frequencyHz = frequencyHz;
            known->step = std::polar(1.0, TwoPi * frequencyHz / sampleRate_);
        }
        // Fitted at its edges only when they stand clear of the fit's noise: from roughly 15 dB above
        // the rest of the baseband.
        const auto [low, high] = edgeThresholds(known->peak, std::sqrt(fit_[lookAhead_] * background_));
        known->edgesSeen = known->keyed && known->searches >= ConfirmingSearches && high - low > 0.5 * known->peak;
        known->seenThisSearch = true;
        known->missed = 0;
    }
    // A keyed line can be quiet for most of a search's span, or its keying can spread it over too many
    // bins to pass for a line: it goes only after a few searches missed in a row, and not while its own
    // estimate still shows it keyed on far above the rest of the baseband.
    for (Tracker& tracker : trackers_) {
        const bool stillKeyed =
            tracker.keyed && tracker.searches >= ConfirmingSearches && tracker.largest > KeyedAliveOverBackground * background_;
        if (!tracker.seenThisSearch && !stillKeyed) ++tracker.missed;
        if (stillKeyed) tracker.missed = 0;
        tracker.previousLargest = tracker.largest;
        tracker.largest = std::norm(tracker.amplitude);
        tracker.quietSamples = tracker.samplesSinceSearch = 0;
    }
    std::erase_if(trackers_, [](const Tracker& tracker) { return tracker.missed >= MissedSearches; });
}

void CarrierCanceller::takeBlanked(std::vector<std::pair<std::uint64_t, std::uint64_t>>& stretches) {
    stretches.insert(stretches.end(), blanked_.begin(), blanked_.end());
    blanked_.clear();
}

std::vector<CarrierCanceller::Line> CarrierCanceller::lines() const {
    std::vector<Line> lines;
    for (const Tracker& tracker : trackers_) lines.push_back({tracker.frequencyHz, std::norm(tracker.amplitude), tracker.keyed});
    return lines;
}

}  // namespace sondeco
