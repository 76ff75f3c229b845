// SPDX-License-Identifier: GPL-3.0-or-later
// Finding a beacon without being told where it is: tone and bit rate together from the two spectral
// lines of the squared signal. Squaring MSK turns it into two phase-continuous tones at twice the
// carrier plus and minus half the bit rate, each on half the time, so the squared spectrum holds two
// lines whose spacing is the bit rate and whose midpoint is twice the carrier. The band is cut into
// overlapping channels (375 Hz apart for 100 and 200 bit/s, 195 Hz for 25 and 50) and each is
// squared on its own, which keeps the noise-times-noise products of the whole band off the lines.
// Noise, speech and carriers do not make such a pair; checks on the pair, on what surrounds it and on
// the input's own spectrum at the tone keep them from faking one.
//
// Works on complex baseband at any rate given at construction (the audio front end's output, or one
// channel of a band monitor); knows nothing of audio, 48 kHz or the detector that follows.
#pragma once

#include "coherent/baseband.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace sondeco {

class AudioFrontEnd;

// The bit rates beacons use; the only ones searched.
inline constexpr double BeaconBitRates[] = {25.0, 50.0, 100.0, 200.0};

struct AcquisitionSettings {
    double sampleRate = 8000.0;  // complex samples per second of the input, > 0
    // The tones to search, Hz relative to 0 Hz of the input. Twice the band plus half the highest
    // rate must fit inside +-sampleRate / 2, because the squared signal must not fold.
    double searchLowHz = -1650.0;
    double searchHighHz = 1650.0;
    // What the user believes (Hz relative to 0 Hz; bit/s). A beacon that matches the hints is taken
    // on weaker evidence, because far fewer places are searched for it; a beacon elsewhere is still
    // found on the usual evidence, so a wrong hint only forgoes the head start.
    std::optional<double> toneHint;
    std::optional<double> bitRateHint;
};

// The same settings for the output of an audio front end (its rate and band).
AcquisitionSettings acquisitionSettingsFor(const AudioFrontEnd& frontEnd);

struct BeaconCandidate {
    double toneHz = 0.0;  // the carrier (midway between the two MSK tones), Hz relative to 0 Hz
    double bitRate = 0.0;  // 25, 50, 100 or 200
    // How strong the weaker of the two lines is: its power over the noise density of the squared
    // signal around it, in dB-Hz. Independent of the FFT length, so candidates found at different
    // rates compare fairly. Lines are found from about 10 dB-Hz at 100 and 200 bit/s (a dozen
    // spectra of a quarter second) and from about 5 dB-Hz at 25 and 50 bit/s (a dozen of a second);
    // at 12 dB Eb/N0 a beacon shows about 18 dB-Hz at 200 bit/s, 16 at 100, 12 at 50 and 10 at 25.
    double lineStrengthDbHz = 0.0;
};

struct AcquisitionEvent {
    enum class Kind {
        Acquired,  // a beacon where there was none
        Moved,  // the beacon is now this other one (another tone or rate, or a much stronger station)
        Lost,  // the lines have gone; `candidate` is the beacon that was lost
    };
    Kind kind;
    BeaconCandidate candidate;
    // Input samples taken in when this was decided. The decision rests on the spectra ending there.
    std::uint64_t sampleIndex = 0;
};

class BeaconAcquisition {
public:
    // Throws std::invalid_argument for a non-positive rate or a search band that does not fit.
    explicit BeaconAcquisition(const AcquisitionSettings& settings);
    ~BeaconAcquisition();
    BeaconAcquisition(BeaconAcquisition&&) noexcept;
    BeaconAcquisition& operator=(BeaconAcquisition&&) noexcept;

    // Takes in samples (any block size) and returns what changed while they came in, oldest first.
    // The span stays valid until the next call. Samples that are not finite numbers count as 0.
    std::span<const AcquisitionEvent> process(std::span<const ComplexSample> samples);

    // The beacon as last measured (its tone refined with every spectrum), if one is held.
    const std::optional<BeaconCandidate>& current() const;
    std::uint64_t samplesTaken() const;
    double sampleRate() const;

    // Forgets everything heard so far and searches afresh, with new hints.
    void restart(std::optional<double> toneHint, std::optional<double> bitRateHint);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sondeco
