// SPDX-License-Identifier: GPL-3.0-or-later
// How a position reads on the pages: angles as degrees, minutes and seconds, and a link to a map.
#pragma once

#include <string>

namespace sondeco {

// Any public web map whose "/maps" page takes q=lat,lon(label) and z.
inline constexpr const char* MapLinkBase = "https://maps.google.com/maps";

// The latitude, longitude and height cells, a blank line and the map link for the station.
std::string formatStationPosition(double x, double y, double z, int stationId);

// "N35-07-24.44": hemisphere letter (zero counts as S or W), degrees, minutes, seconds and optionally
// hundredths, each truncated, never carried into the next unit.
std::string formatAngle(double value, bool isLatitude, bool withHundredths);

}  // namespace sondeco
