#include "signalgen/msk_modulator.h"

#include <algorithm>
#include <cmath>
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

MskModulator::MskModulator(const MskSettings& settings)
    : sampleRate_(settings.sampleRate), random_(settings.noiseSeed) {
    if (!(settings.bitRate > 0.0)) throw std::invalid_argument("the bit rate must be positive");
    if (settings.sampleRate <= 0) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings.clockErrorPpm > -1e6)) throw std::invalid_argument("the clock error must be above -1e6 ppm");
    if (!(settings.leadingSeconds >= 0.0)) throw std::invalid_argument("the leading time cannot be negative");
    if (!(settings.amplitude >= 0.0)) throw std::invalid_argument("the amplitude cannot be negative");

    const double bitRate = settings.bitRate * (1.0 + settings.clockErrorPpm * 1e-6);
    const double carrier = settings.centreFrequency + settings.frequencyOffset;
    const double deviation = bitRate / 4.0;
    if (!(carrier - deviation > 0.0) || !(carrier + deviation < sampleRate_ / 2.0)) {
        throw std::invalid_argument("tones at " + std::to_string(carrier - deviation) + " and " +
                                    std::to_string(carrier + deviation) + " Hz do not fit between 0 Hz and " +
                                    std::to_string(sampleRate_ / 2.0) + " Hz");
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
        amplitude_ = settings.ebN0Db
                         ? std::min(UnattendedPeak, UnattendedRms / std::sqrt(0.5 + noisePerSignalSquared))
                         : UnattendedPeak;
    }
    noiseDeviation_ = amplitude_ * std::sqrt(noisePerSignalSquared);
}

void MskModulator::pushBits(std::span<const std::uint8_t> bits) {
    for (std::uint8_t bit : bits) bits_.push_back(bit != 0 ? 1 : 0);
}

std::size_t MskModulator::render(std::span<double> out) {
    std::size_t written = 0;
    while (written < out.size()) {
        if (leadingSamplesLeft_ > 0) {
            out[written++] = nextNoise();
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
        out[written++] = amplitude_ * std::cos(carrierPhase_ + deviationPhase_ + bitPhase) + nextNoise();
        carrierPhase_ = wrapPhase(carrierPhase_ + carrierStep_);
        bitTime_ += bitsPerSample_;
    }
    return written;
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

std::int16_t toPcm16(double sample) {
    const double rounded = std::round(sample);
    if (!(rounded > -32768.0)) return -32768;
    if (rounded > 32767.0) return 32767;
    return static_cast<std::int16_t>(rounded);
}

}  // namespace sondeco
