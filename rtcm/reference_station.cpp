// SPDX-License-Identifier: GPL-3.0-or-later
// Types 3 (GPS) and 32 (GLONASS): reference station parameters. Layout: StationPosition in
// message_layouts.h (ECEF X, Y, Z in the first 96 bits).
#include "rtcm/reference_station.h"

#include "rtcm/json_format.h"
#include "rtcm/message_families.h"
#include "rtcm/message_layouts.h"
#include "rtcm/message_pages.h"
#include "rtcm/text_format.h"

#include <cmath>
#include <numbers>

namespace sondeco {
namespace {

constexpr double SemiMajorAxis = 6378137.0;  // WGS-84 a, m
constexpr double SemiMinorAxis = 6356752.3142;  // WGS-84 b, m

double toDegrees(double radians) { return radians * 180.0 * std::numbers::inv_pi; }

}  // namespace

GeodeticPosition ecefToGeodetic(double x, double y, double z) {
    const double a = SemiMajorAxis;
    const double b = SemiMinorAxis;
    const double e2 = (std::pow(a, 2) - std::pow(b, 2)) / std::pow(a, 2);
    const double ep2 = (std::pow(a, 2) - std::pow(b, 2)) / std::pow(b, 2);
    const double p = std::sqrt(std::pow(x, 2) + std::pow(y, 2));
    const double theta = std::atan((z * a) / (p * b));
    const double lambda = std::atan2(y, x);
    const double phi = std::atan2(z + ep2 * b * std::pow(std::sin(theta), 3), p - e2 * a * std::pow(std::cos(theta), 3));
    const double n = std::pow(a, 2) / std::sqrt(std::pow(a, 2) * std::pow(std::cos(phi), 2) + std::pow(b, 2) * std::pow(std::sin(phi), 2));
    const double h = p / std::cos(phi) - n;
    return {toDegrees(phi), toDegrees(lambda), h};
}

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

void decodeReferenceStation(const RtcmFrame& frame, DecodedMessage& message) {
    // The page reads the three coordinates whatever the frame's length (a short frame shows what the
    // rows held before); only a frame of four words or more carries a whole position for other uses.
    const auto& bits = frame.dataWords;
    message.station.x = getSignedField(bits, 0, StationPositionEntry::X) * StationPositionEntry::Step;
    message.station.y = getSignedField(bits, 0, StationPositionEntry::Y) * StationPositionEntry::Step;
    message.station.z = getSignedField(bits, 0, StationPositionEntry::Z) * StationPositionEntry::Step;
    message.hasStation = frame.frameLength >= StationPositionEntry::Words;
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
