#pragma once
// The enhanced receiver: 48 kHz audio in, soft bits out, with nothing to tune. Static is blanked in the
// audio, the band is brought down to complex baseband, the acquisition finds the beacon's tone and bit
// rate, and a coherent detector at that tone and rate makes the soft decisions. It acquires again when
// the beacon goes away or moves, when the detector cannot hold it, or when the word layer reports
// that nothing valid has come for a while; no bit comes out before a beacon has been acquired and the
// detector has confirmed it.
//
// The baseband of the last few seconds is kept, so that a detector started on an acquisition begins
// where the beacon was first heard rather than where the acquisition made up its mind: the first
// frame is not lost to the time the acquisition takes.
#include "coherent/acquisition.h"
#include "coherent/audio_front_end.h"
#include "coherent/baseband.h"
#include "coherent/impulse_blanker.h"
#include "coherent/msk_detector.h"

#include <cstdint>
#include <deque>
#include <memory>
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

    // The word layer has found no valid word for this long. Past a limit (10 s), a beacon held and
    // heard well (7 dB or more) is taken to be the wrong one (another rate, or no RTCM at all) and
    // the search starts again, once per beacon held however often this is called. A weak beacon
    // is kept: its words fail for the noise, and another search would only lose it.
    void noValidWordsFor(double seconds);

    bool acquired() const { return detector_ != nullptr; }
    bool locked() const { return detector_ && detector_->locked(); }
    // The beacon held: tone in Hz of the audio and bit rate, as the detector tracks them once locked.
    std::optional<double> toneHz() const;
    std::optional<double> bitRate() const;
    std::optional<double> ebN0Db() const;  // while locked
    const EnhancedReceiverStatistics& statistics() const { return statistics_; }
    double basebandRate() const { return frontEnd_.outputRate(); }

private:
    template <typename Sample>
    void processSamples(std::span<const Sample> samples, std::vector<SoftBit>& out);
    void reconcile(std::vector<SoftBit>& out);
    void startDetector(const BeaconCandidate& beacon);
    void restartSearch();
    void feedDetector(std::uint64_t end, std::vector<SoftBit>& out);

    EnhancedReceiverSettings settings_;
    ImpulseBlanker blanker_;
    AudioFrontEnd frontEnd_;
    BeaconAcquisition acquisition_;
    std::unique_ptr<CoherentMskDetector> detector_;
    std::uint64_t detectorStart_ = 0;  // baseband index of the detector's first sample
    std::uint64_t detectorFedUntil_ = 0;  // baseband index of the next sample it takes
    std::uint64_t detectorMarkedUntil_ = 0;  // blanked stretches starting before this have been marked
    std::uint64_t detectorLastLocked_ = 0;  // baseband index when it was last seen locked (or started)
    std::uint64_t emittedUntil_ = 0;  // bits have been given for the baseband before this
    bool restartedForWords_ = false;
    std::optional<BeaconCandidate> hint_;  // both hints given: where to look while nothing is acquired

    std::vector<double> audio_;
    std::vector<ComplexSample> baseband_;
    std::vector<ComplexSample> feed_;
    std::vector<BlankedStretch> stretches_;
    std::uint64_t basebandIndex_ = 0;  // baseband samples made so far
    std::deque<ComplexSample> history_;  // the last few seconds of baseband
    std::uint64_t historyStart_ = 0;  // baseband index of history_.front()
    std::size_t historyLimit_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> damage_;  // baseband ranges touched by blanking
    EnhancedReceiverStatistics statistics_;
};

}  // namespace sondeco
