// SPDX-License-Identifier: GPL-3.0-or-later
#include "signalgen/simulated_beacon.h"

#include "rtcm/message_builders.h"
#include "rtcm/rtcm_format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace sondeco {

namespace {

// A satellite's correction: a constant part plus a slow swing, as the remaining orbit and clock
// error of a satellite changes over tens of minutes. The range rate is the derivative of the same
// curve, so a receiver extrapolating with it lands on the next correction.
struct SimulatedSatellite {
    int id;
    int issueOfData;  // GPS IOD, GLONASS tb
    double offset;  // m
    double swing;  // m
    double period;  // s
    double phase;  // rad
    int carrierToNoise;  // dB-Hz
    int udre;
};

constexpr std::array<SimulatedSatellite, 9> GpsSatellites{{
    {2, 73, -2.1, 3.0, 1900, 0.3, 44, 0},
    {5, 41, 1.4, 2.5, 2300, 1.1, 41, 0},
    {7, 15, 3.2, 2.0, 1700, 2.0, 47, 0},
    {13, 3, -4.0, 3.5, 2600, 2.9, 39, 1},
    {15, 88, 0.6, 2.2, 2100, 4.0, 45, 0},
    {18, 120, -1.3, 2.8, 1800, 5.1, 43, 0},
    {20, 62, 2.4, 3.1, 2400, 0.8, 46, 0},
    {24, 19, -0.7, 2.6, 2000, 3.6, 40, 1},
    {29, 201, 4.1, 1.9, 2200, 5.7, 42, 0},
}};

constexpr std::array<SimulatedSatellite, 6> GlonassSatellites{{
    {1, 45, 1.8, 2.4, 2000, 0.5, 43, 0},
    {2, 45, -3.3, 2.9, 2500, 1.7, 40, 0},
    {8, 45, 0.9, 3.3, 1800, 2.6, 45, 0},
    {9, 45, -1.6, 2.1, 2200, 3.4, 41, 1},
    {17, 45, 2.7, 2.7, 2100, 4.5, 44, 0},
    {24, 45, -0.4, 3.0, 2400, 5.9, 42, 0},
}};

constexpr int SatellitesPerPartialSet = 3;

// Helgoland, Germany (54.18 N, 7.89 E, 45 m): the island's DGPS beacon, to within a few hundred
// metres. Its almanac entry is the first of the list below.
constexpr ReferenceStationPosition StationPosition{3705477.18, 513234.85, 5148648.49};

// Beacons of the German Bight and its neighbours, positions and frequencies approximate; the
// transmitter IDs are made up.
constexpr std::array<BeaconAlmanacEntry, 4> Beacons{{
    {54.1818, 7.8857, 250, 313.0, 0, 761, 100, 0, 0, 0},
    {53.2894, 9.2667, 250, 303.5, 0, 762, 100, 0, 0, 0},
    {51.9800, 4.1200, 200, 287.5, 0, 730, 200, 0, 0, 0},
    {57.7500, 10.6000, 250, 296.5, 0, 705, 100, 0, 0, 0},
}};

constexpr std::string_view SpecialMessage = "SONDECO TEST SIGNAL - NOT FOR NAVIGATION";

constexpr std::array<int, 12> SimulatedTypes{1, 3, 5, 6, 7, 9, 16, 31, 32, 33, 34, 35};

PseudorangeCorrection correctionAt(const SimulatedSatellite& satellite, double seconds) {
    const double angularRate = 2.0 * std::numbers::pi / satellite.period;
    const double angle = angularRate * seconds + satellite.phase;
    PseudorangeCorrection correction;
    correction.satelliteId = satellite.id;
    correction.udre = satellite.udre;
    correction.pseudorangeCorrection = satellite.offset + satellite.swing * std::sin(angle);
    correction.rangeRateCorrection = satellite.swing * angularRate * std::cos(angle);
    correction.issueOfData = satellite.issueOfData;
    return correction;
}

template <std::size_t N>
std::vector<PseudorangeCorrection> correctionsAt(const std::array<SimulatedSatellite, N>& satellites, double seconds, std::size_t first,
                                                 std::size_t count) {
    std::vector<PseudorangeCorrection> corrections;
    for (std::size_t i = 0; i < std::min(count, N); ++i) {
        corrections.push_back(correctionAt(satellites[(first + i) % N], seconds));
    }
    return corrections;
}

template <std::size_t N>
std::vector<SatelliteHealth> healthOf(const std::array<SimulatedSatellite, N>& satellites) {
    std::vector<SatelliteHealth> health;
    for (const SimulatedSatellite& satellite : satellites) {
        SatelliteHealth entry;
        entry.satelliteId = satellite.id;
        entry.carrierToNoise = satellite.carrierToNoise;
        health.push_back(entry);
    }
    return health;
}

}  // namespace

bool isSimulatedMessageType(int messageType) {
    return std::find(SimulatedTypes.begin(), SimulatedTypes.end(), messageType) != SimulatedTypes.end();
}

std::vector<int> defaultMessageTypes() { return {9, 3, 9, 1, 9, 9, 5, 9, 31, 9, 9, 7, 9, 34, 9, 9, 16, 9, 32, 9, 9, 33, 9, 35}; }

