// SPDX-License-Identifier: GPL-3.0-or-later
// Test support for the acquisition: audio sources that stream (a beacon of random bits, any sound
// with a render() member), a listener that runs them through the front end and the acquisition and
// notes each event with its time in signal seconds, and a complex MSK generator for inputs that do not
// come from audio.
#pragma once

#include "coherent/acquisition.h"
#include "coherent/audio_front_end.h"
#include "signalgen/msk_modulator.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

namespace sondeco::testing {

// A beacon sending random bits, however long it is listened to.
class RandomBitBeacon {
public:
    explicit RandomBitBeacon(const MskSettings& settings) : modulator_(settings), bits_(settings.noiseSeed * 7919u + 1u) {}

    void render(std::span<double> out) {
        std::size_t done = 0;
        while (done < out.size()) {
            if (modulator_.queuedBits() < 64) {
                std::vector<std::uint8_t> more(256);
                for (std::uint8_t& bit : more) bit = static_cast<std::uint8_t>(bits_() & 1u);
                modulator_.pushBits(more);
            }
            done += modulator_.render(out.subspan(done));
        }
    }

    double noiseStandardDeviation() const { return modulator_.noiseStandardDeviation(); }

private:
    MskModulator modulator_;
    std::mt19937 bits_;
};

struct HeardEvent {
    AcquisitionEvent event;
    double seconds;  // signal time of the decision
    double toneHz;  // the candidate's tone in audio Hz
};

// The front end and the acquisition, fed block by block as a sound card would.
class Listener {
public:
    explicit Listener(const FrontEndSettings& frontEndSettings = {}, std::optional<double> toneHintHz = {},
                      std::optional<double> bitRateHint = {})
        : frontEnd_(frontEndSettings), acquisition_(settingsWithHints(frontEnd_, toneHintHz, bitRateHint)) {}

    // Listens to `seconds` of `source`, in blocks of 100 ms.
    template <typename Source>
    void listen(Source& source, double seconds) {
        const auto total = static_cast<std::size_t>(std::llround(seconds * 48000.0));
        std::vector<double> block(4800);
        for (std::size_t done = 0; done < total; done += block.size()) {
            block.resize(std::min<std::size_t>(4800, total - done));
            source.render(block);
            hear(block);
        }
    }

    // Listens until the first event (or `seconds` have passed); returns whether there was one.
    template <typename Source>
    bool listenForEvent(Source& source, double seconds) {
        const std::size_t before = events.size();
        std::vector<double> block(4800);
        for (double heard = 0.0; heard < seconds && events.size() == before; heard += 0.1) {
            source.render(block);
            hear(block);
        }
        return events.size() > before;
    }

    void hear(std::span<const double> audio) {
        baseband_.clear();
        frontEnd_.process(audio, baseband_);
        for (const AcquisitionEvent& event : acquisition_.process(baseband_)) {
            events.push_back({event, static_cast<double>(event.sampleIndex) / frontEnd_.outputRate(), audioTone(event.candidate)});
        }
    }

    double audioTone(const BeaconCandidate& candidate) const { return candidate.toneHz + frontEnd_.centreFrequency(); }
    double secondsHeard() const { return static_cast<double>(acquisition_.samplesTaken()) / frontEnd_.outputRate(); }
    const BeaconAcquisition& acquisition() const { return acquisition_; }
    const AudioFrontEnd& frontEnd() const { return frontEnd_; }

    std::vector<HeardEvent> events;

private:
    static AcquisitionSettings settingsWithHints(const AudioFrontEnd& frontEnd, std::optional<double> toneHintHz,
                                                 std::optional<double> bitRateHint) {
        AcquisitionSettings settings = acquisitionSettingsFor(frontEnd);
        if (toneHintHz) settings.toneHint = *toneHintHz - frontEnd.centreFrequency();
        settings.bitRateHint = bitRateHint;
        return settings;
    }

    AudioFrontEnd frontEnd_;
    BeaconAcquisition acquisition_;
    std::vector<ComplexSample> baseband_;
};

// Complex baseband MSK straight from the phase: 1 = upper tone, the carrier drifting linearly, white
// complex Gaussian noise for the given Eb/N0 (N0 over the whole complex band of sampleRate).
class ComplexMskSource {
public:
    ComplexMskSource(double sampleRate, double toneHz, double bitRate, double ebN0Db, double driftHzPerSecond, std::uint64_t seed)
        : sampleRate_(sampleRate), tone_(toneHz), bitRate_(bitRate), drift_(driftHzPerSecond), random_(seed) {
        // Unit amplitude: Eb = 1 / bitRate; complex noise of variance s^2 has N0 = s^2 / sampleRate.
        noise_ = std::sqrt(sampleRate / bitRate / std::pow(10.0, ebN0Db / 10.0) / 2.0);
    }

    void render(std::span<ComplexSample> out) {
        std::normal_distribution<double> gaussian(0.0, noise_);
        for (ComplexSample& sample : out) {
            if (bitTime_ >= 1.0) {
                bitTime_ -= 1.0;
                bit_ = (random_() & 1u) != 0;
            }
            const double time = static_cast<double>(samples_) / sampleRate_;
            const double frequency = tone_ + drift_ * time + (bit_ ? bitRate_ / 4.0 : -bitRate_ / 4.0);
            phase_ = std::fmod(phase_ + 2.0 * std::numbers::pi * frequency / sampleRate_, 2.0 * std::numbers::pi);
            sample = ComplexSample(static_cast<float>(std::cos(phase_) + gaussian(random_)),
                                   static_cast<float>(std::sin(phase_) + gaussian(random_)));
            bitTime_ += bitRate_ / sampleRate_;
            ++samples_;
        }
    }

    double toneAt(double seconds) const { return tone_ + drift_ * seconds; }

private:
    double sampleRate_, tone_, bitRate_, drift_;
    double noise_ = 0.0;
    std::mt19937_64 random_;
    double phase_ = 0.0;
    double bitTime_ = 1.0;
    bool bit_ = false;
    std::uint64_t samples_ = 0;
};

}  // namespace sondeco::testing
