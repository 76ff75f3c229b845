// SPDX-License-Identifier: GPL-3.0-or-later
// The page and JSON of a reference station (types 3, 32), and the angle and map-link texts it and the
// almanac page show.
#include "present/json_format.h"
#include "present/message_pages.h"
#include "present/page_builders.h"
#include "present/reference_station_text.h"
#include "present/text_format.h"
#include "rtcm/reference_station.h"

#include <cmath>

namespace sondeco {

std::string formatAngle(double value, bool isLatitude, bool withHundredths) {
    if (!std::isfinite(value)) return "N/A";
    char letter = isLatitude ? 'N' : 'E';
    if (!(value > 0)) {
        letter = isLatitude ? 'S' : 'W';
        value = value * -1;
    }
    const int degrees = static_cast<int>(value);
    double rest = value - degrees;
    rest = rest * 60;
    const int minutes = static_cast<int>(rest);
    rest = rest - minutes;
    rest = rest * 60;
    const int seconds = static_cast<int>(rest);
    rest = rest - seconds;
    rest = rest * 100;
    const int hundredths = static_cast<int>(rest);

    std::string text = std::string(1, letter) + std::to_string(degrees) + "-" + zeroPadded(minutes, 2) + "-" + zeroPadded(seconds, 2);
    if (withHundredths) {
        text += '.';  // appended separately: GCC 12 -O3 gives a false -Wrestrict on "." + std::string
        text += zeroPadded(hundredths, 2);
    }
    return text;
}

std::string formatStationPosition(double x, double y, double z, int stationId) {
    // On the polar axis the horizontal distance is zero and the closed formula divides by it: say
    // so instead of printing nan, and leave out a link that would point nowhere.
    if (x == 0.0 && y == 0.0) return padCell("N/A", 1) + padCell("N/A", 1) + "N/A";
    const GeodeticPosition position = ecefToGeodetic(x, y, z);
    return padCell(formatAngle(position.latitude, true, true), 1) + padCell(formatAngle(position.longitude, false, true), 1) +
           fixed(position.height, 1) + " m" + "\r\n\r\n" + MapLinkBase + "?q=" + fixed(position.latitude, 6) + "," +
           fixed(position.longitude, 6) + "(" + zeroPadded(stationId, 3) + ")" + "&z=6";
}

void buildReferenceStationPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages) {
    const auto& [x, y, z] = message.station;
    const int page = pageOfType(frame.messageType);
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] + "\r\n";
    text += padCell("ECEF X", 1) + padCell("ECEF Y", 1) + "ECEF Z\r\n";
    text += padCell(fixed(x, 2) + "m", 1) + padCell(fixed(y, 2) + "m", 1) + fixed(z, 2) + "m\r\n";
    text += padCell("Latitude", 1) + padCell("Longitude", 1) + "Altitude\r\n";
    text += formatStationPosition(x, y, z, frame.stationId);
    pages.publishPage(page, std::move(text));
}

void writeReferenceStationJson(const RtcmFrame&, const DecodedMessage& message, std::string& json) {
    // A frame too short to hold the position carries none.
    if (!message.hasStation) return;
    json += ",\"x\":";
    appendJsonFixed(json, message.station.x, 2);
    json += ",\"y\":";
    appendJsonFixed(json, message.station.y, 2);
    json += ",\"z\":";
    appendJsonFixed(json, message.station.z, 2);
}

}  // namespace sondeco
