#include "coherent/acquisition.h"

#include "coherent/audio_front_end.h"
#include "coherent/forward_fft.h"

#include <liquid/liquid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

// Two ladders of FFT lengths over the squared signal. Lines closer together need finer bins, and the
// weaker lines of the slower rates (at the same Eb/N0 the signal power is lower) need longer coherent
// integration, so 100 and 200 bit/s share a short FFT (a quarter second: the first decision comes
// early) and 25 and 50 bit/s a four times longer one. Either way the two lines of the slower rate on
// a rung lie about 26 bins apart.
constexpr double ShortFftSeconds = 0.256;
constexpr std::size_t LongFftFactor = 4;
// Spectra averaged (non-coherently) per rung at most: enough for 25 bit/s at 12 dB, few enough that
// a beacon that stops or moves fades out of the average within a few seconds.
constexpr std::size_t MaxAveragedSpectra = 12;
// Bins next to a line left out of its noise estimate (the Hann window spreads a line over about four).
constexpr int GuardBins = 3;

// A candidate is decided on the mean of its two lines (both hold the same power, and the mean is
// the better test than asking each line to pass on its own). A spectrum offers about a quarter of
// its length in places for a pair (a local maximum, three bins for its partner, two rates); at 1e-11
// per place, noise makes a chance pair about once in ten thousand hours on each rung. Measured on
// noise, carriers and speech-like sound in tests/coherent.
constexpr double PairFalseAlarm = 1e-11;
// A pair that matches the hints is taken on weaker evidence: a tone hint cuts the places searched
// about a hundredfold.
constexpr double HintedPairFalseAlarm = 1e-9;
// "Is there a line here at all": each line of a pair, and what surrounds a pair.
constexpr double CheckFalseAlarm = 1e-3;
// A beacon already held stays held while both its lines stand out at this level.
constexpr double HoldFalseAlarm = 1e-2;
constexpr int MissesBeforeLost = 2;

// A real MSK pair is balanced (each line holds a quarter of the squared signal's power); a carrier
// beside a noise peak is not. Allow for filter slope and noise: 10 dB.
constexpr double MaxLineImbalance = 10.0;
// Squared MSK has no line at the pair's midpoint (two carriers half the rate apart have one four
// times stronger than the outer two) and nothing at all 1.5 rates out (a comb of harmonics, as
// voiced speech makes, has lines there as strong as the pair).
constexpr double MidpointLineRatio = 0.5;
constexpr double OuterLineRatio = 0.25;
// Another beacon replaces the one held only if this much stronger (dB).
constexpr double MoveMarginDb = 3.0;
// A bin of the input's own periodogram this far above the noise around it is a line (a carrier, a
// harmonic), not MSK: noise-like MSK spectrum gets there about once in ten million bins.
constexpr double PlainLineRatio = 25.0;
constexpr double ToneHintToleranceHz = 30.0;
// The Hann window's equivalent noise bandwidth in bins.
constexpr double HannNoiseBandwidthBins = 1.5;

double wrapToHalfRate(double frequency, double rate)
{
    frequency = std::fmod(frequency, rate);
    if (frequency > rate / 2.0) frequency -= rate;
    if (frequency <= -rate / 2.0) frequency += rate;
    return frequency;
}

// P(X > y) for X ~ Beta(a, b) with whole a, b: the chance that a sum of a unit exponentials beats
// y / (1 - y) times a sum of b others. The finite binomial form, in logs to stay in range.
double betaUpperTail(int a, int b, double y)
{
    if (y <= 0.0) return 1.0;
    if (y >= 1.0) return 0.0;
    const int n = a + b - 1;
    double total = 0.0;
    for (int j = 0; j < a; ++j) {
        const double logTerm = std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0) +
                               j * std::log(y) + (n - j) * std::log1p(-y);
        total += std::exp(logTerm);
    }
    return total;
}

