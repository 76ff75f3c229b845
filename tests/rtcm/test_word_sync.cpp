// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_view.h"

#include "rtcm/parity.h"

#include <gtest/gtest.h>

namespace sondeco::testing {
namespace {

std::array<std::uint8_t, WordBitCount> wordBits(std::uint32_t word30) {
    std::array<std::uint8_t, WordBitCount> bits{};
    for (int i = 0; i < WordBitCount; ++i) bits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(word30 >> (29 - i) & 1u);
    return bits;
}

TEST(WordSync, AFirstWordLocksWithItsPreambleUprightOrInvertedAndNothingLess) {
    // Header word 1 sent after a word that ended in each of the four D29/D30 pairs: upright after
    // D30 = 0, inverted after D30 = 1. Each locks at its 30th bit, with the D29/D30 it ended in
    // carried into header word 2.
    for (int d29 : {0, 1}) {
        for (int d30 : {0, 1}) {
            DecoderBench bench;
            bench.encoder.setLastParityBits(d29, d30);
            std::vector<std::uint8_t> frame;
            bench.encoder.appendFrameBits(DecoderBench::header(9), {}, frame);
            EXPECT_EQ(frame[0], d30) << "the preamble goes out inverted after D30 = 1";
            bench.pushBits({frame.begin(), frame.begin() + 29});
            EXPECT_FALSE(bench.decoder.wordAssembler().wordSync) << d29 << d30;
            bench.decoder.pushBit(frame[29]);
            EXPECT_TRUE(bench.decoder.wordAssembler().wordSync) << d29 << d30;
            EXPECT_EQ(bench.decoder.wordAssembler().wordIndex, 1);
            EXPECT_EQ(bench.decoder.wordAssembler().bitCount, 0);
            EXPECT_EQ(bench.decoder.frame().messageType, 9);
            EXPECT_EQ(bench.decoder.frame().stationId, 268);
            bench.pushBits({frame.begin() + 30, frame.end()});
            EXPECT_EQ(bench.view.completedFrames.size(), 1u) << d29 << d30;
        }
    }
    // A preamble alone, a preamble with a bit wrong, and a first word with one parity bit wrong lock
    // nowhere.
    for (int wrong : {-1, 7, 27}) {
        DecoderBench bench;
        std::vector<std::uint8_t> frame;
        bench.encoder.appendFrameBits(DecoderBench::header(9), {}, frame);
        std::vector<std::uint8_t> bits(frame.begin(), frame.begin() + (wrong < 0 ? 8 : 30));
        if (wrong >= 0) bits[static_cast<std::size_t>(wrong)] ^= 1u;
        bench.pushBits(bits);
        EXPECT_FALSE(bench.decoder.wordAssembler().wordSync) << wrong;
    }
}

TEST(WordSync, ParityUndoesTheInversionAndAlwaysRemembersTheLastTwoBits) {
    const std::uint32_t data = 0xA5C3F0;
    for (int d29 : {0, 1}) {
        for (int d30 : {0, 1}) {
            RtcmEncoder encoder;
            encoder.setLastParityBits(d29, d30);
            const std::uint32_t sent = encoder.encodeWord(data);
            WordAssembler assembler;
            assembler.lastD29 = static_cast<std::uint8_t>(d29);
            assembler.lastD30 = static_cast<std::uint8_t>(d30);
            auto bits = wordBits(sent);
            ASSERT_TRUE(checkParity(assembler, bits)) << d29 << d30;
            std::uint32_t recovered = 0;
            for (int i = 0; i < 24; ++i) recovered = recovered << 1 | bits[static_cast<std::size_t>(i)];
            EXPECT_EQ(recovered, data) << "D30* = " << d30;
            EXPECT_EQ(assembler.lastD29, sent >> 1 & 1u);
            EXPECT_EQ(assembler.lastD30, sent & 1u);
        }
    }
    // A failing word still hands its own D29/D30 on to the next word.
    RtcmEncoder encoder;
    const std::uint32_t sent = encoder.encodeWord(data) ^ (1u << 20);
    WordAssembler assembler;
    auto bits = wordBits(sent);
    EXPECT_FALSE(checkParity(assembler, bits));
    EXPECT_EQ(assembler.lastD29, sent >> 1 & 1u);
    EXPECT_EQ(assembler.lastD30, sent & 1u);
}

TEST(WordSync, AfterALossTheSearchLooksBackIntoTheRejectedWord) {
    DecoderBench bench;
    bench.send(DecoderBench::header(9), {});
    ASSERT_EQ(bench.view.completedFrames.size(), 1u);
    // A bit of the next frame's last word is lost: that word takes the following preamble's first
    // bit and fails, and the frame whose first word began inside the rejected word is found all the same.
    std::vector<std::uint8_t> bits;
    bench.encoder.appendFrameBits(DecoderBench::header(3, 268, 0, 1300), buildReferenceStationWords({1.0, 2.0, 3.0}), bits);
    const std::size_t nextFrame = bits.size();
    bench.encoder.appendFrameBits(DecoderBench::header(16, 268, 0, 1301), buildSpecialMessageWords("NEXT"), bits);
    bits.erase(bits.begin() + static_cast<std::ptrdiff_t>(nextFrame) - 10);
    bench.pushBits(bits);
    EXPECT_EQ(bench.decoder.statistics().parityFailures, 1u);
    ASSERT_EQ(bench.view.completedFrames.size(), 2u);
    EXPECT_EQ(bench.view.completedFrames[1].type, 16);
    EXPECT_EQ(bench.view.completedFrames[1].zCount, 1301);
}

TEST(WordSync, ParityFailureInTheLastWordDropsTheWholeFrame) {
    DecoderBench bench;
    bench.send(DecoderBench::header(3), buildReferenceStationWords({-2694685.0, -4293642.0, 3857878.0}));
    ASSERT_EQ(bench.view.completedFrames.size(), 1u);
    const std::string stationPage = bench.page(1);

    std::vector<std::uint8_t> bits;
    bench.encoder.appendFrameBits(DecoderBench::header(3, 268, 0, 1300), buildReferenceStationWords({1.0, 2.0, 3.0}), bits);
    bits[bits.size() - 12] ^= 1u;  // a data bit of the last word
    bench.pushBits(bits);
    EXPECT_EQ(bench.view.completedFrames.size(), 1u);
    EXPECT_EQ(bench.page(1), stationPage);
    EXPECT_FALSE(bench.decoder.frame().frameLocked);
    EXPECT_EQ(bench.view.status[0], "Ref ID : ");
    EXPECT_EQ(bench.view.status[5], "");
}

TEST(WordSync, AFrameWhoseFirstWordLacksThePreambleLosesSync) {
    DecoderBench bench;
    bench.send(DecoderBench::header(9), {});
    ASSERT_TRUE(bench.decoder.frame().frameLocked);
    // A word with good parity but another pattern where the next preamble should be.
    std::vector<std::uint8_t> bits;
    appendWordBits(bench.encoder.encodeWord(0x123456), bits);
    bench.pushBits(bits);
    EXPECT_FALSE(bench.decoder.wordAssembler().wordSync);
    EXPECT_FALSE(bench.decoder.frame().frameLocked);
    EXPECT_EQ(bench.decoder.statistics().missingPreambles, 1u);
}

}  // namespace
}  // namespace sondeco::testing
