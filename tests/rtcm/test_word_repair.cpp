// SPDX-License-Identifier: GPL-3.0-or-later
// Word repair on words as a coherent receiver damages them: one wrong symbol flips two neighbouring
// bits (or D1 or D30 alone on a word's edge), and the soft decisions say how sure each bit is. Every
// outcome is counted: a repair must give the word that was sent or refuse, never another.
#include "rtcm/rtcm_encoder.h"
#include "rtcm/word_repair.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace sondeco {
namespace {

struct SentWord {
    std::array<SoftBit, 30> bits;
    std::uint32_t data;
    int previousD29, previousD30;
};

// Words of random data with their chained parity, every bit sure (reliability 8..20).
std::vector<SentWord> sentWords(std::size_t count, std::mt19937& random) {
    RtcmEncoder encoder;
    std::uniform_real_distribution<float> sure(8.0f, 20.0f);
    std::vector<SentWord> words;
    for (std::size_t w = 0; w < count; ++w) {
        SentWord word{};
        word.previousD29 = encoder.lastD29();
        word.previousD30 = encoder.lastD30();
        word.data = static_cast<std::uint32_t>(random()) & 0xFFFFFFu;
        const std::uint32_t sent = encoder.encodeWord(word.data);
        for (int i = 0; i < 30; ++i)
            word.bits[static_cast<std::size_t>(i)] = SoftBit{static_cast<std::uint8_t>(sent >> (29 - i) & 1u), sure(random)};
        words.push_back(word);
    }
    return words;
}

// A wrong symbol at bit edge `position` (1..29: bits position-1 and position; 0: D1 alone; 30: D30 alone).
void damageSymbol(std::array<SoftBit, 30>& bits, int position, float reliability) {
    for (int i : {position - 1, position}) {
        if (i < 0 || i >= 30) continue;
        bits[static_cast<std::size_t>(i)].bit ^= 1u;
        bits[static_cast<std::size_t>(i)].reliability = reliability;
    }
}

struct Outcomes {
    int right = 0, refused = 0, wrong = 0;
};

Outcomes judge(const std::vector<SentWord>& words, const auto& damage, const WordRepairLimits& limits = {}) {
    Outcomes outcomes;
    for (const SentWord& word : words) {
        std::array<SoftBit, 30> received = word.bits;
        damage(received);
        const RepairedWord repaired = repairWord(received, word.previousD29, word.previousD30, limits);
        if (!repaired.valid) {
            ++outcomes.refused;
        } else if (repaired.data == word.data) {
            ++outcomes.right;
            // The next word's D29*/D30* must be the ones sent, even when D30 itself was repaired.
            EXPECT_EQ(repaired.d29, word.bits[28].bit);
            EXPECT_EQ(repaired.d30, word.bits[29].bit);
        } else {
            ++outcomes.wrong;
            // A wrong word can pass as received (two wrong symbols that add up to a code word), but
            // then it must not look sure: its second weakest symbol gives it away.
            EXPECT_EQ(repaired.flippedBits, 0) << "a repair made a wrong word";
            EXPECT_LT(repaired.weakestOther, limits.othersFloor);
        }
    }
    return outcomes;
}

TEST(WordRepair, OneWrongSymbolIsRepairedTwoAreRefusedNoneIsRepairedWrongly) {
    std::mt19937 random(7);
    const std::vector<SentWord> words = sentWords(2000, random);
    std::uniform_int_distribution<int> edge(0, 30);
    std::uniform_real_distribution<float> unsure(0.2f, 2.5f);

    // Undamaged: passes as sent, nothing flipped, D29/D30 carried as sent.
    const Outcomes clean = judge(words, [](auto&) {});
    EXPECT_EQ(clean.right, 2000);
    for (std::size_t w = 0; w + 1 < words.size(); ++w) {
        const RepairedWord repaired = repairWord(words[w].bits, words[w].previousD29, words[w].previousD30);
        EXPECT_EQ(repaired.d29, words[w + 1].previousD29);
        EXPECT_EQ(repaired.d30, words[w + 1].previousD30);
    }

    // One unsure wrong symbol anywhere: always repaired, to the word sent.
    const Outcomes one = judge(words, [&](auto& bits) { damageSymbol(bits, edge(random), unsure(random)); });
    EXPECT_EQ(one.right, 2000);

    // One wrong symbol the receiver was sure of: never repaired (the parity cannot say which).
    const Outcomes sureWrong = judge(words, [&](auto& bits) { damageSymbol(bits, edge(random), 6.0f); });
    EXPECT_EQ(sureWrong.right, 0);
    EXPECT_EQ(sureWrong.refused, 2000);

    // Two unsure wrong symbols: the parity's strength is used up; refused, or (rarely) passed as
    // received when they add up to a code word, which the word's weakness then gives away.
    const Outcomes two = judge(words, [&](auto& bits) {
        const int first = edge(random);
        int second = edge(random);
        while (std::abs(second - first) < 2) second = edge(random);
        damageSymbol(bits, first, unsure(random));
        damageSymbol(bits, second, unsure(random));
    });
    EXPECT_EQ(two.right, 0);
    EXPECT_GT(two.refused, 1900);

    // An unsure wrong symbol next to another unsure (but right) one: refused, since either could be
    // the wrong one as far as the reliabilities go.
    const Outcomes crowded = judge(words, [&](auto& bits) {
        const int position = 1 + edge(random) % 20;
        damageSymbol(bits, position, unsure(random));
        bits[static_cast<std::size_t>(position + 5)].reliability = 1.0f;
    });
    EXPECT_EQ(crowded.right + crowded.refused, 2000);
    EXPECT_EQ(crowded.refused, 2000);
}

TEST(WordRepair, LimitsAndNoise) {
    std::mt19937 random(9);
    const std::vector<SentWord> words = sentWords(300, random);
    const auto pairInside = [](auto& bits) { damageSymbol(bits, 12, 1.0f); };
    const auto onEdge = [](auto& bits) { damageSymbol(bits, 30, 1.0f); };

    WordRepairLimits none;
    none.maximumFlips = 0;
    EXPECT_EQ(judge(words, pairInside, none).refused, 300);
    WordRepairLimits singles;
    singles.maximumFlips = 1;
    EXPECT_EQ(judge(words, pairInside, singles).refused, 300);
    EXPECT_EQ(judge(words, onEdge, singles).right, 300);
    WordRepairLimits strict;
    strict.reliabilityCeiling = 0.5f;
    EXPECT_EQ(judge(words, pairInside, strict).refused, 300);

    // Pure noise (random bits, reliabilities of a receiver whose beacon has gone): repair must not
    // turn many such words into valid ones. As received, one in 64 passes by chance.
    std::normal_distribution<float> gaussian(0.0f, 6.0f);
    int valid = 0, repaired = 0;
    for (int w = 0; w < 20000; ++w) {
        std::array<SoftBit, 30> bits{};
        for (SoftBit& bit : bits) {
            const float llr = gaussian(random);
            bit = SoftBit{static_cast<std::uint8_t>(llr > 0 ? 1 : 0), std::fabs(llr)};
        }
        const RepairedWord word = repairWord(bits, static_cast<int>(random() & 1u), static_cast<int>(random() & 1u));
        valid += word.valid;
        repaired += word.valid && word.flippedBits > 0;
    }
    EXPECT_LT(repaired, 20000 / 64);
    EXPECT_LT(valid, 2 * 20000 / 64);
}

}  // namespace
}  // namespace sondeco
