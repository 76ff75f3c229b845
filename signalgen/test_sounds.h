// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds that are not a beacon, for the cases a receiver must not take for one: an unmodulated
// carrier, speech-like audio and band-limited noise. Each renders block by block (the way a stream is
// cut into calls does not change a sample) and the same seed always gives the same sound.
// Plain C++; no audio devices, no files.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace sondeco {

// Gaussian samples from a fixed engine and our own transform, so that a seed gives the same noise
// with any standard library.
class GaussianSource {
public:
    explicit GaussianSource(std::uint64_t seed) : random_(seed) {}
    double next();

private:
    std::mt19937_64 random_;
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

// A steady tone, optionally with white noise of the given standard deviation (per sample).
class CarrierSound {
public:
    // Throws std::invalid_argument for a tone outside (0, sampleRate / 2) or a non-positive sample rate.
    CarrierSound(double frequencyHz, double amplitude, double noiseDeviation = 0.0, std::uint64_t seed = 1, double sampleRate = 48000.0);
    void render(std::span<double> out);

private:
    double step_;
    double phase_ = 0.0;
    double amplitude_;
    double noiseDeviation_;
    GaussianSource noise_;
};

// White Gaussian noise through a band-pass (fourth-order Butterworth edges at both ends), scaled to
// the given RMS.
class BandLimitedNoise {
public:
    // Throws std::invalid_argument unless 0 < lowHz < highHz < sampleRate / 2.
    BandLimitedNoise(double lowHz, double highHz, double rms, std::uint64_t seed = 1, double sampleRate = 48000.0);
    void render(std::span<double> out);

private:
    struct Biquad {
        double b0, b1, b2, a1, a2;
        double z1 = 0.0, z2 = 0.0;
        double run(double x);
    };
    std::vector<Biquad> sections_;
    double gain_;
    GaussianSource noise_;
};

// Something like a voice on the channel: syllables four or five times a second, each a vowel (a glottal
// pulse train through three formant resonators) whose pitch glides between about 80 and 260 Hz and
// sometimes holds nearly still, with short fricatives (shaped noise) and pauses between words. Speech
// is the hard case for a beacon search: voiced sounds are combs of harmonics, and squared they are
// combs again, full of line pairs.
class SpeechLikeSound {
public:
    explicit SpeechLikeSound(double rms, std::uint64_t seed = 1, double sampleRate = 48000.0);
    void render(std::span<double> out);

private:
    struct Resonator {
        double a1 = 0.0, a2 = 0.0, gain = 0.0;
        double y1 = 0.0, y2 = 0.0;
        void tune(double frequencyHz, double bandwidthHz, double sampleRate);
        double run(double x);
    };
    void startSyllable();
    double sampleRate_;
    double scale_;
    std::mt19937_64 random_;
    GaussianSource noise_;

    // The syllable being spoken.
    std::size_t syllableSamples_ = 0;
    std::size_t syllablePosition_ = 0;
    bool voiced_ = true;
    bool silent_ = false;
    double pitchStart_ = 120.0, pitchEnd_ = 120.0;
    double formantStart_[3] = {500.0, 1500.0, 2500.0};
    double formantEnd_[3] = {500.0, 1500.0, 2500.0};
    double formantNow_[3] = {500.0, 1500.0, 2500.0};

    double glottalPhase_ = 0.0;  // cycles, [0, 1)
    double tilt_ = 0.0;  // one-pole low-pass giving the voice's falling spectrum
    Resonator formants_[3];
};

}  // namespace sondeco
