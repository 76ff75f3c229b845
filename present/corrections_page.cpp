// SPDX-License-Identifier: GPL-3.0-or-later
// The pages and JSON of pseudorange corrections (types 1, 9, 31, 34). The page keeps one line per
// satellite and system, shared by the two types of a system: a line not refreshed by 30 messages of
// that system is dropped at the 31st.
#include "present/json_format.h"
#include "present/message_pages.h"
#include "present/page_builders.h"
#include "present/text_format.h"
#include "rtcm/message_decoders.h"

#include <cmath>

namespace sondeco {

namespace {

constexpr int MaxAge = 30;  // a line still listed at the 30th message without it, gone at the 31st

const char* const GpsHeader = "Sat ID \tPseudorange    \tRange Rate     \tZ-Count        \tIOD  \tUser Error";
const char* const GlonassHeader = "Sat ID \tPseudorange    \tRange Rate     \tZ-Count        \tTb  \tUser Error";

std::string signedValue(double value, int decimals, const char* unit) {
    // Built by appending: GCC 12 at -O3 misreads "literal" + std::string as an overlapping copy
    // (-Wrestrict), which breaks the optimised build.
    std::string text(value >= 0 ? "+" : "-");
    text += fixed(std::fabs(value), decimals);
    text += unit;
    return text;
}

std::string userErrorCell(int udre, const RtcmFrame& frame) {
    if (frame.stationHealth == 6) return "N/A m";
    static constexpr double Bound[4] = {1.0, 4.0, 8.0, 8.0};
    std::string text(udre == 3 ? ">" : "<");
    text += fixed(Bound[udre] * frame.udreScale, 2);
    text += " m";
    return text;
}

std::string correctionLine(const RtcmFrame& frame, const PseudorangeCorrection& entry) {
    std::string line = padCell(zeroPadded(entry.satelliteId, 2), 0);
    line += padCell(entry.pseudorangeCorrection ? signedValue(*entry.pseudorangeCorrection, 2, " m") : "N/A", 1);
    line += padCell(entry.rangeRateCorrection ? signedValue(*entry.rangeRateCorrection, 3, " m/s") : "N/A", 1);
    line += padCell(formatZCount(frame.zCount), 1);  // the frame's time tag, not the satellite's
    line += padCell(std::to_string(entry.issueOfData), 0);  // IOD or tb: the column heading says which
    line += userErrorCell(entry.udre, frame);
    return line;
}

}  // namespace

void buildCorrectionPage(const RtcmFrame& frame, const DecodedMessage& message, MessagePages& pages) {
    const int type = frame.messageType;
    // A type 34 frame with fewer than two words is the "null" partial set: no change at all.
    if (type == 34 && frame.frameLength < 2) return;
    const bool glonass = isGlonassCorrections(type);
    const int system = glonass ? GlonassCorrections : GpsCorrections;
    auto& lines = pages.CorrectionLines[static_cast<std::size_t>(system)];
    auto& ages = pages.CorrectionAge[static_cast<std::size_t>(system)];

    for (std::size_t slot = 0; slot < lines.size(); ++slot)
        if (!lines[slot].empty()) ++ages[slot];

    for (const PseudorangeCorrection& entry : message.corrections) {
        const auto slot = static_cast<std::size_t>(entry.satelliteId - 1);
        ages[slot] = 0;
        lines[slot] = correctionLine(frame, entry);
    }

    for (std::size_t slot = 0; slot < lines.size(); ++slot)
        if (ages[slot] > MaxAge) lines[slot].clear();

    const int page = pageOfType(type);
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] + "\r\n" + (glonass ? GlonassHeader : GpsHeader);
    for (const std::string& line : lines)
        if (!line.empty()) text += "\r\n" + line;
    pages.publishPage(page, std::move(text));
}

void writeCorrectionsJson(const RtcmFrame& frame, const DecodedMessage& message, std::string& json) {
    const bool glonass = isGlonassCorrections(frame.messageType);
    json += ",\"satellites\":[";
    bool first = true;
    for (const PseudorangeCorrection& entry : message.corrections) {
        json += first ? "{" : ",{";
        first = false;
        json += "\"ident\":";
        appendJsonInteger(json, entry.satelliteId);
        json += ",\"udre\":";
        appendJsonInteger(json, entry.udre);
        if (glonass) {
            json += ",\"change\":";
            json += jsonBoolean(entry.ephemerisChanged);
            json += ",\"tod\":";
        } else {
            json += ",\"iod\":";
        }
        appendJsonInteger(json, entry.issueOfData);
        json += ",\"prc\":";
        if (entry.pseudorangeCorrection) {
            appendJsonFixed(json, *entry.pseudorangeCorrection, 3);
        } else {
            json += "null";
        }
        json += ",\"rrc\":";
        if (entry.rangeRateCorrection) {
            appendJsonFixed(json, *entry.rangeRateCorrection, 3);
        } else {
            json += "null";
        }
        json += '}';
    }
    json += ']';
}

}  // namespace sondeco
