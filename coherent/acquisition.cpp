// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/acquisition.h"

#include "coherent/audio_front_end.h"
#include "coherent/forward_fft.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <tuple>

namespace sondeco {

namespace {

// Two FFT lengths over the squared signal. Lines closer together need finer bins, and the weaker
// lines of the slower rates (at the same Eb/N0 the signal power is lower) need longer coherent
// integration, so 100 and 200 bit/s share a short FFT (a quarter second: the first decision comes
// early) and 25 and 50 bit/s a four times longer one. Either way the two lines of the slower rate of
// a pair lie about 26 bins apart.
constexpr double ShortFftSeconds = 0.256;
constexpr std::size_t LongFftFactor = 4;
// Spectra (half overlapping) averaged non-coherently, two ways: the last twelve, enough for 25 bit/s
// at 12 dB, and the last four, so that a beacon coming on air after a while of noise is found as
// fast as one there from the start instead of waiting until it fills most of the long average.
constexpr std::size_t LongAverageSpectra = 12;
constexpr std::size_t ShortAverageSpectra = 4;
// Bins next to a line left out of its noise estimate (the Hann window spreads a line over about four).
constexpr int GuardBins = 3;

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
constexpr double ModelAllowance = 1.05;
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
constexpr std::size_t MaxChannelDecimation = 16;
// 8192 squared samples at this power, summed in an FFT, still give a finite power in float.
constexpr float MaxSamplePower = 1e15f;

double wrapToHalfRate(double frequency, double rate) {
    frequency = std::fmod(frequency, rate);
    if (frequency > rate / 2.0) frequency -= rate;
    if (frequency <= -rate / 2.0) frequency += rate;
    return frequency;
}

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

// Hann window's amplitude at `offset` bins from a line, relative to its peak: corrects a line's power
// for where it fell between bins.
double hannScallopGain(double offset) {
    const double x = std::abs(offset);
    if (x < 1e-9) return 1.0;
    if (std::abs(x - 1.0) < 1e-9) return 0.5;
    return std::sin(std::numbers::pi * x) / (std::numbers::pi * x) / (1.0 - x * x);
}

struct Line {
    double frequencyHz = 0.0;  // in the squared signal, relative to 0 Hz
    double ratio = 0.0;  // bin power over the noise estimate around it
    double excess = 0.0;  // bin power less that noise estimate: the line's own power
    double offsetBins = 0.0;  // where between bins it fell, for the power correction
};

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
    BandLimiter(double sampleRate, double lowHz, double highHz, bool filtering) : filtering_(filtering) {
        const double transition = std::min(TransitionHz, (highHz - lowHz) / 2.0);
        // Length for 60 dB with a Kaiser window: (A - 8) / (2.285 * transition in radians per sample).
        // Rounded up so that taps - 1 (and so the block's new samples) divides by every decimation the
        // channel bank may use.
        auto taps = static_cast<std::size_t>(std::ceil(52.0 / (2.285 * 2.0 * std::numbers::pi * transition / sampleRate)));
        taps = (taps + MaxChannelDecimation - 1) / MaxChannelDecimation * MaxChannelDecimation + 1;
        // Each block keeps room for two filters of that length one after the other: the channel banks
        // apply their own on top of this one.
        const std::size_t overlap = 2 * (taps - 1);
        std::size_t length = 64;
        while (length < 4 * overlap) length *= 2;
        taps_ = taps;
        overlap_ = overlap;
        fft_ = std::make_unique<ForwardFft>(length);
        buffer_.assign(length, ComplexSample{});
        spectrum_.resize(length);
        blockSpectrum_.resize(length);
        filled_ = overlap;  // the history starts as silence

        // liquid-dsp's Kaiser design for the low-pass of half the band's width plus half a transition,
        // moved up to the band's middle; its response is kept divided by the length for the inverse
        // transform.
        std::vector<float> prototype(taps);
        const double cutoff = ((highHz - lowHz) / 2.0 + transition / 2.0) / sampleRate;
        liquid_firdes_kaiser(static_cast<unsigned>(taps), static_cast<float>(std::min(cutoff, 0.49)), 60.0f, 0.0f, prototype.data());
        double gain = 0.0;
        for (float tap : prototype) gain += static_cast<double>(tap);
        const double middle = (lowHz + highHz) / 2.0;
        std::vector<ComplexSample> impulse(length, ComplexSample{});
        for (std::size_t k = 0; k < taps; ++k) {
            const double angle = 2.0 * std::numbers::pi * middle / sampleRate * static_cast<double>(k);
            // Taps may be negative, which std::polar does not take.
            const double tap = static_cast<double>(prototype[k]) / gain;
            impulse[k] = ComplexSample(static_cast<float>(tap * std::cos(angle)), static_cast<float>(tap * std::sin(angle)));
        }
        response_.resize(length);
        fft_->transform(impulse, response_);
        unscaled_ = response_;
        for (ComplexSample& value : response_) value /= static_cast<float>(length);
    }

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
    ChannelBank(double sampleRate, const BandLimiter& limiter, std::vector<int> centreBins, std::size_t binsTaken, double flatHz)
        : length_(limiter.length()),
          taps_(limiter.taps()),
          overlap_(limiter.overlap()),
          newSamples_(limiter.newSamplesPerBlock()),
          binsTaken_(binsTaken),
          decimation_(limiter.length() / binsTaken),
          centreBins_(std::move(centreBins)),
          phases_(centreBins_.size(), 0.0),
          inverse_(binsTaken),
          bins_(binsTaken),
          samples_(binsTaken) {
        // The channel filter: as long as the limiter's, flat to flatHz, gone by flatHz plus the
        // limiter's transition. Its response on the bins taken, the centre bin first.
        std::vector<float> prototype(taps_);
        const double cutoff = (flatHz + BandLimiter::TransitionHz / 2.0) / sampleRate;
        liquid_firdes_kaiser(static_cast<unsigned>(taps_), static_cast<float>(cutoff), 60.0f, 0.0f, prototype.data());
        double gain = 0.0;
        for (float tap : prototype) gain += static_cast<double>(tap);
        std::vector<std::complex<double>> channelResponse(binsTaken_);
        for (std::size_t index = 0; index < binsTaken_; ++index) {
            const double bin =
                index < binsTaken_ / 2 ? static_cast<double>(index) : static_cast<double>(index) - static_cast<double>(binsTaken_);
            for (std::size_t n = 0; n < taps_; ++n) {
                const double angle = -2.0 * std::numbers::pi * bin * static_cast<double>(n) / static_cast<double>(length_);
                channelResponse[index] += static_cast<double>(prototype[n]) / gain * std::complex<double>(std::cos(angle), std::sin(angle));
            }
        }
        // Each channel's filter times the band limiter's, which keeps out what lies beyond the search
        // band: above all the mirror images of low audio that an audio front end lets through next
        // to its band (the product of a real sound's frequencies with their own images is a line, at
        // the squared 0 Hz of the audio, that folds into a channel like a beacon's). Divided by the
        // block length for the inverse transform.
        responses_.resize(centreBins_.size());
        for (std::size_t channel = 0; channel < centreBins_.size(); ++channel) {
            responses_[channel].resize(binsTaken_);
            for (std::size_t index = 0; index < binsTaken_; ++index) {
                const int offset =
                    index < binsTaken_ / 2 ? static_cast<int>(index) : static_cast<int>(index) - static_cast<int>(binsTaken_);
                const std::complex<double> band(limiter.responseAt(centreBins_[channel] + offset));
                responses_[channel][index] = ComplexSample(channelResponse[index] * band / static_cast<double>(length_));
            }
        }
    }

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
        for (std::size_t i = 0; i < fftLength; ++i) {
            window[i] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(fftLength)));
        }
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
    Average(std::size_t spectra, std::size_t length, AverageView& view)
        : span(spectra), sum(length, 0.0), mean(view.mean), noise(view.noise) {
        const auto noiseBins = static_cast<std::size_t>(2 * noise.width());
        for (std::size_t k = 1; k <= span; ++k) {
            // The mean of two lines is worth one line averaged over twice the spectra, with twice the
            // bins behind its noise estimate.
            searchThreshold.push_back(lineThreshold(2 * k, noiseBins, PairFalseAlarm));
            hintedThreshold.push_back(lineThreshold(2 * k, noiseBins, HintedPairFalseAlarm));
            checkThreshold.push_back(lineThreshold(k, noiseBins, CheckFalseAlarm));
            singleLineThreshold.push_back(lineThreshold(k, noiseBins, LineFalseAlarm));
            holdThreshold.push_back(lineThreshold(k, noiseBins, HoldFalseAlarm));
            plainThreshold.push_back(MskPeakAllowance * lineThreshold(k, noiseBins, PlainFalseAlarm));
        }
    }

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
    Rung(double sampleRate, Workspace& workspace, std::vector<double> bitRates, double centreHz, double zoneLowHz, double zoneHighHz);

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

