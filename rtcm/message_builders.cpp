#include "rtcm/message_builders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

constexpr int WordBits = 24;

void requireRange(long long value, long long low, long long high, const char* field) {
    if (value < low || value > high) {
        throw std::invalid_argument(std::string(field) + " " + std::to_string(value) + " is outside " +
                                    std::to_string(low) + ".." + std::to_string(high));
    }
}

void requireCount(std::size_t count, int maximum, const char* what) {
    if (count > static_cast<std::size_t>(maximum)) {
        throw std::invalid_argument(std::string("at most ") + std::to_string(maximum) + " " + what +
                                    " fit in a frame, not " + std::to_string(count));
    }
}

// A physical value in whole field steps, rounded to nearest and held inside [low, high].
std::int64_t quantise(double value, double step, std::int64_t low, std::int64_t high) {
    const double steps = std::round(value / step);
    if (!(steps >= static_cast<double>(low))) return low;  // also catches NaN
    if (steps > static_cast<double>(high)) return high;
    return static_cast<std::int64_t>(steps);
}

// Satellite 32 has no room in a 5-bit field and goes out as 0.
std::int64_t satelliteField(int satelliteId) {
    requireRange(satelliteId, 1, 32, "satellite ID");
    return satelliteId % 32;
}

constexpr double FinePrcStep = 0.02, CoarsePrcStep = 0.32;
constexpr double FineRrcStep = 0.002, CoarseRrcStep = 0.032;
constexpr std::int64_t PrcNotAvailable = -32768, RrcNotAvailable = -128;

bool fitsFineScale(const PseudorangeCorrection& correction) {
    if (correction.forceCoarseScale) return false;
    // The most negative pattern of each field means "not available", so a value must stay inside
    // the symmetric range to be sent on the fine scale.
    if (correction.pseudorangeCorrection &&
        !(std::fabs(std::round(*correction.pseudorangeCorrection / FinePrcStep)) <= 32767)) {
        return false;
    }
    if (correction.rangeRateCorrection &&
        !(std::fabs(std::round(*correction.rangeRateCorrection / FineRrcStep)) <= 127)) {
        return false;
    }
    return true;
}

enum class CorrectionSystem { gps, glonass };

std::vector<std::uint32_t> buildCorrections(std::span<const PseudorangeCorrection> corrections,
                                            CorrectionSystem system) {
    requireCount(corrections.size(), MaxCorrectionsPerFrame, "corrections");
    DataWordPacker packer;
    for (const PseudorangeCorrection& correction : corrections) {
        requireRange(correction.udre, 0, 3, "UDRE");
        if (system == CorrectionSystem::gps) {
            requireRange(correction.issueOfData, 0, 255, "IOD");
        } else {
            requireRange(correction.issueOfData, 0, 127, "tb");
        }
        const bool fine = fitsFineScale(correction);
        packer.put(fine ? 0 : 1, 1);
        packer.put(correction.udre, 2);
        packer.put(satelliteField(correction.satelliteId), 5);
        packer.put(correction.pseudorangeCorrection
                       ? quantise(*correction.pseudorangeCorrection, fine ? FinePrcStep : CoarsePrcStep, -32767, 32767)
                       : PrcNotAvailable,
                   16);
        packer.put(correction.rangeRateCorrection
                       ? quantise(*correction.rangeRateCorrection, fine ? FineRrcStep : CoarseRrcStep, -127, 127)
                       : RrcNotAvailable,
                   8);
        if (system == CorrectionSystem::gps) {
            packer.put(correction.issueOfData, 8);
        } else {
            packer.put(correction.ephemerisChanged ? 1 : 0, 1);
            packer.put(correction.issueOfData, 7);
        }
    }
    return packer.finish();
}

int bitRateCode(int bitRate) {
    static constexpr std::array<int, 8> Rates{25, 50, 100, 110, 150, 200, 250, 300};
    const auto found = std::find(Rates.begin(), Rates.end(), bitRate);
    if (found == Rates.end()) {
        throw std::invalid_argument("bit rate " + std::to_string(bitRate) + " has no almanac code");
    }
    return static_cast<int>(found - Rates.begin());
}

}  // namespace

