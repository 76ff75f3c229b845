// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/acquisition.h"

#include "coherent/acquisition_filters.h"
#include "coherent/acquisition_periodograms.h"
#include "coherent/audio_front_end.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <tuple>

// The acquisition's decisions: which pairs of lines are a beacon, which beacon is held, when it is
// lost. The filters are in acquisition_filters.h, the spectra in acquisition_periodograms.h.

namespace sondeco {

using namespace acquisition;

namespace {

// Two FFT lengths over the squared signal. Lines closer together need finer bins, and the weaker
// lines of the slower rates (at the same Eb/N0 the signal power is lower) need longer coherent
// integration, so 100 and 200 bit/s share a short FFT (a quarter second: the first decision comes
// early) and 25 and 50 bit/s a four times longer one. Either way the two lines of the slower rate of
// a pair lie about 26 bins apart.
constexpr double ShortFftSeconds = 0.256;
constexpr std::size_t LongFftFactor = 4;

// A candidate is decided on the mean of its two lines (both hold the same power, and the mean is
// the better test than asking each line to pass on its own), and each line must stand out on its
// own as well. A spectrum offers about a quarter of its length in places for a pair (a local
// maximum, three bins for its partner, two rates); all rungs together look at some 40000 bins a
// second, so at 1e-12 per place white noise would make a chance pair about once in thirty thousand
// hours. Noise that comes and goes with speech has heavier tails than that reckoning assumes, which
// is where the margin goes: measured on noise, carriers and speech-like sound by
// AcquisitionMeasurement in tests/coherent.
constexpr double PairFalseAlarm = 1e-12;
constexpr double LineFalseAlarm = 1e-4;
// A pair that matches the hints is taken on weaker evidence: a tone hint cuts the places searched
// about a hundredfold.
constexpr double HintedPairFalseAlarm = 1e-10;
// "Is there a line here at all": each line of a pair, and what surrounds a pair.
constexpr double CheckFalseAlarm = 1e-3;
// A beacon already held stays held while both its lines stand out at this level in the long average.
constexpr double HoldFalseAlarm = 1e-2;
constexpr int MissesBeforeLost = 2;
// No candidate from a single spectrum: whether its lines are steady needs two at least.
constexpr std::size_t MinimumSpectraForCandidate = 2;

// A real MSK pair is balanced (each line holds a quarter of the squared signal's power); a carrier
// beside a noise peak is not. Allow for filter slope and noise: 10 dB.
constexpr double MaxLineImbalance = 10.0;
// Squared MSK has no line at the pair's midpoint (two carriers half the rate apart have one four
// times stronger than the outer two) and nothing at all 1.5 rates out (a comb of harmonics, as
// voiced speech makes, has lines there as strong as the pair).
constexpr double MidpointLineRatio = 0.5;
constexpr double OuterLineRatio = 0.25;
// Each line's lower-third power over the spectra averaged, against its mean (see steady()).
constexpr double MinimumLowerThirdToMean = 0.15;
// A bin of the input's own averaged periodogram above the noise around it by more than noise
// alone reaches once in 1e4 bins, times the most that MSK's own smooth peak stands above its
// surroundings at the FFT's resolution (about 3.3 for the slower rate of a rung), is a line: a
// carrier or a harmonic, not MSK.
constexpr double PlainFalseAlarm = 1e-4;
constexpr double MskPeakAllowance = 3.3;
// The same for one periodogram on its own: noise-like MSK reaches this about once in five million
// bins (so a candidate's few hundred bins-and-spectra almost never), a held vowel's harmonics easily.
constexpr double SinglePlainLineRatio = 80.0;
// A pair's stronger line may have up to this many times the power that the input's power around
// the tone can give it (the line's power is that power squared, over four). MSK measures 0.8 to 1.6
// of it, from strong to weak; the rest allows for noise in the average.
constexpr double PowerAllowance = 2.5;
// The power in the lower half of the main lobe against the upper half (either way round): about one
// for a beacon, two for a beacon on the slope of a receiver's filter (1.5 dB between its tones).
constexpr double MaxLobeImbalance = 3.0;
// The lower third of the power around the tone over the spectra, against its mean: a little above
// 0.9 for a beacon in noise, at most 0.3 or so at the bottom of a 10 dB fade; the pauses of speech
// put it far below.
constexpr double MinimumSteadyPower = 0.25;
// Another beacon replaces the one held only if this much stronger (dB).
constexpr double MoveMarginDb = 3.0;
constexpr double ToneHintToleranceHz = 30.0;
// The Hann window's equivalent noise bandwidth in bins.
constexpr double HannNoiseBandwidthBins = 1.5;
// Channel banks, one for 100 and 200 bit/s and one for 25 and 50 bit/s: channels 375 and 195 Hz apart,
// each searched for tones within half that of its centre, flat far enough beyond that for the main
// lobe of the faster rate; decimated by at most MaxChannelDecimation.
struct BankLayout {
    double spacingHz;  // rounded to whole bins
    double flatHz;
    std::array<double, 2> bitRates;
    double fftSeconds;
};
constexpr BankLayout FastBank{375.0, 340.0, {100.0, 200.0}, ShortFftSeconds};
constexpr BankLayout SlowBank{195.3125, 150.0, {25.0, 50.0}, ShortFftSeconds* LongFftFactor};

constexpr FalseAlarms Thresholds{PairFalseAlarm, HintedPairFalseAlarm, CheckFalseAlarm, LineFalseAlarm,
                                 HoldFalseAlarm, PlainFalseAlarm,      MskPeakAllowance};

// A pair that passed the checks on the squared spectra, with what the check on the input needs.
struct Pair {
    BeaconCandidate candidate;
    double strongerExcess;  // the stronger line's power (bin power less noise) in the average
    std::size_t spectra;  // how many spectra that average holds
};

}  // namespace

struct BeaconAcquisition::State {
    explicit State(const AcquisitionSettings& settings);

