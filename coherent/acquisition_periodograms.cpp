// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/acquisition_periodograms.h"

#include <map>
#include <mutex>
#include <numbers>
#include <tuple>

namespace sondeco::acquisition {

namespace {

// Measured on white noise through the channel banks, the tails come out a few per cent heavier than
// the reckoning of lineThreshold (the noise estimate's bins are not quite independent).
constexpr double ModelAllowance = 1.05;

// P(X > y) for X ~ Beta(a, b) with whole a, b: the chance that a sum of a unit exponentials beats
// y / (1 - y) times a sum of b others. The finite binomial form, in logs to stay in range.
double betaUpperTail(int a, int b, double y) {
    if (y <= 0.0) return 1.0;
    if (y >= 1.0) return 0.0;
    const int n = a + b - 1;
    double total = 0.0;
    for (int j = 0; j < a; ++j) {
        const double logTerm =
            std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0) + j * std::log(y) + (n - j) * std::log1p(-y);
        total += std::exp(logTerm);
    }
    return total;
}

// The threshold on (bin power / noise estimate) that noise alone crosses with probability `falseAlarm`,
// when the bin is the mean of `spectra` periodograms and the noise estimate the mean of
// `noiseBins` bins of as many. Neighbouring bins of a Hann-windowed spectrum are correlated, so
// the estimate is worth about half its bins.
double computeLineThreshold(std::size_t spectra, std::size_t noiseBins, double falseAlarm) {
    const int a = static_cast<int>(spectra);
    const int b = static_cast<int>(std::max<std::size_t>(1, noiseBins * spectra / 2));
    double low = 0.0, high = 1.0;
    for (int i = 0; i < 100; ++i) {
        const double middle = (low + high) / 2.0;
        (betaUpperTail(a, b, middle) > falseAlarm ? low : high) = middle;
    }
    // A/B > r with r = y / (1 - y); the ratio of means is r * b / a.
    return high / (1.0 - high) * static_cast<double>(b) / static_cast<double>(a);
}

}  // namespace

// The same few thresholds are asked for by every rung of every acquisition (and every restart): each
// is worked out once.
double lineThreshold(std::size_t spectra, std::size_t noiseBins, double falseAlarm) {
    static std::mutex mutex;
    static std::map<std::tuple<std::size_t, std::size_t, double>, double> known;
    const std::lock_guard lock(mutex);
    const auto [entry, isNew] = known.try_emplace({spectra, noiseBins, falseAlarm}, 0.0);
    // Measured on white noise through the channel banks, the tails come out a few per cent heavier
    // than this reckoning (the noise estimate's bins are not quite independent): 5 % on top.
    if (isNew) entry->second = ModelAllowance * computeLineThreshold(spectra, noiseBins, falseAlarm);
    return entry->second;
}

double hannScallopGain(double offset) {
    const double x = std::abs(offset);
    if (x < 1e-9) return 1.0;
    if (std::abs(x - 1.0) < 1e-9) return 0.5;
    return std::sin(std::numbers::pi * x) / (std::numbers::pi * x) / (1.0 - x * x);
}

Average::Average(std::size_t spectra, std::size_t length, AverageView& view, const FalseAlarms& alarms)
    : span(spectra), sum(length, 0.0), mean(view.mean), noise(view.noise) {
    const auto noiseBins = static_cast<std::size_t>(2 * noise.width());
    for (std::size_t k = 1; k <= span; ++k) {
        // The mean of two lines is worth one line averaged over twice the spectra, with twice the
        // bins behind its noise estimate.
        searchThreshold.push_back(lineThreshold(2 * k, noiseBins, alarms.pair));
        hintedThreshold.push_back(lineThreshold(2 * k, noiseBins, alarms.hintedPair));
        checkThreshold.push_back(lineThreshold(k, noiseBins, alarms.check));
        singleLineThreshold.push_back(lineThreshold(k, noiseBins, alarms.line));
        holdThreshold.push_back(lineThreshold(k, noiseBins, alarms.hold));
        plainThreshold.push_back(alarms.plainAllowance * lineThreshold(k, noiseBins, alarms.plain));
    }
}

int noiseWidthFor(double sampleRate, std::size_t length, const std::vector<double>& bitRates) {
    // The noise estimate of one line must not reach the other line of the pair.
    const double binHz = sampleRate / static_cast<double>(length);
    const double closestSpacingBins = *std::min_element(bitRates.begin(), bitRates.end()) / binHz;
    return std::max(4, static_cast<int>(std::floor(closestSpacingBins)) - GuardBins - 4);
}

