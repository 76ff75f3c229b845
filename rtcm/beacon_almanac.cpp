// Types 7 (GPS) and 35 (GLONASS): radiobeacon almanac, three data words per beacon.
//
// Bit layout of entry j (72 bits from bit 72j):
//   offset  0, width 16  latitude, two's complement, 90/32767 degrees
//   offset 16, width 16  longitude, two's complement, 180/32767 degrees
//   offset 32, width 10  range, km
//   offset 42, width 12  frequency, 0.1 kHz above 190 kHz
//   offset 54, width  2  health code
//   offset 56, width 10  transmitter (station) ID
//   offset 66, width  3  bit rate code
//   offset 69, width  3  modulation, synchronisation type, broadcast coding (not shown)
#include "rtcm/message_decoders.h"
#include "rtcm/reference_station.h"
#include "rtcm/text_format.h"

#include <array>

namespace sondeco {
namespace {

constexpr int EntryBits = 72;
constexpr std::array<const char*, 4> BeaconHealthTexts{"Operation Normal", "No Monitoring", "No Information", "Do Not Use"};

}  // namespace

void buildBeaconAlmanacPage(const RtcmFrame& frame, MessagePages& pages) {
    const auto bits = std::span<const std::uint8_t>(frame.dataBits);
    const int page = pageOfType(frame.messageType);
    std::string text = pages.PageTitles[static_cast<std::size_t>(page)] +
                       "\r\nTx ID  \tFrequency      \tLatitude       \tLongitude      \tRange  \tBit Rate\tHealth";
    const int count = frame.frameLength / 3;
    for (int j = 0; j < count; ++j) {
        const int base = EntryBits * j;
        text += "\r\n";
        text += padCell(zeroPadded(getBits(bits, base + 56, 10), 3), 0);
        const double latitude = getSignedBits(bits, base, 16) * 90.0 / 32767;
        const double longitude = getSignedBits(bits, base + 16, 16) * 180.0 / 32767;
        text += padCell(fixed(getBits(bits, base + 42, 12) * 0.1 + 190, 1) + " kHz", 1);
        text += padCell(formatAngle(latitude, true, false), 1);
        text += padCell(formatAngle(longitude, false, false), 1);
        text += padCell(std::to_string(getBits(bits, base + 32, 10)) + " km", 0);
        text += padCell(BitRateNames[static_cast<std::size_t>(getBits(bits, base + 66, 3))], 0);
        text += BeaconHealthTexts[static_cast<std::size_t>(getBits(bits, base + 54, 2))];
    }
    pages.publishPage(page, std::move(text));
}

}  // namespace sondeco
