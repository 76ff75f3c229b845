// SPDX-License-Identifier: GPL-3.0-or-later
// The two presentations of every message family, one file each (corrections_page.cpp, ...): its page
// built from the family's record, and its members of gpsd's JSON written from the record. Neither
// reads bits: the records come decoded (rtcm/message_decoders.h). The presentation table
// (presentation.h) names which each type takes.
#pragma once

#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"

#include <string>

namespace sondeco {

class MessagePages;

using PageBuilder = void (*)(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
using JsonWriter = void (*)(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

// Types 1, 9, 31, 34: kept per satellite with ageing and expiry on the page.
void buildCorrectionPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeCorrectionsJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);
// Types 3, 32.
void buildReferenceStationPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeReferenceStationJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);
// Types 5, 33.
void buildConstellationHealthPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeConstellationHealthJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);
// Types 7, 35.
void buildBeaconAlmanacPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeBeaconAlmanacJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);
// Type 16: the page keeps the last twelve texts.
void buildSpecialMessagePage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages);
void writeSpecialMessageJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json);

}  // namespace sondeco
