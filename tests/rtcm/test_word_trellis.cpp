// SPDX-License-Identifier: GPL-3.0-or-later
// Maximum-likelihood words from soft symbols: exact on clean symbols, the previous word's D29*/D30*
// decided with the word; never worse than the word sent; and a margin that is the cost of the
// cheapest other word, which for this code can be as little as two symbols.
#include "rtcm/parity.h"
#include "rtcm/word_trellis.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace sondeco {
namespace {

using Symbols = std::array<float, TrellisSymbolCount>;

struct Window {
    std::uint32_t data;  // d1..d24 before the D30* inversion
    int d29Star;
    int d30Star;

    // D29*, D30*, D1..D30 as sent, D29* in bit 31.
    std::uint32_t bits() const {
        const std::uint32_t sent = d30Star != 0 ? data ^ 0xFFFFFFu : data;
        return static_cast<std::uint32_t>(d29Star) << 31 | static_cast<std::uint32_t>(d30Star) << 30 | sent << 6 |
               parityBits(data, d29Star, d30Star);
    }
};

Window randomWindow(std::mt19937& random) {
    return {static_cast<std::uint32_t>(random() & 0xFFFFFFu), static_cast<int>(random() & 1u), static_cast<int>(random() & 1u)};
}

// Symbols whose neighbours agree for a 1 and differ for a 0, every one `sureness` sure.
Symbols symbolsOf(std::uint32_t window, float sureness, bool firstPositive = true) {
    Symbols symbols{};
    float symbol = firstPositive ? sureness : -sureness;
    symbols[0] = symbol;
    for (int j = 0; j < TrellisSymbolCount - 1; ++j) {
        if ((window >> (31 - j) & 1u) == 0) symbol = -symbol;
        symbols[static_cast<std::size_t>(j) + 1] = symbol;
    }
    return symbols;
}

float metric(const Symbols& received, const Symbols& path) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < received.size(); ++i) sum += (path[i] > 0.0f ? received[i] : -received[i]) / 2.0f;
    return sum;
}

void expectDecoded(const TrellisWord& word, const Window& sent) {
    EXPECT_EQ(word.data, sent.data);
    EXPECT_EQ(word.previousD29, sent.d29Star);
    EXPECT_EQ(word.previousD30, sent.d30Star);
    EXPECT_EQ(word.received, sent.bits() & 0x3FFFFFFFu);
    EXPECT_EQ(word.d29, sent.bits() >> 1 & 1u);
    EXPECT_EQ(word.d30, sent.bits() & 1u);
}

// The pairs of symbols (in window numbering) whose flipping together leaves a valid word: found
// by hand from the parity columns, and what makes a floor on the margin necessary.
constexpr std::array<std::array<int, 2>, 3> TwoSymbolRivals{{{6, 26}, {7, 28}, {15, 31}}};

TEST(WordTrellis, CleanWordsAreExactAndTheirNearestRivalsAreTwoSymbolsAway) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 300; ++trial) {
        const Window sent = randomWindow(random);
        // Either polarity of the symbols gives the same bits.
        const Symbols clean = symbolsOf(sent.bits(), 10.0f, trial % 2 == 0);
        const TrellisWord word = decodeWordOnTrellis(clean);
        expectDecoded(word, sent);
        EXPECT_FLOAT_EQ(word.margin, 20.0f);

        // Two unsure symbols of a rival pair bring the rival within their cost; both wrong, the rival
        // is the likeliest word, and only the small margin says so.
        const auto& pair = TwoSymbolRivals[static_cast<std::size_t>(trial) % TwoSymbolRivals.size()];
        Symbols weak = clean;
        for (const int k : pair) weak[static_cast<std::size_t>(k)] /= 10.0f;
        EXPECT_FLOAT_EQ(decodeWordOnTrellis(weak).margin, 2.0f);
        for (const int k : pair) weak[static_cast<std::size_t>(k)] = -weak[static_cast<std::size_t>(k)];
        const TrellisWord rival = decodeWordOnTrellis(weak);
        EXPECT_NE(rival.received, word.received);
        EXPECT_FLOAT_EQ(rival.margin, 2.0f);
        EXPECT_EQ(parityBits(rival.data, rival.previousD29, rival.previousD30), rival.received & 0x3Fu);
    }
}

TEST(WordTrellis, NoisyWordsAreCodeWordsAtLeastAsLikelyAsTheOneSent) {
    std::mt19937 random(11);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    int exact = 0, hardExact = 0, trials = 2000;
    for (int trial = 0; trial < trials; ++trial) {
        const Window sent = randomWindow(random);
        // Symbols of Eb/N0 about 3 dB: mean log-likelihood ratio 8, variance twice that.
        const Symbols clean = symbolsOf(sent.bits(), 8.0f);
        Symbols received{};
        for (std::size_t i = 0; i < received.size(); ++i) received[i] = clean[i] + 4.0f * noise(random);
        const TrellisWord word = decodeWordOnTrellis(received);
        ASSERT_EQ(parityBits(word.data, word.previousD29, word.previousD30), word.received & 0x3Fu);
        const std::uint32_t decided =
            static_cast<std::uint32_t>(word.previousD29) << 31 | static_cast<std::uint32_t>(word.previousD30) << 30 | word.received;
        // The decided bits as the likelier of their two symbol paths.
        const float decidedMetric = std::max(metric(received, symbolsOf(decided, 1.0f)), metric(received, symbolsOf(decided, 1.0f, false)));
        EXPECT_GE(decidedMetric + 1e-3f, metric(received, clean));
        EXPECT_GE(word.margin, 0.0f);
        exact += word.data == sent.data;
        std::uint32_t hard = 0;
        for (std::size_t i = 1; i < received.size(); ++i) hard = hard << 1 | ((received[i] > 0.0f) == (received[i - 1] > 0.0f) ? 1u : 0u);
        hardExact += hard == sent.bits();
    }
    // About one symbol in 50 is wrong here: hard decisions get some four words in five right, the
    // trellis more than nineteen in twenty.
    EXPECT_LT(hardExact, trials * 85 / 100);
    EXPECT_GT(exact, trials * 93 / 100);
}

TEST(WordTrellis, TwoWrongSymbolsAnywhereThatMakeNoOtherWordAreCorrectedWithAWideMargin) {
    std::mt19937 random(5);
    for (int trial = 0; trial < 200; ++trial) {
        const Window sent = randomWindow(random);
        Symbols received = symbolsOf(sent.bits(), 20.0f);
        // Two symbols barely wrong, never a rival pair (three can be: some 120 triples of symbols
        // make another word): every rival differs from the word sent in at least one sure symbol.
        std::array<bool, TrellisSymbolCount> wrong{};
        for (int count = 0; count < 2;) {
            const auto k = static_cast<std::size_t>(random() % TrellisSymbolCount);
            bool completesPair = wrong[k];
            for (const auto& pair : TwoSymbolRivals)
                for (int side = 0; side < 2; ++side)
                    completesPair |= pair[static_cast<std::size_t>(side)] == static_cast<int>(k) &&
                                     wrong[static_cast<std::size_t>(pair[1 - static_cast<std::size_t>(side)])];
            if (completesPair) continue;
            wrong[k] = true;
            received[k] = received[k] > 0.0f ? -1.0f : 1.0f;
            ++count;
        }
        const TrellisWord word = decodeWordOnTrellis(received);
        expectDecoded(word, sent);
        EXPECT_GE(word.margin, 20.0f - 2 * 1.0f);
    }
}

}  // namespace
}  // namespace sondeco
