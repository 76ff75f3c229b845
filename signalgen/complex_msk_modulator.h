// SPDX-License-Identifier: GPL-3.0-or-later
// MSK straight in complex baseband, as an SDR hands a beacon over: a constant-envelope phasor that
// turns a quarter turn up (a 1 bit) or down (a 0 bit) in every bit, around a frequency that may lie
// on either side of the stream's centre. Separate from MskModulator, which makes real audio with the
// impairments of a receiver's audio chain (noise, static, fading, drift): a complex stream needs
// negative frequencies, a band of many beacons needs one noise source shared by all of them rather
// than one per signal, and at SDR rates the sine per sample that suits 48 kHz audio is too slow, so
// this one rotates a phasor by a fixed step within each bit and sets its phase exactly at each bit's
// start.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

namespace sondeco {

struct ComplexMskSettings {
    double sampleRate = 250000.0;  // complex samples a second
    double bitRate = 100.0;  // nominal bit/s
    // Hz from the stream's centre, negative below it: a 1 bit is sent at frequency + rate/4, a 0 bit
    // at frequency - rate/4.
    double frequency = 0.0;
    double amplitude = 1.0;  // of the phasor; its power is amplitude^2
    double startPhase = 0.0;  // radians, of the carrier at the stream's first sample
    // The transmitter's bit clock is this many parts per million fast; the tones follow the clock.
    double clockErrorPpm = 0.0;
    double leadingSeconds = 0.0;  // nothing sent before the first bit
};

class ComplexMskModulator {
public:
    // Throws std::invalid_argument when a tone does not fit strictly within +-sampleRate/2, or for a
    // non-positive rate, a negative amplitude or leading time.
    explicit ComplexMskModulator(const ComplexMskSettings& settings);

    // Queues bits (any non-zero byte is a 1) after those already queued.
    void pushBits(std::span<const std::uint8_t> bits);
    // Bits queued and not yet finished, the one being sent included.
    std::size_t queuedBits() const { return bits_.size() + (samplesLeftInBit_ > 0 ? 1 : 0); }

    // Adds the next samples to `out` (so that several signals can share one buffer) and returns how
    // many: fewer than out.size() only when the queued bits ran out. The way the stream is cut into
    // calls does not change a sample.
    std::size_t addTo(std::span<std::complex<float>> out);

private:
    void startBit();

    double amplitude_;
    double carrierStep_;  // radians per sample of the frequency between the tones
    double bitsPerSample_;
    std::size_t leadingSamplesLeft_;

    std::deque<std::uint8_t> bits_;  // not yet started
    double bitTime_ = 0.0;  // where the next bit's first sample falls within it, [0, 1)
    double carrierPhase_;  // radians at the next bit's first sample
    double deviationPhase_ = 0.0;  // quarter turns gained and lost by the bits before the next one
    std::size_t samplesLeftInBit_ = 0;  // of the bit being sent
    double phasorReal_ = 0.0, phasorImaginary_ = 0.0;  // the next sample
    double stepReal_ = 1.0, stepImaginary_ = 0.0;  // rotation from one sample to the next in this bit
};

}  // namespace sondeco
