// SPDX-License-Identifier: GPL-3.0-or-later
// Types 5 (GPS) and 33 (GLONASS): constellation health, one data word per satellite. Layout:
// HealthWord in message_layouts.h.
#include "rtcm/message_decoders.h"
#include "rtcm/message_layouts.h"

namespace sondeco {

void decodeConstellationHealth(const RtcmFrame& frame, DecodedMessage& message) {
    using namespace HealthWord;
    const auto& bits = frame.dataWords;
    message.health.resize(static_cast<std::size_t>(frame.frameLength));
    for (int i = 0; i < frame.frameLength; ++i) {
        const int w = DataBitsPerWord * i;
        SatelliteHealth& entry = message.health[static_cast<std::size_t>(i)];
        const int satellite = getField(bits, w, SatelliteId);
        entry.satelliteId = satellite == 0 ? 32 : satellite;
        entry.issueOfDataLink = getField(bits, w, IssueOfDataLink) != 0;
        entry.dataHealth = getField(bits, w, DataHealth);
        const int carrierToNoise = getField(bits, w, CarrierToNoise);
        entry.carrierToNoise = carrierToNoise == 0 ? 0 : carrierToNoise + CarrierToNoiseOffset;
        entry.healthEnable = getField(bits, w, HealthEnable) != 0;
        entry.newNavigationData = getField(bits, w, NewNavigationData) != 0;
        entry.lossOfSatelliteWarning = getField(bits, w, LossOfSatelliteWarning) != 0;
        entry.timeToUnhealthy = getField(bits, w, TimeToUnhealthy) * MinutesPerUnhealthyStep;
    }
}

}  // namespace sondeco
