// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/baseband_receiver.h"

#include <algorithm>
#include <cmath>

namespace sondeco {
namespace {

// How much baseband is kept for a detector to start from, and how far back one starts: far enough
// to reach the beacon's first bits whatever the acquisition took to decide (a few seconds at the
// low rates). Starting in the noise before the beacon costs nothing but a failed search or two, done
// at once on the kept samples.
constexpr double HistorySeconds = 8.0;
// A detector that has not been locked for this long (and this many bits: a few search windows with
// their confirmation) is holding nothing: search again.
constexpr double GiveUpSeconds = 4.0;
constexpr double GiveUpBits = 600.0;
// The word layer's "nothing valid for this long" that makes us search again (words come every 1.2 s
// even at 25 bit/s), if the beacon held is heard at least this well.
constexpr double NoValidWordsSeconds = 10.0;
constexpr double SuspectAboveEbN0Db = 7.0;
// A candidate of the acquisition within this of the detector's tone (at the same rate) is the beacon
// the detector was started on, its tone refined since.
constexpr double SameBeaconHz = 10.0;

}  // namespace

BasebandReceiver::BasebandReceiver(const AcquisitionSettings& settings)
    : sampleRate_(settings.sampleRate),
      toneHint_(settings.toneHint),
      bitRateHint_(settings.bitRateHint),
      acquisition_(settings),
      historyLimit_(static_cast<std::size_t>(std::ceil(HistorySeconds * settings.sampleRate))) {
    if (settings.toneHint && settings.bitRateHint) {
        hint_ = BeaconCandidate{};
        hint_->toneHz = *settings.toneHint;
        hint_->bitRate = *settings.bitRateHint;
    }
}

BasebandReceiver::~BasebandReceiver() = default;

void BasebandReceiver::process(std::span<const ComplexSample> samples, std::vector<SoftBit>& out) {
    basebandIndex_ += samples.size();
    history_.insert(history_.end(), samples.begin(), samples.end());
    if (history_.size() > historyLimit_) {
        const std::size_t drop = history_.size() - historyLimit_;
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(drop));
        historyStart_ += drop;
    }
    while (!damage_.empty() && damage_.front().second <= historyStart_) damage_.pop_front();

    for (const AcquisitionEvent& event : acquisition_.process(samples)) {
        if (event.kind == AcquisitionEvent::Kind::Lost) ++statistics_.beaconsLost;
    }
    if (detector_) feedDetector(basebandIndex_, out);
    reconcile(out);
}

// Keeps the detector on the beacon the acquisition holds, or, while it holds none, on the hinted
// tone and rate (when both are given): the detector's own search and confirmation then stand in
// for the acquisition, which needs far stronger evidence to pick a beacon out of the whole band
// than the detector needs to confirm one where it was told to look. A locked detector is never
// disturbed: it holds its beacon better than the squared signal's lines can show it, in a fade the
// acquisition loses or when the noise shows it a phantom elsewhere. An unlocked one follows the
// acquisition; one started on the acquisition's word that stays unlocked too long is given up, and
// the acquisition searches afresh.
void BasebandReceiver::reconcile(std::vector<SoftBit>& out) {
    if (detector_ && detector_->locked()) {
        detectorLastLocked_ = basebandIndex_;
        emittedUntil_ = basebandIndex_;
        return;
    }
    std::optional<BeaconCandidate> wanted = acquisition_.current();
    const bool hinted = !wanted && hint_;
    if (hinted) wanted = hint_;
    if (!wanted) {
        detector_.reset();
        return;
    }
    if (detector_ && detector_->nominalBitRate() == wanted->bitRate &&
        std::fabs(detector_->nominalToneHz() - wanted->toneHz) < SameBeaconHz) {
        const double giveUp = std::max(GiveUpSeconds, GiveUpBits / wanted->bitRate) * sampleRate_;
        if (!hinted && static_cast<double>(basebandIndex_ - detectorLastLocked_) > giveUp) {
            ++statistics_.detectorGaveUp;
            restartSearch();
        }
        return;
    }
    startDetector(*wanted);
    feedDetector(basebandIndex_, out);
    if (detector_->locked()) {
        detectorLastLocked_ = basebandIndex_;
        emittedUntil_ = basebandIndex_;
    }
}

// A new detector starts on the kept baseband, as far back as it goes; bits another detector has
// already given for the same stretch are held back.
void BasebandReceiver::startDetector(const BeaconCandidate& beacon) {
    ++statistics_.acquisitions;
    detector_ = std::make_unique<CoherentMskDetector>(sampleRate_, beacon.toneHz, beacon.bitRate);
    detectorStart_ = historyStart_;
    if (emittedUntil_ > detectorStart_) detector_->holdBitsBefore(emittedUntil_ - detectorStart_);
    detectorFedUntil_ = detectorStart_;
    detectorMarkedUntil_ = 0;
    detectorLastLocked_ = basebandIndex_;
    restartedForWords_ = false;
}

// Hands the detector the kept baseband from where it stopped up to `end`, the damaged stretches
// among it first.
void BasebandReceiver::feedDetector(std::uint64_t end, std::vector<SoftBit>& out) {
    for (const auto& [first, last] : damage_) {
        if (last <= detectorFedUntil_ || first >= end || first < detectorMarkedUntil_) continue;
        detector_->markDamaged(std::max(first, detectorStart_) - detectorStart_, last - detectorStart_);
        detectorMarkedUntil_ = first + 1;
    }
    const auto begin = history_.begin() + static_cast<std::ptrdiff_t>(detectorFedUntil_ - historyStart_);
    const auto stop = history_.begin() + static_cast<std::ptrdiff_t>(end - historyStart_);
    feed_.assign(begin, stop);
    const std::size_t given = out.size();
    detector_->process(feed_, out);
    detectorFedUntil_ = end;
    // Bits given are given, even by a detector that locked and lost its lock again within these
    // samples and so is not seen locked afterwards: a detector started later on the kept baseband
    // must not give them a second time.
    if (out.size() > given) emittedUntil_ = std::max(emittedUntil_, end);
}

void BasebandReceiver::restartSearch() {
    acquisition_.restart(toneHint_, bitRateHint_);
    detector_.reset();
}

void BasebandReceiver::noValidWordsFor(double seconds) {
    if (!detector_ || restartedForWords_ || !(seconds >= NoValidWordsSeconds)) return;
    // Only a beacon held well is suspect: below a few dB words fail for noise alone, and searching
    // afresh would throw away what the acquisition has gathered on a weak beacon.
    if (!detector_->locked() || !(detector_->ebN0Db() >= SuspectAboveEbN0Db)) return;
    const double running = static_cast<double>(basebandIndex_ - detectorStart_) / sampleRate_;
    if (running < NoValidWordsSeconds) return;
    ++statistics_.wordLayerRestarts;
    restartedForWords_ = true;
    restartSearch();
}

std::optional<double> BasebandReceiver::toneHz() const {
    if (!detector_) return std::nullopt;
    return detector_->locked() ? detector_->toneHz() : detector_->nominalToneHz();
}

std::optional<double> BasebandReceiver::bitRate() const {
    if (!detector_) return std::nullopt;
    return detector_->locked() ? detector_->bitRate() : detector_->nominalBitRate();
}

std::optional<double> BasebandReceiver::ebN0Db() const {
    if (!detector_ || !detector_->locked()) return std::nullopt;
    return detector_->ebN0Db();
}

}  // namespace sondeco
