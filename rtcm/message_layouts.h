// SPDX-License-Identifier: GPL-3.0-or-later
// Where every field of an RTCM SC-104 version 2 frame sits: the two header words and each message
// family's data words. The decoders read and the builders write through these tables, so a layout is
// written down once. Offsets count bits from the start of the entry (or word), first transmitted bit
// first; widths are in bits; values are unsigned unless marked two's complement.
#pragma once

#include "rtcm/rtcm_format.h"

#include <cstdint>

namespace sondeco {

// ---- Header words (d1..d24 of frame words 1 and 2) ---------------------------------------------
namespace HeaderWord1 {
inline constexpr BitField Preamble{0, 8};  // 0x66
inline constexpr BitField MessageType{8, 6};  // 0..63
inline constexpr BitField StationId{14, 10};  // reference station ID, 0..1023
}  // namespace HeaderWord1
namespace HeaderWord2 {
inline constexpr BitField ZCount{0, 13};  // modified Z-count, 0.6 s units within the hour
inline constexpr BitField SequenceNumber{13, 3};  // 0..7
inline constexpr BitField FrameLength{16, 5};  // data words that follow, 0..31
inline constexpr BitField StationHealth{21, 3};  // 0..5 UDRE scale, 6 unmonitored, 7 not working
}  // namespace HeaderWord2

// ---- Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections -----------------------------
// 40-bit satellite entries back to back across word boundaries; bits after the last whole entry are
// fill (1,0,1,0...). Entry m starts at bit 40m of the data words.
namespace CorrectionEntry {
inline constexpr int Bits = 40;
inline constexpr BitField Scale{0, 1};  // 0 fine: PRC 0.02 m, RRC 0.002 m/s; 1 coarse: 0.32, 0.032
inline constexpr BitField Udre{1, 2};  // 0..3
inline constexpr BitField SatelliteId{3, 5};  // 1..31, 0 meaning 32
inline constexpr BitField Prc{8, 16};  // two's complement; -32768 = not available
inline constexpr BitField Rrc{24, 8};  // two's complement; -128 = not available
inline constexpr BitField IssueOfData{32, 8};  // GPS: IOD
inline constexpr BitField EphemerisChanged{32, 1};  // GLONASS: change-of-ephemeris flag
inline constexpr BitField Tb{33, 7};  // GLONASS: tb
inline constexpr double FinePrcStep = 0.02, CoarsePrcStep = 0.32;  // m
inline constexpr double FineRrcStep = 0.002, CoarseRrcStep = 0.032;  // m/s
inline constexpr std::int64_t PrcNotAvailable = -32768, RrcNotAvailable = -128;
}  // namespace CorrectionEntry

// ---- Types 3 (GPS) and 32 (GLONASS): reference station position ---------------------------------
// Four data words; the three coordinates fill the first 96 bits.
namespace StationPositionEntry {
inline constexpr BitField X{0, 32};  // ECEF X, two's complement, 0.01 m
inline constexpr BitField Y{32, 32};  // ECEF Y
inline constexpr BitField Z{64, 32};  // ECEF Z
inline constexpr double Step = 0.01;  // m
inline constexpr int Words = 4;
}  // namespace StationPositionEntry

// ---- Types 5 (GPS) and 33 (GLONASS): constellation health, one data word per satellite ----------
namespace HealthWord {
inline constexpr BitField Reserved{0, 1};
inline constexpr BitField SatelliteId{1, 5};  // 0 meaning 32
inline constexpr BitField IssueOfDataLink{6, 1};
inline constexpr BitField DataHealth{7, 3};
inline constexpr BitField CarrierToNoise{10, 5};  // 0 not available, else dB-Hz - 24
inline constexpr BitField HealthEnable{15, 1};
inline constexpr BitField NewNavigationData{16, 1};
inline constexpr BitField LossOfSatelliteWarning{17, 1};
inline constexpr BitField TimeToUnhealthy{18, 4};  // 5 minute units
inline constexpr BitField Unassigned{22, 2};
inline constexpr int CarrierToNoiseOffset = 24;  // dB-Hz
inline constexpr int MinutesPerUnhealthyStep = 5;
}  // namespace HealthWord

// ---- Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac, three data words (72 bits) a beacon ----
namespace AlmanacEntry {
inline constexpr int Bits = 72;
inline constexpr BitField Latitude{0, 16};  // two's complement, 90/32767 degrees
inline constexpr BitField Longitude{16, 16};  // two's complement, 180/32767 degrees
inline constexpr BitField Range{32, 10};  // km
inline constexpr BitField Frequency{42, 12};  // 0.1 kHz above 190 kHz
inline constexpr BitField Health{54, 2};  // 0 normal, 1 no monitoring, 2 no information, 3 do not use
inline constexpr BitField StationId{56, 10};  // transmitter ID
inline constexpr BitField BitRateCode{66, 3};  // index into AlmanacBitRates
inline constexpr BitField ModulationCode{69, 1};  // 0 = MSK
inline constexpr BitField SynchronisationType{70, 1};
inline constexpr BitField BroadcastCoding{71, 1};  // 0 = no added coding
inline constexpr double LatitudeScale = 90.0, LongitudeScale = 180.0, AngleSteps = 32767;
inline constexpr double FrequencyBase = 190.0, FrequencyStep = 0.1;  // kHz
inline constexpr int WordsPerEntry = 3;
}  // namespace AlmanacEntry

// ---- Type 16: special message -------------------------------------------------------------------
// 8-bit character codes, three a data word, first character in the top byte; a code 0 ends the text.
namespace SpecialText {
inline constexpr int BitsPerCharacter = 8;
inline constexpr int CharactersPerWord = 3;
}  // namespace SpecialText

}  // namespace sondeco
