// SPDX-License-Identifier: GPL-3.0-or-later
// The decoders of the message families, one file each (corrections.cpp, reference_station.cpp,
// constellation_health.cpp, beacon_almanac.cpp, broadcast_text.cpp): each reads a frame's data words
// into the family's record. What a record looks like on a page or in JSON is not known here (see
// present/). The registry (message_registry.h) names which decoder each type takes.
#pragma once

#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"

namespace sondeco {

using MessageDecoder = void (*)(const RtcmFrame& frame, DecodedMessage& message);

// Types 1, 9, 31, 34: pseudorange corrections.
void decodeCorrections(const RtcmFrame& frame, DecodedMessage& message);
// Types 3, 32: reference station position.
void decodeReferenceStation(const RtcmFrame& frame, DecodedMessage& message);
// Types 5, 33: constellation health.
void decodeConstellationHealth(const RtcmFrame& frame, DecodedMessage& message);
// Types 7, 35: radiobeacon almanac.
void decodeBeaconAlmanac(const RtcmFrame& frame, DecodedMessage& message);
// Type 16: special message.
void decodeSpecialMessage(const RtcmFrame& frame, DecodedMessage& message);

// Types 31 and 34 carry GLONASS corrections, 1 and 9 GPS ones.
constexpr bool isGlonassCorrections(int messageType) { return messageType == 31 || messageType == 34; }

}  // namespace sondeco
