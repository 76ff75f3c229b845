// SPDX-License-Identifier: GPL-3.0-or-later
// Types 3 (GPS) and 32 (GLONASS): reference station parameters. Layout: StationPosition in
// message_layouts.h (ECEF X, Y, Z in the first 96 bits).
#include "rtcm/reference_station.h"
#include "rtcm/message_decoders.h"
#include "rtcm/message_layouts.h"

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

void decodeReferenceStation(const RtcmFrame& frame, DecodedMessage& message) {
    // The page reads the three coordinates whatever the frame's length (a short frame shows what the
    // rows held before); only a frame of four words or more carries a whole position for other uses.
    const auto& bits = frame.dataWords;
    message.station.x = getSignedField(bits, 0, StationPositionEntry::X) * StationPositionEntry::Step;
    message.station.y = getSignedField(bits, 0, StationPositionEntry::Y) * StationPositionEntry::Step;
    message.station.z = getSignedField(bits, 0, StationPositionEntry::Z) * StationPositionEntry::Step;
    message.hasStation = frame.frameLength >= StationPositionEntry::Words;
}

}  // namespace sondeco