Rung::Rung(double rate, Workspace& work, std::vector<double> rates, double centre, double zoneLow, double zoneHigh,
           const FalseAlarms& alarms)
    : sampleRate(rate),
      fftLength(work.fftLength),
      hop(work.fftLength / 2),
      binHz(rate / static_cast<double>(work.fftLength)),
      bitRates(std::move(rates)),
      centreHz(centre),
      zoneLowHz(zoneLow),
      zoneHighHz(zoneHigh),
      noiseWidth(work.noiseWidth),
      workspace(work),
      plain((LongAverageSpectra - 1) * hop + fftLength),
      recent(LongAverageSpectra, std::vector<float>(fftLength, 0.0f)),
      recentEnds(LongAverageSpectra, 0),
      longAverage(LongAverageSpectra, fftLength, work.longView, alarms),
      shortAverage(ShortAverageSpectra, fftLength, work.shortView, alarms),
      nextSpectrumAt(fftLength) {}

void Rung::transform(std::uint64_t end, bool squaring) {
    // The ring holds the stretch of every spectrum still averaged, so the oldest such stretch may
    // begin anywhere in it: copied out in at most two pieces.
    const std::size_t size = plain.size();
    const auto first = static_cast<std::size_t>((end - fftLength) % size);
    const std::vector<float>& window = workspace.window;
    std::vector<ComplexSample>& input = workspace.fftInput;
    const std::size_t before = std::min(fftLength, size - first);
    const auto take = [&](std::size_t from, std::size_t to, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const ComplexSample z = plain[from + i];
            input[to + i] = squaring ? ComplexSample(z.real() * z.real() - z.imag() * z.imag(), 2.0f * z.real() * z.imag()) * window[to + i]
                                     : z * window[to + i];
        }
    };
    take(first, 0, before);
    take(0, before, fftLength - before);
    workspace.fft.transform(input, workspace.fftOutput);
}

void Rung::addSpectrum() {
    transform(taken, true);
    const std::vector<ComplexSample>& fftOutput = workspace.fftOutput;

    // Spectra leaving the averages: the oldest of the long one (whose slot is taken over now) and the
    // one that becomes too old for the short one. One pass takes them out and puts the new one in.
    std::vector<float>& slot = recent[nextSlot];
    const float* silence = workspace.silence.data();
    const float* leavingLong = stored == LongAverageSpectra ? slot.data() : silence;
    const float* leavingShort = stored >= ShortAverageSpectra ? recent[slotOf(ShortAverageSpectra - 1)].data() : silence;
    double* longSum = longAverage.sum.data();
    double* shortSum = shortAverage.sum.data();
    for (std::size_t b = 0; b < fftLength; ++b) {
        const float power = std::norm(fftOutput[b]);
        longSum[b] += static_cast<double>(power) - static_cast<double>(leavingLong[b]);
        shortSum[b] += static_cast<double>(power) - static_cast<double>(leavingShort[b]);
        slot[b] = power;
    }
    recentEnds[nextSlot] = taken;
    nextSlot = (nextSlot + 1) % LongAverageSpectra;
    stored = std::min(stored + 1, LongAverageSpectra);
    ++spectraTaken;

    for (Average* average : {&longAverage, &shortAverage}) {
        average->count = std::min(stored, average->span);
        // Adding and taking away leaves rounding behind; start the sums afresh now and then.
        if (updatesSinceExactSum + 1 >= LongAverageSpectra) {
            std::fill(average->sum.begin(), average->sum.end(), 0.0);
            for (std::size_t age = 0; age < average->count; ++age) {
                const std::vector<float>& spectrum = recent[slotOf(age)];
                for (std::size_t b = 0; b < fftLength; ++b) average->sum[b] += static_cast<double>(spectrum[b]);
            }
        }
        const double scale = 1.0 / static_cast<double>(average->count);
        for (std::size_t b = 0; b < fftLength; ++b) average->mean[b] = static_cast<float>(std::max(0.0, average->sum[b]) * scale);
        average->noise.build(average->mean);
    }
    updatesSinceExactSum = (updatesSinceExactSum + 1) % LongAverageSpectra;
}

Line Rung::lineAt(const Average& average, int bin) const {
    const int b = wrap(bin);
    const auto at = [&](int index) { return std::max(1e-30, static_cast<double>(average.mean[static_cast<std::size_t>(wrap(index))])); };
    const double left = at(b - 1), centre = at(b), right = at(b + 1);
    // A Hann-windowed line is close to a Gaussian in log power across its peak: fit a parabola there.
    const double curvature = std::log(left) - 2.0 * std::log(centre) + std::log(right);
    double offset = curvature < 0.0 ? 0.5 * (std::log(left) - std::log(right)) / curvature : 0.0;
    offset = std::clamp(offset, -0.5, 0.5);
    Line line;
    line.frequencyHz = wrapToHalfRate((b + offset) * binHz, sampleRate);
    const double noise = average.noise.at(b);
    line.ratio = centre / noise;
    line.excess = centre - noise;
    line.offsetBins = offset;
    return line;
}

Line Rung::strongestNear(const Average& average, double frequencyHz, int reach) const {
    const int centre = binOf(frequencyHz);
    int best = centre;
    for (int b = centre - reach; b <= centre + reach; ++b) {
        if (average.mean[static_cast<std::size_t>(wrap(b))] > average.mean[static_cast<std::size_t>(wrap(best))]) best = b;
    }
    return lineAt(average, best);
}

}  // namespace sondeco::acquisition
