// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One beacon out of complex baseband, with nothing to tune: the acquisition finds the beacon's tone
// and bit rate in the search band, and a coherent detector at that tone and rate makes the soft
// decisions. It acquires again when the beacon goes away or moves, when the detector cannot hold it,
// or when the word layer reports that nothing valid has come for a while; no bit comes out before a
// beacon has been acquired and the detector has confirmed it.
//
// The baseband of the last few seconds is kept, so that a detector started on an acquisition begins
// where the beacon was first heard rather than where the acquisition made up its mind: the first
// frame is not lost to the time the acquisition takes.
//
// Knows nothing of where the baseband comes from: the audio front end of the enhanced receiver, or
// one channel of a band monitor's filter bank.
#include "coherent/acquisition.h"
#include "coherent/baseband.h"
#include "coherent/msk_detector.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace sondeco {

struct BasebandReceiverStatistics {
    std::uint64_t acquisitions = 0;  // detectors started on an acquired (or moved) beacon
    std::uint64_t beaconsLost = 0;  // the acquisition lost the beacon
    std::uint64_t detectorGaveUp = 0;  // restarts because the detector could not hold the beacon
    std::uint64_t wordLayerRestarts = 0;  // restarts because the word layer found nothing valid
};

class BasebandReceiver {
public:
    // The acquisition's settings say the rate, the search band and the hints (relative to 0 Hz of
    // the baseband). Throws std::invalid_argument for settings it cannot work with.
    explicit BasebandReceiver(const AcquisitionSettings& settings);
    ~BasebandReceiver();
    BasebandReceiver(const BasebandReceiver&) = delete;
    BasebandReceiver& operator=(const BasebandReceiver&) = delete;

    // Baseband samples [first, end), counted from the first sample ever handed to process(), were
    // damaged (blanked). Give the marks before the samples they concern.
    void markDamaged(std::uint64_t first, std::uint64_t end) { damage_.emplace_back(first, end); }

    // Baseband samples of any block size; the bits decided from them are appended to `out` in time
    // order.
    void process(std::span<const ComplexSample> samples, std::vector<SoftBit>& out);

    // The word layer has found no valid word for this long. Past a limit (10 s), a beacon held and
    // heard well (7 dB or more) is taken to be the wrong one (another rate, or no RTCM at all) and
    // the search starts again, once per beacon held however often this is called. A weak beacon
    // is kept: its words fail for the noise, and another search would only lose it.
    void noValidWordsFor(double seconds);

    bool acquired() const { return detector_ != nullptr; }
    bool locked() const { return detector_ && detector_->locked(); }
    // The acquisition holds a beacon (the detector may not have confirmed it yet).
    bool hearsBeacon() const { return acquisition_.current().has_value(); }
    // The beacon held: tone in Hz relative to 0 Hz of the baseband, and bit rate, as the detector
    // tracks them once locked.
    std::optional<double> toneHz() const;
    std::optional<double> bitRate() const;
    std::optional<double> ebN0Db() const;  // while locked
    const BasebandReceiverStatistics& statistics() const { return statistics_; }
    double sampleRate() const { return sampleRate_; }
    std::uint64_t samplesTaken() const { return basebandIndex_; }

private:
    void reconcile(std::vector<SoftBit>& out);
    void startDetector(const BeaconCandidate& beacon);
    void restartSearch();
    void feedDetector(std::uint64_t end, std::vector<SoftBit>& out);

    double sampleRate_;
    std::optional<double> toneHint_;
    std::optional<double> bitRateHint_;
    BeaconAcquisition acquisition_;
    std::unique_ptr<CoherentMskDetector> detector_;
    std::uint64_t detectorStart_ = 0;  // baseband index of the detector's first sample
    std::uint64_t detectorFedUntil_ = 0;  // baseband index of the next sample it takes
    std::uint64_t detectorMarkedUntil_ = 0;  // damaged stretches starting before this have been marked
    std::uint64_t detectorLastLocked_ = 0;  // baseband index when it was last seen locked (or started)
    std::uint64_t emittedUntil_ = 0;  // bits have been given for the baseband before this
    bool restartedForWords_ = false;
    std::optional<BeaconCandidate> hint_;  // both hints given: where to look while nothing is acquired

    std::vector<ComplexSample> feed_;
    std::uint64_t basebandIndex_ = 0;  // baseband samples taken so far
    std::deque<ComplexSample> history_;  // the last few seconds of baseband
    std::uint64_t historyStart_ = 0;  // baseband index of history_.front()
    std::size_t historyLimit_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> damage_;  // baseband ranges marked damaged
    BasebandReceiverStatistics statistics_;
};

}  // namespace sondeco