    void consume(std::span<const ComplexSample> filtered, const std::vector<ComplexSample>& blockSpectrum);
    void takeSpectrum(std::size_t rungIndex);
    // Pairs in one average of a rung that pass every check on the squared spectra.
    void findPairs(const Rung& rung, const Average& average, std::vector<Pair>& found) const;
    bool hinted(double toneHz, double bitRate) const;
    bool clearAround(const Rung& rung, const Average& average, double frequencyHz, const Line& weaker, double ratio) const;
    bool steady(const Rung& rung, const Average& average, const Line& low, const Line& high) const;
    // The input's own spectrum at the pair's tone: a smooth, balanced, steady lobe, as MSK makes.
    bool plainSpectrumAgrees(Rung& rung, const Pair& pair);
    // The input's periodograms over the stretches of the rung's newest `spectra` spectra, in its
    // workspace (kept while the same rung's candidates are checked).
    static void refreshPlainSpectra(Rung& rung, std::size_t spectra);
    double strengthDbHz(const Rung& rung, const Line& weaker) const;
    void emit(AcquisitionEvent::Kind kind, const BeaconCandidate& candidate, const Rung& rung);
    // The workspace for rungs of this FFT length over a stream at this rate, made on first use.
    Workspace& workspaceFor(double streamRate, std::size_t length, const std::vector<double>& bitRates);

    AcquisitionSettings settings;
    std::unique_ptr<BandLimiter> limiter;
    std::uint64_t inputTaken = 0;
    // A rung per channel of each bank (or one over the whole band, where the input's rate leaves no
    // room for channels), for 100 and 200 bit/s and then for 25 and 50 bit/s.
    std::vector<std::unique_ptr<ChannelBank>> banks;
    std::vector<std::size_t> bankFirstRung;
    std::vector<std::unique_ptr<Workspace>> workspaces;  // before the rungs, which refer to them
    std::vector<std::unique_ptr<Rung>> rungs;

