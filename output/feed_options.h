// SPDX-License-Identifier: GPL-3.0-or-later
// The words of the feed options, --listen, --serial, --baud and --max-clients, for every program that
// takes them: their names, what their values look like, their help, and the check of the values
// given, so that the desktop program (Qt's parser) and the tools (CLI11) say the same things in the
// same words and take the same ranges.
#pragma once

#include "output/output_feeds.h"

#include <optional>
#include <string>
#include <vector>

namespace sondeco {

struct FeedOptionText {
    const char* name;  // without the dashes
    const char* valueName;
    const char* help;  // one sentence or two, no line breaks
};

// The help as a terminal usage text has it (no capital at the start, no full stop at the end).
inline constexpr FeedOptionText ListenOption{
    "listen", "[HOST:]PORT[/FORMAT][@ID]",
    "also serve the frames over TCP to every client that connects, from the next whole frame on: FORMAT is rtcm, json, frames or "
    "pages (by default what the program writes itself: sondeco-decode its -o format, the desktop program rtcm), HOST 127.0.0.1 "
    "unless given (0.0.0.0 for every network, [::1] for IPv6), @ID only station ID's frames; may be given several times"};
inline constexpr FeedOptionText SerialOption{"serial", "DEVICE", "also write the frames as RTCM bytes to a serial port, raw 8N1"};
inline constexpr FeedOptionText BaudOption{"baud", "N", "the serial port's speed, 1200..921600 (default 9600)"};
inline constexpr FeedOptionText MaxClientsOption{
    "max-clients", "N", "clients each --listen port serves at once, 1..900 (default 64); one more is let in and closed at once"};
inline constexpr FeedOptionText FeedOptions[] = {ListenOption, MaxClientsOption, SerialOption, BaudOption};

// "      --serial DEVICE    also write the frames ..." wrapped to `width` columns with the help from
// column `helpColumn`, as the tools' usage texts lay out an option.
std::string usageEntry(const FeedOptionText& option, std::size_t helpColumn = 25, std::size_t width = 96);
// The help as a sentence, as Qt's generated help shows it.
std::string helpSentence(const FeedOptionText& option);

// The feed options as a command line gave them, not yet checked.
struct FeedOptionValues {
    std::vector<std::string> listen;
    std::optional<std::string> serial;
    std::optional<std::string> baud;
    std::optional<std::string> maxClients;
};

// Checks the values and fills `settings` (the listen addresses, the serial device and speed, the
// client limit); anything else in it is left as it is. Returns the problem as a user reads it
// ("--baud: 5 is not a standard speed from 1200 to 921600"), or nothing.
std::optional<std::string> readFeedOptions(const FeedOptionValues& values, FeedSettings& settings);

}  // namespace sondeco