int noiseWidthFor(double sampleRate, std::size_t length, const std::vector<double>& bitRates) {
    // The noise estimate of one line must not reach the other line of the pair.
    const double binHz = sampleRate / static_cast<double>(length);
    const double closestSpacingBins = *std::min_element(bitRates.begin(), bitRates.end()) / binHz;
    return std::max(4, static_cast<int>(std::floor(closestSpacingBins)) - GuardBins - 4);
}

Rung::Rung(double rate, Workspace& work, std::vector<double> rates, double centre, double zoneLow, double zoneHigh)
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
      longAverage(LongAverageSpectra, fftLength, work.longView),
      shortAverage(ShortAverageSpectra, fftLength, work.shortView),
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
    bool plainSpectrumAgrees(Rung& rung, const Pair& pair);
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
                                                   0.0, settings.searchLowHz, settings.searchHighHz));
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
            rungs.push_back(std::make_unique<Rung>(bankRate, workspace, bitRates, centre, low, high));
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

bool BeaconAcquisition::State::plainSpectrumAgrees(Rung& rung, const Pair& pair) {
    const BeaconCandidate& candidate = pair.candidate;
    const double tone = candidate.toneHz - rung.centreHz;  // relative to the stream
    const std::size_t spectra = pair.spectra;
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
    const auto powerAt = [&](std::size_t age, int bin) {
        return static_cast<double>(work.plainRecent[rung.slotOf(age)][static_cast<std::size_t>(rung.wrap(bin))]);
    };

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