    std::optional<BeaconCandidate> current;
    std::size_t currentRung = 0;
    double currentLowLineHz = 0.0;  // its lines in the squared stream of its rung
    double currentHighLineHz = 0.0;
    int misses = 0;
    std::vector<AcquisitionEvent> events;
    std::vector<Pair> candidates;  // scratch
};

BeaconAcquisition::State::State(const AcquisitionSettings& s) : settings(s) {
    const double rate = settings.sampleRate;
    if (!(rate > 0.0) || !std::isfinite(rate)) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings.searchHighHz > settings.searchLowHz)) throw std::invalid_argument("the search band is empty");
    const double widest = std::max(std::abs(settings.searchLowHz), std::abs(settings.searchHighHz));
    if (!(2.0 * widest + 100.0 < rate / 2.0)) {
        throw std::invalid_argument("a search band reaching " + std::to_string(widest) + " Hz from 0 Hz needs more than " +
                                    std::to_string(4.0 * widest + 200.0) + " samples per second");
    }
    // The band limiter's passband reaches past the search band by the tone deviation of 200 bit/s, so
    // that both tones of a beacon on the edge pass whole (the outer skirts of its main lobe less so).
    // Past that it has gone within its transition, which at an audio front end's low edge is where
    // the mirror images of the lowest audio begin.
    limiter = std::make_unique<BandLimiter>(rate, settings.searchLowHz - 50.0, settings.searchHighHz + 50.0, false);
    const auto powerOfTwoNear = [](double samples) {
        return static_cast<std::size_t>(1) << static_cast<int>(std::max(4.0, std::round(std::log2(samples))));
    };
    const double binHz = rate / static_cast<double>(limiter->length());
    for (const BankLayout& layout : {FastBank, SlowBank}) {
        const std::vector<double> bitRates(layout.bitRates.begin(), layout.bitRates.end());
        const double fastest = std::max(layout.bitRates[0], layout.bitRates[1]);
        // Channels a spacing apart, each passing its own zone (half a spacing either side of its
        // centre) with the main lobe of the faster rate around it flat. The rate only has to hold the
        // zone's lines squared (twice the zone, plus half the rate): the squared channel's edges
        // fold onto the middle, but that is noise from the filter's slopes, and a neighbour's beacon
        // folded in shows no power at the tone it seems to have (plainSpectrumAgrees).
        const int spacingBins = std::max(1, static_cast<int>(std::lround(layout.spacingHz / binHz)));
        const double spacing = spacingBins * binHz;
        const double channelRate = 2.0 * (spacing + fastest / 2.0 + 10.0);
        std::size_t binsTaken = 16;
        while (static_cast<double>(binsTaken) * binHz < channelRate) binsTaken *= 2;
        const std::size_t decimation = limiter->length() / binsTaken;
        const bool fits = decimation >= 2 && decimation <= MaxChannelDecimation && limiter->overlap() % decimation == 0 &&
                          layout.flatHz >= spacing / 2.0 + 0.75 * fastest;
        if (!fits) {
            // No room for channels at this input rate: this rung searches the whole band.
            rungs.push_back(std::make_unique<Rung>(rate, workspaceFor(rate, powerOfTwoNear(rate * layout.fftSeconds), bitRates), bitRates,
                                                   0.0, settings.searchLowHz, settings.searchHighHz, Thresholds));
            limiter->setFiltering(true);
            continue;
        }
        std::vector<int> centres;
        const int first = static_cast<int>(std::floor(settings.searchLowHz / spacing + 0.5));
        const int last = static_cast<int>(std::ceil(settings.searchHighHz / spacing - 0.5));
        for (int j = first; j <= last; ++j) centres.push_back(j * spacingBins);
        banks.push_back(std::make_unique<ChannelBank>(rate, *limiter, centres, binsTaken, layout.flatHz));
        bankFirstRung.push_back(rungs.size());
        const ChannelBank& bank = *banks.back();
        const double bankRate = bank.outputRate(rate);
        Workspace& workspace = workspaceFor(bankRate, powerOfTwoNear(bankRate * layout.fftSeconds), bitRates);
        for (std::size_t channel = 0; channel < bank.channels(); ++channel) {
            const double centre = bank.centreBin(channel) * binHz;
            const double low = std::max(-spacing / 2.0, settings.searchLowHz - centre);
            const double high = std::min(spacing / 2.0, settings.searchHighHz - centre);
            rungs.push_back(std::make_unique<Rung>(bankRate, workspace, bitRates, centre, low, high, Thresholds));
            rungs.back()->inputPerSample = decimation;
            rungs.back()->fromBank = true;
        }
    }
}

