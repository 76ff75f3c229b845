// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/carrier_canceller.h"

#include <algorithm>
#include <bit>
#include <cmath>
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
constexpr double KeyedSwing = 10.0;  // largest over smallest power between two searches that says keyed
constexpr std::size_t MaximumLines = 8;
constexpr double KeyingSidebandsHz = 30.0;  // lines this close to a stronger one are its keying's
constexpr int MissedSearches = 3;
// A line is taken out only once found in this many searches in a row at the same frequency: the
// spectrum of a second of a beacon has chance peaks too, but never twice in the same bin.
constexpr int ConfirmingSearches = 3;
// A keying edge: the amplitude smoothed over 1 ms and over 8 ms differ by more than a fifth of its
// peak. Blanked only for a carrier whose peak power is this many times the rest of the baseband's,
// and a little either side.
constexpr double FastSeconds = 0.001, SlowSeconds = 0.008, PeakSeconds = 2.0;
constexpr double EdgeShare = 0.2;
constexpr double StrongOverBackground = 3.0;
constexpr double BlankMarginSeconds = 0.003;

double onePoleGain(double bandwidthHz, double sampleRate) { return 1.0 - std::exp(-TwoPi * bandwidthHz / sampleRate); }

}  // namespace

CarrierCanceller::CarrierCanceller(double sampleRate)
    : sampleRate_(sampleRate),
      fft_(std::bit_ceil(static_cast<std::size_t>(std::max(64.0, sampleRate)))),
      recent_(fft_.length()),
      nextSearch_(fft_.length()),
      spectrum_(fft_.length()),
      power_(fft_.length()),
      narrowGain_(onePoleGain(NarrowHz, sampleRate)),
      wideGain_(onePoleGain(WideHz, sampleRate)),
      fastGain_(onePoleGain(1.0 / (TwoPi * FastSeconds), sampleRate)),
      slowGain_(onePoleGain(1.0 / (TwoPi * SlowSeconds), sampleRate)),
      peakDecay_(std::exp(-1.0 / (PeakSeconds * sampleRate))) {
    const std::size_t length = fft_.length();
    for (std::size_t n = 0; n < length; ++n)
        window_.push_back(static_cast<float>(0.5 - 0.5 * std::cos(TwoPi * static_cast<double>(n) / static_cast<double>(length))));
}

void CarrierCanceller::process(std::span<ComplexSample> samples) {
    edge_.assign(samples.size(), false);
    std::size_t index = 0;
    for (ComplexSample& sample : samples) {
        const std::size_t here = index++;
        recent_[recentNext_] = sample;
        recentNext_ = (recentNext_ + 1) % recent_.size();
        if (++received_ == nextSearch_) {
            search();
            nextSearch_ = received_ + static_cast<std::uint64_t>(sampleRate_);
        }
        if (trackers_.empty()) continue;
        const std::complex<double> input(sample.real(), sample.imag());
        std::complex<double> output = input;
        for (Tracker& tracker : trackers_) {
            const std::complex<double> turned = input * std::conj(tracker.phasor);
            tracker.amplitude += (tracker.keyed ? wideGain_ : narrowGain_) * (turned - tracker.amplitude);
            if (tracker.searches >= ConfirmingSearches) output -= tracker.amplitude * tracker.phasor;
            tracker.phasor *= tracker.step;
            const double power = std::norm(tracker.amplitude);
            tracker.smallest = std::min(tracker.smallest, power);
            tracker.largest = std::max(tracker.largest, power);
            if (tracker.keyed && tracker.searches >= ConfirmingSearches) {
                const double magnitude = std::sqrt(power);
                tracker.fast += fastGain_ * (magnitude - tracker.fast);
                tracker.slow += slowGain_ * (magnitude - tracker.slow);
                tracker.peak = std::max(magnitude, tracker.peak * peakDecay_);
                if (tracker.peak * tracker.peak > StrongOverBackground * background_ &&
                    std::fabs(tracker.fast - tracker.slow) > EdgeShare * tracker.peak)
                    edge_[here] = true;
            }
        }
        if (!edge_[here]) background_ += slowGain_ * 0.01 * (std::norm(output) - background_);
        sample = ComplexSample(static_cast<float>(output.real()), static_cast<float>(output.imag()));
    }
    // Blank the edges found, with a margin, as far back as this block reaches.
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
        if (!blanked_.empty() && blanked_.back().second >= blockStart + from)
            blanked_.back().second = std::max(blanked_.back().second, blockStart + end);
        else
            blanked_.emplace_back(blockStart + from, blockStart + end);
        n = end;
    }
    // Rounding must not let the phasors' length drift over hours.
    for (Tracker& tracker : trackers_) tracker.phasor /= std::abs(tracker.phasor);
}

