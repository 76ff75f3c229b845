// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/test_sounds.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sondeco {

namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;

// Uniform in (0, 1) from the engine's raw output, which the C++ standard fixes.
double uniform(std::mt19937_64& random) { return (static_cast<double>(random() >> 11) + 0.5) * 0x1.0p-53; }
double uniform(std::mt19937_64& random, double low, double high) { return low + (high - low) * uniform(random); }

}  // namespace

double GaussianSource::next() {
    if (haveSpare_) {
        haveSpare_ = false;
        return spare_;
    }
    const double radius = std::sqrt(-2.0 * std::log(uniform(random_)));
    const double angle = TwoPi * uniform(random_);
    spare_ = radius * std::sin(angle);
    haveSpare_ = true;
    return radius * std::cos(angle);
}

CarrierSound::CarrierSound(double frequencyHz, double amplitude, double noiseDeviation, std::uint64_t seed, double sampleRate)
    : step_(TwoPi * frequencyHz / sampleRate), amplitude_(amplitude), noiseDeviation_(noiseDeviation), noise_(seed) {
    if (!(sampleRate > 0.0)) throw std::invalid_argument("the sample rate must be positive");
    if (!(frequencyHz > 0.0) || !(frequencyHz < sampleRate / 2.0))
        throw std::invalid_argument("the tone must lie between 0 Hz and half the sample rate");
}

void CarrierSound::render(std::span<double> out) {
    for (double& sample : out) {
        sample = amplitude_ * std::cos(phase_) + (noiseDeviation_ > 0.0 ? noiseDeviation_ * noise_.next() : 0.0);
        phase_ += step_;
        if (phase_ >= TwoPi) phase_ -= TwoPi;
    }
}

double BandLimitedNoise::Biquad::run(double x) {
    // Transposed direct form II.
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
}

BandLimitedNoise::BandLimitedNoise(double lowHz, double highHz, double rms, std::uint64_t seed, double sampleRate) : noise_(seed) {
    if (!(sampleRate > 0.0) || !(lowHz > 0.0) || !(highHz > lowHz) || !(highHz < sampleRate / 2.0)) {
        throw std::invalid_argument("the noise band must lie between 0 Hz and half the sample rate");
    }
    // A fourth-order Butterworth edge is two second-order sections with these quality factors.
    for (double q : {0.54119610, 1.30656296}) {
        for (bool highPass : {true, false}) {
            const double w = TwoPi * (highPass ? lowHz : highHz) / sampleRate;
            const double alpha = std::sin(w) / (2.0 * q);
            const double a0 = 1.0 + alpha;
            const double c = std::cos(w);
            Biquad section{};
            if (highPass) {
                section.b0 = (1.0 + c) / 2.0 / a0;
                section.b1 = -(1.0 + c) / a0;
            } else {
                section.b0 = (1.0 - c) / 2.0 / a0;
                section.b1 = (1.0 - c) / a0;
            }
            section.b2 = section.b0;
            section.a1 = -2.0 * c / a0;
            section.a2 = (1.0 - alpha) / a0;
            sections_.push_back(section);
        }
    }
    // Unit white noise has a density of 2 / sampleRate per Hz (one-sided); the band passes about
    // (high - low) Hz of it.
    gain_ = rms / std::sqrt(2.0 * (highHz - lowHz) / sampleRate);
}

void BandLimitedNoise::render(std::span<double> out) {
    for (double& sample : out) {
        double x = noise_.next();
        for (Biquad& section : sections_) x = section.run(x);
        sample = gain_ * x;
    }
}

void SpeechLikeSound::Resonator::tune(double frequencyHz, double bandwidthHz, double sampleRate) {
    const double radius = std::exp(-std::numbers::pi * bandwidthHz / sampleRate);
    a1 = -2.0 * radius * std::cos(TwoPi * frequencyHz / sampleRate);
    a2 = radius * radius;
    gain = 1.0 + a1 + a2;  // unity at 0 Hz, as in a cascade formant synthesiser
}

double SpeechLikeSound::Resonator::run(double x) {
    const double y = gain * x - a1 * y1 - a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
}

