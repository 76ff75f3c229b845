// SPDX-License-Identifier: GPL-3.0-or-later
// The contents of RTCM SC-104 version 2 messages as typed records, one struct per field set. The
// decoders fill them from received frames (message_registry.h) and the builders of the transmitting
// side (message_builders.h) take them, so one struct describes a message in both directions. Every
// output (pages, JSON, logs) formats these records and never reads a frame's bits itself.
//
// Units: identifiers and codes are raw; measured quantities are in physical units (metres, m/s,
// degrees, kHz, dB-Hz, minutes), as received (raw value times the field's scale) or to be sent.
#pragma once

#include "rtcm/rtcm_format.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondeco {

// ---- Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections -----------------------------
struct PseudorangeCorrection {
    int satelliteId = 1;  // GPS PRN or GLONASS slot number, 1..32 (32 travels as 0)
    int udre = 0;  // user differential range error code, 0..3
    std::optional<double> pseudorangeCorrection;  // metres; empty = not available
    std::optional<double> rangeRateCorrection;  // metres per second; empty = not available
    int issueOfData = 0;  // GPS: IOD, 0..255; GLONASS: tb, 0..127
    bool ephemerisChanged = false;  // GLONASS only
    // Received: the entry came on the coarse scale (0.32 m, 0.032 m/s). To send: use the coarse scale
    // even when both values fit the fine one (which is otherwise chosen).
    bool coarseScale = false;
};

// ---- Types 3 (GPS) and 32 (GLONASS): reference station position ---------------------------------
struct ReferenceStationPosition {
    double x = 0.0;  // ECEF metres
    double y = 0.0;
    double z = 0.0;
};

// ---- Types 5 (GPS) and 33 (GLONASS): constellation health ---------------------------------------
struct SatelliteHealth {
    int satelliteId = 1;  // 1..32
    bool issueOfDataLink = false;
    int dataHealth = 0;  // navigation data health code, 0..7
    int carrierToNoise = 0;  // C/N0 in dB-Hz, 25..55; 0 = not available
    bool healthEnable = false;
    bool newNavigationData = false;
    bool lossOfSatelliteWarning = false;
    int timeToUnhealthy = 0;  // minutes, 0..75 in steps of 5
};

// ---- Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac ----------------------------------------
// The bit rates the almanac's 3-bit code names, and their names as the almanac page shows them.
inline constexpr std::array<int, 8> AlmanacBitRates{25, 50, 100, 110, 150, 200, 250, 300};
inline constexpr std::array<const char*, 8> BitRateNames{"25 bps",  "50 bps",  "100 bps", "110 bps",
                                                         "150 bps", "200 bps", "250 bps", "300 bps"};

struct BeaconAlmanacEntry {
    double latitude = 0.0;  // degrees, north positive
    double longitude = 0.0;  // degrees, east positive
    int range = 0;  // km, 0..1023
    double frequency = 190.0;  // kHz, 190.0..599.5
    int health = 0;  // 0 = normal, 1 = no monitoring, 2 = no information, 3 = do not use
    int stationId = 0;  // transmitter ID, 0..1023
    int bitRate = 100;  // bit/s, one of AlmanacBitRates
    int modulationCode = 0;  // 0..1
    int synchronisationType = 0;  // 0..1
    int broadcastCoding = 0;  // 0..1
};

// ---- What a received frame says -----------------------------------------------------------------
enum class MessageFamily { Unknown, Null, Corrections, ReferenceStation, ConstellationHealth, BeaconAlmanac, SpecialMessage };

// How a frame was received: what the enhanced receiver knows of the signal, and how much repair it
// took. Empty for frames from an RTCM byte stream or the classic demodulator.
struct Reception {
    std::optional<double> toneHz;  // the carrier's tone in the audio (or its frequency in a band), Hz
    bool absoluteFrequency = false;  // toneHz is the carrier's radio frequency, not an offset or audio tone
    std::optional<int> bitRate;  // bit/s
    std::optional<double> ebN0Db;  // the receiver's estimate of Eb/N0 for this frame, dB
    int repairedWords = 0;  // words that passed only after bits were flipped
    // When the frame's block of the stream was received, seconds since the Unix epoch (UTC): the
    // recording's own time for a file that says when it began, else the clock's for a live stream.
    // Empty where the stream's time is not followed.
    std::optional<double> time;
};

// One decoded frame's contents. Only the members of its family are filled; the others are empty
// (cleared, not freed: the decoder reuses one record without allocating per frame).
struct DecodedMessage {
    MessageFamily family = MessageFamily::Unknown;
    std::vector<std::uint32_t> dataWords;  // d1..d24 of every data word, d1 most significant: all types
    std::vector<PseudorangeCorrection> corrections;
    ReferenceStationPosition station;
    bool hasStation = false;  // the frame was long enough (4 words) to hold the whole position
    std::vector<SatelliteHealth> health;
    std::vector<BeaconAlmanacEntry> almanac;
    std::string specialMessage;  // single-byte characters up to the first code 0
    Reception reception;
};

}  // namespace sondeco