Workspace& BeaconAcquisition::State::workspaceFor(double streamRate, std::size_t length, const std::vector<double>& bitRates) {
    const int noiseWidth = noiseWidthFor(streamRate, length, bitRates);
    for (const auto& workspace : workspaces)
        if (workspace->fftLength == length && workspace->noiseWidth == noiseWidth) return *workspace;
    workspaces.push_back(std::make_unique<Workspace>(length, noiseWidth));
    return *workspaces.back();
}

void BeaconAcquisition::State::consume(std::span<const ComplexSample> filtered, const std::vector<ComplexSample>& blockSpectrum) {
    for (std::size_t r = 0; r < rungs.size(); ++r) {
        if (!rungs[r]->fromBank) rungs[r]->consume(filtered, [this, r] { takeSpectrum(r); });
    }
    for (std::size_t b = 0; b < banks.size(); ++b) {
        banks[b]->split(blockSpectrum, [this, first = bankFirstRung[b]](std::size_t channel, std::span<const ComplexSample> samples) {
            rungs[first + channel]->consume(samples, [this, r = first + channel] { takeSpectrum(r); });
        });
    }
}

bool BeaconAcquisition::State::hinted(double toneHz, double bitRate) const {
    if (!settings.toneHint && !settings.bitRateHint) return false;
    if (settings.bitRateHint && std::abs(*settings.bitRateHint - bitRate) > 0.5) return false;
    if (settings.toneHint && std::abs(*settings.toneHint - toneHz) > ToneHintToleranceHz) return false;
    return true;
}

bool BeaconAcquisition::State::clearAround(const Rung& rung, const Average& average, double frequencyHz, const Line& weaker,
                                           double ratio) const {
    // A line there (standing out from its own surroundings) whose power is a good part of the pair's.
    const int centre = rung.binOf(frequencyHz);
    const double threshold = average.threshold(average.checkThreshold);
    for (int b = centre - 1; b <= centre + 1; ++b) {
        const Line there = rung.lineAt(average, b);
        if (there.ratio >= threshold && there.excess >= ratio * weaker.excess) return false;
    }
    return true;
}

bool BeaconAcquisition::State::steady(const Rung& rung, const Average& average, const Line& low, const Line& high) const {
    // A beacon's lines are there in every spectrum. Speech puts strong lines into a few (a vowel
    // held for a moment) and nothing into the rest, and two vowels one after the other can leave
    // one line each, at a beacon's spacing: a mean over the spectra cannot tell either from a
    // beacon. A low quantile can: each line's power spectrum by spectrum, its lower third against
    // its mean. For a line steady enough to be found that is well above a sixth of the mean (a
    // line's power in noise scatters far less than noise alone); for a line missing from a third
    // of the spectra or more it is the noise's level, far below the mean.
    const std::size_t count = average.count;
    for (const Line* line : {&low, &high}) {
        const auto bin = static_cast<std::size_t>(rung.wrap(rung.binOf(line->frequencyHz)));
        std::array<float, LongAverageSpectra> powers{};
        double sum = 0.0;
        for (std::size_t age = 0; age < count; ++age) {
            powers[age] = rung.recent[rung.slotOf(age)][bin];
            sum += static_cast<double>(powers[age]);
        }
        const auto third = powers.begin() + static_cast<std::ptrdiff_t>((count - 1) / 3);
        std::nth_element(powers.begin(), third, powers.begin() + static_cast<std::ptrdiff_t>(count));
        if (static_cast<double>(*third) < MinimumLowerThirdToMean * sum / static_cast<double>(count)) return false;
    }
    return true;
}

