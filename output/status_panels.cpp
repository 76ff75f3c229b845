// SPDX-License-Identifier: GPL-3.0-or-later
#include "output/status_panels.h"

#include "present/text_format.h"

namespace sondeco {

const char* stationHealthText(int health) {
    if (health == 6) return "Unmonitored";
    if (health == 7) return "Not Working";
    return "Normal";
}

std::array<std::string, StatusPanelCount> statusPanelTexts(const RtcmFrame& frame) {
    std::array<std::string, StatusPanelCount> texts = bareStatusPanelTexts();
    texts[0] += zeroPadded(frame.stationId, 3);
    texts[1] += std::to_string(frame.messageType);
    texts[2] += formatZCount(frame.zCount);
    texts[3] += std::to_string(frame.sequenceNumber);
    texts[4] += std::to_string(frame.frameLength);
    texts[5] += stationHealthText(frame.stationHealth);
    return texts;
}

std::array<std::string, StatusPanelCount> bareStatusPanelTexts() {
    std::array<std::string, StatusPanelCount> texts;
    for (std::size_t panel = 0; panel < texts.size(); ++panel) texts[panel] = StatusPrefixes[panel];
    return texts;
}

}  // namespace sondeco
