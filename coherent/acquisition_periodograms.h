// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition's spectra: for each stream searched (a channel, or the whole band), the periodograms
// of its squared samples, their long and short averages, the noise floor around every bin and the
// thresholds that noise alone crosses at a given rate. Used only by the acquisition (acquisition.cpp),
// which decides on what these show; nothing else uses it.
#pragma once

#include "coherent/baseband.h"
#include "coherent/forward_fft.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sondeco::acquisition {

// Spectra (half overlapping) averaged non-coherently, two ways: the last twelve, enough for 25 bit/s
// at 12 dB, and the last four, so that a beacon coming on air after a while of noise is found as
// fast as one there from the start instead of waiting until it fills most of the long average.
inline constexpr std::size_t LongAverageSpectra = 12;
inline constexpr std::size_t ShortAverageSpectra = 4;
// Bins next to a line left out of its noise estimate (the Hann window spreads a line over about four).
inline constexpr int GuardBins = 3;
// 8192 squared samples at this power, summed in an FFT, still give a finite power in float.
inline constexpr float MaxSamplePower = 1e15f;

// How often noise alone may cross each threshold an average keeps: the decisions' own (see
// acquisition.cpp for why each is what it is).
struct FalseAlarms {
    double pair;  // the mean of a pair's two lines
    double hintedPair;  // the same for a pair that matches the hints
    double check;  // "is there a line here at all"
    double line;  // a line on its own
    double hold;  // a beacon held stays held
    double plain;  // a line in the input's own spectrum
    double plainAllowance;  // times the most MSK's own smooth peak stands above its surroundings
};

// `frequency` folded into (-rate / 2, rate / 2].
inline double wrapToHalfRate(double frequency, double rate) {
    frequency = std::fmod(frequency, rate);
    if (frequency > rate / 2.0) frequency -= rate;
    if (frequency <= -rate / 2.0) frequency += rate;
    return frequency;
}

// The threshold on (bin power / noise estimate) that noise alone crosses with probability `falseAlarm`,
// when the bin is the mean of `spectra` periodograms and the noise estimate the mean of `noiseBins`
// bins of as many; worked out once for each set of arguments.
double lineThreshold(std::size_t spectra, std::size_t noiseBins, double falseAlarm);

// Hann window's amplitude at `offset` bins from a line, relative to its peak: corrects a line's power
// for where it fell between bins.
double hannScallopGain(double offset);

struct Line {
    double frequencyHz = 0.0;  // in the squared signal, relative to 0 Hz
    double ratio = 0.0;  // bin power over the noise estimate around it
    double excess = 0.0;  // bin power less that noise estimate: the line's own power
    double offsetBins = 0.0;  // where between bins it fell, for the power correction
};

// The noise level around each bin of a power spectrum: the mean of `width` bins either side, beyond
// `guard` bins that a line centred on the bin would still cover. Cell averaging on both sides follows
// a sloping floor (band-limited noise, the edges of the front end's passband) without bias.
class NoiseFloor {
public:
    NoiseFloor(int guard, int width) : guard_(guard), width_(width), inverseCount_(1.0 / (2.0 * width)) {}

    int width() const { return width_; }

    void build(const std::vector<float>& power) {
        // The spectrum's length is a power of two, so a mask wraps an index around it.
        const std::size_t mask = power.size() - 1;
        const auto reach = static_cast<std::size_t>(guard_ + width_);
        prefix_.resize(power.size() + 2 * reach + 1);
        prefix_[0] = 0.0;
        for (std::size_t j = 0; j < power.size() + 2 * reach; ++j) {
            prefix_[j + 1] = prefix_[j] + static_cast<double>(power[(j + power.size() - reach) & mask]);
        }
        const double total = prefix_[power.size() + reach] - prefix_[reach];
        lowest_ = std::max(DynamicRange * total / static_cast<double>(power.size()), 1e-30);
    }

