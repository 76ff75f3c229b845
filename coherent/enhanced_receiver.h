// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The enhanced receiver: 48 kHz audio in, soft bits out, with nothing to tune. Static is blanked in the
// audio, the band is brought down to complex baseband, and a baseband receiver finds the beacon's tone
// and bit rate there and detects it coherently (see baseband_receiver.h).
#include "coherent/audio_front_end.h"
#include "coherent/baseband.h"
#include "coherent/baseband_receiver.h"
#include "coherent/carrier_canceller.h"
#include "coherent/impulse_blanker.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sondeco {

struct EnhancedReceiverSettings {
    double sampleRate = 48000.0;
    double bandLowHz = 200.0;  // the tones searched, Hz of the audio
    double bandHighHz = 3500.0;
    std::optional<double> toneHintHz;  // what the user believes: narrows the search, binds nothing
    std::optional<double> bitRateHint;
    bool blankImpulses = true;
};

struct EnhancedReceiverStatistics {
    std::uint64_t acquisitions = 0;  // detectors started on an acquired (or moved) beacon
    std::uint64_t beaconsLost = 0;  // the acquisition lost the beacon
    std::uint64_t detectorGaveUp = 0;  // restarts because the detector could not hold the beacon
    std::uint64_t wordLayerRestarts = 0;  // restarts because the word layer found nothing valid
    std::uint64_t blankedSamples = 0;
    std::uint64_t impulses = 0;
};

class EnhancedReceiver {
public:
    // Throws std::invalid_argument for settings the front end cannot work with.
    explicit EnhancedReceiver(const EnhancedReceiverSettings& settings = {});
    ~EnhancedReceiver();
    EnhancedReceiver(const EnhancedReceiver&) = delete;
    EnhancedReceiver& operator=(const EnhancedReceiver&) = delete;

    // Audio samples of one channel (any scale, any block size); the bits decided from them are
    // appended to `out` in time order.
    void processAudio(std::span<const double> samples, std::vector<SoftBit>& out);
    void processAudio(std::span<const float> samples, std::vector<SoftBit>& out);

    // The word layer has found no valid word for this long: see BasebandReceiver::noValidWordsFor.
    void noValidWordsFor(double seconds);

    bool acquired() const { return baseband_.acquired(); }
    bool locked() const { return baseband_.locked(); }
    // The beacon held: tone in Hz of the audio and bit rate, as the detector tracks them once locked.
    std::optional<double> toneHz() const;
    std::optional<double> bitRate() const { return baseband_.bitRate(); }
    std::optional<double> ebN0Db() const { return baseband_.ebN0Db(); }  // while locked
    const EnhancedReceiverStatistics& statistics() const { return statistics_; }
    double basebandRate() const { return frontEnd_.outputRate(); }

private:
    template <typename Sample>
    void processSamples(std::span<const Sample> samples, std::vector<SoftBit>& out);
    void takeBasebandStatistics();

    EnhancedReceiverSettings settings_;
    ImpulseBlanker blanker_;
    AudioFrontEnd frontEnd_;
    CarrierCanceller canceller_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> carrierEdges_;
    BasebandReceiver baseband_;

    std::vector<double> audio_;
    std::vector<ComplexSample> basebandBlock_;
    std::vector<BlankedStretch> stretches_;
    EnhancedReceiverStatistics statistics_;
};

}  // namespace sondeco
