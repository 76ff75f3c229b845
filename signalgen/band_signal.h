// SPDX-License-Identifier: GPL-3.0-or-later
// A piece of the beacon band as a receiver sees it: several DGPS beacons, each a simulated station
// with its own frequency, rate, level and timing, some unmodulated carriers (non-directional beacons,
// a receiver's birdies) and white Gaussian noise, all in one stream. Complex baseband around a centre
// frequency, as an SDR delivers it, or real audio at 48 kHz holding several beacons at audio tones, as
// a wide receiver filter passes them to a sound card. Plain C++; no files, no devices.
//
// Levels are set against the noise, so that a figure means the same here as for one beacon in audio:
//   N0 (noise density)   the noise power divided by the stream's bandwidth: the sample rate for a
//                        complex stream (noise power E|n|^2, both components together), half of it for
//                        a real one (noise power E n^2). Noise spread evenly over the stream has this
//                        density at every frequency.
//   Eb/N0 of a beacon    its power times the length of one bit, over N0. A beacon's power is that of its
//                        constant envelope, E|s|^2; in real audio, the power of the real tone.
//   C/N0 of a carrier    its power over N0, in dB-Hz. A beacon's C/N0 is its Eb/N0 plus 10 log10 of its
//                        rate: 12 dB at 100 bit/s is 32 dB-Hz.
// Everything is then scaled together so that the stream's total power puts its RMS at `rms` of full
// scale (1.0): ratios are kept. Without noise, the levels still follow from the N0 the noise would
// have; only the noise itself is left out (and the scaling counts the signals alone).
#pragma once

#include "signalgen/air_conditions.h"
#include "signalgen/complex_msk_modulator.h"
#include "signalgen/simulated_beacon.h"
#include "signalgen/test_sounds.h"

#include "rtcm/rtcm_encoder.h"

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sondeco {

struct BandBeacon {
    double frequency = 304000.0;  // Hz: of the radio frequency in a complex stream, of the audio tone in a real one
    double bitRate = 100.0;
    int stationId = 491;
    std::vector<int> messageTypes = defaultMessageTypes();
    double ebN0Db = 12.0;
    double frequencyOffset = 0.0;  // Hz the transmitter is off its frequency
    double clockErrorPpm = 0.0;  // its bit clock's error
    // When its first bit starts, in seconds after the stream's first sample (nothing before), and
    // the phase of its carrier there. Left empty, each is drawn from the seed: a delay within the
    // first second and any phase, so that the beacons' bits and frames do not line up.
    std::optional<double> delaySeconds;
    std::optional<double> startPhase;  // radians
    // The Z-count clock of its first frame, in seconds after the start of the GPS hour. Left empty:
    // the band's startSecondsIntoHour plus this beacon's delay.
    std::optional<double> startSecondsIntoHour;
    std::optional<std::uint64_t> randomContentSeed;  // random frame contents, as for BeaconSettings
};

struct BandCarrier {
    double frequency = 0.0;  // Hz, as for a beacon
    double carrierToNoiseDbHz = 45.0;  // C/N0 (while on)
    std::optional<double> startPhase;  // radians; drawn from the seed when empty
    CarrierKeying keying = CarrierKeying::Steady;  // and, keyed, with this identifier at this speed
    std::string identifier = "DGPS";
    double wordsPerMinute = 10.0;
};

enum class BandOutput {
    Complex,  // complex baseband: a frequency f appears at f - centreFrequency
    Real,  // real audio: the real part of a complex stream centred at 0 Hz, frequencies as audio tones
};

struct BandSettings {
    BandOutput output = BandOutput::Complex;
    double sampleRate = 250000.0;
    double centreFrequency = 304000.0;  // Hz; must be 0 for real output
    std::vector<BandBeacon> beacons;
    std::vector<BandCarrier> carriers;
    bool noise = true;
    double rms = 0.2;  // of the whole stream, full scale 1: room for noise peaks and for beacons adding up
    std::uint64_t seed = 1;  // the same seed gives the same stream, sample for sample
    double startSecondsIntoHour = 0.0;
    bool keepSentFrames = false;  // keep every beacon's frames in sentFrames()
};

class BandSignal {
public:
    // Throws std::invalid_argument for a signal whose tones do not fit within the stream (strictly
    // inside +-sampleRate/2 of the centre, or 0..sampleRate/2 for real output), a real stream with a
    // centre, a non-positive rate or RMS, and whatever a beacon's station settings make
    // SimulatedBeacon refuse.
    explicit BandSignal(BandSettings settings);

    // The next samples of a complex stream; of a real one (std::logic_error for the other kind). The
    // way the stream is cut into calls does not change a sample.
    void render(std::span<std::complex<float>> out);
    void render(std::span<float> out);

    // The settings as used: every beacon's and carrier's empty choices filled in.
    const BandSettings& settings() const { return settings_; }
    // Every frame a beacon has begun to send, in order (with keepSentFrames; empty otherwise).
    const std::vector<BeaconFrame>& sentFrames(std::size_t beacon) const { return beacons_.at(beacon).sentFrames; }

    // Levels in full-scale units as generated: N0 per Hz, the beacons' and carriers' amplitudes (the
    // peak of the real tone for real output), the noise's standard deviation per component (0 without).
    double noiseDensity() const { return noiseDensity_; }
    double beaconAmplitude(std::size_t beacon) const { return beacons_.at(beacon).amplitude; }
    double carrierAmplitude(std::size_t carrier) const { return carriers_.at(carrier).amplitude; }
    double noiseStandardDeviation() const { return noiseDeviation_; }

private:
    struct Beacon {
        SimulatedBeacon station;
        RtcmEncoder encoder;
        ComplexMskModulator modulator;
        double amplitude;
        std::vector<BeaconFrame> sentFrames;
    };
    struct Carrier {
        double step;  // radians per sample
        double stepReal, stepImaginary;  // the same as a rotation
        double startPhase;
        double amplitude;
        double real, imaginary;  // phasor of the next sample
        CarrierGain keying;
    };
    void addSignals(std::span<std::complex<float>> out);

    BandSettings settings_;
    std::vector<Beacon> beacons_;
    std::vector<Carrier> carriers_;
    double noiseDensity_ = 0.0;
    double noiseDeviation_ = 0.0;
    GaussianSource noise_;
    std::uint64_t samplesDone_ = 0;
    std::vector<std::uint8_t> bits_;
    std::vector<std::complex<float>> scratch_;
};

}  // namespace sondeco
