// SPDX-License-Identifier: GPL-3.0-or-later
#include "coherent/enhanced_receiver.h"

#include <algorithm>
#include <cmath>

namespace sondeco {
namespace {

AcquisitionSettings withHints(const AudioFrontEnd& frontEnd, const EnhancedReceiverSettings& settings) {
    AcquisitionSettings acquisition = acquisitionSettingsFor(frontEnd);
    if (settings.toneHintHz) acquisition.toneHint = *settings.toneHintHz - frontEnd.centreFrequency();
    acquisition.bitRateHint = settings.bitRateHint;
    return acquisition;
}

FrontEndSettings frontEndSettings(const EnhancedReceiverSettings& settings) {
    FrontEndSettings frontEnd;
    frontEnd.inputRate = settings.sampleRate;
    frontEnd.bandLowHz = settings.bandLowHz;
    frontEnd.bandHighHz = settings.bandHighHz;
    return frontEnd;
}

}  // namespace

EnhancedReceiver::EnhancedReceiver(const EnhancedReceiverSettings& settings)
    : settings_(settings),
      blanker_(settings.sampleRate),
      frontEnd_(frontEndSettings(settings)),
      canceller_(frontEnd_.outputRate()),
      baseband_(withHints(frontEnd_, settings)) {}

EnhancedReceiver::~EnhancedReceiver() = default;

void EnhancedReceiver::processAudio(std::span<const double> samples, std::vector<SoftBit>& out) { processSamples(samples, out); }

void EnhancedReceiver::processAudio(std::span<const float> samples, std::vector<SoftBit>& out) { processSamples(samples, out); }

template <typename Sample>
void EnhancedReceiver::processSamples(std::span<const Sample> samples, std::vector<SoftBit>& out) {
    audio_.assign(samples.begin(), samples.end());
    if (settings_.blankImpulses) {
        blanker_.process(audio_, audio_);
        stretches_.clear();
        blanker_.takeBlanked(stretches_);
        // A blanked stretch of audio touches the baseband samples whose filter has it in the main
        // lobe: those within half a cycle of the pass band's edge of it.
        const auto decimation = static_cast<std::int64_t>(frontEnd_.decimation());
        const auto margin = static_cast<std::int64_t>(std::ceil(settings_.sampleRate / (2.0 * frontEnd_.passbandHalfWidth())));
        const auto centreLag = static_cast<std::int64_t>(frontEnd_.filterLength() - 1) / 2;
        for (const BlankedStretch& stretch : stretches_) {
            // Baseband sample n is centred on audio sample (n + 1) * decimation - 1 - centreLag.
            const auto first = static_cast<std::int64_t>(stretch.first) - margin + 1 + centreLag;
            const auto last = static_cast<std::int64_t>(stretch.end) - 1 + margin + 1 + centreLag;
            const std::int64_t from = std::max<std::int64_t>(0, (first + decimation - 1) / decimation - 1);
            const std::int64_t to = std::max<std::int64_t>(0, last / decimation);  // one past the last
            // The carrier canceller delays the baseband.
            const auto delay = static_cast<std::int64_t>(canceller_.delay());
            if (to > from) baseband_.markDamaged(static_cast<std::uint64_t>(from + delay), static_cast<std::uint64_t>(to + delay));
        }
        statistics_.blankedSamples = blanker_.blankedSamples();
        statistics_.impulses = blanker_.impulses();
    }

    basebandBlock_.clear();
    frontEnd_.process(std::span<const double>(audio_), basebandBlock_);
    canceller_.process(basebandBlock_);
    carrierEdges_.clear();
    canceller_.takeBlanked(carrierEdges_);
    for (const auto& [first, end] : carrierEdges_) baseband_.markDamaged(first, end);
    baseband_.process(basebandBlock_, out);
    takeBasebandStatistics();
}

void EnhancedReceiver::noValidWordsFor(double seconds) {
    baseband_.noValidWordsFor(seconds);
    takeBasebandStatistics();
}

void EnhancedReceiver::takeBasebandStatistics() {
    const BasebandReceiverStatistics& statistics = baseband_.statistics();
    statistics_.acquisitions = statistics.acquisitions;
    statistics_.beaconsLost = statistics.beaconsLost;
    statistics_.detectorGaveUp = statistics.detectorGaveUp;
    statistics_.wordLayerRestarts = statistics.wordLayerRestarts;
}

std::optional<double> EnhancedReceiver::toneHz() const {
    const auto tone = baseband_.toneHz();
    if (!tone) return std::nullopt;
    return *tone + frontEnd_.centreFrequency();
}

}  // namespace sondeco
