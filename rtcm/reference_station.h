// SPDX-License-Identifier: GPL-3.0-or-later
// Reference station position: ECEF to WGS-84 geodetic, and the angle and link texts the station and
// almanac pages show.
#pragma once

#include <string>

namespace sondeco {

// Any public web map whose "/maps" page takes q=lat,lon(label) and z.
inline constexpr const char* MapLinkBase = "https://maps.google.com/maps";

struct GeodeticPosition {
    double latitude;  // degrees
    double longitude;  // degrees
    double height;  // metres above the ellipsoid
};

// One pass of Bowring's closed formula (no iteration). Undefined for X = Y = 0.
GeodeticPosition ecefToGeodetic(double x, double y, double z);

// The latitude, longitude and height cells, a blank line and the map link for the station.
std::string formatStationPosition(double x, double y, double z, int stationId);

// "N35-07-24.44": hemisphere letter (zero counts as S or W), degrees, minutes, seconds and optionally
// hundredths, each truncated, never carried into the next unit.
std::string formatAngle(double value, bool isLatitude, bool withHundredths);

}  // namespace sondeco