SpeechLikeSound::SpeechLikeSound(double rms, std::uint64_t seed, double sampleRate)
    : sampleRate_(sampleRate), scale_(1.0), random_(seed), noise_(seed ^ 0x5eedULL) {
    if (!(sampleRate > 8000.0)) throw std::invalid_argument("speech needs a sample rate above 8000 Hz");
    startSyllable();
    // Scale by measurement: talk for a while on a copy and see how loud that was.
    SpeechLikeSound trial = *this;
    std::vector<double> sample(static_cast<std::size_t>(8.0 * sampleRate));
    trial.render(sample);
    double power = 0.0;
    for (double x : sample) power += x * x;
    scale_ = rms / std::sqrt(std::max(power / static_cast<double>(sample.size()), 1e-30));
}

void SpeechLikeSound::startSyllable() {
    for (int f = 0; f < 3; ++f) formantStart_[f] = formantEnd_[f];
    const double kind = uniform(random_);
    silent_ = kind < 0.15;
    voiced_ = kind >= 0.3;
    double seconds = 0.0;
    if (silent_) {
        seconds = uniform(random_, 0.08, 0.4);
    } else if (!voiced_) {
        seconds = uniform(random_, 0.06, 0.15);
    } else {
        seconds = uniform(random_, 0.12, 0.32);
        // Glides of up to half an octave either way; now and then a vowel held on one pitch.
        pitchStart_ = std::clamp(uniform(random_, 0.9, 1.1) * pitchEnd_, 80.0, 260.0);
        if (uniform(random_) < 0.2) pitchStart_ = uniform(random_, 80.0, 260.0);
        const double glide = uniform(random_) < 0.3 ? uniform(random_, -0.03, 0.03) : uniform(random_, -0.5, 0.5);
        pitchEnd_ = std::clamp(pitchStart_ * std::exp2(glide), 80.0, 260.0);
        formantEnd_[0] = uniform(random_, 250.0, 850.0);
        formantEnd_[1] = uniform(random_, 800.0, 2400.0);
        formantEnd_[2] = uniform(random_, 2300.0, 3200.0);
    }
    syllableSamples_ = std::max<std::size_t>(1, static_cast<std::size_t>(seconds * sampleRate_));
    syllablePosition_ = 0;
}

void SpeechLikeSound::render(std::span<double> out) {
    constexpr std::size_t RetuneEvery = 32;
    constexpr double Bandwidths[3] = {80.0, 120.0, 180.0};
    for (double& sample : out) {
        if (syllablePosition_ >= syllableSamples_) startSyllable();
        const double progress = static_cast<double>(syllablePosition_) / static_cast<double>(syllableSamples_);
        if (syllablePosition_ % RetuneEvery == 0) {
            for (int f = 0; f < 3; ++f) {
                formantNow_[f] = formantStart_[f] + (formantEnd_[f] - formantStart_[f]) * progress;
                // Fricatives are noise shaped high, whatever vowel surrounds them.
                const double frequency = voiced_ ? formantNow_[f] : 2500.0 + 900.0 * f;
                formants_[f].tune(frequency, voiced_ ? Bandwidths[f] : 600.0, sampleRate_);
            }
        }
        const double envelope = silent_ ? 0.0 : std::sin(std::numbers::pi * progress);
        double excitation = 0.0;
        if (voiced_ && !silent_) {
            // A little jitter on the pitch, as a real voice has.
            const double pitch = (pitchStart_ + (pitchEnd_ - pitchStart_) * progress) * (1.0 + 0.002 * noise_.next());
            glottalPhase_ += pitch / sampleRate_;
            if (glottalPhase_ >= 1.0) {
                glottalPhase_ -= 1.0;
                excitation = std::sqrt(sampleRate_ / pitch);  // equal power whatever the pitch
            }
        } else if (!silent_) {
            excitation = 0.3 * noise_.next();
        }
        tilt_ = 0.9 * tilt_ + 0.1 * excitation;
        double x = voiced_ ? tilt_ : excitation;
        for (Resonator& formant : formants_) x = formant.run(x);
        sample = scale_ * envelope * x;
        ++syllablePosition_;
    }
}

}  // namespace sondeco
