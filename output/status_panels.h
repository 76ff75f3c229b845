// SPDX-License-Identifier: GPL-3.0-or-later
// The frame header as the main window's status bar shows it: six panels, each a fixed prefix and the
// field. The window fills its panels with these texts and the headless decoder's "frames" output
// prints them on one line, so both say exactly the same.
#pragma once

#include "rtcm/rtcm_frame.h"

#include <array>
#include <string>

namespace sondeco {

inline constexpr int StatusPanelCount = 6;
// The panels' texts while nothing is locked, and the prefixes of what they show.
inline constexpr std::array<const char*, StatusPanelCount> StatusPrefixes{
    "Ref ID : ", "Msg Type : ", "Z-Count : ", "Seq Num : ", "Frame Len : ", ""};

// The header's station health as the status bar names it: "Normal" (0..5, whatever the range error
// scale), "Unmonitored" (6), "Not Working" (7).
const char* stationHealthText(int health);
// The six texts for a frame whose header word 2 has just been accepted.
std::array<std::string, StatusPanelCount> statusPanelTexts(const RtcmFrame& frame);
// The six bare prefixes, as after a loss of lock.
std::array<std::string, StatusPanelCount> bareStatusPanelTexts();

}  // namespace sondeco
