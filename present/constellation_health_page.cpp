// SPDX-License-Identifier: GPL-3.0-or-later
// The page and JSON of constellation health (types 5, 33).
#include "present/json_format.h"
#include "present/message_pages.h"
#include "present/page_builders.h"
#include "present/text_format.h"

namespace sondeco {

void buildConstellationHealthPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages) {
    const bool glonass = frame.messageType == 33;
    const int page = pageOfType(frame.messageType);
    // The heading starts with a lone CR: the text box takes it as a line end, so one empty line
    // separates it from the title.
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] + "\rSat ID \tNavi   \tHealth \tC/N    \tDGPS   \tNew    \tWarning";
    for (const SatelliteHealth& entry : message.health) {
        text += "\r\n";
        text += padCell(zeroPadded(entry.satelliteId, 2), 0);
        if (entry.dataHealth == 0) {
            text += padCell("OK", 0) + padCell("-", 0);
        } else {
            text += padCell("NG", 0) + padCell(entry.healthEnable ? "OK" : "NG", 0);
        }
        text += padCell(entry.carrierToNoise == 0 ? "N/A dB" : std::to_string(entry.carrierToNoise) + " dB", 0);
        if (glonass) {
            text += padCell(entry.issueOfDataLink ? "-" : "31,34", 0);
            text += padCell(entry.newNavigationData ? "Tb" : "-", 0);
        } else {
            text += padCell(entry.issueOfDataLink ? "2" : "1,9", 0);
            text += padCell(entry.newNavigationData ? "IOD" : "-", 0);
        }
        text += entry.lossOfSatelliteWarning ? std::to_string(entry.timeToUnhealthy) + " min" : "Non";
    }
    pages.publishPage(page, std::move(text));
}

void writeConstellationHealthJson(const RtcmFrame&, const DecodedMessage& message, std::string& json) {
    json += ",\"satellites\":[";
    bool first = true;
    for (const SatelliteHealth& entry : message.health) {
        json += first ? "{\"ident\":" : ",{\"ident\":";
        first = false;
        appendJsonInteger(json, entry.satelliteId);
        json += ",\"iodl\":";
        json += jsonBoolean(entry.issueOfDataLink);
        json += ",\"health\":";
        appendJsonInteger(json, entry.dataHealth);
        json += ",\"snr\":";
        appendJsonInteger(json, entry.carrierToNoise == 0 ? -1 : entry.carrierToNoise);  // gpsd's "not available"
        json += ",\"health_en\":";
        json += jsonBoolean(entry.healthEnable);
        json += ",\"new_data\":";
        json += jsonBoolean(entry.newNavigationData);
        json += ",\"los_warning\":";
        json += jsonBoolean(entry.lossOfSatelliteWarning);
        json += ",\"tou\":";
        appendJsonInteger(json, entry.timeToUnhealthy);
        json += '}';
    }
    json += ']';
}

}  // namespace sondeco
