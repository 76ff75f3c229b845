// SPDX-License-Identifier: GPL-3.0-or-later
// Every message type the program knows, in one table: its family, page title, and the decode, page
// and JSON steps of its family. Adding a type is adding an entry here (and, for a new family, its file).
// The page order of the window's tabs is the order of the entries that have a page.
#pragma once

#include "rtcm/message_families.h"

#include <array>
#include <cstddef>

namespace sondeco {

struct MessageTypeEntry {
    int messageType;
    MessageFamily family;
    const char* title;  // the page's title, line ends included; nullptr for a type without a page
    MessageDecoder decode;  // nullptr: nothing beyond the raw data words
    PageBuilder buildPage;  // nullptr: no page
    JsonWriter writeJson;  // nullptr: the frame's JSON carries no members of its own
};

inline constexpr std::array<MessageTypeEntry, 12> MessageTypes{{
    {1, MessageFamily::Corrections, "Msg #1 : Differential GPS Corrections\r\n", decodeCorrections, buildCorrectionPage,
     writeCorrectionsJson},
    {3, MessageFamily::ReferenceStation, "Msg #3 : GPS Reference Station Parameters\r\n", decodeReferenceStation, buildReferenceStationPage,
     writeReferenceStationJson},
    {5, MessageFamily::ConstellationHealth, "Msg #5 : GPS Constellation Health\r\n", decodeConstellationHealth,
     buildConstellationHealthPage, writeConstellationHealthJson},
    {6, MessageFamily::Null, nullptr, nullptr, nullptr, nullptr},  // the null frame: a header and nothing else
    {7, MessageFamily::BeaconAlmanac, "Msg #7 : DGPS Radiobeacon Almanac\r\n", decodeBeaconAlmanac, buildBeaconAlmanacPage,
     writeBeaconAlmanacJson},
    {9, MessageFamily::Corrections, "Msg #9 : GPS Partial Correction Set\r\n", decodeCorrections, buildCorrectionPage,
     writeCorrectionsJson},
    {16, MessageFamily::SpecialMessage, "Msg #16 : GPS Special Message\r\n\r\n", decodeSpecialMessage, buildSpecialMessagePage,
     writeSpecialMessageJson},
    {31, MessageFamily::Corrections, "Msg #31 : Differential GLONASS Corrections\r\n", decodeCorrections, buildCorrectionPage,
     writeCorrectionsJson},
    {32, MessageFamily::ReferenceStation, "Msg #32 : Differential GLONASS Reference Station Parameters\r\n", decodeReferenceStation,
     buildReferenceStationPage, writeReferenceStationJson},
    {33, MessageFamily::ConstellationHealth, "Msg #33 : GLONASS Constellation Health\r\n", decodeConstellationHealth,
     buildConstellationHealthPage, writeConstellationHealthJson},
    {34, MessageFamily::Corrections, "Msg #34 : GLONASS Partial Differential Correction Set\r\n", decodeCorrections, buildCorrectionPage,
     writeCorrectionsJson},
    {35, MessageFamily::BeaconAlmanac, "Msg #35 : GLONASS Radiobeacon Almanac\r\n", decodeBeaconAlmanac, buildBeaconAlmanacPage,
     writeBeaconAlmanacJson},
}};

// The entry of a message type, nullptr for a type the program has no entry for.
const MessageTypeEntry* findMessageType(int messageType);

// The frame's contents as a record: the raw data words always, and the family's record for a type
// with a decoder (family Unknown otherwise).
void decodeMessageRecord(const RtcmFrame& frame, DecodedMessage& message);

// ---- The pages: one per entry with a title, in table order ----------------------------------------
inline constexpr int PageCount = [] {
    int count = 0;
    for (const MessageTypeEntry& entry : MessageTypes) count += entry.title != nullptr ? 1 : 0;
    return count;
}();

inline constexpr std::array<int, PageCount> PageTypes = [] {
    std::array<int, PageCount> types{};
    std::size_t k = 0;
    for (const MessageTypeEntry& entry : MessageTypes)
        if (entry.title != nullptr) types[k++] = entry.messageType;
    return types;
}();

// Page index of a message type, -1 for types without a page.
constexpr int pageOfType(int messageType) {
    for (int k = 0; k < PageCount; ++k)
        if (PageTypes[static_cast<std::size_t>(k)] == messageType) return k;
    return -1;
}

inline constexpr int SpecialMessagePage = pageOfType(16);  // the one page with a single-break footer

}  // namespace sondeco
