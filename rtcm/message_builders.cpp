// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/message_builders.h"

#include "rtcm/message_layouts.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace sondeco {

namespace {

void requireRange(long long value, long long low, long long high, const char* field) {
    if (value < low || value > high) {
        throw std::invalid_argument(std::string(field) + " " + std::to_string(value) + " is outside " + std::to_string(low) + ".." +
                                    std::to_string(high));
    }
}

void requireCount(std::size_t count, int maximum, const char* what) {
    if (count > static_cast<std::size_t>(maximum)) {
        throw std::invalid_argument(std::string("at most ") + std::to_string(maximum) + " " + what + " fit in a frame, not " +
                                    std::to_string(count));
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

using namespace CorrectionEntry;

bool fitsFineScale(const PseudorangeCorrection& correction) {
    if (correction.coarseScale) return false;
    // The most negative pattern of each field means "not available", so a value must stay inside
    // the symmetric range to be sent on the fine scale.
    if (correction.pseudorangeCorrection && !(std::fabs(std::round(*correction.pseudorangeCorrection / FinePrcStep)) <= 32767)) {
        return false;
    }
    if (correction.rangeRateCorrection && !(std::fabs(std::round(*correction.rangeRateCorrection / FineRrcStep)) <= 127)) {
        return false;
    }
    return true;
}

enum class CorrectionSystem { gps, glonass };

std::vector<std::uint32_t> buildCorrections(std::span<const PseudorangeCorrection> corrections, CorrectionSystem system) {
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
        packer.startEntry();
        packer.put(fine ? 0 : 1, Scale);
        packer.put(correction.udre, Udre);
        packer.put(satelliteField(correction.satelliteId), CorrectionEntry::SatelliteId);
        packer.put(correction.pseudorangeCorrection
                       ? quantise(*correction.pseudorangeCorrection, fine ? FinePrcStep : CoarsePrcStep, -32767, 32767)
                       : PrcNotAvailable,
                   Prc);
        packer.put(correction.rangeRateCorrection ? quantise(*correction.rangeRateCorrection, fine ? FineRrcStep : CoarseRrcStep, -127, 127)
                                                  : RrcNotAvailable,
                   Rrc);
        if (system == CorrectionSystem::gps) {
            packer.put(correction.issueOfData, IssueOfData);
        } else {
            packer.put(correction.ephemerisChanged ? 1 : 0, EphemerisChanged);
            packer.put(correction.issueOfData, Tb);
        }
    }
    return packer.finish();
}

int bitRateCode(int bitRate) {
    const auto found = std::find(AlmanacBitRates.begin(), AlmanacBitRates.end(), bitRate);
    if (found == AlmanacBitRates.end()) {
        throw std::invalid_argument("bit rate " + std::to_string(bitRate) + " has no almanac code");
    }
    return static_cast<int>(found - AlmanacBitRates.begin());
}

}  // namespace

void DataWordPacker::put(std::int64_t value, const BitField& field) {
    // The builders write each entry's fields in order; a field out of place is a layout table that
    // disagrees with its builder, not bad input.
    if (bitCount_ - entryStart_ != field.offset) {
        throw std::logic_error("field at bit " + std::to_string(bitCount_ - entryStart_) + " of its entry, not " +
                               std::to_string(field.offset));
    }
    put(value, field.width);
}

void DataWordPacker::put(std::int64_t value, int width) {
    if (width < 0 || width > 32) throw std::invalid_argument("field width " + std::to_string(width));
    for (int i = width - 1; i >= 0; --i) {
        current_ = current_ << 1 | static_cast<std::uint32_t>(value >> i & 1);
        if (++bitCount_ % DataBitsPerWord == 0) {
            words_.push_back(current_);
            current_ = 0;
        }
    }
}

std::vector<std::uint32_t> DataWordPacker::finish() const {
    std::vector<std::uint32_t> words = words_;
    const int used = bitCount_ % DataBitsPerWord;
    if (used > 0) {
        std::uint32_t last = current_;
        for (int i = 0; i < DataBitsPerWord - used; ++i) last = last << 1 | (i % 2 == 0 ? 1u : 0u);
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
    const auto coordinate = [](double metres) {
        return quantise(metres, StationPositionEntry::Step, std::numeric_limits<std::int32_t>::min(),
                        std::numeric_limits<std::int32_t>::max());
    };
    packer.startEntry();
    packer.put(coordinate(position.x), StationPositionEntry::X);
    packer.put(coordinate(position.y), StationPositionEntry::Y);
    packer.put(coordinate(position.z), StationPositionEntry::Z);
    return packer.finish();
}

std::vector<std::uint32_t> buildConstellationHealthWords(std::span<const SatelliteHealth> satellites) {
    requireCount(satellites.size(), MaxHealthEntriesPerFrame, "health entries");
    DataWordPacker packer;
    for (const SatelliteHealth& satellite : satellites) {
        requireRange(satellite.dataHealth, 0, 7, "data health");
        using namespace HealthWord;
        packer.startEntry();
        packer.put(0, Reserved);
        packer.put(satelliteField(satellite.satelliteId), HealthWord::SatelliteId);
        packer.put(satellite.issueOfDataLink ? 1 : 0, IssueOfDataLink);
        packer.put(satellite.dataHealth, DataHealth);
        packer.put(satellite.carrierToNoise == 0 ? 0 : quantise(satellite.carrierToNoise - CarrierToNoiseOffset, 1.0, 1, 31),
                   CarrierToNoise);
        packer.put(satellite.healthEnable ? 1 : 0, HealthEnable);
        packer.put(satellite.newNavigationData ? 1 : 0, NewNavigationData);
        packer.put(satellite.lossOfSatelliteWarning ? 1 : 0, LossOfSatelliteWarning);
        packer.put(quantise(satellite.timeToUnhealthy, MinutesPerUnhealthyStep, 0, 15), TimeToUnhealthy);
        packer.put(0, Unassigned);
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
        using namespace AlmanacEntry;
        packer.startEntry();
        packer.put(quantise(beacon.latitude, LatitudeScale / AngleSteps, -32768, 32767), Latitude);
        packer.put(quantise(beacon.longitude, LongitudeScale / AngleSteps, -32768, 32767), Longitude);
        packer.put(quantise(beacon.range, 1.0, 0, 1023), Range);
        packer.put(quantise(beacon.frequency - FrequencyBase, FrequencyStep, 0, 4095), Frequency);
        packer.put(beacon.health, Health);
        packer.put(beacon.stationId, AlmanacEntry::StationId);
        packer.put(bitRateCode(beacon.bitRate), BitRateCode);
        packer.put(beacon.modulationCode, ModulationCode);
        packer.put(beacon.synchronisationType, SynchronisationType);
        packer.put(beacon.broadcastCoding, BroadcastCoding);
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
