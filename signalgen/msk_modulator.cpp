// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/msk_modulator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

namespace sondeco {

namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
constexpr double QuarterTurn = std::numbers::pi / 2.0;  // MSK: each bit moves the phase by +-90 degrees
constexpr double UnattendedRms = 6000.0;
constexpr double UnattendedPeak = 16384.0;

double wrapPhase(double phase) {
    if (phase >= TwoPi || phase < 0.0) phase -= TwoPi * std::floor(phase / TwoPi);
    return phase;
}

}  // namespace

MskModulator::MskModulator(const MskSettings& settings) : sampleRate_(settings.sampleRate), random_(settings.noiseSeed) {
    if (!(settings.bitRate > 0.0)) throw std::invalid_argument("the bit rate must be positive");
    if (settings.sampleRate <= 0) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings.clockErrorPpm > -1e6)) throw std::invalid_argument("the clock error must be above -1e6 ppm");
    if (!(settings.leadingSeconds >= 0.0)) throw std::invalid_argument("the leading time cannot be negative");
    if (!(settings.amplitude >= 0.0)) throw std::invalid_argument("the amplitude cannot be negative");

    const double bitRate = settings.bitRate * (1.0 + settings.clockErrorPpm * 1e-6);
    const double carrier = settings.centreFrequency + settings.frequencyOffset;
    const double deviation = bitRate / 4.0;
    if (!(carrier - deviation > 0.0) || !(carrier + deviation < sampleRate_ / 2.0)) {
        throw std::invalid_argument("tones at " + std::to_string(carrier - deviation) + " and " + std::to_string(carrier + deviation) +
                                    " Hz do not fit between 0 Hz and " + std::to_string(sampleRate_ / 2.0) + " Hz");
    }
    carrierStep_ = TwoPi * carrier / sampleRate_;
    bitsPerSample_ = bitRate / sampleRate_;
    leadingSamplesLeft_ = static_cast<std::size_t>(std::llround(settings.leadingSeconds * sampleRate_));

    // Signal power P = A^2 / 2, Eb = P / bitRate, N0 = 2 sigma^2 / sampleRate, hence
    // sigma^2 = A^2 * sampleRate / (4 * bitRate * Eb/N0).
    double noisePerSignalSquared = 0.0;  // sigma^2 / A^2
    if (settings.ebN0Db) {
        const double ebN0 = std::pow(10.0, *settings.ebN0Db / 10.0);
        noisePerSignalSquared = sampleRate_ / (4.0 * bitRate * ebN0);
    }
    amplitude_ = settings.amplitude;
    if (amplitude_ == 0.0) {
        amplitude_ = settings.ebN0Db ? std::min(UnattendedPeak, UnattendedRms / std::sqrt(0.5 + noisePerSignalSquared)) : UnattendedPeak;
    }
    noiseDeviation_ = amplitude_ * std::sqrt(noisePerSignalSquared);

    if (!(settings.staticBurstsPerSecond >= 0.0)) throw std::invalid_argument("the static burst rate cannot be negative");
    if (!(settings.fadingDepthDb >= 0.0)) throw std::invalid_argument("the fading depth cannot be negative");
    if (!std::isfinite(settings.driftHzPerSecond)) throw std::invalid_argument("the drift must be a finite number");
    driftStep_ = TwoPi * settings.driftHzPerSecond / (sampleRate_ * sampleRate_);
    if (settings.staticBurstsPerSecond > 0.0) {
        if (!(settings.staticBurstSeconds > 0.0)) throw std::invalid_argument("a static burst must last some time");
        if (!std::isfinite(settings.staticPeakDb)) throw std::invalid_argument("the static peak must be a finite number");
        staticRandom_.seed(settings.noiseSeed ^ 0x5eed5eed5eed5eedULL);
        staticRate_ = settings.staticBurstsPerSecond / sampleRate_;
        staticPeak_ = amplitude_ * std::pow(10.0, settings.staticPeakDb / 20.0);
        staticLength_ = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(settings.staticBurstSeconds * sampleRate_)));
        // The burst's last sample is at the signal's level.
        staticDecay_ = staticLength_ > 1 ? std::pow(10.0, -settings.staticPeakDb / 20.0 / static_cast<double>(staticLength_ - 1)) : 1.0;
        staticCentre_ = carrier;
        samplesToNextBurst_ = -std::log(uniformStatic()) / staticRate_;
    }
    if (settings.fadingDepthDb > 0.0) {
        if (!(settings.fadingPeriodSeconds > 0.0)) throw std::invalid_argument("the fading period must be positive");
        fadingDepth_ = 1.0 - std::pow(10.0, -settings.fadingDepthDb / 20.0);
        fadingStep_ = TwoPi / (settings.fadingPeriodSeconds * sampleRate_);
    }
    rayleigh_ = fadingOf(settings);
    for (const InterferingCarrier& other : settings.carriers) {
        if (!(other.frequency > 0.0) || !(other.frequency < sampleRate_ / 2.0))
            throw std::invalid_argument("a carrier at " + std::to_string(other.frequency) + " Hz does not fit between 0 Hz and " +
                                        std::to_string(sampleRate_ / 2.0) + " Hz");
        if (!std::isfinite(other.levelDb)) throw std::invalid_argument("a carrier's level must be a finite number");
        // Both are tones: equal peaks are equal powers.
        carriers_.push_back(Carrier{amplitude_ * std::pow(10.0, other.levelDb / 20.0), 0.0, TwoPi * other.frequency / sampleRate_,
                                    CarrierGain(other.keying, other.identifier, other.wordsPerMinute, sampleRate_)});
    }
}

