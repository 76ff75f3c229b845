// Message contents to RTCM SC-104 version 2 data words (24 bits each, d1 most significant), ready
// for RtcmEncoder::encodeFrame. One builder per message family; plain C++, no dependencies.
//
// Units: identifiers and codes (satellite IDs, UDRE, health codes, IOD, station IDs) are given raw
// and must be in range, or the builder throws std::invalid_argument. Measured quantities are given
// in physical units (metres, m/s, degrees, kHz, dB-Hz, minutes); they are rounded to the nearest
// step of their field and clamped to its range, as a reference station would send them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sondeco {

// Packs fields, most significant bit first, into a string of 24-bit data words.
class DataWordPacker {
public:
    // The low `width` bits (0..32) of `value`; a negative value goes in as two's complement.
    void put(std::int64_t value, int width);
    int bitCount() const { return bitCount_; }
    // The words so far; a partly filled last word is completed with the fill pattern 1,0,1,0...
    std::vector<std::uint32_t> finish() const;

private:
    std::vector<std::uint32_t> words_;
    std::uint32_t current_ = 0;
    int bitCount_ = 0;
};

// ---- Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections -----------------------------
// 40 bits a satellite, entries packed back to back across word boundaries, the last word filled
// with 1,0,1,0... (so 1 satellite takes 2 words, 2 take 4, 3 take exactly 5).
//   offset  width  field
//        0      1  scale S: 0 = PRC 0.02 m, RRC 0.002 m/s; 1 = PRC 0.32 m, RRC 0.032 m/s
//        1      2  UDRE
//        3      5  satellite ID (32 sent as 0)
//        8     16  PRC, two's complement; -32768 = not available
//       24      8  RRC, two's complement; -128 = not available
//       32      8  GPS: IOD                 GLONASS: 1 bit change-of-ephemeris, then 7 bits tb
struct PseudorangeCorrection {
    int satelliteId = 1;  // GPS PRN or GLONASS slot number, 1..32
    int udre = 0;         // user differential range error code, 0..3
    std::optional<double> pseudorangeCorrection;  // metres; empty = not available
    std::optional<double> rangeRateCorrection;    // metres per second; empty = not available
    int issueOfData = 0;            // GPS: IOD, 0..255; GLONASS: tb, 0..127
    bool ephemerisChanged = false;  // GLONASS only
    // The fine scale is used whenever both values fit it; set this to send the coarse one anyway.
    bool forceCoarseScale = false;
};
inline constexpr int MaxCorrectionsPerFrame = 18;  // 720 bits in 30 words

std::vector<std::uint32_t> buildGpsCorrectionWords(std::span<const PseudorangeCorrection> corrections);
std::vector<std::uint32_t> buildGlonassCorrectionWords(std::span<const PseudorangeCorrection> corrections);

// ---- Types 3 (GPS) and 32 (GLONASS): reference station position ---------------------------------
// Four words: ECEF X, Y, Z, each 32 bits two's complement in units of 0.01 m.
struct ReferenceStationPosition {
    double x = 0.0;  // ECEF metres
    double y = 0.0;
    double z = 0.0;
};

std::vector<std::uint32_t> buildReferenceStationWords(const ReferenceStationPosition& position);

// ---- Types 5 (GPS) and 33 (GLONASS): constellation health ---------------------------------------
// One word a satellite:
//   offset  width  field
//        0      1  reserved (0)
//        1      5  satellite ID (32 sent as 0)
//        6      1  IOD link
//        7      3  data health
//       10      5  C/N0: 0 = not available, else dB-Hz - 24
//       15      1  health enable
//       16      1  new navigation data
//       17      1  loss of satellite warning
//       18      4  time to unhealthy, units of 5 minutes
//       22      2  unassigned (0)
struct SatelliteHealth {
    int satelliteId = 1;  // 1..32
    bool issueOfDataLink = false;
    int dataHealth = 0;          // navigation data health code, 0..7
    int carrierToNoise = 0;      // C/N0 in dB-Hz, sent as 25..55; 0 = not available
    bool healthEnable = false;
    bool newNavigationData = false;
    bool lossOfSatelliteWarning = false;
    int timeToUnhealthy = 0;     // minutes, sent as 0..75 in steps of 5
};
inline constexpr int MaxHealthEntriesPerFrame = 31;

std::vector<std::uint32_t> buildConstellationHealthWords(std::span<const SatelliteHealth> satellites);

// ---- Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac ----------------------------------------
// Three words (72 bits) a beacon:
//   offset  width  field
//        0     16  latitude, two's complement, 90/32767 degree
//       16     16  longitude, two's complement, 180/32767 degree
//       32     10  range, km
//       42     12  frequency, 0.1 kHz above 190 kHz
//       54      2  health
//       56     10  transmitter (station) ID
//       66      3  bit rate code: 25, 50, 100, 110, 150, 200, 250, 300 bit/s
//       69      1  modulation code (0 = MSK)
//       70      1  synchronisation type
//       71      1  broadcast coding (0 = no added coding)
struct BeaconAlmanacEntry {
    double latitude = 0.0;      // degrees, north positive
    double longitude = 0.0;     // degrees, east positive
    int range = 0;              // km, sent as 0..1023
    double frequency = 190.0;   // kHz, sent as 190.0..599.5
    int health = 0;             // 0 = normal, 1 = no monitoring, 2 = no information, 3 = do not use
    int stationId = 0;          // transmitter ID, 0..1023
    int bitRate = 100;          // bit/s, one of the eight rates above
    int modulationCode = 0;     // 0..1
    int synchronisationType = 0;  // 0..1
    int broadcastCoding = 0;    // 0..1
};
inline constexpr int MaxAlmanacEntriesPerFrame = 10;

std::vector<std::uint32_t> buildBeaconAlmanacWords(std::span<const BeaconAlmanacEntry> beacons);

// ---- Type 16: special message ------------------------------------------------------------------
// Three 8-bit character codes a word, first character in the top byte; the last word is padded with
// code 0, which also ends the text for a receiver. An empty text gives no words.
inline constexpr int MaxSpecialMessageLength = 93;

std::vector<std::uint32_t> buildSpecialMessageWords(std::string_view text);

}  // namespace sondeco
