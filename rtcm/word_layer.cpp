#include "rtcm/word_layer.h"

#include "rtcm/parity.h"

namespace sondeco {
namespace {

constexpr std::uint32_t DataMask = (1u << DataBitsPerWord) - 1;
constexpr std::uint32_t ParityMask = (1u << ParityBitsPerWord) - 1;
constexpr std::uint32_t WordMask = (1u << WordBitCount) - 1;

}  // namespace

bool checkParity(WordAssembler& assembler, std::uint32_t& word30) {
    const std::uint32_t d29Star = assembler.lastD29;
    const std::uint32_t d30Star = assembler.lastD30;
    word30 &= WordMask;
    if (d30Star != 0) word30 ^= DataMask << ParityBitsPerWord;
    assembler.lastD29 = static_cast<std::uint8_t>(word30 >> 1 & 1u);
    assembler.lastD30 = static_cast<std::uint8_t>(word30 & 1u);
    return parityBits(word30 >> ParityBitsPerWord, static_cast<int>(d29Star), static_cast<int>(d30Star)) == (word30 & ParityMask);
}

bool checkParity(WordAssembler& assembler, std::span<std::uint8_t, WordBitCount> word) {
    std::uint32_t packed = 0;
    for (const std::uint8_t bit : word) packed = packed << 1 | (bit & 1u);
    const bool passed = checkParity(assembler, packed);
    for (std::size_t i = 0; i < static_cast<std::size_t>(DataBitsPerWord); ++i)
        word[i] = static_cast<std::uint8_t>(packed >> (WordBitCount - 1 - static_cast<int>(i)) & 1u);
    return passed;
}

WordLayer::Result WordLayer::pushBit(std::uint8_t bit) {
    bit &= 1u;
    WordAssembler& a = assembler_;
    if (a.wordSync) {
        a.wordBits = a.wordBits << 1 | bit;
        if (++a.bitCount < WordBitCount) return Result::Incomplete;
        std::uint32_t word = a.wordBits;
        if (!checkParity(a, word)) {
            a.wordSync = false;
            return Result::ParityFailed;
        }
        data_ = word >> ParityBitsPerWord;
        return Result::WordAccepted;
    }
    // Searching: only an exact, upright preamble locks. No bit error is forgiven, and an inverted
    // preamble is not taken, since the first lock has to assume D29* = D30* = 0. The register holds
    // only bits seen while searching: after a lost lock the search goes on from the next bit, never
    // back into the rejected word.
    a.searchRegister = static_cast<std::uint8_t>(a.searchRegister << 1 | bit);
    if (a.searchRegister != RtcmPreamble) return Result::Incomplete;
    a.wordSync = true;
    a.wordBits = RtcmPreamble;
    a.bitCount = 8;
    a.wordIndex = 0;
    a.lastD29 = 0;
    a.lastD30 = 0;
    return Result::Incomplete;
}

}  // namespace sondeco
