// SPDX-License-Identifier: GPL-3.0-or-later
// The word layer: turns received bits into parity-checked 30-bit RTCM words. It searches for a frame's
// first word, collects words, checks each with the GPS navigation-message parity (ICD-GPS-200) and
// removes the data inversion the previous word's D30 causes. It knows nothing of frames or message
// types; frame assembly (rtcm_decoder.h) tells it where frames start and when to give up a lock.
//
// Searching, it looks at the last 30 bits received after every bit: they lock when they hold the
// preamble, upright or inverted, and pass parity as a frame's first word. Which D29*/D30* the word was
// sent after is not known there, but the preamble's polarity gives D30* (upright 0, inverted 1) and
// only one D29* can make the parity pass. So a lock needs no particular previous word, and because the
// last 30 bits are always kept, a preamble that began inside a rejected word (after a slipped bit, say)
// is still found.
//
// A false lock (noise that passes as a first word, one time in 4096) holds until the next word fails,
// and while it holds the search is blind: a real first word ending in those bits would be missed, and
// the preamble's repeats make that likely (the two bits before an upright preamble, when they are 1,0,
// begin an inverted one). So when a lock ends within two words of a frame's first word, the windows
// it covered are searched again from the bits kept: the layer replays them (replaying(), replayBit()).
// After a longer lock, the windows ending inside the rejected word are searched again the same way.
//
// Soft bits (from the coherent detector) add two things. A synchronised word is decided from the
// soft symbols by maximum likelihood (word_trellis.h) and taken only when its margin over the
// likeliest other word reaches a floor; soft bits without symbols are repaired instead where one
// unsure symbol among sure ones explains a parity failure (word_repair.h). And a data word that cannot
// be decided costs its frame but not the lock: the frame length is known, so the next header is where
// it was going to be, and can itself be decided. With hard bits every parity failure drops the lock,
// as the window's decoder always did. The search takes only first words that pass as received,
// whichever the input, and from symbols only those as sure as the floor.
#pragma once

#include "rtcm/bit_sink.h"
#include "rtcm/rtcm_format.h"
#include "rtcm/word_repair.h"
#include "rtcm/word_trellis.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace sondeco {

// The word layer's state.
struct WordAssembler {
    bool wordSync = false;  // false while searching for a frame's first word
    int bitCount = 0;  // bits of the word being received (while synchronised)
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
    // WordLost: a data word failed and could not be repaired, but the lock holds (soft bits only).
    enum class Result { Incomplete, WordAccepted, ParityFailed, WordLost };

    // One received bit, 0 or 1. While synchronised a word is complete after its 30th bit: then the
    // result says whether it passed parity (its data bits are in data()) or failed (synchronisation
    // is lost). While searching, WordAccepted means the last 30 bits are a frame's first word.
    Result pushBit(std::uint8_t bit) { return pushBits(bit, 1).result; }

    // Up to 30 received bits at once, the first in bit `count` - 1 (a serial stream's six bits a byte).
    // The layer stops after the bit that completes a word or locks, so that frame assembly can act
    // on it before the rest: `taken` says how many bits it took, and the caller hands over the others
    // next.
    struct Step {
        Result result;
        int taken;
    };
    WordLayer() { forgetSymbols(); }

    Step pushBits(std::uint32_t bits, int count) {
        if (soft_) forgetSymbols();  // the kept symbols no longer belong to the bits around them
        soft_ = false;  // hard bits again (the window's receiver switched back): no repair, no kept lock
        return take(bits, count);
    }
    // One soft bit: as pushBit, with repair and the kept lock described above.
    Result pushSoftBit(SoftBit bit);

    // The least margin (log-likelihood ratio over the likeliest other word) a word decided from
    // symbols must have to be taken: a word taken at the floor is wrong about once in e^14 (1.2
    // million). The margins proved calibrated (as many wrong words as they promise, with random
    // frame contents), and with this floor they promise at most 3 wrong frames in 10 million passed
    // at the worst Eb/N0; 12 would pass some 0.25 dB weaker signals at 5 in a million. Every word of
    // this code has other words two symbols away, so the floor, not the decoder, sets the
    // sensitivity: docs/performance.md, "Maximum-likelihood words".
    static constexpr float MinimumWordMargin = 14.0f;

