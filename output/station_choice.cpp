// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/station_choice.h"

#include "output/station_table.h"

#include <cmath>

namespace sondeco {

OneStationFeed::OneStationFeed(DecoderListener& target, StationChoice choice) : target_(target), choice_(choice) {}

bool OneStationFeed::sameFrequency(const Source& source, const DecodedMessage& message) const {
    const auto& heard = message.reception.toneHz;
    if (!source.frequencyHz || !heard) return source.frequencyHz.has_value() == heard.has_value();
    return std::fabs(*source.frequencyHz - *heard) <= SameStationToleranceHz;
}

void OneStationFeed::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    const Source source{frame.stationId, message.reception.toneHz, message.reception.absoluteFrequency};
    if (choice_.stationId && frame.stationId != *choice_.stationId) return;
    if (choice_.frequencyHz &&
        (!message.reception.toneHz || std::fabs(*message.reception.toneHz - *choice_.frequencyHz) > SameStationToleranceHz))
        return;
    if (followed_ && !sameFrequency(*followed_, message)) {
        if (!choice_.chosen() && !conflict_) conflict_ = source;
        return;
    }
    // Followed where it goes: a receiver's tuning drifts, the beacon stays the same.
    followed_ = source;
    target_.frameCompleted(frame, message);
}

std::string OneStationFeed::conflictText() const {
    if (!conflict_ || !followed_) return {};
    const auto describe = [](const Source& source) {
        return "station " + std::to_string(source.stationId) + " on " + formatStationFrequency(source.frequencyHz, source.absolute);
    };
    return describe(*conflict_) + " besides " + describe(*followed_);
}

}  // namespace sondeco
