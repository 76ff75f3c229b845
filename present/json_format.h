// SPDX-License-Identifier: GPL-3.0-or-later
// gpsd's RTCM2 JSON: one object a frame, as `gpsdecode -j` and `gpspipe -w` print them, written from
// the decoded record. The families' JSON writers (page_builders.h) add their members through these
// helpers.
#pragma once

#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"

#include <string>
#include <string_view>

namespace sondeco {

// One decoded frame as a line of JSON (no line end). `device` names the input.
std::string rtcm2Json(const RtcmFrame& frame, const DecodedMessage& message, std::string_view device);
// The same, appended to `json`, so a caller writing many frames can keep one buffer.
void appendRtcm2Json(const RtcmFrame& frame, const DecodedMessage& message, std::string_view device, std::string& json);

// Helpers for the writers.
void appendJsonString(std::string& json, std::string_view bytes);
void appendJsonInteger(std::string& json, long long value);
void appendJsonFixed(std::string& json, double value, int decimals);
inline const char* jsonBoolean(bool value) { return value ? "true" : "false"; }

}  // namespace sondeco
