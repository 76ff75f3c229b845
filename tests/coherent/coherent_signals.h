// SPDX-License-Identifier: GPL-3.0-or-later
// Test support for the coherent detector and the enhanced receiver: a complex baseband MSK source that
// remembers the bits it sent (with the impairments a detector must ride out), and a count of bit
// errors that lines received bits up with sent ones however many the receiver missed at the start.
#pragma once

#include "coherent/baseband.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

namespace sondeco::testing {

struct MskImpairments {
    double offsetHz = 0.0;  // the carrier's distance from where the detector is told it is
    double driftHzPerSecond = 0.0;
    double clockErrorPpm = 0.0;  // the bit clock (and with it the tone spacing)
    double phase = 0.0;  // radians at the first sample
};

// Frequency-keyed MSK straight from the phase (1 = upper tone), unit amplitude, white complex Gaussian
// noise for the given Eb/N0 (noise density over the complex band of the sample rate).
class BasebandBeacon {
public:
    BasebandBeacon(double sampleRate, double toneHz, double bitRate, double ebN0Db, const MskImpairments& impairments, std::uint64_t seed)
        : sampleRate_(sampleRate),
          tone_(toneHz + impairments.offsetHz),
          drift_(impairments.driftHzPerSecond),
          rate_(bitRate * (1.0 + impairments.clockErrorPpm * 1e-6)),
          phase_(impairments.phase),
          random_(seed) {
        noise_ = std::sqrt(sampleRate / bitRate / std::pow(10.0, ebN0Db / 10.0) / 2.0);
    }

    // `withSignal` false: noise alone (the beacon off), its bits not advanced.
    std::vector<ComplexSample> render(double seconds, bool withSignal = true) {
        std::normal_distribution<double> gaussian(0.0, noise_);
        std::vector<ComplexSample> out(static_cast<std::size_t>(std::llround(seconds * sampleRate_)));
        for (ComplexSample& sample : out) {
            double i = gaussian(random_), q = gaussian(random_);
            if (withSignal) {
                if (bitTime_ >= 1.0 || bits.empty()) {
                    if (!bits.empty()) bitTime_ -= 1.0;
                    bits.push_back(static_cast<std::uint8_t>(random_() & 1u));
                }
                const double time = static_cast<double>(samples_) / sampleRate_;
                const double frequency = tone_ + drift_ * time + (bits.back() ? rate_ : -rate_) / 4.0;
                phase_ = std::remainder(phase_ + 2.0 * std::numbers::pi * frequency / sampleRate_, 2.0 * std::numbers::pi);
                i += std::cos(phase_);
                q += std::sin(phase_);
                bitTime_ += rate_ / sampleRate_;
                ++samples_;
            }
            sample = ComplexSample(static_cast<float>(i), static_cast<float>(q));
        }
        return out;
    }

    std::vector<std::uint8_t> bits;  // sent so far, the one being sent included

private:
    double sampleRate_, tone_, drift_, rate_;
    double phase_;
    std::mt19937_64 random_;
    double noise_ = 0.0;
    double bitTime_ = 0.0;
    std::uint64_t samples_ = 0;
};

struct BitComparison {
    long shift = 0;  // received bit j is sent bit j - shift
    std::size_t compared = 0;
    std::size_t errors = 0;  // among the compared bits after the first `skip`
};

// Lines the received bits up with the sent ones at the shift that fits the first 64 compared bits
// best, then counts the differences from there on, skipping the first `skip` received bits.
inline BitComparison compareBits(const std::vector<SoftBit>& received, const std::vector<std::uint8_t>& sent, std::size_t skip) {
    BitComparison best;
    std::size_t bestErrors = 65;
    for (long shift = -static_cast<long>(sent.size()); shift <= static_cast<long>(received.size()); ++shift) {
        std::size_t errors = 0, compared = 0;
        for (std::size_t j = skip; j < received.size() && compared < 64; ++j) {
            const long k = static_cast<long>(j) - shift;
            if (k < 0 || k >= static_cast<long>(sent.size())) continue;
            errors += received[j].bit != sent[static_cast<std::size_t>(k)];
            ++compared;
        }
        if (compared == 64 && errors < bestErrors) bestErrors = errors, best.shift = shift;
    }
    for (std::size_t j = skip; j < received.size(); ++j) {
        const long k = static_cast<long>(j) - best.shift;
        if (k < 0 || k >= static_cast<long>(sent.size())) continue;
        best.errors += received[j].bit != sent[static_cast<std::size_t>(k)];
        ++best.compared;
    }
    return best;
}

}  // namespace sondeco::testing