    // bin in [0, length)
    double at(int bin) const {
        const int reach = guard_ + width_;
        const auto sumOver = [&](int from, int to) {
            return prefix_[static_cast<std::size_t>(to + reach + 1)] - prefix_[static_cast<std::size_t>(from + reach)];
        };
        const double noise = (sumOver(bin - reach, bin - guard_ - 1) + sumOver(bin + guard_ + 1, bin + reach)) * inverseCount_;
        return std::max(noise, lowest_);
    }

    // Nothing counts as noise below this fraction of the spectrum's mean power per bin. Sound cards
    // give no more than about 100 dB; beyond that, the floor is the rounding of our own float
    // arithmetic and whatever faint structure a nearly noiseless signal has, against which every
    // trace of a harmonic would stand out like a beacon's line. A beacon's lines and the smooth
    // spectrum around them lie far above it.
    static constexpr double DynamicRange = 1e-6;

private:
    int guard_;
    int width_;
    double inverseCount_;
    double lowest_ = 1e-30;
    std::vector<double> prefix_;  // running sums of the spectrum, extended circularly by `reach` on both sides
};

// An average's mean spectrum and the noise estimate around each bin. Made from the average's sum when
// a spectrum is added and read while that spectrum is searched, before the next rung adds one: the
// rungs of one FFT length share them (see Workspace).
struct AverageView {
    AverageView(std::size_t length, int noiseWidth) : mean(length, 0.0f), noise(GuardBins, noiseWidth) {}
    std::vector<float> mean;
    NoiseFloor noise;
};

// What the rungs of one FFT length and noise width share. A rung takes a spectrum and searches it
// before the next rung takes one, so one transform with its window and buffers, and one pair of
// average views, serve them all: at the audio front end's rate there are 26 rungs, and each holding its
// own came to 1.2 MB of the acquisition's 3 MB.
struct Rung;
struct Workspace {
    Workspace(std::size_t length, int width)
        : fftLength(length),
          noiseWidth(width),
          window(length),
          fft(length),
          fftInput(length),
          fftOutput(length),
          silence(length, 0.0f),
          longView(length, width),
          shortView(length, width),
          plainSpectrum(LongAverageSpectra, 0),
          plainRecent(LongAverageSpectra, std::vector<float>(length, 0.0f)),
          plainLowest(LongAverageSpectra, 1e-30) {
        window = hannWindow(fftLength);
    }

    std::size_t fftLength;
    int noiseWidth;
    std::vector<float> window;
    ForwardFft fft;
    std::vector<ComplexSample> fftInput;
    std::vector<ComplexSample> fftOutput;
    std::vector<float> silence;  // a spectrum of zeros, taken out of an average not yet full
    AverageView longView, shortView;

    // The periodograms of the input itself over the stretches of one rung's spectra, made only when a
    // candidate there is checked, and kept while that rung's candidates are checked again: for slot
    // k, which of its spectra (counted from 1; 0 for none) plainRecent[k] belongs to.
    const Rung* plainOwner = nullptr;
    std::vector<std::uint64_t> plainSpectrum;
    std::vector<std::vector<float>> plainRecent;
    std::vector<double> plainLowest;  // each plain periodogram's floor (NoiseFloor::DynamicRange)
};

// The mean of a rung's newest spectra, with the noise estimate around each bin and the thresholds
// for as many spectra as it holds.
struct Average {
    Average(std::size_t spectra, std::size_t length, AverageView& view, const FalseAlarms& alarms);

    // For the spectra it holds now.
    double threshold(const std::vector<double>& table) const { return table[count - 1]; }

    std::size_t span;
    std::size_t count = 0;
    std::vector<double> sum;
    std::vector<float>& mean;  // of the workspace's view: valid while the rung's newest spectrum is searched
    NoiseFloor& noise;
    std::vector<double> searchThreshold, hintedThreshold, checkThreshold, singleLineThreshold, holdThreshold, plainThreshold;
};