// The threshold on (bin power / noise estimate) that noise alone crosses with probability `falseAlarm`,
// when the bin is the mean of `spectra` periodograms and the noise estimate the mean of
// `noiseSamples` bins of as many. Neighbouring bins of a Hann-windowed spectrum are correlated, so
// the estimate is worth about half its bins.
double lineThreshold(std::size_t spectra, std::size_t noiseBins, double falseAlarm)
{
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

// Hann window's amplitude at `offset` bins from a line, relative to its peak: corrects a line's power
// for where it fell between bins.
double hannScallopGain(double offset)
{
    const double x = std::abs(offset);
    if (x < 1e-9) return 1.0;
    if (std::abs(x - 1.0) < 1e-9) return 0.5;
    return std::sin(std::numbers::pi * x) / (std::numbers::pi * x) / (1.0 - x * x);
}

struct Line {
    double frequencyHz = 0.0;  // in the squared signal, relative to 0 Hz
    double ratio = 0.0;        // bin power over the noise estimate around it
    double offsetBins = 0.0;   // where between bins it fell, for the power correction
};

// Keeps only the search band (plus the main lobe of the fastest beacon on either side) before the
// signal is squared. Squaring mixes every pair of frequencies, so whatever else reaches it adds noise
// under the lines, and worse: an audio front end's output carries the mirror images of real audio
// just outside its band (its filter cannot cut sharply next to 0 Hz of the audio without hundreds
// of taps), and squared images make ghost pairs at wrong tones. A sharp linear-phase FIR applied by
// FFT (overlap-save) costs two short FFTs per block.
class BandLimiter {
public:
    BandLimiter(double sampleRate, double lowHz, double highHz)
    {
        const double transition = std::min(TransitionHz, (highHz - lowHz) / 2.0);
        // Length for 60 dB with a Kaiser window: (A - 8) / (2.285 * transition in radians per sample).
        const auto taps = static_cast<std::size_t>(
            std::ceil(52.0 / (2.285 * 2.0 * std::numbers::pi * transition / sampleRate))) | 1u;
        std::size_t length = 64;
        while (length < 4 * taps) length *= 2;
        taps_ = taps;
        fft_ = std::make_unique<ForwardFft>(length);
        buffer_.assign(length, ComplexSample{});
        spectrum_.resize(length);
        filled_ = taps - 1;  // the history starts as silence

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
            impulse[k] = ComplexSample(std::polar(static_cast<double>(prototype[k]) / gain, angle));
        }
        response_.resize(length);
        fft_->transform(impulse, response_);
        for (ComplexSample& value : response_) value /= static_cast<float>(length);
    }

    // Filters `input` and hands each finished block of output to `sink` (a span of samples).
    template <typename Sink>
    void process(std::span<const ComplexSample> input, Sink&& sink)
    {
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
            fft_->transform(buffer_, spectrum_);
            for (std::size_t k = 0; k < length; ++k) spectrum_[k] = std::conj(spectrum_[k] * response_[k]);
            fft_->transform(spectrum_, spectrum_);
            for (ComplexSample& value : spectrum_) value = std::conj(value);
            sink(std::span<const ComplexSample>(spectrum_).subspan(taps_ - 1));
            std::copy(buffer_.end() - static_cast<std::ptrdiff_t>(taps_ - 1), buffer_.end(), buffer_.begin());
            filled_ = taps_ - 1;
        }
    }

private:
    static constexpr double TransitionHz = 150.0;
    std::size_t taps_ = 0;
    std::unique_ptr<ForwardFft> fft_;
    std::vector<ComplexSample> buffer_;
    std::vector<ComplexSample> spectrum_;
    std::vector<ComplexSample> response_;
    std::size_t filled_ = 0;
};

// The noise level around each bin of a power spectrum: the mean of `width` bins either side, beyond
// `guard` bins that a line centred on the bin would still cover. Cell averaging on both sides follows
// a sloping floor (band-limited noise, the edges of the front end's passband) without bias.
class NoiseFloor {
public:
    NoiseFloor(int guard, int width) : guard_(guard), width_(width) {}

    void build(const std::vector<float>& power)
    {
        // The spectrum's length is a power of two, so a mask wraps an index around it.
        const std::size_t mask = power.size() - 1;
        const auto reach = static_cast<std::size_t>(guard_ + width_);
        prefix_.resize(power.size() + 2 * reach + 1);
        prefix_[0] = 0.0;
        for (std::size_t j = 0; j < power.size() + 2 * reach; ++j) {
            prefix_[j + 1] = prefix_[j] + static_cast<double>(power[(j + power.size() - reach) & mask]);
        }
    }

