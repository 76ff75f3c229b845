// SPDX-License-Identifier: GPL-3.0-or-later
// Message contents to RTCM SC-104 version 2 data words (24 bits each, d1 most significant), ready
// for RtcmEncoder::encodeFrame. One builder per message family, writing through the layout tables of
// message_layouts.h; plain C++, no dependencies.
//
// Units: identifiers and codes (satellite IDs, UDRE, health codes, IOD, station IDs) are given raw
// and must be in range, or the builder throws std::invalid_argument. Measured quantities are given
// in physical units (metres, m/s, degrees, kHz, dB-Hz, minutes); they are rounded to the nearest
// step of their field and clamped to its range, as a reference station would send them.
#pragma once

#include "rtcm/message_layouts.h"
#include "rtcm/messages.h"

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
    // The same for a field of a layout table, which must start where the packer stands in the entry.
    void put(std::int64_t value, const BitField& field);
    // The next fields belong to a new entry (a satellite, a beacon, a word): offsets count from here.
    void startEntry() { entryStart_ = bitCount_; }
    int bitCount() const { return bitCount_; }
    // The words so far; a partly filled last word is completed with the fill pattern 1,0,1,0...
    std::vector<std::uint32_t> finish() const;

private:
    std::vector<std::uint32_t> words_;
    std::uint32_t current_ = 0;
    int bitCount_ = 0;
    int entryStart_ = 0;
};

// ---- Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections -----------------------------
// The last word is filled with 1,0,1,0... (so 1 satellite takes 2 words, 2 take 4, 3 take exactly 5).
inline constexpr int MaxCorrectionsPerFrame = 18;  // 720 bits in 30 words

std::vector<std::uint32_t> buildGpsCorrectionWords(std::span<const PseudorangeCorrection> corrections);
std::vector<std::uint32_t> buildGlonassCorrectionWords(std::span<const PseudorangeCorrection> corrections);

// ---- Types 3 (GPS) and 32 (GLONASS): reference station position ---------------------------------
// Always four words.
std::vector<std::uint32_t> buildReferenceStationWords(const ReferenceStationPosition& position);

// ---- Types 5 (GPS) and 33 (GLONASS): constellation health ---------------------------------------
inline constexpr int MaxHealthEntriesPerFrame = 31;

std::vector<std::uint32_t> buildConstellationHealthWords(std::span<const SatelliteHealth> satellites);

// ---- Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac ----------------------------------------
inline constexpr int MaxAlmanacEntriesPerFrame = 10;

std::vector<std::uint32_t> buildBeaconAlmanacWords(std::span<const BeaconAlmanacEntry> beacons);

// ---- Type 16: special message ------------------------------------------------------------------
// The last word is padded with code 0, which also ends the text for a receiver. An empty text gives
// no words.
inline constexpr int MaxSpecialMessageLength = 93;

std::vector<std::uint32_t> buildSpecialMessageWords(std::string_view text);

}  // namespace sondeco
