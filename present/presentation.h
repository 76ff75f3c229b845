// SPDX-License-Identifier: GPL-3.0-or-later
// How every message type the program knows is shown, in one table: its page's title, its family's
// page builder and JSON writer. The page order of the window's tabs is the order of the entries
// that have a page. A new output format is a column here and one function per family.
#pragma once

#include "present/page_builders.h"

#include <array>
#include <cstddef>

namespace sondeco {

struct PresentationEntry {
    int messageType;
    const char* title;  // the page's title, line ends included; nullptr for a type without a page
    PageBuilder buildPage;  // nullptr: no page
    JsonWriter writeJson;  // nullptr: the frame's JSON carries no members of its own
};

inline constexpr std::array<PresentationEntry, 12> Presentations{{
    {1, "Msg #1 : Differential GPS Corrections\r\n", buildCorrectionPage, writeCorrectionsJson},
    {3, "Msg #3 : GPS Reference Station Parameters\r\n", buildReferenceStationPage, writeReferenceStationJson},
    {5, "Msg #5 : GPS Constellation Health\r\n", buildConstellationHealthPage, writeConstellationHealthJson},
    {6, nullptr, nullptr, nullptr},  // the null frame: no page, and no JSON members of its own
    {7, "Msg #7 : DGPS Radiobeacon Almanac\r\n", buildBeaconAlmanacPage, writeBeaconAlmanacJson},
    {9, "Msg #9 : GPS Partial Correction Set\r\n", buildCorrectionPage, writeCorrectionsJson},
    {16, "Msg #16 : GPS Special Message\r\n\r\n", buildSpecialMessagePage, writeSpecialMessageJson},
    {31, "Msg #31 : Differential GLONASS Corrections\r\n", buildCorrectionPage, writeCorrectionsJson},
    {32, "Msg #32 : Differential GLONASS Reference Station Parameters\r\n", buildReferenceStationPage, writeReferenceStationJson},
    {33, "Msg #33 : GLONASS Constellation Health\r\n", buildConstellationHealthPage, writeConstellationHealthJson},
    {34, "Msg #34 : GLONASS Partial Differential Correction Set\r\n", buildCorrectionPage, writeCorrectionsJson},
    {35, "Msg #35 : GLONASS Radiobeacon Almanac\r\n", buildBeaconAlmanacPage, writeBeaconAlmanacJson},
}};

// The presentation of a message type, nullptr for a type the program does not know (its JSON then
// carries the raw data words).
const PresentationEntry* findPresentation(int messageType);

// ---- The pages: one per entry with a title, in table order ----------------------------------------
inline constexpr int PageCount = [] {
    int count = 0;
    for (const PresentationEntry& entry : Presentations) count += entry.title != nullptr ? 1 : 0;
    return count;
}();

inline constexpr std::array<int, PageCount> PageTypes = [] {
    std::array<int, PageCount> types{};
    std::size_t k = 0;
    for (const PresentationEntry& entry : Presentations)
        if (entry.title != nullptr) types[k++] = entry.messageType;
    return types;
}();

// Page index of a message type, -1 for types without a page.
constexpr int pageOfType(int messageType) {
    for (int k = 0; k < PageCount; ++k)
        if (PageTypes[static_cast<std::size_t>(k)] == messageType) return k;
    return -1;
}

inline constexpr int SpecialMessagePage = pageOfType(16);  // the one page with a single-break footer

}  // namespace sondeco
