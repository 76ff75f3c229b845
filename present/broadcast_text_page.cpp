// SPDX-License-Identifier: GPL-3.0-or-later
// The page and JSON of the special message (type 16); the page keeps the last twelve texts.
#include "present/json_format.h"
#include "present/message_pages.h"
#include "present/page_builders.h"
#include "present/text_format.h"

namespace sondeco {

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
