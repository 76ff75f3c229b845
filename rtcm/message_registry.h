// SPDX-License-Identifier: GPL-3.0-or-later
// Every message type the decoder knows, in one table: its family and its family's decoder. Adding a
// type is adding an entry here (and, for a new family, its decoder); how it is shown is the
// presentation's table (present/presentation.h).
#pragma once

#include "rtcm/message_decoders.h"

#include <array>

namespace sondeco {

struct MessageTypeEntry {
    int messageType;
    MessageFamily family;
    MessageDecoder decode;  // nullptr: nothing beyond the raw data words
};

inline constexpr std::array<MessageTypeEntry, 12> MessageTypes{{
    {1, MessageFamily::Corrections, decodeCorrections},
    {3, MessageFamily::ReferenceStation, decodeReferenceStation},
    {5, MessageFamily::ConstellationHealth, decodeConstellationHealth},
    {6, MessageFamily::Null, nullptr},  // the null frame: a header and nothing else
    {7, MessageFamily::BeaconAlmanac, decodeBeaconAlmanac},
    {9, MessageFamily::Corrections, decodeCorrections},
    {16, MessageFamily::SpecialMessage, decodeSpecialMessage},
    {31, MessageFamily::Corrections, decodeCorrections},
    {32, MessageFamily::ReferenceStation, decodeReferenceStation},
    {33, MessageFamily::ConstellationHealth, decodeConstellationHealth},
    {34, MessageFamily::Corrections, decodeCorrections},
    {35, MessageFamily::BeaconAlmanac, decodeBeaconAlmanac},
}};

// The entry of a message type, nullptr for a type the program has no entry for.
const MessageTypeEntry* findMessageType(int messageType);

// The frame's contents as a record: the raw data words always, and the family's record for a type
// with a decoder (family Unknown otherwise).
void decodeMessageRecord(const RtcmFrame& frame, DecodedMessage& message);

}  // namespace sondeco