void CarrierCanceller::search() {
    const std::size_t length = fft_.length();
    for (std::size_t n = 0; n < length; ++n) spectrum_[n] = recent_[(recentNext_ + n) % length] * window_[n];
    fft_.transform(spectrum_, spectrum_);
    for (std::size_t k = 0; k < length; ++k) power_[k] = std::norm(spectrum_[k]);
    sorted_ = power_;
    std::nth_element(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(length / 2), sorted_.end());
    const float overall = sorted_[length / 2];

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
        const float peak = power_[k];
        // Cheap tests first: far above the whole spectrum's median, and a local maximum.
        if (!(peak > LineOverMedian * overall) || peak < power_[bin(static_cast<std::ptrdiff_t>(k) - 1)] ||
            peak < power_[bin(static_cast<std::ptrdiff_t>(k) + 1)])
            continue;
        neighbourhood.clear();
        for (int d = ExcludedBins; d <= NeighbourBins; ++d) {
            neighbourhood.push_back(power_[bin(static_cast<std::ptrdiff_t>(k) + d)]);
            neighbourhood.push_back(power_[bin(static_cast<std::ptrdiff_t>(k) - d)]);
        }
        std::nth_element(neighbourhood.begin(), neighbourhood.begin() + static_cast<std::ptrdiff_t>(neighbourhood.size() / 2),
                         neighbourhood.end());
        if (!(peak > LineOverMedian * neighbourhood[neighbourhood.size() / 2])) continue;
        // And narrow: a beacon's spectrum has humps that stand above a median too (the lobe of a
        // slow one, the sidelobes between deep nulls of a strong one), but they are tens of hertz
        // wide, where a line (keyed or not) falls away within two or three bins.
        double near = 0.0;
        for (int d = NarrowFromBins; d <= NarrowToBins; ++d)
            near += power_[bin(static_cast<std::ptrdiff_t>(k) + d)] + power_[bin(static_cast<std::ptrdiff_t>(k) - d)];
        if (!(peak > LineOverNear * near / (2.0 * (NarrowToBins - NarrowFromBins + 1)))) continue;
        // Where between the bins the line lies: a parabola through the log powers around the peak.
        const double left = std::log(std::max(power_[bin(static_cast<std::ptrdiff_t>(k) - 1)], 1e-30f));
        const double centre = std::log(peak);
        const double right = std::log(std::max(power_[bin(static_cast<std::ptrdiff_t>(k) + 1)], 1e-30f));
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
        if (known == trackers_.end()) {
            if (trackers_.size() >= MaximumLines) continue;
            trackers_.push_back(Tracker{});
            known = trackers_.end() - 1;
        } else if (known->searches >= 2 && known->largest > KeyedSwing * std::max(known->smallest, 1e-30)) {
            known->keyed = true;
        }
        // A line that moved by more than two bins since the last search starts its confirmation again:
        // a carrier stays put, where chance peaks of a beacon's lobe wander.
        if (std::fabs(known->frequencyHz - frequencyHz) > 2.0 * binHz) known->searches = 0, known->keyed = false;
        ++known->searches;
        // The phasor keeps its place; only its step follows the frequency.
        known->frequencyHz = frequencyHz;
        known->step = std::polar(1.0, TwoPi * frequencyHz / sampleRate_);
        known->seenThisSearch = true;
        known->missed = 0;
        const double power = std::norm(known->amplitude);
        known->smallest = known->largest = power;
    }
    // A keyed line can be quiet for most of a search's span: it goes only after a few missed in a row.
    for (Tracker& tracker : trackers_)
        if (!tracker.seenThisSearch) ++tracker.missed;
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
