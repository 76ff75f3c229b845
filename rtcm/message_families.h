// SPDX-License-Identifier: GPL-3.0-or-later
// The three steps of every message family, one file each (corrections.cpp, reference_station.cpp,
// constellation_health.cpp, beacon_almanac.cpp, broadcast_text.cpp): decode a frame's data words into
// the family's record, build its page from the record, write its JSON members from the record. Only
// the decode step reads bits. The registry (message_registry.h) names which step each type takes.
#pragma once

#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"

#include <string>

namespace sondeco {

class MessagePages;

using MessageDecoder = void (*)(const RtcmFrame& frame, DecodedMessage& message);
using PageBuilder = void (*)(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
using JsonWriter = void (*)(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Types 1, 9, 31, 34: pseudorange corrections, kept per satellite with ageing and expiry on the page.
void decodeCorrections(const RtcmFrame& frame, DecodedMessage& message);
void buildCorrectionPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeCorrectionsJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Types 3, 32: reference station position.
void decodeReferenceStation(const RtcmFrame& frame, DecodedMessage& message);
void buildReferenceStationPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeReferenceStationJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Types 5, 33: constellation health.
void decodeConstellationHealth(const RtcmFrame& frame, DecodedMessage& message);
void buildConstellationHealthPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeConstellationHealthJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Types 7, 35: radiobeacon almanac.
void decodeBeaconAlmanac(const RtcmFrame& frame, DecodedMessage& message);
void buildBeaconAlmanacPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeBeaconAlmanacJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Type 16: special message; the page keeps the last twelve texts.
void decodeSpecialMessage(const RtcmFrame& frame, DecodedMessage& message);
void buildSpecialMessagePage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeSpecialMessageJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

}  // namespace sondeco
