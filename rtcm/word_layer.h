// The word layer: turns received bits into parity-checked 30-bit RTCM words. It searches for the
// preamble, collects words, checks each with the GPS navigation-message parity (ICD-GPS-200) and
// removes the data inversion the previous word's D30 causes. It knows nothing of frames or message
// types; frame assembly (rtcm_decoder.h) tells it where frames start and when to give up a lock.
#pragma once

#include "rtcm/rtcm_format.h"

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

// The word layer's state. Bits are kept packed, first received bit most significant.
struct WordAssembler {
    bool wordSync = false;       // false while searching for the preamble
    std::uint8_t searchRegister = 0;  // the last 8 bits seen while searching, the newest in bit 0
    std::uint32_t wordBits = 0;  // the word being received: its bitCount bits so far, the newest in bit 0
    int bitCount = 0;
    int wordIndex = 0;  // 0 = header word 1, 1 = header word 2, 2.. = data words (advanced by frame assembly)
    std::uint8_t lastD29 = 0;  // D29* and D30*: the last two received bits of the previous word
    std::uint8_t lastD30 = 0;
};

// Checks a received word, D1..D30 in bits 29..0: un-inverts D1..D24 in place when D30* is 1,
// records the word's D29/D30 as the next D29*/D30* whether or not it passes, and returns whether all
// six parity bits agree.
bool checkParity(WordAssembler& assembler, std::uint32_t& word30);
// The same on a word held one byte per bit, D1 first.
bool checkParity(WordAssembler& assembler, std::span<std::uint8_t, WordBitCount> word);

class WordLayer {
public:
    enum class Result { Incomplete, WordAccepted, ParityFailed };

    // One received bit, 0 or 1. A word is complete after its 30th bit: then the result says whether
    // it passed parity (its data bits are in data()) or failed (synchronisation is lost).
    Result pushBit(std::uint8_t bit);

    // d1..d24 of the word last accepted, d1 most significant.
    std::uint32_t data() const { return data_; }

    // Back to searching: a parity failure, or frame assembly found no preamble where one belongs.
    void loseSync() { assembler_.wordSync = false; }
    // Frame assembly has taken the accepted word: the next 30 bits are word `index` of its frame
    // (0 after the last word of a frame: the next header follows without a new search).
    void startWord(int index) {
        assembler_.wordIndex = index;
        assembler_.bitCount = 0;
    }

    const WordAssembler& state() const { return assembler_; }

private:
    WordAssembler assembler_;
    std::uint32_t data_ = 0;
};

}  // namespace sondeco
