// SPDX-License-Identifier: GPL-3.0-or-later
// Generated frames read back by an independent decoder, gpsd's gpsdecode: what goes in must come
// out, field by field, for every message type gpsd understands.

#include "rtcm/message_builders.h"
#include "rtcm/serial_format.h"
#include "signalgen/simulated_beacon.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>

namespace sondeco {
namespace {

using testing::jsonNumbers;

constexpr const char* Gpsdecode = "/usr/bin/gpsdecode";

// gpsd's JSON line for each frame, in order.
std::vector<std::string> decodeWithGpsd(const std::vector<BeaconFrame>& frames) {
    EXPECT_TRUE(std::filesystem::exists(Gpsdecode)) << "gpsd-clients is not installed (scripts/install-deps)";
    RtcmEncoder encoder;
    SerialWriter writer;
    for (const BeaconFrame& frame : frames) {
        std::vector<std::uint8_t> bits;
        encoder.appendFrameBits(frame.header, frame.dataWords, bits);
        for (std::uint8_t bit : bits) writer.pushBit(bit);
    }
    const auto input = testing::scratchPath("frames.rtcm2");
    std::ofstream(input, std::ios::binary) << writer.takeBytes();
    const auto result = testing::runCommand(std::string(Gpsdecode) + " -j <'" + input.string() + "'");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return testing::lines(result.output);
}

void expectNumbers(const std::string& line, const std::string& key, const std::vector<double>& expected, double tolerance) {
    const auto actual = jsonNumbers(line, key);
    ASSERT_EQ(actual.size(), expected.size()) << key << " in " << line;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], tolerance) << key << " " << i << " in " << line;
    }
}

TEST(GpsdCrosscheck, FieldValuesComeBackForEveryTypeGpsdDecodes) {
    const std::vector<PseudorangeCorrection> gps{
        {5, 1, 12.34, -0.012, 123}, {32, 0, -700.0, 1.0, 7}, {17, 2, 0.0, 0.0, 255}, {30, 3, 655.34, 0.254, 1}};
    const std::vector<PseudorangeCorrection> glonass{{1, 0, 1.8, -0.004, 45, true}, {24, 1, -3.3, 0.01, 127, false}};
    const std::vector<SatelliteHealth> health{{3, true, 0, 45, false, true, false, 0}, {32, false, 5, 0, true, false, true, 35}};
    const std::vector<BeaconAlmanacEntry> beacons{{54.1818, 7.8857, 250, 313.0, 0, 761, 100, 0, 0, 0},
                                                  {-33.9, -151.2, 1023, 599.5, 3, 1023, 300, 1, 1, 1}};
    const std::vector<BeaconFrame> frames{
        {{1, 491, 1234, 0, 0}, buildGpsCorrectionWords(gps)},
        {{9, 491, 1235, 1, 1}, buildGpsCorrectionWords(std::span(gps).first(1))},
        {{3, 491, 5999, 2, 2}, buildReferenceStationWords({3705477.18, -513234.85, 5148648.49})},
        {{5, 491, 0, 3, 3}, buildConstellationHealthWords(health)},
        {{7, 1023, 17, 4, 4}, buildBeaconAlmanacWords(beacons)},
        {{16, 0, 18, 5, 5}, buildSpecialMessageWords("Test signal, 3 chars a word!")},
        {{31, 491, 19, 6, 6}, buildGlonassCorrectionWords(glonass)},
    };
    const auto decoded = decodeWithGpsd(frames);
    ASSERT_EQ(decoded.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        // The header fields come first in each line (type 7 repeats "station_id" for each beacon).
        const RtcmHeader& h = frames[i].header;
        const double length = static_cast<double>(frames[i].dataWords.size());
        for (const auto& [key, value] : std::vector<std::pair<const char*, double>>{{"type", h.messageType},
                                                                                    {"station_id", h.stationId},
                                                                                    {"zcount", h.zCount * 0.6},
                                                                                    {"seqnum", h.sequenceNumber},
                                                                                    {"length", length},
                                                                                    {"station_health", h.stationHealth}}) {
            EXPECT_NEAR(jsonNumbers(decoded[i], key).at(0), value, 1e-6) << key << " in " << decoded[i];
        }
    }
    // gpsd shows satellite 32 as its field value 0; -700 m and 1 m/s need the coarse scale. Latitude
    // and longitude travel in steps of 90/32767 and 180/32767 degree, and gpsd prints 4 decimals.
    const double latitudeStep = 90.0 / 32767 / 2 + 5e-5, longitudeStep = 180.0 / 32767 / 2 + 5e-5;
    const std::vector<std::tuple<int, const char*, std::vector<double>, double>> expected{
        {0, "ident", {5, 0, 17, 30}, 0},
        {0, "udre", {1, 0, 2, 3}, 0},
        {0, "iod", {123, 7, 255, 1}, 0},
        {0, "prc", {12.34, -700.16, 0.0, 655.34}, 1e-6},
        {0, "rrc", {-0.012, 0.992, 0.0, 0.254}, 1e-6},
        {1, "prc", {12.34}, 1e-6},
        {2, "x", {3705477.18}, 1e-6},
        {2, "y", {-513234.85}, 1e-6},
        {2, "z", {5148648.49}, 1e-6},
        {3, "ident", {3, 0}, 0},
        {3, "iodl", {1, 0}, 0},
        {3, "health", {0, 5}, 0},
        {3, "snr", {45, -1}, 0},
        {3, "health_en", {0, 1}, 0},
        {3, "new_data", {1, 0}, 0},
        {3, "los_warning", {0, 1}, 0},
        {3, "tou", {0, 35}, 0},
        {4, "lat", {54.1818, -33.9}, latitudeStep},
        {4, "lon", {7.8857, -151.2}, longitudeStep},
        {4, "range", {250, 1023}, 0},
        {4, "frequency", {313.0, 599.5}, 1e-6},
        {4, "health", {0, 3}, 0},
        {4, "station_id", {1023, 761, 1023}, 0},
        {4, "bitrate", {100, 300}, 0},
        {6, "ident", {1, 24}, 0},
        {6, "change", {1, 0}, 0},
        {6, "tod", {45, 127}, 0},
        {6, "prc", {1.8, -3.3}, 1e-6},
        {6, "rrc", {-0.004, 0.01}, 1e-6},
    };
    for (const auto& [frame, key, values, tolerance] : expected) {
        expectNumbers(decoded[static_cast<std::size_t>(frame)], key, values, tolerance);
    }
    EXPECT_NE(decoded[5].find("\"message\":\"Test signal, 3 chars a word!\""), std::string::npos) << decoded[5];
}

