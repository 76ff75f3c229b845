// SPDX-License-Identifier: GPL-3.0-or-later
// What the air adds to a beacon besides noise and static: skywave fading, and the carriers of other
// stations in the same audio (non-directional beacons, keyed with their Morse identifiers). Plain C++,
// used by the modulators; no files, no devices.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondeco {

// Rayleigh fading with the classical (Jakes) Doppler spectrum: the sum of many equal paths arriving
// from directions spread around the circle, each with a random phase, so each is shifted by
// dopplerHz times the cosine of its angle. The gain is then close to complex Gaussian (its power exponential, its
// amplitude Rayleigh), with mean power 1 and nothing beyond +-dopplerHz in its spectrum. The gain is
// worked out every few samples and interpolated between, as it changes slowly beside any audio rate.
class RayleighFading {
public:
    // Throws std::invalid_argument for a Doppler spread that is not positive or not below a tenth of
    // the sample rate.
    RayleighFading(double dopplerHz, double sampleRate, std::uint64_t seed);

    // The channel's complex gain for the next sample.
    std::complex<double> next();

private:
    void update();

    static constexpr int Paths = 64;
    int stride_ = 1;  // samples between two worked-out gains
    int step_ = 0;  // samples since the last one
    std::vector<double> angularSteps_;  // each path's Doppler shift, radians per stride
    std::vector<double> phases_;
    std::complex<double> previous_, current_;
};

// A Morse identifier keyed over and over (a word space between the repeats), as the envelope of a
// carrier or tone: 1 while the key is down, 0 while up, with 5 ms raised-cosine edges so the keying
// makes no clicks. Timing by the PARIS standard: a dot lasts 1.2 / wordsPerMinute seconds.
class MorseKeyer {
public:
    // Throws std::invalid_argument for an empty text, a character without a Morse code (letters,
    // digits, space and / have one) or a speed that is not positive.
    MorseKeyer(std::string_view text, double wordsPerMinute, double sampleRate);

    double next();  // the envelope of the next sample, 0..1
    double dotSeconds() const { return dotSeconds_; }

private:
    std::vector<std::pair<bool, int>> elements_;  // key down or up, for so many dots
    double dotSeconds_;
    double samplesPerDot_;
    std::size_t element_ = 0;
    double sampleInElement_ = 0.0;
    double edgeSamples_;
    double envelope_ = 0.0;
};

// How another station's carrier is keyed.
enum class CarrierKeying {
    Steady,  // on all the time (a birdie, a carrier between identifiers)
    Morse,  // on and off with its identifier (A1A)
    Tone,  // steady, with a 1020 Hz tone keyed with its identifier modulating it (A2A): lines at +-1020 Hz
};

struct InterferingCarrier {
    double frequency = 0.0;  // Hz, as an audio tone
    double levelDb = 0.0;  // its power (while on) against the beacon's
    CarrierKeying keying = CarrierKeying::Steady;
    std::string identifier = "DGPS";
    double wordsPerMinute = 10.0;
};

// The keying of a carrier as a user writes it: "steady", "morse" or "tone", either of the last two
// optionally followed by a space and the identifier ("morse DGPS"). Empty when it is none of these.
std::optional<InterferingCarrier> parseCarrierKeying(std::string_view text);

// The depth of the 1020 Hz tone's amplitude modulation of a keyed-tone carrier.
inline constexpr double KeyedToneDepth = 0.9;
inline constexpr double KeyedToneHz = 1020.0;

// What a carrier's keying does to its amplitude, sample by sample: 1 for a steady one, the Morse
// envelope for one keyed on and off, 1 plus the keyed tone for one keyed with a tone.
class CarrierGain {
public:
    // Throws std::invalid_argument as MorseKeyer does.
    CarrierGain(CarrierKeying keying, std::string_view identifier, double wordsPerMinute, double sampleRate);
    double next();

private:
    CarrierKeying keying_;
    std::optional<MorseKeyer> keyer_;
    double tonePhase_ = 0.0, toneStep_;
};

}  // namespace sondeco