    // bin in [0, length)
    double at(int bin) const
    {
        const int reach = guard_ + width_;
        const auto sumOver = [&](int from, int to) {
            return prefix_[static_cast<std::size_t>(to + reach + 1)] - prefix_[static_cast<std::size_t>(from + reach)];
        };
        const double noise = (sumOver(bin - reach, bin - guard_ - 1) + sumOver(bin + guard_ + 1, bin + reach)) / (2.0 * width_);
        return std::max(noise, 1e-30);
    }

private:
    int guard_;
    int width_;
    std::vector<double> prefix_;  // running sums of the spectrum, extended circularly by `reach` on both sides
};

// One FFT length over the squared signal, with its running average of spectra and its noise estimate.
struct Rung {
    Rung(double sampleRate, std::size_t length, std::vector<double> bitRates);

    // Windows and transforms the fftLength samples of `ring` that end just before index `end`.
    void transform(const std::vector<ComplexSample>& ring, std::size_t end);
    void addSpectrum(const std::vector<ComplexSample>& squared, std::size_t end);
    double noiseAt(int bin) const { return noise.at(wrap(bin)); }
    double ratioAt(int bin) const { return average[static_cast<std::size_t>(wrap(bin))] / noiseAt(bin); }
    int wrap(int bin) const { return bin & (length() - 1); }  // lengths are powers of two
    int length() const { return static_cast<int>(fftLength); }
    int binOf(double frequencyHz) const { return static_cast<int>(std::lround(frequencyHz / binHz)); }
    Line lineAt(int bin) const;
    // The strongest bin within `reach` of `frequencyHz`.
    Line strongestNear(double frequencyHz, int reach) const;
    double thresholdFor(const std::vector<double>& table) const { return table[spectraAveraged - 1]; }

    double sampleRate;
    std::size_t fftLength;
    std::size_t hop;
    double binHz;
    std::vector<double> bitRates;
    int noiseWidth = 0;  // bins each side of the guard averaged for the noise estimate

    std::vector<float> window;
    ForwardFft fft;
    std::vector<ComplexSample> fftInput;
    std::vector<ComplexSample> fftOutput;

    std::vector<std::vector<float>> recent;  // the last MaxAveragedSpectra periodograms
    std::size_t nextSlot = 0;
    std::size_t spectraAveraged = 0;
    std::size_t updatesSinceExactSum = 0;
    std::vector<double> sum;
    std::vector<float> average;
    NoiseFloor noise{GuardBins, 4};
    std::vector<float> plainPower;  // a periodogram of the input itself, made when a candidate is checked
    NoiseFloor plainNoise{GuardBins, 4};

    // Indexed by the number of spectra averaged, less one: for the mean of a pair's two lines, and
    // for a single line.
    std::vector<double> searchThreshold, hintedThreshold, checkThreshold, holdThreshold;
    std::uint64_t nextSpectrumAt = 0;  // samples taken when the next spectrum is due
};

Rung::Rung(double rate, std::size_t length, std::vector<double> rates)
    : sampleRate(rate), fftLength(length), hop(length / 2), binHz(rate / static_cast<double>(length)),
      bitRates(std::move(rates)), fft(length), fftInput(length), fftOutput(length)
{
    const double closestSpacingBins = *std::min_element(bitRates.begin(), bitRates.end()) / binHz;
    // The noise estimate of one line must not reach the other line of the pair.
    noiseWidth = std::max(4, static_cast<int>(std::floor(closestSpacingBins)) - GuardBins - 4);

    window.resize(fftLength);
    for (std::size_t i = 0; i < fftLength; ++i) {
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                            static_cast<double>(fftLength)));
    }

    recent.assign(MaxAveragedSpectra, std::vector<float>(fftLength, 0.0f));
    sum.assign(fftLength, 0.0);
    average.assign(fftLength, 0.0f);
    noise = NoiseFloor(GuardBins, noiseWidth);
    plainNoise = NoiseFloor(GuardBins, noiseWidth);
    plainPower.assign(fftLength, 0.0f);
    const auto noiseBins = static_cast<std::size_t>(2 * noiseWidth);
    for (std::size_t k = 1; k <= MaxAveragedSpectra; ++k) {
        // The mean of two lines is worth one line averaged over twice the spectra, with twice the
        // bins behind its noise estimate.
        searchThreshold.push_back(lineThreshold(2 * k, noiseBins, PairFalseAlarm));
        hintedThreshold.push_back(lineThreshold(2 * k, noiseBins, HintedPairFalseAlarm));
        checkThreshold.push_back(lineThreshold(k, noiseBins, CheckFalseAlarm));
        holdThreshold.push_back(lineThreshold(k, noiseBins, HoldFalseAlarm));
    }
    nextSpectrumAt = fftLength;
}

