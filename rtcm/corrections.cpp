// Types 1, 9 (GPS) and 31, 34 (GLONASS): pseudorange corrections.
//
// The data words form one bit string of 40-bit satellite entries; bits after the last whole entry
// are fill. Entry m starts at bit 40m:
//   offset  0, width  1  scale factor S: 0 fine (PRC 0.02 m, RRC 0.002 m/s), 1 coarse (0.32, 0.032)
//   offset  1, width  2  UDRE, 0..3
//   offset  3, width  5  satellite ID, 1..31, 0 meaning 32
//   offset  8, width 16  PRC, two's complement; 0x8000 = not available
//   offset 24, width  8  RRC, two's complement; 0x80 = not available
//   offset 32, width  8  IOD (types 1, 9)
//   offset 32, width  1  change-of-ephemeris flag (types 31, 34; not shown)
//   offset 33, width  7  tb (types 31, 34)
#include "rtcm/message_decoders.h"
#include "rtcm/text_format.h"

#include <cmath>

namespace sondeco {
namespace {

constexpr int EntryBits = 40;
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

std::string correctionLine(const RtcmFrame& frame, int b, bool glonass, int satellite) {
    const auto bits = std::span<const std::uint8_t>(frame.dataBits);
    const bool coarse = frame.dataBits[static_cast<std::size_t>(b)] != 0;
    std::string line = padCell(zeroPadded(satellite, 2), 0);

    if (getBits(bits, b + 8, 16) == 0x8000) {
        line += padCell("N/A", 1);
    } else {
        line += padCell(signedValue(getSignedBits(bits, b + 8, 16) * (coarse ? 0.32 : 0.02), 2, " m"), 1);
    }
    if (getBits(bits, b + 24, 8) == 0x80) {
        line += padCell("N/A", 1);
    } else {
        line += padCell(signedValue(getSignedBits(bits, b + 24, 8) * (coarse ? 0.032 : 0.002), 3, " m/s"), 1);
    }
    line += padCell(formatZCount(frame.zCount), 1);  // the frame's time tag, not the satellite's
    line += padCell(std::to_string(glonass ? getBits(bits, b + 33, 7) : getBits(bits, b + 32, 8)), 0);
    line += userErrorCell(getBits(bits, b + 1, 2), frame);
    return line;
}

}  // namespace

void buildCorrectionPage(const RtcmFrame& frame, MessagePages& pages) {
    const int type = frame.messageType;
    // A type 34 frame with fewer than two words is the "null" partial set: no change at all.
    if (type == 34 && frame.frameLength < 2) return;
    const bool glonass = type == 31 || type == 34;
    const int system = glonass ? GlonassCorrections : GpsCorrections;
    auto& lines = pages.CorrectionLines[static_cast<std::size_t>(system)];
    auto& ages = pages.CorrectionAge[static_cast<std::size_t>(system)];

    for (std::size_t slot = 0; slot < lines.size(); ++slot)
        if (!lines[slot].empty()) ++ages[slot];

    const int entries = DataBitsPerWord * frame.frameLength / EntryBits;
    for (int m = 0; m < entries; ++m) {
        const int b = EntryBits * m;
        int satellite = getBits(frame.dataBits, b + 3, 5);
        if (satellite == 0) satellite = 32;
        const auto slot = static_cast<std::size_t>(satellite - 1);
        ages[slot] = 0;
        lines[slot] = correctionLine(frame, b, glonass, satellite);
    }

    for (std::size_t slot = 0; slot < lines.size(); ++slot)
        if (ages[slot] > MaxAge) lines[slot].clear();

    const int page = pageOfType(type);
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] + "\r\n" + (glonass ? GlonassHeader : GpsHeader);
    for (const std::string& line : lines)
        if (!line.empty()) text += "\r\n" + line;
    pages.publishPage(page, std::move(text));
}

}  // namespace sondeco
