// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/word_layer.h"

#include "rtcm/parity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace sondeco {
namespace {

constexpr std::uint32_t DataMask = (1u << DataBitsPerWord) - 1;
constexpr std::uint32_t ParityMask = (1u << ParityBitsPerWord) - 1;
constexpr std::uint32_t WordMask = (1u << WordBitCount) - 1;
constexpr int PreambleShift = WordBitCount - 8;
constexpr std::uint32_t InvertedPreamble = ~RtcmPreamble & 0xFFu;

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

void WordLayer::keep(std::uint32_t bits, int count) {
    older_ = older_ << count | newer_ >> (64 - count);
    newer_ = newer_ << count | bits;
    received_ += static_cast<std::uint64_t>(count);
    // A replay still going on is cut short: frame assembly drains every replay before it hands over
    // new bits, so none is pending here.
    replayNext_ = received_;
}

std::uint8_t WordLayer::historyBit(std::uint64_t index) const {
    const std::uint64_t age = received_ - 1 - index;
    if (age >= 128) return softHistory_[index % HistoryBits];
    return static_cast<std::uint8_t>((age < 64 ? newer_ >> age : older_ >> (age - 64)) & 1u);
}

WordLayer::Step WordLayer::take(std::uint32_t bits, int count) {
    WordAssembler& a = assembler_;
    int taken = 0;
    while (taken < count) {
        if (a.wordSync) {
            // Synchronised, the bits only pile up until the word is whole: take as many at once as it needs.
            const int n = std::min(count - taken, WordBitCount - a.bitCount);
            const std::uint32_t chunk = bits >> (count - taken - n) & ((1u << n) - 1u);
            keep(chunk, n);
            taken += n;
            recent_ = (recent_ << n | chunk) & WordMask;
            recentCount_ = std::min(WordBitCount, recentCount_ + n);
            a.bitCount += n;
            if (a.bitCount == WordBitCount) return {endOfWord(), taken};
        } else {
            const auto bit = static_cast<std::uint8_t>(bits >> (count - taken - 1) & 1u);
            keep(bit, 1);
            ++taken;
            const Result result = take(bit);
            if (result != Result::Incomplete) return {result, taken};
        }
    }
    return {Result::Incomplete, taken};
}

WordLayer::Result WordLayer::pushSoftBit(SoftBit bit) {
    soft_ = true;
    reliability_[received_ % reliability_.size()] = bit.reliability;
    symbol_[received_ % symbol_.size()] = bit.symbol;
    softHistory_[received_ % HistoryBits] = static_cast<std::uint8_t>(bit.bit & 1u);
    return take(bit.bit & 1u, 1).result;
}

WordLayer::Result WordLayer::replayBit() {
    if (!replaying()) return Result::Incomplete;
    return take(historyBit(replayNext_++));
}

WordLayer::Result WordLayer::take(std::uint8_t bit) {
    recent_ = (recent_ << 1 | bit) & WordMask;
    if (recentCount_ < WordBitCount) ++recentCount_;
    if (!assembler_.wordSync) return search();
    if (++assembler_.bitCount < WordBitCount) return Result::Incomplete;
    return endOfWord();
}

WordLayer::Result WordLayer::endOfWord() {
    WordAssembler& a = assembler_;
    const std::uint8_t previousD29 = a.lastD29;
    const std::uint8_t previousD30 = a.lastD30;
    std::uint32_t word = recent_;
    lastWordRepaired_ = false;
    if (const std::optional<TrellisWord> decided = decidedFromSymbols()) return takeDecided(*decided);
    if (!checkParity(a, word)) {
        if (soft_) return repair(previousD29, previousD30);
        loseSync();
        return Result::ParityFailed;
    }
    data_ = word >> ParityBitsPerWord;
    if (a.wordIndex == 0) firstWordEnd_ = replayNext_;
    return Result::WordAccepted;
}

WordLayer::Result WordLayer::repair(std::uint8_t previousD29, std::uint8_t previousD30) {
    std::array<SoftBit, WordBitCount> received{};
    const std::uint64_t first = replayNext_ - WordBitCount;  // the word's D1
    for (std::size_t i = 0; i < received.size(); ++i) {
        const std::uint64_t n = first + i;
        received[i] = {historyBit(n), reliability_[n % reliability_.size()]};
    }
    const RepairedWord repaired = repairWord(received, previousD29, previousD30);
    WordAssembler& a = assembler_;
    a.lastD29 = repaired.d29;
    a.lastD30 = repaired.d30;
    if (repaired.valid) {
        data_ = repaired.data;
        lastWordRepaired_ = true;
        if (a.wordIndex == 0) firstWordEnd_ = replayNext_;
        return Result::WordAccepted;
    }
    return refuse();
}

WordLayer::Result WordLayer::refuse() {
    if (assembler_.wordIndex >= 2) return Result::WordLost;  // frame assembly moves on to the next word
    loseSync();
    return Result::ParityFailed;
}

// Whether the symbols of bits [first, end) are all kept: given by the demodulator and not yet
// overwritten.
bool WordLayer::symbolsKept(std::uint64_t first, std::uint64_t end) const {
    if (first >= end || end > received_ || received_ - first > HistoryBits) return false;
    for (std::uint64_t n = first; n < end; ++n)
        if (std::isnan(symbol_[n % HistoryBits])) return false;
    return true;
}

// A first word that passes as received is the likeliest word there; from symbols it must also be
// as sure as any other word, or a frame length or Z-count two symbols off could start a frame.
bool WordLayer::sureEnoughToLock() const {
    const std::optional<TrellisWord> decided = decidedFromSymbols();
    return !decided || decided->margin >= MinimumWordMargin;
}

// The word that ends with the last bit taken, decided from the symbols of its window (its 30 bits and
// the two before), when they are all kept.
std::optional<TrellisWord> WordLayer::decidedFromSymbols() const {
    if (!soft_ || !symbolsKept(replayNext_ - TrellisSymbolCount, replayNext_)) return std::nullopt;
    std::array<float, TrellisSymbolCount> symbols{};
    const std::uint64_t first = replayNext_ - TrellisSymbolCount;
    for (std::size_t i = 0; i < symbols.size(); ++i) symbols[i] = symbol_[(first + i) % HistoryBits];
    return decodeWordOnTrellis(symbols);
}

void WordLayer::forgetSymbols() { symbol_.fill(std::numeric_limits<float>::quiet_NaN()); }

// The word just completed, as decided from its symbols.
WordLayer::Result WordLayer::takeDecided(const TrellisWord& decided) {
    WordAssembler& a = assembler_;
    // The next word's window decides this word's D29/D30 again; until then this is the best guess,
    // and with it the data's inversion.
    a.lastD29 = decided.d29;
    a.lastD30 = decided.d30;
    if (!(decided.margin >= MinimumWordMargin)) return refuse();
    data_ = decided.data;
    lastWordRepaired_ = decided.received != (recent_ & WordMask);
    if (a.wordIndex == 0) firstWordEnd_ = replayNext_;
    return Result::WordAccepted;
}

void WordLayer::loseSync() {
    assembler_.wordSync = false;
    // The windows ending after the frame's first word were never searched. Replay them when there
    // are few (a short false lock); after a longer lock, those ending inside the rejected word: a bit
    // lost in a frame's last word lets that word take the next preamble's first bit, and the next
    // first word then ends one bit before the rejected word does.
    const std::uint64_t now = replayNext_;
    // (A word that has just passed as a first word and is rejected for its missing preamble counts as a
    // long lock: what went before it was a real frame.)
    const bool shortLock = firstWordEnd_ < now && now - firstWordEnd_ <= MaximumReplay;
    const std::uint64_t from = shortLock ? firstWordEnd_ : now - (WordBitCount - 1);
    if (from < WordBitCount || from >= now) return;
    recent_ = 0;
    for (std::uint64_t n = from - WordBitCount; n < from; ++n) recent_ = recent_ << 1 | historyBit(n);
    recentCount_ = WordBitCount;
    replayNext_ = from;
}

void WordLayer::searchAgainFrom(std::uint64_t from) {
    const std::uint64_t kept = soft_ ? HistoryBits : 128;
    if (assembler_.wordSync || from < WordBitCount || from >= replayNext_ || received_ - from > kept - WordBitCount) return;
    recent_ = 0;
    for (std::uint64_t n = from - WordBitCount; n < from; ++n) recent_ = recent_ << 1 | historyBit(n);
    recentCount_ = WordBitCount;
    replayNext_ = from;
}

WordLayer::Result WordLayer::search() {
    if (recentCount_ < WordBitCount) return Result::Incomplete;
    const std::uint32_t leading = recent_ >> PreambleShift;
    std::uint8_t d30Star = 0;
    if (leading == InvertedPreamble) {
        d30Star = 1;
    } else if (leading != RtcmPreamble) {
        return Result::Incomplete;
    }
    // The parity decides D29*: it enters three of the six checks, so at most one value can pass.
    for (std::uint8_t d29Star = 0; d29Star < 2; ++d29Star) {
        WordAssembler trial = assembler_;
        trial.lastD29 = d29Star;
        trial.lastD30 = d30Star;
        std::uint32_t word = recent_;
        if (!checkParity(trial, word)) continue;
        if (!sureEnoughToLock()) return Result::Incomplete;
        assembler_ = trial;
        assembler_.wordSync = true;
        assembler_.wordIndex = 0;
        assembler_.bitCount = WordBitCount;
        data_ = word >> ParityBitsPerWord;
        firstWordEnd_ = replayNext_;
        return Result::WordAccepted;
    }
    return Result::Incomplete;
}

}  // namespace sondeco
