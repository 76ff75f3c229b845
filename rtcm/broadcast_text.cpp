// Type 16: the station's broadcast text (the "special message"). The data words carry 8-bit
// character codes, three a word, most significant bit first; a code 0 ends the text. The last twelve
// texts are kept, newest first.
#include "rtcm/message_decoders.h"

#include <algorithm>

namespace sondeco {

void buildSpecialMessagePage(const RtcmFrame& frame, MessagePages& pages) {
    const auto bits = std::span<const std::uint8_t>(frame.dataBits);
    std::string message;
    for (int k = 0; k < frame.frameLength * 3; ++k) {
        const int code = getBits(bits, 8 * k, 8);
        if (code == 0) break;
        message += static_cast<char>(code);  // a single-byte character, taken as it comes
    }
    // Even an empty text takes a place in the history and pushes the oldest out.
    auto& history = pages.SpecialMessageLines;
    std::move_backward(history.begin(), history.end() - 1, history.end());
    history.front() = std::move(message);

    std::string text = pages.PageTitles[SpecialMessagePage];
    for (const std::string& line : history)
        if (!line.empty()) text += line + "\r\n";
    pages.publishPage(SpecialMessagePage, std::move(text));
}

}  // namespace sondeco
