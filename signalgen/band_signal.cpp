// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/band_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

namespace sondeco {

namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
// A carrier's phasor is set from its exact phase at every multiple of this many samples of the stream,
// so that rounding in the rotation never builds up.
constexpr std::uint64_t CarrierAnchorSamples = 4096;

double wrapPhase(double phase) { return phase - TwoPi * std::floor(phase / TwoPi); }
double fromDb(double db) { return std::pow(10.0, db / 10.0); }

// Frequency as it appears in the stream, checked to fit with `halfWidth` either side.
double streamFrequency(const BandSettings& settings, double frequency, double halfWidth, const char* what) {
    const double inStream = frequency - settings.centreFrequency;
    const bool real = settings.output == BandOutput::Real;
    const double low = real ? 0.0 : -settings.sampleRate / 2.0;
    if (!(inStream - halfWidth > low) || !(inStream + halfWidth < settings.sampleRate / 2.0)) {
        throw std::invalid_argument(std::string(what) + " at " + std::to_string(frequency) + " Hz does not fit within the stream's " +
                                    std::to_string(settings.centreFrequency + low) + ".." +
                                    std::to_string(settings.centreFrequency + settings.sampleRate / 2.0) + " Hz");
    }
    return inStream;
}

}  // namespace

BandSignal::BandSignal(BandSettings settings) : settings_(std::move(settings)), noise_(settings_.seed) {
    if (!(settings_.sampleRate > 0.0)) throw std::invalid_argument("the sample rate must be positive");
    if (!(settings_.rms > 0.0)) throw std::invalid_argument("the RMS level must be positive");
    const bool real = settings_.output == BandOutput::Real;
    if (real && settings_.centreFrequency != 0.0) throw std::invalid_argument("real output is centred at 0 Hz");

    // The choices left open, from a generator of their own so that the noise of a seed stays the same.
    // Two draws per beacon and one per carrier whether used or not: giving one beacon a delay does
    // not move the others.
    std::mt19937_64 choices(settings_.seed ^ 0xba5eba11ba5eba11ULL);
    const auto uniform = [&choices] { return (static_cast<double>(choices() >> 11) + 0.5) * 0x1.0p-53; };
    for (BandBeacon& beacon : settings_.beacons) {
        const double delay = uniform(), phase = TwoPi * uniform();
        if (!beacon.delaySeconds) beacon.delaySeconds = delay;
        if (!beacon.startPhase) beacon.startPhase = phase;
        if (!beacon.startSecondsIntoHour)
            beacon.startSecondsIntoHour = std::fmod(settings_.startSecondsIntoHour + *beacon.delaySeconds, 3600.0);
    }
    for (BandCarrier& carrier : settings_.carriers) {
        const double phase = TwoPi * uniform();
        if (!carrier.startPhase) carrier.startPhase = phase;
    }

    // Powers in units of N0 first, then one scale for all.
    const double bandwidth = real ? settings_.sampleRate / 2.0 : settings_.sampleRate;
    double total = settings_.noise ? bandwidth : 0.0;
    for (const BandBeacon& beacon : settings_.beacons) total += fromDb(beacon.ebN0Db) * beacon.bitRate;
    for (const BandCarrier& carrier : settings_.carriers) total += fromDb(carrier.carrierToNoiseDbHz);
    if (!std::isfinite(total)) throw std::invalid_argument("a level is too high to scale");
    noiseDensity_ = settings_.rms * settings_.rms / (total > 0.0 ? total : bandwidth);
    // Both kinds of stream put N0 * sampleRate / 2 into each noise component: a complex stream has
    // two, over the sample rate; a real one has one, over half of it.
    if (settings_.noise) noiseDeviation_ = std::sqrt(noiseDensity_ * settings_.sampleRate / 2.0);
    // A real tone of peak A carries A^2 / 2: twice the phasor's power to keep the same power.
    const double powerToAmplitude = real ? 2.0 : 1.0;

    beacons_.reserve(settings_.beacons.size());
    for (const BandBeacon& beacon : settings_.beacons) {
        BeaconSettings station;
        station.stationId = beacon.stationId;
        station.messageTypes = beacon.messageTypes;
        station.startSecondsIntoHour = *beacon.startSecondsIntoHour;
        station.bitRate = beacon.bitRate;
        station.randomContentSeed = beacon.randomContentSeed;
        if (!(*beacon.delaySeconds >= 0.0)) throw std::invalid_argument("a beacon's delay cannot be negative");
        ComplexMskSettings transmitter;
        transmitter.sampleRate = settings_.sampleRate;
        transmitter.bitRate = beacon.bitRate;
        const double actualRate = beacon.bitRate * (1.0 + beacon.clockErrorPpm * 1e-6);
        transmitter.frequency = streamFrequency(settings_, beacon.frequency + beacon.frequencyOffset, actualRate / 4.0, "a beacon");
        const double amplitude = std::sqrt(powerToAmplitude * fromDb(beacon.ebN0Db) * beacon.bitRate * noiseDensity_);
        transmitter.amplitude = amplitude;
        transmitter.startPhase = *beacon.startPhase;
        transmitter.clockErrorPpm = beacon.clockErrorPpm;
        transmitter.leadingSeconds = *beacon.delaySeconds;
        beacons_.push_back(Beacon{SimulatedBeacon(station), RtcmEncoder{}, ComplexMskModulator(transmitter), amplitude, {}});
    }
    for (const BandCarrier& carrier : settings_.carriers) {
        const double frequency = streamFrequency(settings_, carrier.frequency, 0.0, "a carrier");
        const double amplitude = std::sqrt(powerToAmplitude * fromDb(carrier.carrierToNoiseDbHz) * noiseDensity_);
        const double step = TwoPi * frequency / settings_.sampleRate;
        carriers_.push_back(Carrier{step, std::cos(step), std::sin(step), *carrier.startPhase, amplitude, 0.0, 0.0,
                                    CarrierGain(carrier.keying, carrier.identifier, carrier.wordsPerMinute, settings_.sampleRate)});
    }
}

