// SPDX-License-Identifier: GPL-3.0-or-later
// Reference station position: ECEF to WGS-84 geodetic.
#pragma once

namespace sondeco {

struct GeodeticPosition {
    double latitude;  // degrees
    double longitude;  // degrees
    double height;  // metres above the ellipsoid
};

// One pass of Bowring's closed formula (no iteration). Undefined for X = Y = 0.
GeodeticPosition ecefToGeodetic(double x, double y, double z);

}  // namespace sondeco
