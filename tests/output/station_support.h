// SPDX-License-Identifier: GPL-3.0-or-later
// Frames as several channels' decoders would report them, and a clock the test sets, for the station
// table and frame log tests.
#pragma once

#include "output/station_table.h"
#include "rtcm/decoder_listener.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace sondeco::testing {

struct TestClock {
    double now = 1.7e9;  // 2023-11-14 22:13:20 UTC
    WallClock clock() {
        return [this] { return now; };
    }
};

struct HeardFrame {
    RtcmFrame frame;
    DecodedMessage message;
};

inline HeardFrame heardFrame(int stationId, int type, std::optional<double> hz, int zCount, std::vector<std::uint32_t> words = {}) {
    HeardFrame heard;
    heard.frame.stationId = stationId;
    heard.frame.messageType = type;
    heard.frame.zCount = zCount;
    heard.frame.sequenceNumber = zCount % 8;
    heard.frame.frameLength = static_cast<int>(words.size());
    for (std::size_t word = 0; word < words.size(); ++word) heard.frame.dataWords[word] = words[word];
    heard.message.dataWords = std::move(words);
    heard.message.reception.toneHz = hz;
    heard.message.reception.absoluteFrequency = hz && *hz > 100000.0;
    heard.message.reception.bitRate = hz ? std::optional(200) : std::nullopt;
    heard.message.reception.ebN0Db = hz ? std::optional(10.0 + zCount % 7) : std::nullopt;
    return heard;
}

// The ECEF point of a WGS-84 latitude, longitude (degrees) and height (m): the textbook forward
// formula, to check the table's way back against.
inline ReferenceStationPosition ecefOf(double latitude, double longitude, double height) {
    constexpr double a = 6378137.0;
    constexpr double e2 = 6.69437999014e-3;
    const double phi = latitude * M_PI / 180.0;
    const double lambda = longitude * M_PI / 180.0;
    const double n = a / std::sqrt(1.0 - e2 * std::sin(phi) * std::sin(phi));
    return {(n + height) * std::cos(phi) * std::cos(lambda), (n + height) * std::cos(phi) * std::sin(lambda),
            (n * (1.0 - e2) + height) * std::sin(phi)};
}

inline HeardFrame stationFrame(int stationId, double hz, int zCount, const ReferenceStationPosition& ecef) {
    HeardFrame heard = heardFrame(stationId, 3, hz, zCount, {0x123456, 0x789abc, 0xdef012, 0x345678});
    heard.message.family = MessageFamily::ReferenceStation;
    heard.message.hasStation = true;
    heard.message.station = ecef;
    return heard;
}

}  // namespace sondeco::testing
