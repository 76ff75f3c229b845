// SPDX-License-Identifier: GPL-3.0-or-later
// Type 16: the station's broadcast text (the "special message"). Layout: SpecialText in
// message_layouts.h (three character codes a word; a code 0 ends the text). The page keeps the last
// twelve texts, newest first.
#include "rtcm/json_format.h"
#include "rtcm/message_families.h"
#include "rtcm/message_layouts.h"
#include "rtcm/message_pages.h"

#include <algorithm>

namespace sondeco {

void decodeSpecialMessage(const RtcmFrame& frame, DecodedMessage& message) {
    using namespace SpecialText;
    message.specialMessage.clear();
    for (int k = 0; k < frame.frameLength * CharactersPerWord; ++k) {
        const int code = getField(frame.dataWords, BitsPerCharacter * k, BitField{0, BitsPerCharacter});
        if (code == 0) break;
        message.specialMessage += static_cast<char>(code);  // a single-byte character, taken as it comes
    }
}

void buildSpecialMessagePage(const RtcmFrame&, const DecodedMessage& message, MessagePages& pages) {
    // Even an empty text takes a place in the history and pushes the oldest out.
    auto& history = pages.SpecialMessageLines;
    std::move_backward(history.begin(), history.end() - 1, history.end());
    history.front() = message.specialMessage;

    std::string text = pages.PageTitles[SpecialMessagePage];
    for (const std::string& line : history)
        if (!line.empty()) text += line + "\r\n";
    pages.publishPage(SpecialMessagePage, std::move(text));
}

void writeSpecialMessageJson(const RtcmFrame&, const DecodedMessage& message, std::string& json) {
    json += ",\"message\":";
    appendJsonString(json, message.specialMessage);
}

}  // namespace sondeco