void Rung::transform(const std::vector<ComplexSample>& ring, std::size_t end)
{
    // The ring's length is a power of two no shorter than the FFT.
    const std::size_t mask = ring.size() - 1;
    const std::size_t first = end + ring.size() - fftLength;
    for (std::size_t i = 0; i < fftLength; ++i) fftInput[i] = ring[(first + i) & mask] * window[i];
    fft.transform(fftInput, fftOutput);
}

void Rung::addSpectrum(const std::vector<ComplexSample>& squared, std::size_t end)
{
    transform(squared, end);

    std::vector<float>& slot = recent[nextSlot];
    double total = 0.0;
    for (std::size_t b = 0; b < fftLength; ++b) total += static_cast<double>(std::norm(fftOutput[b]));
    // A spectrum that overflowed (absurdly loud input) carries no usable information: skip it
    // rather than let infinities into the average for good.
    if (!std::isfinite(total)) return;

    const bool full = spectraAveraged == MaxAveragedSpectra;
    for (std::size_t b = 0; b < fftLength; ++b) {
        const float power = std::norm(fftOutput[b]);
        sum[b] += static_cast<double>(power) - (full ? static_cast<double>(slot[b]) : 0.0);
        slot[b] = power;
    }
    nextSlot = (nextSlot + 1) % MaxAveragedSpectra;
    if (!full) ++spectraAveraged;
    // Adding and taking away leaves rounding behind; start the sums afresh now and then.
    if (++updatesSinceExactSum >= MaxAveragedSpectra) {
        updatesSinceExactSum = 0;
        std::fill(sum.begin(), sum.end(), 0.0);
        for (std::size_t s = 0; s < spectraAveraged; ++s) {
            for (std::size_t b = 0; b < fftLength; ++b) sum[b] += static_cast<double>(recent[s][b]);
        }
    }
    const double scale = 1.0 / static_cast<double>(spectraAveraged);
    for (std::size_t b = 0; b < fftLength; ++b) average[b] = static_cast<float>(std::max(0.0, sum[b]) * scale);
    noise.build(average);
}

Line Rung::lineAt(int bin) const
{
    const int b = wrap(bin);
    const double left = std::max(1e-30, static_cast<double>(average[static_cast<std::size_t>(wrap(b - 1))]));
    const double centre = std::max(1e-30, static_cast<double>(average[static_cast<std::size_t>(b)]));
    const double right = std::max(1e-30, static_cast<double>(average[static_cast<std::size_t>(wrap(b + 1))]));
    // A Hann-windowed line is close to a Gaussian in log power across its peak: fit a parabola there.
    const double curvature = std::log(left) - 2.0 * std::log(centre) + std::log(right);
    double offset = curvature < 0.0 ? 0.5 * (std::log(left) - std::log(right)) / curvature : 0.0;
    offset = std::clamp(offset, -0.5, 0.5);
    Line line;
    line.frequencyHz = wrapToHalfRate((b + offset) * binHz, sampleRate);
    line.ratio = centre / noiseAt(b);
    line.offsetBins = offset;
    return line;
}

Line Rung::strongestNear(double frequencyHz, int reach) const
{
    const int centre = binOf(frequencyHz);
    int best = centre;
    for (int b = centre - reach; b <= centre + reach; ++b) {
        if (average[static_cast<std::size_t>(wrap(b))] > average[static_cast<std::size_t>(wrap(best))]) best = b;
    }
    return lineAt(best);
}

}  // namespace

struct BeaconAcquisition::State {
    explicit State(const AcquisitionSettings& settings);