double MskModulator::nextCarriers() {
    double sum = 0.0;
    for (Carrier& carrier : carriers_) {
        const double value = carrier.amplitude * carrier.keying.next() * std::cos(carrier.phase);
        carrier.phase = wrapPhase(carrier.phase + carrier.step);
        sum += value;
    }
    return sum;
}

void MskModulator::pushBits(std::span<const std::uint8_t> bits) {
    for (std::uint8_t bit : bits) bits_.push_back(bit != 0 ? 1 : 0);
}

std::size_t MskModulator::render(std::span<double> out) {
    std::size_t written = 0;
    while (written < out.size()) {
        if (leadingSamplesLeft_ > 0) {
            out[written] = nextNoise();
            if (staticRate_ > 0.0) out[written] += nextStatic();
            if (!carriers_.empty()) out[written] += nextCarriers();
            ++written;
            --leadingSamplesLeft_;
            continue;
        }
        while (bitTime_ >= 1.0 && !bits_.empty()) {
            deviationPhase_ = wrapPhase(deviationPhase_ + (bits_.front() ? QuarterTurn : -QuarterTurn));
            bits_.pop_front();
            bitTime_ -= 1.0;
        }
        if (bits_.empty()) break;
        // Within a bit the phase moves linearly by a quarter turn, so the frequency is constant and
        // the phase has no corner where one bit meets the next, wherever that falls between samples.
        const double bitPhase = (bits_.front() ? QuarterTurn : -QuarterTurn) * bitTime_;
        double level = amplitude_;
        if (fadingDepth_ > 0.0) {
            level *= 1.0 - fadingDepth_ * 0.5 * (1.0 - std::cos(fadingPhase_));
            fadingPhase_ = wrapPhase(fadingPhase_ + fadingStep_);
        }
        const double phase = carrierPhase_ + deviationPhase_ + bitPhase;
        if (rayleigh_) {
            // The real signal of a complex gain g times exp(j phase).
            const std::complex<double> gain = rayleigh_->next();
            out[written] = level * (gain.real() * std::cos(phase) - gain.imag() * std::sin(phase)) + nextNoise();
        } else {
            out[written] = level * std::cos(phase) + nextNoise();
        }
        if (staticRate_ > 0.0) out[written] += nextStatic();
        if (!carriers_.empty()) out[written] += nextCarriers();
        ++written;
        carrierPhase_ = wrapPhase(carrierPhase_ + carrierStep_);
        if (driftStep_ != 0.0) carrierStep_ += driftStep_;
        bitTime_ += bitsPerSample_;
    }
    return written;
}

std::optional<RayleighFading> MskModulator::fadingOf(const MskSettings& settings) {
    if (settings.rayleighDopplerHz == 0.0) return std::nullopt;
    return RayleighFading(settings.rayleighDopplerHz, settings.sampleRate, settings.noiseSeed ^ 0xfade0fade0fadeULL);
}

double MskModulator::nextNoise() {
    if (noiseDeviation_ == 0.0) return 0.0;
    if (spareNoise_) return noiseDeviation_ * *std::exchange(spareNoise_, std::nullopt);
    // Box-Muller on 53-bit uniforms taken straight from the engine, whose output the C++ standard
    // fixes; the library's own distributions may differ between implementations, and the noise of
    // a seed must not.
    const auto uniform = [this] { return (static_cast<double>(random_() >> 11) + 0.5) * 0x1.0p-53; };
    const double radius = std::sqrt(-2.0 * std::log(uniform()));
    const double angle = TwoPi * uniform();
    spareNoise_ = radius * std::sin(angle);
    return noiseDeviation_ * radius * std::cos(angle);
}

double MskModulator::nextStatic() {
    samplesToNextBurst_ -= 1.0;
    while (samplesToNextBurst_ <= 0.0) {
        const double frequency = std::clamp(staticCentre_ + 500.0 * (uniformStatic() - 0.5), 1.0, sampleRate_ / 2.0 - 1.0);
        bursts_.push_back(Burst{staticPeak_, TwoPi * uniformStatic(), TwoPi * frequency / sampleRate_, staticLength_});
        samplesToNextBurst_ += -std::log(uniformStatic()) / staticRate_;
    }
    double sum = 0.0;
    for (Burst& burst : bursts_) {
        sum += burst.envelope * std::sin(burst.phase);
        burst.envelope *= staticDecay_;
        burst.phase = wrapPhase(burst.phase + burst.step);
        --burst.samplesLeft;
    }
    std::erase_if(bursts_, [](const Burst& burst) { return burst.samplesLeft == 0; });
    return sum;
}

std::int16_t toPcm16(double sample) {
    const double rounded = std::round(sample);
    if (!(rounded > -32768.0)) return -32768;
    if (rounded > 32767.0) return 32767;
    return static_cast<std::int16_t>(rounded);
}

}  // namespace sondeco