// What sondeco-gen sends by default, read by gpsd: the type mix in turn, sequence numbers 0..7, a
// Z-count that follows the transmission time across the top of the hour, corrections of a few
// metres for real satellites, the station's position, beacons in the band, a readable text.
TEST(GpsdCrosscheck, SimulatedBeaconReadsLikeALiveStation) {
    BeaconSettings settings;
    settings.startSecondsIntoHour = 5990 * 0.6;
    settings.bitRate = 100.0;
    SimulatedBeacon beacon(settings);
    std::vector<BeaconFrame> frames;
    std::vector<double> startTimes;
    for (int i = 0; i < 48; ++i) {
        startTimes.push_back(std::fmod(settings.startSecondsIntoHour + beacon.elapsedSeconds(), 3600.0));
        frames.push_back(beacon.nextFrame());
    }
    const auto decoded = decodeWithGpsd(frames);
    ASSERT_EQ(decoded.size(), frames.size());
    const auto types = defaultMessageTypes();
    int wraps = 0;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const std::string& line = decoded[i];
        EXPECT_EQ(jsonNumbers(line, "type").front(), types[i % types.size()]) << line;
        EXPECT_EQ(jsonNumbers(line, "seqnum").front(), static_cast<double>(i % 8)) << line;
        const double zCount = jsonNumbers(line, "zcount").front();
        EXPECT_LE(zCount, startTimes[i] + 1e-6);
        EXPECT_GT(zCount, startTimes[i] - 0.6 - 1e-6);
        wraps += i > 0 && zCount < jsonNumbers(decoded[i - 1], "zcount").front();

        for (double prc : jsonNumbers(line, "prc")) EXPECT_LT(std::fabs(prc), 10.0) << line;
        for (double rrc : jsonNumbers(line, "rrc")) EXPECT_LT(std::fabs(rrc), 0.02) << line;
        for (double frequency : jsonNumbers(line, "frequency")) {
            EXPECT_TRUE(frequency >= 283.5 && frequency <= 325) << line;
        }
        if (types[i % types.size()] == 3) expectNumbers(line, "x", {3705477.18}, 1e-6);
        if (types[i % types.size()] == 16) {
            EXPECT_NE(line.find("\"message\":\"SONDECO TEST SIGNAL"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(wraps, 1);
}

}  // namespace
}  // namespace sondeco
