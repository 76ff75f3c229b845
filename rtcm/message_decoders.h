// The per-type page builders. Each reads the frame record and hands its page to publishPage; the
// dispatch table in message_decoders.cpp picks one by message type.
#pragma once

#include "rtcm/message_pages.h"
#include "rtcm/rtcm_frame.h"

#include <array>
#include <string>

namespace sondeco {

// Names of the 3-bit bit-rate codes of the radiobeacon almanac.
inline constexpr std::array<const char*, 8> BitRateNames{"25 bps",  "50 bps",  "100 bps", "110 bps",
                                                         "150 bps", "200 bps", "250 bps", "300 bps"};

// Types 1, 9, 31, 34: pseudorange corrections, kept per satellite with ageing and expiry.
void buildCorrectionPage(const RtcmFrame& frame, MessagePages& pages);
// Types 3, 32: reference station position.
void buildReferenceStationPage(const RtcmFrame& frame, MessagePages& pages);
// Types 5, 33: constellation health.
void buildConstellationHealthPage(const RtcmFrame& frame, MessagePages& pages);
// Types 7, 35: radiobeacon almanac.
void buildBeaconAlmanacPage(const RtcmFrame& frame, MessagePages& pages);
// Type 16: special message, the last twelve texts.
void buildSpecialMessagePage(const RtcmFrame& frame, MessagePages& pages);

// Builds the page of the frame's message type; types without a page change nothing.
void decodeMessage(const RtcmFrame& frame, MessagePages& pages);

}  // namespace sondeco