void BeaconAcquisition::State::refreshPlainSpectra(Rung& rung, std::size_t spectra) {
    Workspace& work = rung.workspace;
    if (work.plainOwner != &rung) {
        work.plainOwner = &rung;
        std::fill(work.plainSpectrum.begin(), work.plainSpectrum.end(), 0);
    }
    for (std::size_t age = 0; age < spectra; ++age) {
        const std::size_t slot = rung.slotOf(age);
        const std::uint64_t spectrum = rung.spectraTaken - age;
        if (work.plainSpectrum[slot] == spectrum) continue;
        rung.transform(rung.recentEnds[slot], false);
        double total = 0.0;
        for (std::size_t b = 0; b < rung.fftLength; ++b) {
            work.plainRecent[slot][b] = std::norm(work.fftOutput[b]);
            total += static_cast<double>(work.plainRecent[slot][b]);
        }
        work.plainLowest[slot] = std::max(NoiseFloor::DynamicRange * total / static_cast<double>(rung.fftLength), 1e-30);
        work.plainSpectrum[slot] = spectrum;
    }
}

namespace {

// The input's own periodogram `age` spectra before the newest, at a bin (after refreshPlainSpectra).
double plainPowerAt(const Rung& rung, std::size_t age, int bin) {
    return static_cast<double>(rung.workspace.plainRecent[rung.slotOf(age)][static_cast<std::size_t>(rung.wrap(bin))]);
}

// The input's main lobe around the pair's tone looks like MSK's: balanced about the tone, strong
// enough to have made the pair, and steady.
bool lobeLikeMsk(const Rung& rung, const Pair& pair, double tone) {
    const BeaconCandidate& candidate = pair.candidate;
    const std::size_t spectra = pair.spectra;
    const auto powerAt = [&](std::size_t age, int bin) { return plainPowerAt(rung, age, bin); };
    // The pair must come from power at the tone. Squaring MSK of power P gives each line an amplitude
    // of P / 2; nearly all of P lies in the main lobe, within three quarters of the rate of the tone.
    // Speech makes line pairs from harmonics far from the tone they seem to belong to (any two
    // equally far either side of it add up there), with nothing at the tone itself.
    const double length = static_cast<double>(rung.fftLength);
    std::array<double, LongAverageSpectra> lobes{};
    double lobe = 0.0, below = 0.0, above = 0.0;
    const int centreBin = rung.binOf(tone);
    for (std::size_t age = 0; age < spectra; ++age) {
        for (int b = rung.binOf(tone - 0.75 * candidate.bitRate) - GuardBins; b <= rung.binOf(tone + 0.75 * candidate.bitRate) + GuardBins;
             ++b) {
            const double power = powerAt(age, b);
            lobes[age] += power;
            if (b < centreBin) below += power;
            if (b > centreBin) above += power;
        }
        lobe += lobes[age];
    }
    // MSK's spectrum is symmetric about its tone (as many ones as zeros, both tones alike); speech and
    // pairs of carriers put their power on one side.
    if (below > MaxLobeImbalance * above || above > MaxLobeImbalance * below) return false;
    // Hann window: a sum over bins of a periodogram is N * sum(w^2) = 3 N^2 / 8 times the power; a
    // line of amplitude A peaks at (A sum(w))^2 = A^2 N^2 / 4.
    const double power = lobe / static_cast<double>(spectra) / (3.0 * length * length / 8.0);
    const double expectedLine = power * power / 4.0 * length * length / 4.0;
    if (pair.strongerExcess > PowerAllowance * expectedLine) return false;

    // A beacon's power is steady (fading aside); speech comes and goes with its syllables and pauses.
    // The lower third of the power around the tone, spectrum by spectrum, against its mean.
    const auto third = lobes.begin() + static_cast<std::ptrdiff_t>((spectra - 1) / 3);
    std::nth_element(lobes.begin(), third, lobes.begin() + static_cast<std::ptrdiff_t>(spectra));
    if (*third < MinimumSteadyPower * lobe / static_cast<double>(spectra)) return false;
    return true;
}

// No line anywhere in the main lobe of the input's own spectrum, averaged or spectrum by spectrum.
bool lobeWithoutLines(const Rung& rung, const Pair& pair, double tone) {
    const BeaconCandidate& candidate = pair.candidate;
    const std::size_t spectra = pair.spectra;
    const Workspace& work = rung.workspace;
    const auto powerAt = [&](std::size_t age, int bin) { return plainPowerAt(rung, age, bin); };
    // MSK itself has no line anywhere: its spectrum is smooth. Carriers have lines, and so has
    // voiced speech (its harmonics); some pairs of carriers and harmonics square into a pair that
    // passes every check on the squared spectra, but never with a smooth spectrum underneath.
    // Averaged over the spectra, and spectrum by spectrum: a vowel held for a moment shows its
    // harmonics plainly in the one or two spectra it lies in, but the average over all of them
    // thins them out as much as it thins out the squared pair it made.
    const Average& average = spectra > ShortAverageSpectra ? rung.longAverage : rung.shortAverage;
    const double threshold = average.plainThreshold[spectra - 1];
    // All over the main lobe: two carriers (or harmonics) can square into a pair whose tone lies
    // between them, with one of them out at the lobe's edge.
    const int from = rung.binOf(tone - 0.75 * candidate.bitRate) - 1;
    const int to = rung.binOf(tone + 0.75 * candidate.bitRate) + 1;
    for (int b = from; b <= to; ++b) {
        double here = 0.0, around = 0.0;
        for (std::size_t age = 0; age < spectra; ++age) {
            double noise = 0.0;
            for (int d = GuardBins + 1; d <= GuardBins + rung.noiseWidth; ++d) noise += powerAt(age, b - d) + powerAt(age, b + d);
            noise /= 2.0 * rung.noiseWidth;
            noise = std::max(noise, work.plainLowest[rung.slotOf(age)]);
            if (powerAt(age, b) > SinglePlainLineRatio * noise) return false;
            here += powerAt(age, b);
            around += noise;
        }
        if (here > threshold * std::max(around, 1e-30)) return false;
    }
    return true;
}

}  // namespace

