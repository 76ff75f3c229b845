// SPDX-License-Identifier: GPL-3.0-or-later
// A DGPS beacon transmitter in software: continuous-phase MSK of a bit stream around an audio centre
// frequency, with the impairments a receiver chain meets (noise, mistuning, a drifting bit clock).
// Plain C++; no audio devices, no files.
#pragma once

#include "signalgen/air_conditions.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace sondeco {

struct MskSettings {
    double bitRate = 200.0;  // nominal bit/s, > 0
    double centreFrequency = 800.0;  // Hz; a 1 bit is sent at centre + rate/4, a 0 bit at centre - rate/4
    double frequencyOffset = 0.0;  // Hz added to both tones, as a mistuned receiver would see them
    // Error of the transmitter's bit clock in parts per million: +100 sends bits at 1.0001 times the
    // nominal rate (so the signal is shorter), -100 stretches it. The tone spacing follows the
    // clock, so the signal stays MSK at its actual rate.
    double clockErrorPpm = 0.0;
    // Eb/N0 in dB of added white Gaussian noise; none when empty. Eb is the signal power times the
    // duration of one bit; N0 is the one-sided noise density of white noise spread evenly over 0 to
    // sampleRate/2, so that noise of variance sigma^2 per sample has N0 = 2 sigma^2 / sampleRate.
    std::optional<double> ebN0Db;
    double leadingSeconds = 0.0;  // before the first bit: noise alone, or silence without noise
    std::uint64_t noiseSeed = 1;  // the same seed gives the same noise, sample for sample
    // Peak of the MSK signal in 16-bit units. 0 chooses it: 16384 without noise; with noise, the
    // level that puts signal plus noise at 6000 RMS, which leaves room for noise peaks in 16 bits.
    double amplitude = 0.0;
    int sampleRate = 48000;

    // Slow change of the carrier (both tones) in Hz per second, from the first bit on, as a
    // receiver's oscillator warming up would cause.
    double driftHzPerSecond = 0.0;
    // Atmospheric static: bursts at random times (on average this many a second, independently of
    // each other), each a damped oscillation that starts staticPeakDb above the signal's amplitude
    // and decays exponentially to the signal's level within staticBurstSeconds, where it ends. It
    // rings at a random frequency within 250 Hz of the centre, as a receiver's IF filter rings when
    // struck. The bursts draw on their own random numbers, so the Gaussian noise of a seed is the
    // same with and without them.
    double staticBurstsPerSecond = 0.0;
    double staticPeakDb = 30.0;
    double staticBurstSeconds = 0.002;
    // Slow fading: the signal's amplitude swings between its full level and fadingDepthDb below it
    // (raised cosine, one cycle every fadingPeriodSeconds, starting at full level). The noise stays
    // where Eb/N0 put it for the full level.
    double fadingDepthDb = 0.0;
    double fadingPeriodSeconds = 10.0;
    // Skywave fading: the signal passes a Rayleigh channel with this Doppler spread in Hz (0: none).
    // Its mean power is 1, so Eb/N0 is the mean over the fades. Drawn from its own random numbers.
    double rayleighDopplerHz = 0.0;
    // Other stations' carriers in the same audio, each as strong (while on) as its level says
    // against the beacon's power, on from the first sample (the leading time included).
    std::vector<InterferingCarrier> carriers;
};

class MskModulator {
public:
    // Throws std::invalid_argument for settings that cannot be sent: a non-positive rate or sample
    // rate, a tone at or below 0 Hz or at or above half the sample rate, negative leading time.
    explicit MskModulator(const MskSettings& settings);

    // Queues bits (0 or 1; any non-zero byte counts as 1) after those already queued.
    void pushBits(std::span<const std::uint8_t> bits);
    // Bits queued and not yet finished, the one being sent included.
    std::size_t queuedBits() const { return bits_.size(); }

    // Writes the next samples, unscaled 16-bit values as doubles (noise included). Returns how many
    // were written: fewer than out.size() only when the queued bits ran out, and then the rest
    // follows seamlessly once more bits are pushed. Phase and bit timing are continuous across
    // calls, so the way the stream is cut into calls does not change a single sample.
    std::size_t render(std::span<double> out);

    // The skywave fading these settings give the signal (none without a Doppler spread): the same
    // complex gains, sample for sample from the first bit, as the modulator applies.
    static std::optional<RayleighFading> fadingOf(const MskSettings& settings);

    double amplitude() const { return amplitude_; }
    double noiseStandardDeviation() const { return noiseDeviation_; }  // 0 without noise
    double actualBitRate() const { return bitsPerSample_ * sampleRate_; }

private:
    double nextNoise();

    double sampleRate_;
    double amplitude_ = 0.0;
    double noiseDeviation_ = 0.0;
    double carrierStep_ = 0.0;  // radians per sample of the centre (plus offset)
    double bitsPerSample_ = 0.0;  // how far one sample advances through a bit
    std::size_t leadingSamplesLeft_ = 0;

    std::deque<std::uint8_t> bits_;  // front: the bit being sent
    double bitTime_ = 0.0;  // position of the next sample within the front bit, [0, 1)
    double carrierPhase_ = 0.0;  // radians, [0, 2 pi)
    double deviationPhase_ = 0.0;  // radians gained or lost against the centre up to the front bit

    std::mt19937_64 random_;
    std::optional<double> spareNoise_;

    double nextStatic();
    double uniformStatic() { return (static_cast<double>(staticRandom_() >> 11) + 0.5) * 0x1.0p-53; }

    double driftStep_ = 0.0;  // radians per sample per sample
    struct Burst {
        double envelope;  // current peak amplitude
        double phase;  // radians
        double step;  // radians per sample
        std::size_t samplesLeft;
    };
    double staticRate_ = 0.0;  // bursts per sample
    double staticPeak_ = 0.0;  // first peak of a burst in 16-bit units
    double staticDecay_ = 1.0;  // envelope factor per sample
    std::size_t staticLength_ = 0;
    double staticCentre_ = 0.0;  // Hz
    double samplesToNextBurst_ = 0.0;
    std::vector<Burst> bursts_;
    std::mt19937_64 staticRandom_;
    std::optional<RayleighFading> rayleigh_;
    struct Carrier {
        double amplitude;
        double phase, step;  // radians, radians per sample
        CarrierGain keying;
    };
    std::vector<Carrier> carriers_;
    double nextCarriers();
    double fadingDepth_ = 0.0;  // amplitude ratio lost at the bottom of a fade, 0..1
    double fadingStep_ = 0.0;  // radians of the fading cycle per sample
    double fadingPhase_ = 0.0;
};

// A sample rounded to 16 bits, saturating rather than wrapping.
std::int16_t toPcm16(double sample);

}  // namespace sondeco
