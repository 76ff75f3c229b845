// SPDX-License-Identifier: GPL-3.0-or-later
// Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac, three data words per beacon. Layout:
// AlmanacEntry in message_layouts.h.
#include "rtcm/json_format.h"
#include "rtcm/message_families.h"
#include "rtcm/message_layouts.h"
#include "rtcm/message_pages.h"
#include "rtcm/reference_station.h"
#include "rtcm/text_format.h"

#include <algorithm>
#include <array>

namespace sondeco {
namespace {

constexpr std::array<const char*, 4> BeaconHealthTexts{"Operation Normal", "No Monitoring", "No Information", "Do Not Use"};

const char* bitRateName(int bitRate) {
    const auto found = std::find(AlmanacBitRates.begin(), AlmanacBitRates.end(), bitRate);
    return BitRateNames[static_cast<std::size_t>(found - AlmanacBitRates.begin())];
}

}  // namespace

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

void buildBeaconAlmanacPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages) {
    const int page = pageOfType(frame.messageType);
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] +
                       "\r\nTx ID  \tFrequency      \tLatitude       \tLongitude      \tRange  \tBit Rate\tHealth";
    for (const BeaconAlmanacEntry& entry : message.almanac) {
        text += "\r\n";
        text += padCell(zeroPadded(entry.stationId, 3), 0);
        text += padCell(fixed(entry.frequency, 1) + " kHz", 1);
        text += padCell(formatAngle(entry.latitude, true, false), 1);
        text += padCell(formatAngle(entry.longitude, false, false), 1);
        text += padCell(std::to_string(entry.range) + " km", 0);
        text += padCell(bitRateName(entry.bitRate), 0);
        text += BeaconHealthTexts[static_cast<std::size_t>(entry.health)];
    }
    pages.publishPage(page, std::move(text));
}

void writeBeaconAlmanacJson(const RtcmFrame&, const DecodedMessage& message, std::string& json) {
    json += ",\"satellites\":[";
    bool first = true;
    for (const BeaconAlmanacEntry& entry : message.almanac) {
        json += first ? "{\"lat\":" : ",{\"lat\":";
        first = false;
        appendJsonFixed(json, entry.latitude, 4);
        json += ",\"lon\":";
        appendJsonFixed(json, entry.longitude, 4);
        json += ",\"range\":";
        appendJsonInteger(json, entry.range);
        json += ",\"frequency\":";
        appendJsonFixed(json, entry.frequency, 1);
        json += ",\"health\":";
        appendJsonInteger(json, entry.health);
        json += ",\"station_id\":";
        appendJsonInteger(json, entry.stationId);
        json += ",\"bitrate\":";
        appendJsonInteger(json, entry.bitRate);
        json += '}';
    }
    json += ']';
}

}  // namespace sondeco
