// SPDX-License-Identifier: GPL-3.0-or-later
// Type 16: the station's broadcast text (the "special message"). Layout: SpecialText in
// message_layouts.h (three character codes a word; a code 0 ends the text). The page keeps the last
// twelve texts, newest first.
#include "rtcm/message_decoders.h"
#include "rtcm/message_layouts.h"

namespace sondeco {

void decodeSpecialMessage(const RtcmFrame& frame, DecodedMessage& message) {
    using namespace SpecialText;
    message.specialMessage.clear();
    for (int k = 0; k < frame.frameLength * CharactersPerWord; ++k) {
        const int code = getField(frame.dataWords, BitsPerCharacter * k, BitField{0, BitsPerCharacter});
        if (code == 0) break;
        message.specialMessage += static_cast<char>(code);  // a single-byte character, taken as it comes
    }
}

}  // namespace sondeco