bool BeaconAcquisition::State::plainSpectrumAgrees(Rung& rung, const Pair& pair) {
    const double tone = pair.candidate.toneHz - rung.centreHz;  // relative to the stream
    refreshPlainSpectra(rung, pair.spectra);
    return lobeLikeMsk(rung, pair, tone) && lobeWithoutLines(rung, pair, tone);
}

double BeaconAcquisition::State::strengthDbHz(const Rung& rung, const Line& weaker) const {
    // Excess over the noise per bin, corrected for where the line fell between bins, times the
    // noise bandwidth of a bin: line power over noise density.
    const double gain = hannScallopGain(weaker.offsetBins);
    const double excess = std::max(weaker.ratio - 1.0, 1e-6) / (gain * gain);
    return 10.0 * std::log10(excess * HannNoiseBandwidthBins * rung.binHz);
}

void BeaconAcquisition::State::findPairs(const Rung& rung, const Average& average, std::vector<Pair>& found) const {
    if (average.count < MinimumSpectraForCandidate) return;
    // Lines: local maxima (over two bins each side) that stand out from the noise around them. The
    // threshold first: nearly every bin fails it, so its branch is well predicted, where the test for
    // a local maximum goes either way at random on noise.
    const double lowest = average.threshold(average.singleLineThreshold);
    std::vector<Line> lines;
    const float* power = average.mean.data();
    const std::size_t mask = rung.fftLength - 1;
    for (std::size_t b = 0; b < rung.fftLength; ++b) {
        const float here = power[b];
        if (static_cast<double>(here) < lowest * average.noise.at(static_cast<int>(b))) continue;
        if (!(here > power[(b - 1) & mask] && here >= power[(b + 1) & mask])) continue;
        if (!(here > power[(b - 2) & mask] && here >= power[(b + 2) & mask])) continue;
        lines.push_back(rung.lineAt(average, static_cast<int>(b)));
    }
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.frequencyHz < b.frequencyHz; });

    const double tolerance = 1.0 * rung.binHz;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            const double spacing = lines[j].frequencyHz - lines[i].frequencyHz;
            for (double bitRate : rung.bitRates) {
                if (std::abs(spacing - bitRate) > tolerance + bitRate * 1e-3) continue;
                const double midpoint = (lines[i].frequencyHz + lines[j].frequencyHz) / 2.0;
                // The tone relative to the stream, which must lie in the rung's zone, and where it is
                // in the acquisition's input.
                const double relativeTone = midpoint / 2.0;
                const double slack = rung.binHz / 2.0;
                if (relativeTone < rung.zoneLowHz - slack || relativeTone > rung.zoneHighHz + slack) continue;
                const double tone = rung.centreHz + relativeTone;

                const double threshold = average.threshold(hinted(tone, bitRate) ? average.hintedThreshold : average.searchThreshold);
                const Line& weaker = lines[i].excess < lines[j].excess ? lines[i] : lines[j];
                const Line& stronger = lines[i].excess < lines[j].excess ? lines[j] : lines[i];
                if ((weaker.ratio + stronger.ratio) / 2.0 < threshold) continue;
                // Powers compared as powers, not as ratios to their surroundings: a strong line's skirt
                // (or a tone gliding through the spectrum) has ripples that stand out from their own
                // low surroundings as much as the line does from its raised ones.
                if (stronger.excess > MaxLineImbalance * weaker.excess) continue;
                if (!clearAround(rung, average, midpoint, weaker, MidpointLineRatio)) continue;
                if (!clearAround(rung, average, midpoint - 1.5 * bitRate, weaker, OuterLineRatio)) continue;
                if (!clearAround(rung, average, midpoint + 1.5 * bitRate, weaker, OuterLineRatio)) continue;
                if (!steady(rung, average, lines[i], lines[j])) continue;
                found.push_back(Pair{BeaconCandidate{tone, bitRate, strengthDbHz(rung, weaker)}, stronger.excess, average.count});
            }
        }
    }
}

