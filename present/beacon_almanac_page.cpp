// SPDX-License-Identifier: GPL-3.0-or-later
// The page and JSON of the radiobeacon almanac (types 7, 35).
#include "present/json_format.h"
#include "present/message_pages.h"
#include "present/page_builders.h"
#include "present/reference_station_text.h"
#include "present/text_format.h"
#include "rtcm/message_layouts.h"

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