// One FFT length over the squared signal of one stream (the whole band, or one channel): its recent
// spectra and their two averages.
struct Rung {
    // Tones are searched from zoneLowHz to zoneHighHz relative to the stream's 0 Hz, which is
    // centreHz of the acquisition's input. The workspace gives the FFT length and the noise width.
    Rung(double sampleRate, Workspace& workspace, std::vector<double> bitRates, double centreHz, double zoneLowHz, double zoneHighHz,
         const FalseAlarms& alarms);

    // Takes in the stream's samples; takeSpectrum(rung) is called whenever a spectrum is due.
    template <typename TakeSpectrum>
    void consume(std::span<const ComplexSample> samples, TakeSpectrum&& takeSpectrum);

    // Windows and transforms the fftLength samples of the stream that end where `end` samples had
    // been taken (the last LongAverageSpectra spectra's stretches are held), squared or as they are,
    // into the workspace's fftOutput.
    void transform(std::uint64_t end, bool squaring);
    // The spectrum of the squared samples taken so far.
    void addSpectrum();
    // The index in `recent` of the spectrum `age` spectra before the newest.
    std::size_t slotOf(std::size_t age) const { return (nextSlot + LongAverageSpectra - 1 - age) % LongAverageSpectra; }

    int wrap(int bin) const { return bin & static_cast<int>(fftLength - 1); }  // lengths are powers of two
    int binOf(double frequencyHz) const { return static_cast<int>(std::lround(frequencyHz / binHz)); }
    Line lineAt(const Average& average, int bin) const;
    // The strongest bin within `reach` of `frequencyHz`.
    Line strongestNear(const Average& average, double frequencyHz, int reach) const;

    double sampleRate;
    std::size_t fftLength;
    std::size_t hop;
    double binHz;
    std::vector<double> bitRates;
    double centreHz;
    double zoneLowHz, zoneHighHz;
    int noiseWidth = 0;  // bins each side of the guard averaged for the noise estimate

    Workspace& workspace;

    // The stream, a ring just long enough to hold the stretch of every spectrum averaged (it is
    // squared as it is transformed), and how many samples have come.
    std::vector<ComplexSample> plain;
    std::uint64_t taken = 0;
    std::uint64_t inputPerSample = 1;  // the stream's decimation from the acquisition's input
    bool fromBank = false;  // a channel of a bank, or the band limiter's whole band

    // The last LongAverageSpectra periodograms and when each was taken (samples of the stream).
    std::vector<std::vector<float>> recent;
    std::vector<std::uint64_t> recentEnds;
    std::size_t nextSlot = 0;
    std::size_t stored = 0;
    std::uint64_t spectraTaken = 0;
    std::size_t updatesSinceExactSum = 0;

    Average longAverage;
    Average shortAverage;
    std::uint64_t nextSpectrumAt = 0;  // samples taken when the next spectrum is due
};

int noiseWidthFor(double sampleRate, std::size_t length, const std::vector<double>& bitRates);

template <typename TakeSpectrum>
void Rung::consume(std::span<const ComplexSample> samples, TakeSpectrum&& takeSpectrum) {
    std::size_t position = 0;
    while (position < samples.size()) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(nextSpectrumAt - taken, samples.size() - position));
        auto ringAt = static_cast<std::size_t>(taken % plain.size());
        for (std::size_t i = 0; i < count; ++i) {
            ComplexSample z = samples[position + i];
            // Absurdly loud samples (far beyond any sound card's range) are clipped, so that no sum in
            // the FFTs or the averages can overflow; a block that overflowed in the band limiter
            // (not finite here) counts as silence.
            const float power = std::norm(z);
            if (!(power <= MaxSamplePower)) z = std::isfinite(power) ? z * std::sqrt(MaxSamplePower / power) : ComplexSample{};
            plain[ringAt] = z;
            if (++ringAt == plain.size()) ringAt = 0;
        }
        position += count;
        taken += count;
        if (taken == nextSpectrumAt) {
            nextSpectrumAt += hop;
            addSpectrum();
            takeSpectrum();
        }
    }
}

}  // namespace sondeco::acquisition