    void takeSpectrum(std::size_t rungIndex);
    // Pairs on this rung that pass every check on the squared spectrum, strongest first.
    std::vector<BeaconCandidate> pairs(const Rung& rung) const;
    bool plainSpectrumClear(Rung& rung, const BeaconCandidate& candidate);
    bool hinted(double toneHz, double bitRate) const;
    bool clearAround(const Rung& rung, double frequencyHz, double weakerExcess, double ratio) const;
    double strengthDbHz(const Rung& rung, const Line& weaker) const;
    void emit(AcquisitionEvent::Kind kind, const BeaconCandidate& candidate);
    void consume(std::span<const ComplexSample> filtered);

    AcquisitionSettings settings;
    std::unique_ptr<BandLimiter> limiter;
    std::uint64_t inputTaken = 0;
    std::vector<std::unique_ptr<Rung>> rungs;
    std::vector<ComplexSample> squared;  // the squared input, a ring as long as the longest FFT
    std::vector<ComplexSample> plain;    // the input itself, the same way
    std::size_t mask = 0;
    // Samples through the band limiter; the limiter's output at count n is its response at input n.
    std::uint64_t taken = 0;

    std::optional<BeaconCandidate> current;
    std::size_t currentRung = 0;
    double currentLowLineHz = 0.0;
    double currentHighLineHz = 0.0;
    int misses = 0;
    std::vector<AcquisitionEvent> events;
};

BeaconAcquisition::State::State(const AcquisitionSettings& s) : settings(s)
{
    const double rate = settings.sampleRate;
    if (!(rate > 0.0) || !std::isfinite(rate)) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings.searchHighHz > settings.searchLowHz)) throw std::invalid_argument("the search band is empty");
    const double widest = std::max(std::abs(settings.searchLowHz), std::abs(settings.searchHighHz));
    if (!(2.0 * widest + 100.0 < rate / 2.0)) {
        throw std::invalid_argument("a search band reaching " + std::to_string(widest) + " Hz from 0 Hz needs more than " +
                                    std::to_string(4.0 * widest + 200.0) + " samples per second");
    }
    // The main lobe of MSK at 200 bit/s reaches 150 Hz from its tone.
    limiter = std::make_unique<BandLimiter>(rate, settings.searchLowHz - 150.0, settings.searchHighHz + 150.0);
    // The short FFT as close to a quarter second as a power of two allows.
    const double wanted = std::log2(rate * ShortFftSeconds);
    const auto shortLength = static_cast<std::size_t>(1) << static_cast<int>(std::max(4.0, std::round(wanted)));
    rungs.push_back(std::make_unique<Rung>(rate, shortLength, std::vector<double>{100.0, 200.0}));
    rungs.push_back(std::make_unique<Rung>(rate, shortLength * LongFftFactor, std::vector<double>{25.0, 50.0}));
    squared.assign(shortLength * LongFftFactor, ComplexSample{});
    plain.assign(squared.size(), ComplexSample{});
    mask = squared.size() - 1;
}

bool BeaconAcquisition::State::hinted(double toneHz, double bitRate) const
{
    if (!settings.toneHint && !settings.bitRateHint) return false;
    if (settings.bitRateHint && std::abs(*settings.bitRateHint - bitRate) > 0.5) return false;
    if (settings.toneHint && std::abs(*settings.toneHint - toneHz) > ToneHintToleranceHz) return false;
    return true;
}

bool BeaconAcquisition::State::clearAround(const Rung& rung, double frequencyHz, double weakerExcess, double ratio) const
{
    const int centre = rung.binOf(frequencyHz);
    const double threshold = rung.thresholdFor(rung.checkThreshold);
    for (int b = centre - 1; b <= centre + 1; ++b) {
        const double there = rung.ratioAt(b);
        if (there >= threshold && there - 1.0 >= ratio * weakerExcess) return false;
    }
    return true;
}

double BeaconAcquisition::State::strengthDbHz(const Rung& rung, const Line& weaker) const
{
    // Excess over the noise per bin, corrected for where the line fell between bins, times the
    // noise bandwidth of a bin: line power over noise density.
    const double gain = hannScallopGain(weaker.offsetBins);
    const double excess = std::max(weaker.ratio - 1.0, 1e-6) / (gain * gain);
    return 10.0 * std::log10(excess * HannNoiseBandwidthBins * rung.binHz);
}