    // Whether the word last accepted needed bits flipped (repaired, or decided otherwise than received).
    bool lastWordRepaired() const { return lastWordRepaired_; }
    bool softInput() const { return soft_; }

    // d1..d24 of the word last accepted, d1 most significant.
    std::uint32_t data() const { return data_; }

    // Back to searching: a parity failure, or frame assembly found no preamble where one belongs.
    // Arranges the replay of the bits since the frame's first word when the lock was that short.
    void loseSync();
    // After a lock has ended (loseSync), search again every window that ends after bit number `from`
    // (as far back as the bits are kept, HistoryBits): frame assembly asks for it when a frame it
    // could not vouch for turns out false, so that the real frames its length swallowed are found.
    void searchAgainFrom(std::uint64_t from);
    // The number of the bit after the current frame's first word: where searchAgainFrom starts to
    // find what that first word may have hidden.
    std::uint64_t firstWordEnd() const { return firstWordEnd_; }
    // Bits taken so far, replayed ones counted where they belong: the number of the next bit.
    std::uint64_t position() const { return replayNext_; }
    // Bits received since a lock that has just ended, to be searched again: while replaying() is true,
    // each replayBit() takes the next of them through the layer as pushBit would.
    bool replaying() const { return replayNext_ < received_; }
    Result replayBit();
    // Frame assembly has taken the accepted word: the next 30 bits are word `index` of its frame
    // (0 after the last word of a frame: the next header follows without a new search).
    void startWord(int index) {
        assembler_.wordIndex = index;
        assembler_.bitCount = 0;
    }

    const WordAssembler& state() const { return assembler_; }

    // How many of the last soft bits received are kept (with their reliabilities): a frame of 33
    // words and the header after it, with room. Of hard bits the last 128 are kept.
    static constexpr std::size_t HistoryBits = 2048;

private:
    static constexpr int MaximumReplay = 2 * WordBitCount + 6;  // a lock ended by the frame's 2nd or 3rd word

    Step take(std::uint32_t bits, int count);
    void keep(std::uint32_t bits, int count);
    Result take(std::uint8_t bit);
    Result endOfWord();
    Result repair(std::uint8_t previousD29, std::uint8_t previousD30);
    bool symbolsKept(std::uint64_t first, std::uint64_t end) const;
    void forgetSymbols();
    bool sureEnoughToLock() const;
    std::optional<TrellisWord> decidedFromSymbols() const;
    Result takeDecided(const TrellisWord& decided);
    Result refuse();
    Result search();
    std::uint8_t historyBit(std::uint64_t index) const;

    WordAssembler assembler_;
    std::uint32_t recent_ = 0;  // the last 30 bits taken, the newest in bit 0
    int recentCount_ = 0;  // how many of them there are, up to 30
    std::uint32_t data_ = 0;
    // The last 128 bits received, packed: the newest in bit 0 of newer_, the 65th newest in bit 0 of
    // older_. Enough for a replay after a short lock and the 30 bits before it; kept for every input,
    // two shifts a call, so that the byte stream's six bits at a time stay cheap.
    std::uint64_t newer_ = 0;
    std::uint64_t older_ = 0;
    // Soft input: the last HistoryBits bits, bit n at n % HistoryBits, for a search after a long lock.
    std::array<std::uint8_t, HistoryBits> softHistory_{};
    std::uint64_t received_ = 0;  // bits received
    std::uint64_t replayNext_ = 0;  // number of the next bit to take: received_ unless replaying
    std::uint64_t firstWordEnd_ = 0;  // number of the last bit of the current frame's first word, + 1
    // Soft input: each kept bit's reliability, by bit number modulo the size (as far back as the bits).
    bool soft_ = false;
    std::array<float, HistoryBits> reliability_{};
    std::array<float, HistoryBits> symbol_{};  // and the symbol's log-likelihood ratio, NaN if none
    bool lastWordRepaired_ = false;
};

}  // namespace sondeco