SimulatedBeacon::SimulatedBeacon(BeaconSettings settings)
    // Mixed, so that the noise generators seeded with the same number draw other numbers.
    : settings_(std::move(settings)), random_(settings_.randomContentSeed.value_or(0) ^ 0xc0de5eedc0de5eedULL) {
    if (settings_.messageTypes.empty()) throw std::invalid_argument("no message types to send");
    for (int type : settings_.messageTypes) {
        const bool random = settings_.randomContentSeed.has_value();
        if (random ? type < 0 || type > 63 : !isSimulatedMessageType(type)) {
            throw std::invalid_argument("message type " + std::to_string(type) + " cannot be simulated");
        }
    }
    if (settings_.stationId < 0 || settings_.stationId > 1023) {
        throw std::invalid_argument("station ID " + std::to_string(settings_.stationId) + " is outside 0..1023");
    }
    if (settings_.stationHealth < 0 || settings_.stationHealth > 7) {
        throw std::invalid_argument("station health " + std::to_string(settings_.stationHealth) + " is outside 0..7");
    }
    if (!(settings_.bitRate > 0.0)) throw std::invalid_argument("the bit rate must be positive");
}

BeaconFrame SimulatedBeacon::nextFrame() {
    const double secondsSinceHour = settings_.startSecondsIntoHour + elapsedSeconds();
    BeaconFrame frame;
    frame.header.messageType = settings_.messageTypes[nextTypeIndex_];
    frame.header.stationId = settings_.stationId;
    frame.header.zCount = zCountAt(secondsSinceHour);
    frame.header.sequenceNumber = sequenceNumber_;
    frame.header.stationHealth = settings_.stationHealth;
    frame.dataWords =
        settings_.randomContentSeed ? randomWords(frame.header.messageType) : messageWords(frame.header.messageType, secondsSinceHour);

    nextTypeIndex_ = (nextTypeIndex_ + 1) % settings_.messageTypes.size();
    sequenceNumber_ = (sequenceNumber_ + 1) % 8;
    bitsSent_ += static_cast<std::uint64_t>(WordBitCount) * (frame.dataWords.size() + 2);
    return frame;
}

void SimulatedBeacon::appendNextFrame(std::vector<std::uint8_t>& bits) {
    const BeaconFrame frame = nextFrame();
    encoder_.appendFrameBits(frame.header, frame.dataWords, bits);
}

// A length the type's contents can take, in words: so many satellites (40 bits each), health
// entries (a word each), almanac entries (72 bits), characters (8 bits); any length for a type this
// program does not know.
std::vector<std::uint32_t> SimulatedBeacon::randomWords(int messageType) {
    const auto draw = [this](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
    int length = 0;
    switch (messageType) {
        case 1:
        case 9:
        case 31:
        case 34:
            length = (40 * draw(1, MaxCorrectionsPerFrame) + 23) / 24;
            break;
        case 3:
        case 32:
            length = 4;
            break;
        case 5:
        case 33:
            length = draw(1, MaxHealthEntriesPerFrame);
            break;
        case 7:
        case 35:
            length = 3 * draw(1, MaxAlmanacEntriesPerFrame);
            break;
        case 16:
            length = (draw(1, MaxSpecialMessageLength) + 2) / 3;
            break;
        case 6:
            length = 0;
            break;
        default:
            length = draw(0, MaxDataWords);
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(length));
    for (std::uint32_t& word : words) {
        word = static_cast<std::uint32_t>(random_() & 0xFFFFFFu);
        if (draw(0, 15) == 0) word = (word & 0xFFFFu) | ((draw(0, 1) == 0 ? RtcmPreamble : RtcmPreamble ^ 0xFFu) << 16);
    }
    return words;
}

std::vector<std::uint32_t> SimulatedBeacon::messageWords(int messageType, double secondsSinceHour) {
    switch (messageType) {
        case 1:
            return buildGpsCorrectionWords(correctionsAt(GpsSatellites, secondsSinceHour, 0, GpsSatellites.size()));
        case 9: {
            const std::size_t first = static_cast<std::size_t>(gpsPartialSets_++) * SatellitesPerPartialSet;
            return buildGpsCorrectionWords(
                correctionsAt(GpsSatellites, secondsSinceHour, first % GpsSatellites.size(), SatellitesPerPartialSet));
        }
        case 31:
            return buildGlonassCorrectionWords(correctionsAt(GlonassSatellites, secondsSinceHour, 0, GlonassSatellites.size()));
        case 34: {
            const std::size_t first = static_cast<std::size_t>(glonassPartialSets_++) * SatellitesPerPartialSet;
            return buildGlonassCorrectionWords(
                correctionsAt(GlonassSatellites, secondsSinceHour, first % GlonassSatellites.size(), SatellitesPerPartialSet));
        }
        case 3:
        case 32:
            return buildReferenceStationWords(StationPosition);
        case 5:
            return buildConstellationHealthWords(healthOf(GpsSatellites));
        case 33:
            return buildConstellationHealthWords(healthOf(GlonassSatellites));
        case 7:
            return buildBeaconAlmanacWords(Beacons);
        case 35:
            // The GLONASS almanac lists the beacons that also send GLONASS corrections.
            return buildBeaconAlmanacWords(std::span(Beacons).first(2));
        case 16:
            return buildSpecialMessageWords(SpecialMessage);
        default:
            return {};  // type 6, the null frame
    }
}

}  // namespace sondeco
