// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/complex_msk_modulator.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
constexpr double QuarterTurn = std::numbers::pi / 2.0;

double wrapPhase(double phase) { return phase - TwoPi * std::floor(phase / TwoPi); }

}  // namespace

ComplexMskModulator::ComplexMskModulator(const ComplexMskSettings& settings) : amplitude_(settings.amplitude) {
    if (!(settings.sampleRate > 0.0)) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings.bitRate > 0.0)) throw std::invalid_argument("the bit rate must be positive");
    if (!(settings.clockErrorPpm > -1e6)) throw std::invalid_argument("the clock error must be above -1e6 ppm");
    if (!(settings.amplitude >= 0.0)) throw std::invalid_argument("the amplitude cannot be negative");
    if (!(settings.leadingSeconds >= 0.0)) throw std::invalid_argument("the leading time cannot be negative");
    const double bitRate = settings.bitRate * (1.0 + settings.clockErrorPpm * 1e-6);
    const double edge = std::abs(settings.frequency) + bitRate / 4.0;
    if (!(edge < settings.sampleRate / 2.0)) {
        throw std::invalid_argument("tones at " + std::to_string(settings.frequency - bitRate / 4.0) + " and " +
                                    std::to_string(settings.frequency + bitRate / 4.0) + " Hz do not fit within +-" +
                                    std::to_string(settings.sampleRate / 2.0) + " Hz");
    }
    carrierStep_ = TwoPi * settings.frequency / settings.sampleRate;
    bitsPerSample_ = bitRate / settings.sampleRate;
    leadingSamplesLeft_ = static_cast<std::size_t>(std::llround(settings.leadingSeconds * settings.sampleRate));
    carrierPhase_ = wrapPhase(settings.startPhase + carrierStep_ * static_cast<double>(leadingSamplesLeft_));
}

void ComplexMskModulator::pushBits(std::span<const std::uint8_t> bits) {
    for (std::uint8_t bit : bits) bits_.push_back(bit != 0 ? 1 : 0);
}

// Sets up the front bit: how many samples fall within it, the exact phase of its first sample and
// the rotation that carries it through; then moves the bit-start state on to the bit after it.
void ComplexMskModulator::startBit() {
    const double sign = bits_.front() != 0 ? 1.0 : -1.0;
    bits_.pop_front();
    // Samples m = 0, 1, ... lie in this bit while bitTime + m * bitsPerSample < 1.
    auto samples = static_cast<std::size_t>(std::ceil((1.0 - bitTime_) / bitsPerSample_));
    while (samples > 1 && bitTime_ + static_cast<double>(samples - 1) * bitsPerSample_ >= 1.0) --samples;
    while (bitTime_ + static_cast<double>(samples) * bitsPerSample_ < 1.0) ++samples;
    samplesLeftInBit_ = samples;

    // Within a bit the phase moves linearly by a quarter turn, so consecutive samples differ by one
    // fixed rotation, and a bit's phase ends where the next one's begins: no corner at the boundary.
    const double phase = carrierPhase_ + deviationPhase_ + sign * QuarterTurn * bitTime_;
    phasorReal_ = amplitude_ * std::cos(phase);
    phasorImaginary_ = amplitude_ * std::sin(phase);
    const double step = carrierStep_ + sign * QuarterTurn * bitsPerSample_;
    stepReal_ = std::cos(step);
    stepImaginary_ = std::sin(step);

    carrierPhase_ = wrapPhase(carrierPhase_ + carrierStep_ * static_cast<double>(samples));
    deviationPhase_ = wrapPhase(deviationPhase_ + sign * QuarterTurn);
    bitTime_ += static_cast<double>(samples) * bitsPerSample_ - 1.0;
}

std::size_t ComplexMskModulator::addTo(std::span<std::complex<float>> out) {
    std::size_t written = 0;
    if (leadingSamplesLeft_ > 0) {
        written = std::min(leadingSamplesLeft_, out.size());
        leadingSamplesLeft_ -= written;
    }
    while (written < out.size()) {
        if (samplesLeftInBit_ == 0) {
            if (bits_.empty()) break;
            startBit();
        }
        const std::size_t count = std::min(samplesLeftInBit_, out.size() - written);
        // The rotation by hand: std::complex's operator* checks for infinities on every product,
        // which costs more than the product itself.
        double real = phasorReal_, imaginary = phasorImaginary_;
        for (std::size_t i = 0; i < count; ++i) {
            out[written + i] += std::complex<float>(static_cast<float>(real), static_cast<float>(imaginary));
            const double nextReal = real * stepReal_ - imaginary * stepImaginary_;
            imaginary = real * stepImaginary_ + imaginary * stepReal_;
            real = nextReal;
        }
        phasorReal_ = real;
        phasorImaginary_ = imaginary;
        samplesLeftInBit_ -= count;
        written += count;
    }
    return written;
}

}  // namespace sondeco