void BandSignal::addSignals(std::span<std::complex<float>> out) {
    for (Beacon& beacon : beacons_) {
        std::size_t done = 0;
        while (done < out.size()) {
            done += beacon.modulator.addTo(out.subspan(done));
            if (done == out.size()) break;
            // The bits ran out: the next frame starts here.
            BeaconFrame frame = beacon.station.nextFrame();
            bits_.clear();
            beacon.encoder.appendFrameBits(frame.header, frame.dataWords, bits_);
            beacon.modulator.pushBits(bits_);
            if (settings_.keepSentFrames) beacon.sentFrames.push_back(std::move(frame));
        }
    }
    for (Carrier& carrier : carriers_) {
        for (std::size_t n = 0; n < out.size();) {
            const std::uint64_t index = samplesDone_ + n;
            if (index % CarrierAnchorSamples == 0) {
                const double phase = wrapPhase(carrier.startPhase + carrier.step * static_cast<double>(index));
                carrier.real = carrier.amplitude * std::cos(phase);
                carrier.imaginary = carrier.amplitude * std::sin(phase);
            }
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - n, CarrierAnchorSamples - index % CarrierAnchorSamples));
            double real = carrier.real, imaginary = carrier.imaginary;
            for (std::size_t i = n; i < n + count; ++i) {
                const double gain = carrier.keying.next();
                out[i] += std::complex<float>(static_cast<float>(gain * real), static_cast<float>(gain * imaginary));
                const double nextReal = real * carrier.stepReal - imaginary * carrier.stepImaginary;
                imaginary = real * carrier.stepImaginary + imaginary * carrier.stepReal;
                real = nextReal;
            }
            carrier.real = real;
            carrier.imaginary = imaginary;
            n += count;
        }
    }
}

void BandSignal::render(std::span<std::complex<float>> out) {
    if (settings_.output != BandOutput::Complex) throw std::logic_error("a real band signal renders real samples");
    std::fill(out.begin(), out.end(), std::complex<float>{});
    addSignals(out);
    if (noiseDeviation_ > 0.0) {
        for (std::complex<float>& sample : out) {
            const double real = noise_.next();
            const double imaginary = noise_.next();
            sample += std::complex<float>(static_cast<float>(noiseDeviation_ * real), static_cast<float>(noiseDeviation_ * imaginary));
        }
    }
    samplesDone_ += out.size();
}

void BandSignal::render(std::span<float> out) {
    if (settings_.output != BandOutput::Real) throw std::logic_error("a complex band signal renders complex samples");
    scratch_.assign(out.size(), std::complex<float>{});
    addSignals(scratch_);
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double noise = noiseDeviation_ > 0.0 ? noiseDeviation_ * noise_.next() : 0.0;
        out[n] = static_cast<float>(static_cast<double>(scratch_[n].real()) + noise);
    }
    samplesDone_ += out.size();
}

}  // namespace sondeco
