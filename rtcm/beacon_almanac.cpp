// SPDX-License-Identifier: GPL-3.0-or-later
// Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac, three data words per beacon. Layout:
// AlmanacEntry in message_layouts.h.
#include "rtcm/message_decoders.h"
#include "rtcm/message_layouts.h"

namespace sondeco {

void decodeBeaconAlmanac(const RtcmFrame& frame, DecodedMessage& message) {
    using namespace AlmanacEntry;
    const auto& bits = frame.dataWords;
    const int count = frame.frameLength / WordsPerEntry;
    message.almanac.resize(static_cast<std::size_t>(count));
    for (int j = 0; j < count; ++j) {
        const int base = Bits * j;
        BeaconAlmanacEntry& entry = message.almanac[static_cast<std::size_t>(j)];
        entry.latitude = getSignedField(bits, base, Latitude) * LatitudeScale / AngleSteps;
        entry.longitude = getSignedField(bits, base, Longitude) * LongitudeScale / AngleSteps;
        entry.range = getField(bits, base, Range);
        entry.frequency = getField(bits, base, Frequency) * FrequencyStep + FrequencyBase;
        entry.health = getField(bits, base, Health);
        entry.stationId = getField(bits, base, StationId);
        entry.bitRate = AlmanacBitRates[static_cast<std::size_t>(getField(bits, base, BitRateCode))];
        entry.modulationCode = getField(bits, base, ModulationCode);
        entry.synchronisationType = getField(bits, base, SynchronisationType);
        entry.broadcastCoding = getField(bits, base, BroadcastCoding);
    }
}

}  // namespace sondeco
