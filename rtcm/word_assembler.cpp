#include "rtcm/word_assembler.h"

#include "rtcm/parity.h"

namespace sondeco {

bool checkParity(WordAssembler& assembler, std::span<std::uint8_t, WordBitCount> word) {
    const int d29Star = assembler.lastD29;
    const int d30Star = assembler.lastD30;
    std::uint32_t data = 0;
    for (int i = 0; i < 24; ++i) {
        word[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((word[static_cast<std::size_t>(i)] ^ d30Star) & 1u);
        data = data << 1 | word[static_cast<std::size_t>(i)];
    }
    std::uint32_t received = 0;
    for (int i = 24; i < WordBitCount; ++i) received = received << 1 | (word[static_cast<std::size_t>(i)] & 1u);
    assembler.lastD29 = word[28] & 1u;
    assembler.lastD30 = word[29] & 1u;
    return parityBits(data, d29Star, d30Star) == received;
}

}  // namespace sondeco
