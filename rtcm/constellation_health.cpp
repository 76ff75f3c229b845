// Types 5 (GPS) and 33 (GLONASS): constellation health, one data word per satellite.
//
// Bit layout of data word i (offsets inside the word):
//   offset  0, width 1  reserved
//   offset  1, width 5  satellite ID, 0 meaning 32
//   offset  6, width 1  IOD link
//   offset  7, width 3  data health
//   offset 10, width 5  C/N0: 0 not available, else value + 24 dB
//   offset 15, width 1  health enable
//   offset 16, width 1  new navigation data
//   offset 17, width 1  loss-of-satellite warning
//   offset 18, width 4  time to unhealthy, 5 minute units
//   offset 22, width 2  unassigned
#include "rtcm/message_decoders.h"
#include "rtcm/text_format.h"

namespace sondeco {

void buildConstellationHealthPage(const RtcmFrame& frame, MessagePages& pages) {
    const auto bits = std::span<const std::uint8_t>(frame.dataBits);
    const bool glonass = frame.messageType == 33;
    const int page = pageOfType(frame.messageType);
    // The heading starts with a lone CR: the text box takes it as a line end, so one empty line
    // separates it from the title.
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] +
                       "\rSat ID \tNavi   \tHealth \tC/N    \tDGPS   \tNew    \tWarning";
    for (int i = 0; i < frame.frameLength; ++i) {
        const int w = DataBitsPerWord * i;
        auto bit = [&](int offset) { return frame.dataBits[static_cast<std::size_t>(w + offset)] != 0; };
        text += "\r\n";
        int satellite = getBits(bits, w + 1, 5);
        if (satellite == 0) satellite = 32;
        text += padCell(zeroPadded(satellite, 2), 0);
        if (getBits(bits, w + 7, 3) == 0) {
            text += padCell("OK", 0) + padCell("-", 0);
        } else {
            text += padCell("NG", 0) + padCell(bit(15) ? "OK" : "NG", 0);
        }
        const int carrierToNoise = getBits(bits, w + 10, 5);
        text += padCell(carrierToNoise == 0 ? "N/A dB" : std::to_string(carrierToNoise + 24) + " dB", 0);
        if (glonass) {
            text += padCell(bit(6) ? "-" : "31,34", 0);
            text += padCell(bit(16) ? "Tb" : "-", 0);
        } else {
            text += padCell(bit(6) ? "2" : "1,9", 0);
            text += padCell(bit(16) ? "IOD" : "-", 0);
        }
        text += bit(17) ? std::to_string(getBits(bits, w + 18, 4) * 5) + " min" : "Non";
    }
    pages.publishPage(page, std::move(text));
}

}  // namespace sondeco