void DataWordPacker::put(std::int64_t value, int width) {
    if (width < 0 || width > 32) throw std::invalid_argument("field width " + std::to_string(width));
    for (int i = width - 1; i >= 0; --i) {
        current_ = current_ << 1 | static_cast<std::uint32_t>(value >> i & 1);
        if (++bitCount_ % WordBits == 0) {
            words_.push_back(current_);
            current_ = 0;
        }
    }
}

std::vector<std::uint32_t> DataWordPacker::finish() const {
    std::vector<std::uint32_t> words = words_;
    const int used = bitCount_ % WordBits;
    if (used > 0) {
        std::uint32_t last = current_;
        for (int i = 0; i < WordBits - used; ++i) last = last << 1 | (i % 2 == 0 ? 1u : 0u);
        words.push_back(last);
    }
    return words;
}

std::vector<std::uint32_t> buildGpsCorrectionWords(std::span<const PseudorangeCorrection> corrections) {
    return buildCorrections(corrections, CorrectionSystem::gps);
}

std::vector<std::uint32_t> buildGlonassCorrectionWords(std::span<const PseudorangeCorrection> corrections) {
    return buildCorrections(corrections, CorrectionSystem::glonass);
}

std::vector<std::uint32_t> buildReferenceStationWords(const ReferenceStationPosition& position) {
    DataWordPacker packer;
    for (double coordinate : {position.x, position.y, position.z}) {
        packer.put(quantise(coordinate, 0.01, std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max()), 32);
    }
    return packer.finish();
}

std::vector<std::uint32_t> buildConstellationHealthWords(std::span<const SatelliteHealth> satellites) {
    requireCount(satellites.size(), MaxHealthEntriesPerFrame, "health entries");
    DataWordPacker packer;
    for (const SatelliteHealth& satellite : satellites) {
        requireRange(satellite.dataHealth, 0, 7, "data health");
        packer.put(0, 1);
        packer.put(satelliteField(satellite.satelliteId), 5);
        packer.put(satellite.issueOfDataLink ? 1 : 0, 1);
        packer.put(satellite.dataHealth, 3);
        packer.put(satellite.carrierToNoise == 0 ? 0 : quantise(satellite.carrierToNoise - 24, 1.0, 1, 31), 5);
        packer.put(satellite.healthEnable ? 1 : 0, 1);
        packer.put(satellite.newNavigationData ? 1 : 0, 1);
        packer.put(satellite.lossOfSatelliteWarning ? 1 : 0, 1);
        packer.put(quantise(satellite.timeToUnhealthy, 5.0, 0, 15), 4);
        packer.put(0, 2);
    }
    return packer.finish();
}

std::vector<std::uint32_t> buildBeaconAlmanacWords(std::span<const BeaconAlmanacEntry> beacons) {
    requireCount(beacons.size(), MaxAlmanacEntriesPerFrame, "almanac entries");
    DataWordPacker packer;
    for (const BeaconAlmanacEntry& beacon : beacons) {
        requireRange(beacon.health, 0, 3, "beacon health");
        requireRange(beacon.stationId, 0, 1023, "transmitter ID");
        requireRange(beacon.modulationCode, 0, 1, "modulation code");
        requireRange(beacon.synchronisationType, 0, 1, "synchronisation type");
        requireRange(beacon.broadcastCoding, 0, 1, "broadcast coding");
        packer.put(quantise(beacon.latitude, 90.0 / 32767.0, -32768, 32767), 16);
        packer.put(quantise(beacon.longitude, 180.0 / 32767.0, -32768, 32767), 16);
        packer.put(quantise(beacon.range, 1.0, 0, 1023), 10);
        packer.put(quantise(beacon.frequency - 190.0, 0.1, 0, 4095), 12);
        packer.put(beacon.health, 2);
        packer.put(beacon.stationId, 10);
        packer.put(bitRateCode(beacon.bitRate), 3);
        packer.put(beacon.modulationCode, 1);
        packer.put(beacon.synchronisationType, 1);
        packer.put(beacon.broadcastCoding, 1);
    }
    return packer.finish();
}

std::vector<std::uint32_t> buildSpecialMessageWords(std::string_view text) {
    requireCount(text.size(), MaxSpecialMessageLength, "characters");
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        std::uint32_t word = 0;
        for (std::size_t k = i; k < i + 3; ++k) {
            const std::uint32_t code = k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
            word = word << 8 | code;
        }
        words.push_back(word);
    }
    return words;
}

}  // namespace sondeco
