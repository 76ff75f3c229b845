// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/message_registry.h"

namespace sondeco {
namespace {

// Message type (0..63) to its entry, built once from the table.
const std::array<const MessageTypeEntry*, 64>& entriesByType() {
    static const std::array<const MessageTypeEntry*, 64> byType = [] {
        std::array<const MessageTypeEntry*, 64> table{};
        for (const MessageTypeEntry& entry : MessageTypes) table[static_cast<std::size_t>(entry.messageType)] = &entry;
        return table;
    }();
    return byType;
}

}  // namespace

const MessageTypeEntry* findMessageType(int messageType) {
    if (messageType < 0 || messageType >= 64) return nullptr;
    return entriesByType()[static_cast<std::size_t>(messageType)];
}

void decodeMessageRecord(const RtcmFrame& frame, DecodedMessage& message) {
    message.dataWords.assign(frame.dataWords.begin(), frame.dataWords.begin() + frame.frameLength);
    const MessageTypeEntry* entry = findMessageType(frame.messageType);
    message.family = entry != nullptr ? entry->family : MessageFamily::Unknown;
    // Nothing of an earlier frame may show through to a listener; clearing keeps the capacity, so the
    // one record the decoder reuses still allocates nothing per frame.
    message.corrections.clear();
    message.station = {};
    message.hasStation = false;
    message.health.clear();
    message.almanac.clear();
    message.specialMessage.clear();
    if (entry != nullptr && entry->decode != nullptr) entry->decode(frame, message);
}

}  // namespace sondeco