std::vector<BeaconCandidate> BeaconAcquisition::State::pairs(const Rung& rung) const
{
    const int length = rung.length();
    const double lowest = rung.thresholdFor(rung.checkThreshold);
    // Lines: local maxima (over two bins each side) that stand out from the noise around them.
    std::vector<Line> lines;
    for (int b = 0; b < length; ++b) {
        const float here = rung.average[static_cast<std::size_t>(b)];
        bool peak = true;
        for (int d = -2; d <= 2 && peak; ++d) {
            if (d == 0) continue;
            const float other = rung.average[static_cast<std::size_t>(rung.wrap(b + d))];
            peak = d < 0 ? here > other : here >= other;
        }
        if (!peak) continue;
        if (static_cast<double>(here) < lowest * rung.noiseAt(b)) continue;
        lines.push_back(rung.lineAt(b));
    }
    std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.frequencyHz < b.frequencyHz; });

    std::vector<BeaconCandidate> found;
    const double tolerance = 1.0 * rung.binHz;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        for (std::size_t j = i + 1; j < lines.size(); ++j) {
            const double spacing = lines[j].frequencyHz - lines[i].frequencyHz;
            for (double bitRate : rung.bitRates) {
                if (std::abs(spacing - bitRate) > tolerance + bitRate * 1e-3) continue;
                const double midpoint = (lines[i].frequencyHz + lines[j].frequencyHz) / 2.0;
                const double tone = midpoint / 2.0;
                const double slack = rung.binHz / 2.0;
                if (tone < settings.searchLowHz - slack || tone > settings.searchHighHz + slack) continue;

                const double threshold = rung.thresholdFor(hinted(tone, bitRate) ? rung.hintedThreshold : rung.searchThreshold);
                const Line& weaker = lines[i].ratio < lines[j].ratio ? lines[i] : lines[j];
                const Line& stronger = lines[i].ratio < lines[j].ratio ? lines[j] : lines[i];
                if ((weaker.ratio + stronger.ratio) / 2.0 < threshold) continue;
                const double weakerExcess = weaker.ratio - 1.0;
                if (stronger.ratio - 1.0 > MaxLineImbalance * weakerExcess) continue;
                if (!clearAround(rung, midpoint, weakerExcess, MidpointLineRatio)) continue;
                if (!clearAround(rung, midpoint - 1.5 * bitRate, weakerExcess, OuterLineRatio)) continue;
                if (!clearAround(rung, midpoint + 1.5 * bitRate, weakerExcess, OuterLineRatio)) continue;

                found.push_back(BeaconCandidate{tone, bitRate, strengthDbHz(rung, weaker)});
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const BeaconCandidate& a, const BeaconCandidate& b) { return a.lineStrengthDbHz > b.lineStrengthDbHz; });
    return found;
}

bool BeaconAcquisition::State::plainSpectrumClear(Rung& rung, const BeaconCandidate& candidate)
{
    // MSK itself has no line anywhere: its spectrum is smooth. Carriers have lines, and so has
    // voiced speech (its harmonics); some pairs of carriers square into a pair that passes every
    // check above, but never with a smooth spectrum underneath. One periodogram of the input
    // shows such lines far more plainly than the squared spectrum shows the pair.
    rung.transform(plain, static_cast<std::size_t>(taken) & mask);
    for (std::size_t b = 0; b < rung.fftLength; ++b) rung.plainPower[b] = std::norm(rung.fftOutput[b]);
    rung.plainNoise.build(rung.plainPower);
    const int from = rung.binOf(candidate.toneHz - candidate.bitRate / 2.0);
    const int to = rung.binOf(candidate.toneHz + candidate.bitRate / 2.0);
    for (int b = from; b <= to; ++b) {
        const int bin = rung.wrap(b);
        if (static_cast<double>(rung.plainPower[static_cast<std::size_t>(bin)]) > PlainLineRatio * rung.plainNoise.at(bin)) {
            return false;
        }
    }
    return true;
}

void BeaconAcquisition::State::emit(AcquisitionEvent::Kind kind, const BeaconCandidate& candidate)
{
    events.push_back(AcquisitionEvent{kind, candidate, taken});
}

