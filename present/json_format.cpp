// SPDX-License-Identifier: GPL-3.0-or-later
#include "present/json_format.h"

#include "present/presentation.h"
#include "present/text_format.h"

#include <charconv>
#include <cmath>

namespace sondeco {
namespace {

// `digits` lower-case hexadecimal digits of `value`, leading zeros included.
void appendHex(std::string& text, std::uint32_t value, int digits) {
    static constexpr char Digits[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += Digits[value >> shift & 0xFu];
}

// Types without a decoder of their own carry their data words as they came, so that nothing the
// station sent is lost to a consumer that knows the type.
void appendDataWords(std::string& json, const DecodedMessage& message) {
    json += ",\"data\":[";
    for (std::size_t w = 0; w < message.dataWords.size(); ++w) {
        if (w > 0) json += ',';
        json += "\"0x";
        appendHex(json, message.dataWords[w], 6);
        json += '"';
    }
    json += "]";
}

}  // namespace

void appendJsonString(std::string& json, std::string_view bytes) {
    json += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Single-byte (Latin-1) characters become the Unicode characters of the same number.
            json += "\\u";
            appendHex(json, byte, 4);
        } else {
            json += c;
        }
    }
    json += '"';
}

void appendJsonInteger(std::string& json, long long value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    json.append(text, result.ptr);
}

void appendJsonFixed(std::string& json, double value, int decimals) {
    if (!std::isfinite(value)) {
        json += "null";  // JSON has no nan or inf
        return;
    }
    char text[400];  // the widest double in fixed notation has 309 digits before the point
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    json.append(text, result.ptr);
}

void appendRtcm2Json(const RtcmFrame& frame, const DecodedMessage& message, std::string_view device, std::string& json) {
    json += "{\"class\":\"RTCM2\",\"device\":";
    appendJsonString(json, device);
    json += ",\"type\":";
    appendJsonInteger(json, frame.messageType);
    json += ",\"station_id\":";
    appendJsonInteger(json, frame.stationId);
    json += ",\"zcount\":";
    appendJsonFixed(json, frame.zCount * 0.6, 1);
    json += ",\"seqnum\":";
    appendJsonInteger(json, frame.sequenceNumber);
    json += ",\"length\":";
    appendJsonInteger(json, frame.frameLength);
    json += ",\"station_health\":";
    appendJsonInteger(json, frame.stationHealth);
    // Where the enhanced receiver heard the frame, and whether it needed repair; a stream of RTCM bytes
    // or the classic demodulator say nothing of it, and their objects stay as gpsd's.
    const Reception& reception = message.reception;
    if (reception.toneHz) {
        json += ",\"freq\":";
        appendJsonFixed(json, *reception.toneHz, 1);
    }
    if (reception.bitRate) {
        json += ",\"bitrate\":";
        appendJsonInteger(json, *reception.bitRate);
    }
    if (reception.repairedWords > 0) {
        json += ",\"repaired\":";
        appendJsonInteger(json, reception.repairedWords);
    }
    if (reception.time) {
        if (const std::string time = isoUtcTime(*reception.time); !time.empty()) {
            json += ",\"time\":\"";
            json += time;
            json += '"';
        }
    }
    const PresentationEntry* entry = findPresentation(frame.messageType);
    if (entry == nullptr) {
        appendDataWords(json, message);
    } else if (entry->writeJson != nullptr) {
        entry->writeJson(frame, message, json);
    }
    json += '}';
}

std::string rtcm2Json(const RtcmFrame& frame, const DecodedMessage& message, std::string_view device) {
    std::string json;
    appendRtcm2Json(frame, message, device, json);
    return json;
}

}  // namespace sondeco