void BeaconAcquisition::State::emit(AcquisitionEvent::Kind kind, const BeaconCandidate& candidate, const Rung& rung) {
    events.push_back(AcquisitionEvent{kind, candidate, rung.taken * rung.inputPerSample});
}

void BeaconAcquisition::State::takeSpectrum(std::size_t rungIndex) {
    Rung& rung = *rungs[rungIndex];

    // First the beacon held, if it lives on this rung: follow its lines a bin or two in the long
    // average, which keeps a weak beacon steady.
    bool heldWeak = false;
    if (current && currentRung == rungIndex) {
        const Line low = rung.strongestNear(rung.longAverage, currentLowLineHz, 2);
        const Line high = rung.strongestNear(rung.longAverage, currentHighLineHz, 2);
        const double hold = rung.longAverage.threshold(rung.longAverage.holdThreshold);
        if (low.ratio >= hold && high.ratio >= hold) {
            misses = 0;
            currentLowLineHz = low.frequencyHz;
            currentHighLineHz = high.frequencyHz;
            current->toneHz = rung.centreHz + (low.frequencyHz + high.frequencyHz) / 4.0;
            current->lineStrengthDbHz = strengthDbHz(rung, low.excess < high.excess ? low : high);
        } else {
            heldWeak = true;
            if (++misses >= MissesBeforeLost) {
                emit(AcquisitionEvent::Kind::Lost, *current, rung);
                current.reset();
                misses = 0;
            }
        }
    }

    // Candidates from both averages (the short one only once it differs from the long one); the
    // strongest that is not the beacon held and whose input shows no line wins. While a beacon is held
    // on another rung, this one looks every other spectrum only: a second beacon is worth finding,
    // but not at full speed.
    if (current && currentRung != rungIndex && rung.spectraTaken % 2 == 1) return;
    candidates.clear();
    findPairs(rung, rung.longAverage, candidates);
    if (rung.stored > ShortAverageSpectra) findPairs(rung, rung.shortAverage, candidates);
    std::sort(candidates.begin(), candidates.end(),
              [](const Pair& a, const Pair& b) { return a.candidate.lineStrengthDbHz > b.candidate.lineStrengthDbHz; });
    std::optional<BeaconCandidate> found;
    for (const Pair& pair : candidates) {
        const BeaconCandidate& candidate = pair.candidate;
        // The beacon held, found again (perhaps in the next channel, near a zone's edge).
        const bool same = current && candidate.bitRate == current->bitRate &&
                          std::abs(candidate.toneHz - current->toneHz) <= std::max(1.0, 1.5 * rung.binHz);
        if (same) return;  // the beacon held is still the strongest here
        if (!plainSpectrumAgrees(rung, pair)) continue;
        found = candidate;
        break;
    }
    if (!found) return;
    const auto adopt = [&](AcquisitionEvent::Kind kind) {
        current = found;
        currentRung = rungIndex;
        currentLowLineHz = 2.0 * (found->toneHz - rung.centreHz) - found->bitRate / 2.0;
        currentHighLineHz = 2.0 * (found->toneHz - rung.centreHz) + found->bitRate / 2.0;
        misses = 0;
        emit(kind, *found, rung);
    };
    if (!current) {
        adopt(AcquisitionEvent::Kind::Acquired);
        return;
    }
    if (heldWeak || found->lineStrengthDbHz >= current->lineStrengthDbHz + MoveMarginDb) adopt(AcquisitionEvent::Kind::Moved);
}