void BeaconAcquisition::State::takeSpectrum(std::size_t rungIndex)
{
    Rung& rung = *rungs[rungIndex];
    rung.addSpectrum(squared, static_cast<std::size_t>(taken) & mask);
    if (rung.spectraAveraged == 0) return;

    // First the beacon held, if it lives on this rung: follow its lines a bin or two.
    bool heldWeak = false;
    if (current && currentRung == rungIndex) {
        const Line low = rung.strongestNear(currentLowLineHz, 2);
        const Line high = rung.strongestNear(currentHighLineHz, 2);
        const double hold = rung.thresholdFor(rung.holdThreshold);
        if (low.ratio >= hold && high.ratio >= hold) {
            misses = 0;
            currentLowLineHz = low.frequencyHz;
            currentHighLineHz = high.frequencyHz;
            current->toneHz = (low.frequencyHz + high.frequencyHz) / 4.0;
            current->lineStrengthDbHz = strengthDbHz(rung, low.ratio < high.ratio ? low : high);
        } else {
            heldWeak = true;
            if (++misses >= MissesBeforeLost) {
                emit(AcquisitionEvent::Kind::Lost, *current);
                current.reset();
                misses = 0;
            }
        }
    }

    // The strongest pair that is not the beacon held and whose input shows no line.
    std::optional<BeaconCandidate> found;
    for (const BeaconCandidate& candidate : pairs(rung)) {
        const bool same = current && currentRung == rungIndex && candidate.bitRate == current->bitRate &&
                          std::abs(candidate.toneHz - current->toneHz) <= 1.5 * rung.binHz;
        if (same) return;  // the beacon held is still the strongest here
        if (!plainSpectrumClear(rung, candidate)) continue;
        found = candidate;
        break;
    }
    if (!found) return;
    const auto adopt = [&](AcquisitionEvent::Kind kind) {
        current = found;
        currentRung = rungIndex;
        currentLowLineHz = 2.0 * found->toneHz - found->bitRate / 2.0;
        currentHighLineHz = 2.0 * found->toneHz + found->bitRate / 2.0;
        misses = 0;
        emit(kind, *found);
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

std::span<const AcquisitionEvent> BeaconAcquisition::process(std::span<const ComplexSample> samples)
{
    State& s = *state_;
    s.events.clear();
    s.limiter->process(samples, [&s](std::span<const ComplexSample> filtered) { s.consume(filtered); });
    s.inputTaken += samples.size();
    return s.events;
}

void BeaconAcquisition::State::consume(std::span<const ComplexSample> filtered)
{
    std::size_t position = 0;
    while (position < filtered.size()) {
        std::uint64_t due = rungs.front()->nextSpectrumAt;
        for (const auto& rung : rungs) due = std::min(due, rung->nextSpectrumAt);
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(due - taken, filtered.size() - position));
        for (std::size_t i = 0; i < count; ++i) {
            const ComplexSample z = filtered[position + i];
            ComplexSample square(z.real() * z.real() - z.imag() * z.imag(), 2.0f * z.real() * z.imag());
            // Squares of absurdly loud samples overflow; they carry nothing usable.
            if (!std::isfinite(square.real()) || !std::isfinite(square.imag())) square = ComplexSample{};
            const auto slot = static_cast<std::size_t>(taken + i) & mask;
            plain[slot] = z;
            squared[slot] = square;
        }
        position += count;
        taken += count;
        for (std::size_t r = 0; r < rungs.size(); ++r) {
            if (rungs[r]->nextSpectrumAt != taken) continue;
            rungs[r]->nextSpectrumAt += rungs[r]->hop;
            takeSpectrum(r);
        }
    }
}

const std::optional<BeaconCandidate>& BeaconAcquisition::current() const { return state_->current; }
std::uint64_t BeaconAcquisition::samplesTaken() const { return state_->inputTaken; }
double BeaconAcquisition::sampleRate() const { return state_->settings.sampleRate; }

void BeaconAcquisition::restart(std::optional<double> toneHint, std::optional<double> bitRateHint)
{
    AcquisitionSettings settings = state_->settings;
    settings.toneHint = toneHint;
    settings.bitRateHint = bitRateHint;
    state_ = std::make_unique<State>(settings);
}

AcquisitionSettings acquisitionSettingsFor(const AudioFrontEnd& frontEnd)
{
    AcquisitionSettings settings;
    settings.sampleRate = frontEnd.outputRate();
    settings.searchLowHz = frontEnd.searchLowHz();
    settings.searchHighHz = frontEnd.searchHighHz();
    return settings;
}

}  // namespace sondeco
