// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/msk_detector.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <stdexcept>

// liquid-dsp for the two parts where a library does it better than a few lines of ours would: the
// Kaiser-windowed decimating filter (designed, polyphase, with a vectorised dot product) and the FFT
// of the carrier search. The tracking loops, the matched filters and the decisions are ours: they
// are short, and their exact timing and scaling is what the measurements depend on.
#include <liquid/liquid.h>

namespace sondeco {
namespace {

constexpr double Pi = std::numbers::pi;
constexpr double TwoPi = 2.0 * std::numbers::pi;

// Internal rate: about this many samples a bit after decimation. Enough for the matched filters to
// follow the half-sine exactly at any clock phase, and few enough to keep the per-sample work small.
constexpr double InternalSamplesPerBit = 8.0;
// The decimator's filter: half its length in output samples, and its stop-band attenuation. Six
// output samples a side keep the pass band flat to well beyond the signal at the largest offset.
constexpr unsigned FilterSemiLength = 6;
constexpr float FilterStopBandDb = 60.0f;

// Search window: 64 bits (2.6 s at most): enough for the squared signal's lines to stand out of the
// noise at the Eb/N0 the word layer can use. Drift up to 1.5 Hz/s is searched for as well.
constexpr double SearchBits = 64.0;
constexpr double SearchSecondsAtMost = 2.6;
constexpr double MaximumDriftHzPerSecond = 1.5;

// Confirmation and loss. The measured Eb/N0 of noise alone sits near minus infinity (the two axes
// carry the same power); that of any signal the word layer can use, at 4 dB and above. Confirming
// takes 96 symbols and 0.8 s at least, and gives up after three times that.
constexpr double ConfirmSymbols = 96.0;
constexpr double ConfirmSeconds = 0.8;
constexpr double LockEbN0 = 2.0;  // 3 dB
// Mean over the confirmation of (on axis - off axis) / (on axis + off axis), symbol by symbol: 0 for
// noise, 0.50 for MSK at 2 dB, 0.57 at 3 dB.
constexpr double LockAxisShare = 0.45;
constexpr double LossEbN0 = 1.26;  // 1 dB
// The squared signal's two lines, each against the median bin around them, and against each other.
constexpr double LineOverFloor = 6.0;
constexpr double LineImbalance = 10.0;
// The data bits must change, and not every time: a plain tone on one of the two MSK tones is MSK
// sending one value for ever, a plain carrier between them looks like MSK sending 1010..., and no
// beacon does either (its words carry parity and the preamble). The share of ones, and of bits that
// differ from the one before, allowed while confirming, and while locked (over about 128 bits).
constexpr double ConfirmOnesLow = 0.2, ConfirmOnesHigh = 0.8;
constexpr double LockedOnesLow = 0.1, LockedOnesHigh = 0.9;
constexpr double OnesAveragingBits = 128.0;
constexpr double PowerAveragingSymbols = 64.0;  // for lock and loss: quick
constexpr double ScalingAveragingSymbols = 512.0;  // for the log-likelihood ratios: steady
constexpr double MaximumLlr = 50.0;
constexpr double MaximumErasedSeconds = 2.0;  // a longer gap is a new reception, not a fade

// Loop bandwidths (noise bandwidth times bit time). Each loop starts wide, to pull in what the search
// left over, and narrows to its tracking bandwidth. The carrier loop is of third order, so a steady
// drift leaves no lasting phase error once its third integrator has learned it; but that integrator
// learns only as fast as the loop is wide, and a narrow loop whose drift estimate is a few per cent
// off already falls behind by a radian at 1 Hz/s. So it tracks at 2 Hz (measured: below that the
// drift cases lose lock, above it the bit errors at 6 dB rise), limited in bit times, above by the
// loop's delay (a symbol is decided a symbol late) and below where the phase noise it adds is
// negligible anyway.
constexpr double CarrierPullInHz = 4.0;
constexpr double CarrierTrackingHz = 2.0;
constexpr double CarrierPullInBitTime = 0.02;
constexpr double CarrierTrackingBitTime = 0.01;
constexpr double MaximumLoopBitTime = 0.06;
constexpr double MaximumTrackingBitTime = 0.05;
constexpr double TimingPullInBitTime = 0.01;
constexpr double TimingTrackingBitTime = 0.002;
// The loops stay wide for this long, then narrow with this time constant: long enough at every rate
// for the carrier loop's third integrator to have learned a steady drift.
constexpr double PullInSeconds = 1.5;
constexpr double NarrowingSeconds = 1.5;
constexpr double Damping = 0.7071;

struct LoopGains {
    double proportional;
    double integral;
};

// The usual second-order loop with a proportional-plus-integral filter, updated once a symbol, for
// a phase detector of unit gain.
LoopGains loopGains(double bandwidthTimesPeriod) {
    const double theta = bandwidthTimesPeriod / (Damping + 1.0 / (4.0 * Damping));
    const double denominator = 1.0 + 2.0 * Damping * theta + theta * theta;
    return {4.0 * Damping * theta / denominator, 4.0 * theta * theta / denominator};
}

double wrapPhase(double phase) {
    if (phase > Pi || phase < -Pi) phase -= TwoPi * std::floor((phase + Pi) / TwoPi);
    return phase;
}

// The log-likelihood ratio of the product of two independent signs, exactly (the "box-plus" of
// two ratios), computed without overflow for large ratios.
double boxPlus(double a, double b) {
    const double sign = (a < 0) != (b < 0) ? -1.0 : 1.0;
    const double smaller = std::min(std::fabs(a), std::fabs(b));
    return sign * smaller + std::log1p(std::exp(-std::fabs(a + b))) - std::log1p(std::exp(-std::fabs(a - b)));
}

firdecim_crcf decimatorOf(void* handle) { return static_cast<firdecim_crcf>(handle); }

// Where the two lines of the squared signal are looked for, in bins of its spectrum.
struct LineSearch {
    double binHz;
    double halfRate;  // half the bit rate, in bins: each line's distance from the pair's centre
    std::int64_t centre;  // twice the expected carrier offset
    std::int64_t reach;  // how far either side of it the pair's centre may lie
    std::int64_t length;  // of the spectrum
};

// The strongest pair of lines found so far, and the drift rate that showed it.
struct LinePair {
    double power = -1.0;
    double drift = 0.0;
    double twiceOffsetHz = 0.0;
    double lower = 0.0, upper = 0.0;  // each line's power
    double floor = 0.0;  // the spectrum's noise floor where the lines may be
};

// The pair in one spectrum (of the squared signal de-chirped by `drift`), kept if it beats `best`.
// `region` is working space, kept by the caller across the drift rates.
void findLinePair(const std::vector<double>& power, double drift, const LineSearch& where, LinePair& best, std::vector<double>& region) {
    const std::int64_t length = where.length;
    const auto powerAt = [&](double bin) {
        const double floor = std::floor(bin);
        const double fraction = bin - floor;
        const auto index = static_cast<std::int64_t>(floor);
        const auto wrap = [&](std::int64_t i) { return static_cast<std::size_t>(((i % length) + length) % length); };
        return power[wrap(index)] * (1.0 - fraction) + power[wrap(index + 1)] * fraction;
    };
    const auto pairPower = [&](std::int64_t bin) {
        return powerAt(static_cast<double>(bin) - where.halfRate) + powerAt(static_cast<double>(bin) + where.halfRate);
    };
    bool better = false;
    for (std::int64_t bin = where.centre - where.reach; bin <= where.centre + where.reach; ++bin) {
        const double p = pairPower(bin);
        if (p <= best.power) continue;
        better = true;
        best.power = p;
        best.drift = drift;
        const double left = pairPower(bin - 1), right = pairPower(bin + 1);
        const double curvature = left - 2.0 * p + right;
        const double refined = static_cast<double>(bin) + (curvature < 0.0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0.0);
        best.twiceOffsetHz = refined * where.binHz;
        best.lower = powerAt(refined - where.halfRate);
        best.upper = powerAt(refined + where.halfRate);
    }
    if (!better) return;
    // The noise floor of the squared signal where the lines may be: the median bin.
    region.clear();
    const auto edge = static_cast<std::int64_t>(std::ceil(where.halfRate)) + 2;
    for (std::int64_t bin = where.centre - where.reach - edge; bin <= where.centre + where.reach + edge; ++bin)
        region.push_back(power[static_cast<std::size_t>(((bin % length) + length) % length)]);
    std::nth_element(region.begin(), region.begin() + static_cast<std::ptrdiff_t>(region.size() / 2), region.end());
    best.floor = region[region.size() / 2];
}

// The strongest pair over every drift rate tried: as many rates as it takes for the worst left over
// to move a line by less than a bin.
LinePair strongestLinePair(const std::vector<ComplexSample>& squared, double sampleRate, const LineSearch& where) {
    const std::size_t count = squared.size();
    const double seconds = static_cast<double>(count) / sampleRate;
    const double driftStep = 1.0 / (seconds * seconds);
    const int driftSteps = static_cast<int>(std::ceil(MaximumDriftHzPerSecond / driftStep - 0.5));
    const auto fftLength = static_cast<std::size_t>(where.length);
    std::vector<ComplexSample> input(fftLength), spectrum(fftLength);
    std::vector<double> power(fftLength);
    fftplan plan = fft_create_plan(static_cast<unsigned>(fftLength), input.data(), spectrum.data(), LIQUID_FFT_FORWARD, 0);
    LinePair best;
    std::vector<double> region;
    for (int step = -driftSteps; step <= driftSteps; ++step) {
        const double drift = step * driftStep;
        // The squared signal's phase gains 2 pi drift t^2 from a carrier drifting by `drift` Hz/s.
        for (std::size_t k = 0; k < count; ++k) {
            const double t = static_cast<double>(k) / sampleRate;
            input[k] = squared[k] * std::polar(1.0f, static_cast<float>(-TwoPi * drift * t * t));
        }
        std::fill(input.begin() + static_cast<std::ptrdiff_t>(count), input.end(), ComplexSample{});
        fft_execute(plan);
        for (std::size_t k = 0; k < fftLength; ++k) power[k] = std::norm(spectrum[k]);
        findLinePair(power, drift, where, best, region);
    }
    fft_destroy_plan(plan);
    return best;
}

}  // namespace

CoherentMskDetector::CoherentMskDetector(double sampleRate, double toneHz, double bitRate)
    : inputRate_(sampleRate), nominalTone_(toneHz), nominalRate_(bitRate) {
    if (!(bitRate > 0.0) || !std::isfinite(bitRate)) throw std::invalid_argument("the bit rate must be positive");
    if (!(sampleRate >= 4.0 * bitRate) || !std::isfinite(sampleRate))
        throw std::invalid_argument("the sample rate must be at least four samples a bit");
    if (!(std::fabs(toneHz) < sampleRate / 2.0)) throw std::invalid_argument("the tone must lie within the input's band");

    decimation_ = std::max(1, static_cast<int>(std::floor(sampleRate / (InternalSamplesPerBit * bitRate))));
    internalRate_ = sampleRate / decimation_;
    samplesPerBit_ = internalRate_ / bitRate;
    if (decimation_ > 1) {
        decimator_ = firdecim_crcf_create_kaiser(static_cast<unsigned>(decimation_), FilterSemiLength, FilterStopBandDb);
        filterDelay_ = static_cast<int>(FilterSemiLength);
        block_.reserve(static_cast<std::size_t>(decimation_));
    }
    carrierPullInBandwidth_ = std::clamp(CarrierPullInHz / bitRate, CarrierPullInBitTime, MaximumLoopBitTime);
    carrierTrackingBandwidth_ = std::clamp(CarrierTrackingHz / bitRate, CarrierTrackingBitTime, MaximumTrackingBitTime);
    inputSamplesPerBit_ = sampleRate / bitRate;
    confirmSymbols_ = static_cast<std::uint64_t>(std::max(ConfirmSymbols, ConfirmSeconds * bitRate));
    const double searchBits = std::min(SearchBits, SearchSecondsAtMost * bitRate);
    searchLength_ = static_cast<std::size_t>(std::lround(searchBits * samplesPerBit_));
    fftLength_ = 1;
    while (fftLength_ < 4 * searchLength_) fftLength_ *= 2;
    window_.reserve(searchLength_);
    windowDamage_.reserve(searchLength_);
    searchCentreHz_ = toneHz;
    setMixer(toneHz);
}

CoherentMskDetector::~CoherentMskDetector() {
    if (decimator_) firdecim_crcf_destroy(decimatorOf(decimator_));
}

void CoherentMskDetector::setMixer(double frequencyHz) {
    mixerHz_ = frequencyHz;
    mixerStep_ = std::polar(1.0, -TwoPi * frequencyHz / inputRate_);
}

double CoherentMskDetector::toneHz() const { return mixerHz_ + carrierStep_ * internalRate_ / TwoPi; }

double CoherentMskDetector::bitRate() const { return nominalRate_ * (1.0 + clockRateError_); }

double CoherentMskDetector::ebN0Db() const {
    if (state_ == State::Searching || powerSamples_ == 0) return std::numeric_limits<double>::quiet_NaN();
    const double signal = slowInPhasePower_ - slowQuadraturePower_;
    if (!(signal > 0.0) || !(slowQuadraturePower_ > 0.0)) return -std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(signal / (2.0 * slowQuadraturePower_));
}

void CoherentMskDetector::markDamaged(std::uint64_t first, std::uint64_t end) {
    if (end <= first) return;
    // The decimator's output n is computed once input n*D has gone in, from the inputs just before
    // it centred on n*D - delay*D. An input sample matters to the outputs whose filter has it in the
    // main lobe: within one output sample of that centre.
    std::uint64_t from = first, to = end;
    if (decimation_ > 1) {
        const auto d = static_cast<std::uint64_t>(decimation_);
        const std::uint64_t shift = static_cast<std::uint64_t>(filterDelay_) * d;
        from = (first + shift + d - 1) / d;
        from = from > 1 ? from - 1 : 0;
        to = (end - 1 + shift) / d + 2;
    }
    if (to <= internalIndex_) return;
    from = std::max(from, internalIndex_);
    if (!damage_.empty() && from <= damage_.back().second) {
        damage_.back().second = std::max(damage_.back().second, to);
    } else {
        damage_.emplace_back(from, to);
    }
}

void CoherentMskDetector::process(std::span<const ComplexSample> input, std::vector<SoftBit>& out) {
    out_ = &out;
    for (ComplexSample sample : input) {
        // A sample that is no number would stay in the filter and the loops for good: take it as 0.
        if (!std::isfinite(sample.real()) || !std::isfinite(sample.imag())) sample = ComplexSample{};
        const std::complex<double> mixed = std::complex<double>(sample) * mixer_;
        mixer_ *= mixerStep_;
        if ((++inputIndex_ & 255u) == 0) mixer_ /= std::abs(mixer_);
        const ComplexSample value(static_cast<float>(mixed.real()), static_cast<float>(mixed.imag()));
        if (!decimator_) {
            pushInternal(value);
            continue;
        }
        block_.push_back(value);
        if (block_.size() == static_cast<std::size_t>(decimation_)) {
            ComplexSample decimated;
            firdecim_crcf_execute(decimatorOf(decimator_), block_.data(), &decimated);
            block_.clear();
            pushInternal(decimated);
        }
    }
    out_ = nullptr;
}

void CoherentMskDetector::pushInternal(ComplexSample sample) {
    const std::uint64_t index = internalIndex_++;
    while (!damage_.empty() && damage_.front().second <= index) damage_.pop_front();
    const bool damaged = !damage_.empty() && damage_.front().first <= index;
    if (state_ != State::Searching) {
        track(sample, damaged);
        return;
    }
    window_.push_back(sample);
    windowDamage_.push_back(damaged ? 1 : 0);
    if (window_.size() >= searchLength_) search();
}

// The squared signal holds two lines, at twice the carrier offset plus and minus half the bit rate:
// the pair with the most power within the search range gives the offset, and their phases give
// twice the carrier phase and the symbol clock. A drifting carrier smears the lines over a long
// window, so the squared signal is also tried de-chirped by a few drift rates, as many as it takes
// for the worst left over to move a line by less than a bin; the best rate starts the carrier
// loop's drift integrator too.
void CoherentMskDetector::search() {
    const std::size_t count = window_.size();
    std::vector<ComplexSample> squared(count);
    for (std::size_t k = 0; k < count; ++k) squared[k] = window_[k] * window_[k];

    const double binHz = internalRate_ / static_cast<double>(fftLength_);
    const LineSearch where{binHz, nominalRate_ / 2.0 / binHz,
                           static_cast<std::int64_t>(std::lround((searchCentreHz_ - mixerHz_) * 2.0 / binHz)),
                           static_cast<std::int64_t>(std::ceil(2.0 * MaximumOffsetHz / binHz)), static_cast<std::int64_t>(fftLength_)};
    const LinePair best = strongestLinePair(squared, internalRate_, where);

    // Both lines must stand out, and neither may dwarf the other: a plain carrier, or a carrier sitting
    // on one of the two tones, or a lone harmonic of a voice, makes one line and not a pair.
    const double weaker = std::min(best.lower, best.upper), stronger = std::max(best.lower, best.upper);
    if (!(weaker >= LineOverFloor * best.floor) || !(stronger <= LineImbalance * weaker)) {
        // Nothing there: look again half a window later.
        const auto half = static_cast<std::ptrdiff_t>(count / 2);
        window_.erase(window_.begin(), window_.begin() + half);
        windowDamage_.erase(windowDamage_.begin(), windowDamage_.begin() + half);
        return;
    }

    // Both lines' complex amplitudes at exactly the pair's frequencies, at the window's start.
    const auto line = [&](double frequencyHz) {
        std::complex<double> sum(0.0, 0.0);
        for (std::size_t k = 0; k < count; ++k) {
            const double t = static_cast<double>(k) / internalRate_;
            sum += std::complex<double>(squared[k]) * std::polar(1.0, -TwoPi * (frequencyHz * t + best.drift * t * t));
        }
        return sum;
    };
    const std::complex<double> upper = line(best.twiceOffsetHz + nominalRate_ / 2.0);
    const std::complex<double> lower = line(best.twiceOffsetHz - nominalRate_ / 2.0);
    double clockFraction = (std::arg(lower) - std::arg(upper)) / TwoPi;  // first symbol centre, in bits
    clockFraction -= std::floor(clockFraction);
    const double carrierPhase = 0.5 * (std::arg(upper) + Pi * clockFraction);
    startTracking(best.twiceOffsetHz / 2.0, best.drift, carrierPhase, clockFraction);
}

void CoherentMskDetector::startTracking(double offsetHz, double driftHzPerSecond, double phase, double firstCentreBits) {
    carrierPhase_ = wrapPhase(phase);
    carrierStep_ = TwoPi * offsetHz / internalRate_;
    carrierDrift_ = TwoPi * driftHzPerSecond / (nominalRate_ * nominalRate_);
    clockRateError_ = 0.0;
    clockStep_ = 1.0 / samplesPerBit_;
    // The window's first sample lies in the second half of the symbol before the one centred at
    // firstCentreBits, which is symbol 0: its pulse is on the real axis of the carrier phase found.
    clock_ = 1.0 - firstCentreBits;
    symbolIndex_ = -1;
    if (clock_ >= 1.0) {
        clock_ -= 1.0;
        symbolIndex_ = 0;
    }
    matchedCurrent_ = matchedNext_ = slopeCurrent_ = slopeNext_ = ComplexSample{};
    damagedCurrent_ = damagedNext_ = false;
    completeCurrent_ = completeNext_ = false;  // both began before the window
    historyCount_ = 0;
    havePreviousLlr_ = false;
    symbolsTracked_ = 0;
    inPhasePower_ = quadraturePower_ = slowInPhasePower_ = slowQuadraturePower_ = 0.0;
    powerSamples_ = slowSamples_ = 0;
    axisShareSum_ = 0.0;
    axisShareCount_ = 0;
    confirmingSymbols_ = 0;
    pending_.clear();
    previousBitEnd_ = givenBitEnd_;
    havePreviousBitEnd_ = haveGivenBitEnd_;
    state_ = State::Confirming;

    // The window's own samples go through the loops first, so its bits are not lost.
    std::vector<ComplexSample> window;
    std::vector<std::uint8_t> damage;
    window.swap(window_);
    damage.swap(windowDamage_);
    trackedIndex_ = internalIndex_ - window.size();
    replaying_ = true;
    for (std::size_t k = 0; k < window.size() && state_ != State::Searching; ++k) track(window[k], damage[k] != 0);
    replaying_ = false;
    window.clear();
    damage.clear();
    window.swap(window_);  // keep the allocation
    damage.swap(windowDamage_);
}

void CoherentMskDetector::track(ComplexSample sample, bool damaged) {
    ++trackedIndex_;
    const auto rotor = std::polar(1.0f, static_cast<float>(-carrierPhase_));
    const ComplexSample value = sample * rotor;
    carrierPhase_ = wrapPhase(carrierPhase_ + carrierStep_);

    // Symbol n (second half) has the weight cos(pi u / 2) at u bits past its centre, symbol n+1
    // (first half) sin(pi u / 2); their derivatives (-sin and cos) give the timing error.
    const auto angle = static_cast<float>(0.5 * Pi * clock_);
    const float c = std::cos(angle), s = std::sin(angle);
    matchedCurrent_ += value * c;
    matchedNext_ += value * s;
    slopeCurrent_ -= value * s;
    slopeNext_ += value * c;
    damagedCurrent_ = damagedCurrent_ || damaged;
    damagedNext_ = damagedNext_ || damaged;

    clock_ += clockStep_;
    if (clock_ < 1.0) return;
    clock_ -= 1.0;
    const ComplexSample matched = matchedCurrent_, slope = slopeCurrent_;
    const bool symbolDamaged = damagedCurrent_, complete = completeCurrent_;
    matchedCurrent_ = matchedNext_;
    slopeCurrent_ = slopeNext_;
    damagedCurrent_ = damagedNext_;
    completeCurrent_ = completeNext_;
    matchedNext_ = slopeNext_ = ComplexSample{};
    damagedNext_ = false;
    completeNext_ = true;
    finishSymbol(matched, slope, symbolDamaged, complete);
    ++symbolIndex_;
}

void CoherentMskDetector::finishSymbol(ComplexSample matched, ComplexSample slope, bool damaged, bool complete) {
    // Turn symbol n's axis onto the real axis: multiply by j^-n.
    static constexpr ComplexSample Turn[4] = {{1.0f, 0.0f}, {0.0f, -1.0f}, {-1.0f, 0.0f}, {0.0f, 1.0f}};
    const ComplexSample turn = Turn[static_cast<std::size_t>(((symbolIndex_ % 4) + 4) % 4)];
    const ComplexSample onAxis = matched * turn;
    history_[0] = history_[1];
    history_[1] = history_[2];
    history_[2] = Symbol{onAxis.real(), onAxis.imag(), (slope * turn).real(), damaged, complete};
    historyCount_ = std::min(historyCount_ + 1, 3);
    if (historyCount_ >= 2) decideSymbol();
}

// Decides symbol n-1 once symbol n is known: the quadrature overlap of both neighbours can then be
// taken out of its phase error, and the bit between n-2 and n-1 is complete.
void CoherentMskDetector::decideSymbol() {
    const Symbol& before = history_[0];
    const Symbol& symbol = history_[1];
    const Symbol& after = history_[2];
    const bool haveBefore = historyCount_ >= 3;
    ++symbolsTracked_;

    // Measured before this symbol is taken in: the loops steer by what was known when it came.
    const double signalPower = std::max(inPhasePower_ - quadraturePower_, 1e-30);
    const double noisePower = std::max(quadraturePower_, 1e-30);
    const double amplitude = std::sqrt(signalPower);
    if (haveBefore && symbol.complete && !symbol.damaged && before.complete && after.complete) {
        const double signBefore = before.inPhase >= 0.0f ? 1.0 : -1.0;
        const double signAfter = after.inPhase >= 0.0f ? 1.0 : -1.0;
        // Each neighbour's half pulse overlaps this one's by 1/pi of its energy, in quadrature.
        const double quadrature = symbol.quadrature - amplitude / Pi * (signAfter - signBefore);
        measurePowers(symbol, quadrature);
        if (powerSamples_ > 4) steerLoops(symbol, quadrature, amplitude);
    }
    emitSoftBit(symbol);
    followLockState(signalPower / (2.0 * noisePower));
}

void CoherentMskDetector::measurePowers(const Symbol& symbol, double quadrature) {
    // How much more of the symbol lies on its axis than off it, whatever its size: the mean of this
    // over a confirmation cannot be carried by a few loud symbols.
    const double onAxis = double(symbol.inPhase) * symbol.inPhase, offAxis = quadrature * quadrature;
    if (onAxis + offAxis > 0.0) {
        axisShareSum_ += (onAxis - offAxis) / (onAxis + offAxis);
        ++axisShareCount_;
    }
    const double weight = std::max(1.0 / static_cast<double>(powerSamples_ + 1), 1.0 / PowerAveragingSymbols);
    ++powerSamples_;
    const double slowWeight = std::max(1.0 / static_cast<double>(++slowSamples_), 1.0 / ScalingAveragingSymbols);
    if (powerSamples_ == 1) {
        // Nothing measured yet to take the neighbours out with: start from the raw powers.
        inPhasePower_ = slowInPhasePower_ = double(symbol.inPhase) * symbol.inPhase;
        quadraturePower_ = slowQuadraturePower_ = double(symbol.quadrature) * symbol.quadrature;
    } else {
        inPhasePower_ += weight * (double(symbol.inPhase) * symbol.inPhase - inPhasePower_);
        quadraturePower_ += weight * (quadrature * quadrature - quadraturePower_);
        slowInPhasePower_ += slowWeight * (double(symbol.inPhase) * symbol.inPhase - slowInPhasePower_);
        slowQuadraturePower_ += slowWeight * (quadrature * quadrature - slowQuadraturePower_);
    }
}

void CoherentMskDetector::steerLoops(const Symbol& symbol, double quadrature, double amplitude) {
    const double sign = symbol.inPhase >= 0.0f ? 1.0 : -1.0;
    const double seconds = static_cast<double>(symbolsTracked_) / nominalRate_;
    const double pullIn = seconds < PullInSeconds ? 1.0 : std::exp(-(seconds - PullInSeconds) / NarrowingSeconds);
    const double carrierBandwidth = carrierTrackingBandwidth_ + (carrierPullInBandwidth_ - carrierTrackingBandwidth_) * pullIn;
    const LoopGains timing = loopGains(TimingTrackingBitTime + (TimingPullInBitTime - TimingTrackingBitTime) * pullIn);
    const double phaseError = std::clamp(quadrature * sign / amplitude, -1.0, 1.0);
    // Third order: a steady drift of the carrier leaves no lasting phase error. The usual coefficients
    // of a third-order loop of this noise bandwidth, updated once a symbol.
    const double natural = carrierBandwidth / 0.7845;
    carrierDrift_ += natural * natural * natural * phaseError;
    carrierPhase_ = wrapPhase(carrierPhase_ + 2.4 * natural * phaseError);
    carrierStep_ += (1.1 * natural * natural * phaseError + carrierDrift_) / samplesPerBit_;
    // The derivative filter's output over the matched one's is pi/2 times the timing error.
    const double timingError = std::clamp(2.0 / Pi * symbol.slope * sign / amplitude, -0.5, 0.5);
    clock_ += std::clamp(timing.proportional * timingError, -0.1, 0.1);
    clockRateError_ = std::clamp(clockRateError_ + timing.integral * timingError, -0.002, 0.002);
    clockStep_ = (1.0 + clockRateError_) / samplesPerBit_;
    if (!replaying_) recentre();
}

void CoherentMskDetector::emitSoftBit(const Symbol& symbol) {
    // The ratio's scale comes from the longer averages: a tenth too little noise power measured
    // would promise almost three times fewer errors at a ratio of 10 than there are.
    // Before anything is measured the decision still stands, with next to no reliability.
    double llr = symbol.inPhase >= 0.0f ? 1e-3 : -1e-3;
    if (symbol.complete && powerSamples_ > 0) {
        const double slowNoise = std::max(slowQuadraturePower_, 1e-30);
        const double slowAmplitude = std::sqrt(std::max(slowInPhasePower_ - slowQuadraturePower_, 1e-30));
        llr = std::clamp(2.0 * slowAmplitude * symbol.inPhase / slowNoise, -MaximumLlr, MaximumLlr);
    }
    // The bit ends at this symbol's centre, two bits before the end of the symbol just finished.
    const double bitEnd = (static_cast<double>(trackedIndex_) - 2.0 * samplesPerBit_) * decimation_;
    if (havePreviousLlr_ && symbol.complete && bitEnd >= static_cast<double>(holdUntil_)) {
        const double bit = boxPlus(previousLlr_, llr);
        emitBit(SoftBit{static_cast<std::uint8_t>(bit >= 0.0 ? 1 : 0), static_cast<float>(std::fabs(bit)), static_cast<float>(llr)},
                bitEnd);
    }
    previousLlr_ = static_cast<float>(llr);
    havePreviousLlr_ = symbol.complete;
}

void CoherentMskDetector::followLockState(double ebN0) {
    if (state_ == State::Confirming) {
        confirmLock(ebN0);
    } else if (state_ == State::Locked) {
        searchCentreHz_ = toneHz();
        if (ebN0 < LossEbN0 || onesShare_ < LockedOnesLow || onesShare_ > LockedOnesHigh || changeShare_ < LockedOnesLow ||
            changeShare_ > LockedOnesHigh) {
            ++lossCount_;
            backToSearch();
        }
    }
}

void CoherentMskDetector::confirmLock(double ebN0) {
    std::size_t ones = 0, changes = 0;
    for (std::size_t k = 0; k < pending_.size(); ++k) {
        ones += pending_[k].bit;
        if (k > 0) changes += pending_[k].bit != pending_[k - 1].bit;
    }
    const double share = pending_.size() < 2 ? 0.5 : static_cast<double>(ones) / static_cast<double>(pending_.size());
    const double changeShare = pending_.size() < 2 ? 0.5 : static_cast<double>(changes) / static_cast<double>(pending_.size() - 1);
    // Over all of the confirmation (the long averages are plain means over it) and over its end: a
    // voice can look like MSK for a syllable, and a loud syllable can outweigh the rest of a mean, but
    // not both for a second.
    const double confirmedEbN0 = std::max(slowInPhasePower_ - slowQuadraturePower_, 0.0) / (2.0 * std::max(slowQuadraturePower_, 1e-30));
    const double axisShare = axisShareCount_ > 0 ? axisShareSum_ / static_cast<double>(axisShareCount_) : 0.0;
    if (++confirmingSymbols_ >= confirmSymbols_ && powerSamples_ >= confirmSymbols_ / 2 && confirmedEbN0 >= LockEbN0 && ebN0 >= LockEbN0 &&
        axisShare >= LockAxisShare && share >= ConfirmOnesLow && share <= ConfirmOnesHigh && changeShare >= ConfirmOnesLow &&
        changeShare <= ConfirmOnesHigh) {
        onesShare_ = share;
        changeShare_ = changeShare;
        state_ = State::Locked;
        // The long averages start again from the short ones: what came before the lock may be the
        // noise before the beacon came on (or a pull-in), and would weigh on them for long.
        slowInPhasePower_ = inPhasePower_;
        slowQuadraturePower_ = quadraturePower_;
        slowSamples_ = static_cast<std::uint64_t>(PowerAveragingSymbols);
        ++lockCount_;
        if (out_) out_->insert(out_->end(), pending_.begin(), pending_.end());
        pending_.clear();
        givenBitEnd_ = previousBitEnd_;
        haveGivenBitEnd_ = havePreviousBitEnd_;
    } else if (confirmingSymbols_ >= 3 * confirmSymbols_ || (confirmingSymbols_ >= confirmSymbols_ && axisShare < LockAxisShare / 2.0)) {
        // Given up: nothing confirmed in three times the usual, or far from it by the usual time.
        backToSearch();
    }
}

void CoherentMskDetector::emitBit(SoftBit bit, double bitEnd) {
    if (state_ != State::Locked && state_ != State::Confirming) return;
    // After a loss (a deep fade, say) and a new lock on the same beacon, the bits not heard in between
    // are given as erasures, so that the bits after them stand where the word layer expects them:
    // the bit clock is good to far better than half a bit over that long.
    if (havePreviousBitEnd_) {
        const double bits = (bitEnd - previousBitEnd_) / inputSamplesPerBit_;
        if (bits < 0.5) return;  // given already
        const double missing = std::round(bits) - 1.0;
        if (missing >= 1.0 && missing <= MaximumErasedSeconds * nominalRate_)
            for (int k = 0; k < static_cast<int>(missing); ++k) takeBit(SoftBit{0, 0.0f, 0.0f});
    }
    previousBitEnd_ = bitEnd;
    havePreviousBitEnd_ = true;
    takeBit(bit);
}

void CoherentMskDetector::takeBit(SoftBit bit) {
    onesShare_ += (bit.bit - onesShare_) / OnesAveragingBits;
    changeShare_ += ((bit.bit != lastBit_ ? 1.0 : 0.0) - changeShare_) / OnesAveragingBits;
    lastBit_ = bit.bit;
    if (state_ == State::Locked && out_) {
        out_->push_back(bit);
        givenBitEnd_ = previousBitEnd_;
        haveGivenBitEnd_ = true;
    } else if (state_ == State::Confirming) {
        pending_.push_back(bit);
    }
}

// Keeps the decimator centred on the carrier as it drifts: the tracked offset moves into the mixer
// a little at a time. The internal signal feels the change only after the decimator's delay, so the
// carrier phase is advanced by what the old frequency would have added meanwhile.
void CoherentMskDetector::recentre() {
    const double offsetHz = carrierStep_ * internalRate_ / TwoPi;
    const double limit = nominalRate_ / 100.0;
    if (std::fabs(offsetHz) < limit / 2.0) return;
    const double move = std::clamp(offsetHz, -limit, limit);
    setMixer(mixerHz_ + move);
    carrierStep_ -= TwoPi * move / internalRate_;
    carrierPhase_ = wrapPhase(carrierPhase_ + TwoPi * move * filterDelay_ / internalRate_);
}

void CoherentMskDetector::backToSearch() {
    state_ = State::Searching;
    pending_.clear();
    // The bits held while confirming were not given.
    previousBitEnd_ = givenBitEnd_;
    havePreviousBitEnd_ = haveGivenBitEnd_;
    window_.clear();
    windowDamage_.clear();
    carrierStep_ = 0.0;
    carrierDrift_ = 0.0;
    clockRateError_ = 0.0;
    setMixer(searchCentreHz_);
}

}  // namespace sondeco