BeaconAcquisition::BeaconAcquisition(const AcquisitionSettings& settings) : state_(std::make_unique<State>(settings)) {}
BeaconAcquisition::~BeaconAcquisition() = default;
BeaconAcquisition::BeaconAcquisition(BeaconAcquisition&&) noexcept = default;
BeaconAcquisition& BeaconAcquisition::operator=(BeaconAcquisition&&) noexcept = default;

std::span<const AcquisitionEvent> BeaconAcquisition::process(std::span<const ComplexSample> samples) {
    State& s = *state_;
    s.events.clear();
    s.limiter->process(samples, [&s](std::span<const ComplexSample> filtered, const std::vector<ComplexSample>& blockSpectrum) {
        s.consume(filtered, blockSpectrum);
    });
    s.inputTaken += samples.size();
    return s.events;
}

const std::optional<BeaconCandidate>& BeaconAcquisition::current() const { return state_->current; }
std::uint64_t BeaconAcquisition::samplesTaken() const { return state_->inputTaken; }
double BeaconAcquisition::sampleRate() const { return state_->settings.sampleRate; }

void BeaconAcquisition::restart(std::optional<double> toneHint, std::optional<double> bitRateHint) {
    AcquisitionSettings settings = state_->settings;
    settings.toneHint = toneHint;
    settings.bitRateHint = bitRateHint;
    state_ = std::make_unique<State>(settings);
}

AcquisitionSettings acquisitionSettingsFor(const AudioFrontEnd& frontEnd) {
    AcquisitionSettings settings;
    settings.sampleRate = frontEnd.outputRate();
    settings.searchLowHz = frontEnd.searchLowHz();
    settings.searchHighHz = frontEnd.searchHighHz();
    return settings;
}

}  // namespace sondeco
