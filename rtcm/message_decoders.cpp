#include "rtcm/message_decoders.h"

#include <array>

namespace sondeco {
namespace {

using PageBuilder = void (*)(const RtcmFrame&, MessagePages&);

struct Decoder {
    int messageType;
    PageBuilder build;
};

constexpr std::array<Decoder, 11> Decoders{{
    {1, buildCorrectionPage},
    {3, buildReferenceStationPage},
    {5, buildConstellationHealthPage},
    {7, buildBeaconAlmanacPage},
    {9, buildCorrectionPage},
    {16, buildSpecialMessagePage},
    {31, buildCorrectionPage},
    {32, buildReferenceStationPage},
    {33, buildConstellationHealthPage},
    {34, buildCorrectionPage},
    {35, buildBeaconAlmanacPage},
}};

}  // namespace

void decodeMessage(const RtcmFrame& frame, MessagePages& pages) {
    for (const Decoder& decoder : Decoders) {
        if (decoder.messageType == frame.messageType) {
            decoder.build(frame, pages);
            return;
        }
    }
}

}  // namespace sondeco
