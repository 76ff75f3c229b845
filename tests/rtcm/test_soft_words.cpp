// SPDX-License-Identifier: GPL-3.0-or-later
// Soft bits into the decoder: a word that fails parity is repaired when one unsure symbol explains
// the failure, a data word that cannot be repaired costs its frame but not the lock, and nothing
// repaired comes out wrong.
#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

namespace sondeco::testing {
namespace {

constexpr float Sure = 12.0f;
constexpr float Unsure = 0.8f;

struct SoftStream {
    std::vector<SoftBit> bits;
    std::vector<std::size_t> starts;  // of each frame
};

// Three frames: corrections (15 data words), a reference station (4), a special message (2).
SoftStream threeFrames(RtcmEncoder& encoder) {
    std::vector<std::uint8_t> hard;
    std::vector<std::size_t> starts;
    std::vector<PseudorangeCorrection> corrections(9);
    for (std::size_t i = 0; i < corrections.size(); ++i) {
        corrections[i].satelliteId = static_cast<int>(i + 1);
        corrections[i].pseudorangeCorrection = 1.5 * static_cast<double>(i);
    }
    starts.push_back(hard.size());
    encoder.appendFrameBits(DecoderBench::header(1, 268, 0, 100, 0), buildGpsCorrectionWords(corrections), hard);
    starts.push_back(hard.size());
    encoder.appendFrameBits(DecoderBench::header(3, 268, 0, 101, 1), buildReferenceStationWords({-2694685.0, -4293642.0, 3857878.0}), hard);
    starts.push_back(hard.size());
    encoder.appendFrameBits(DecoderBench::header(16, 268, 0, 102, 2), buildSpecialMessageWords("REPAIRED"), hard);
    SoftStream stream;
    for (std::uint8_t bit : hard) stream.bits.push_back({bit, Sure});
    stream.starts = starts;
    return stream;
}

// One wrong symbol of a coherent detector: two neighbouring bits flipped, both unsure.
void wrongSymbol(SoftStream& stream, std::size_t at) {
    for (std::size_t i = at; i < at + 2; ++i) {
        stream.bits[i].bit ^= 1u;
        stream.bits[i].reliability = Unsure;
    }
}

TEST(SoftWords, OneUnsureSymbolIsRepairedAnywhereIncludingTheNextFramesHeader) {
    DecoderBench bench;
    SoftStream stream = threeFrames(bench.encoder);
    wrongSymbol(stream, stream.starts[0] + 30 * 5 + 10);  // a data word of frame 1
    wrongSymbol(stream, stream.starts[1] + 3);  // frame 2's preamble, found while locked
    wrongSymbol(stream, stream.starts[2] + 30 + 16);  // frame 3's header word 2
    bench.decoder.pushSoftBits(stream.bits);
    ASSERT_EQ(bench.view.completedFrames.size(), 3u);
    EXPECT_EQ(bench.view.completedFrames[1].type, 3);
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\nREPAIRED\r\n\r\nLast up date at 12:34:56");
    EXPECT_EQ(bench.decoder.statistics().repairedWords, 3u);
    EXPECT_EQ(bench.decoder.statistics().syncLosses, 0u);
}

TEST(SoftWords, AWordBeyondRepairCostsItsFrameButNotTheLock) {
    for (const bool sure : {true, false}) {
        DecoderBench bench;
        SoftStream stream = threeFrames(bench.encoder);
        // Two bits far apart in one data word of frame 1: no single symbol explains it. Sure bits are
        // never flipped; unsure ones far apart are not a pattern repair takes either.
        for (const std::size_t at : {stream.starts[0] + 30 * 4 + 2, stream.starts[0] + 30 * 4 + 17}) {
            stream.bits[at].bit ^= 1u;
            stream.bits[at].reliability = sure ? Sure : Unsure;
        }
        bench.decoder.pushSoftBits(stream.bits);
        ASSERT_EQ(bench.view.completedFrames.size(), 2u) << sure;  // frames 2 and 3, frame 1 lost
        EXPECT_EQ(bench.view.completedFrames[0].type, 3);
        EXPECT_EQ(bench.decoder.statistics().lostWords, 1u);
        EXPECT_EQ(bench.decoder.statistics().framesLost, 1u);
        EXPECT_EQ(bench.decoder.statistics().syncLosses, 0u);
        EXPECT_EQ(bench.view.frames[0].dataWords[0], bench.view.frameWords[0][0]);
    }
}

TEST(SoftWords, SureBitsAreNeverFlippedAndAFailedHeaderDropsTheLock) {
    DecoderBench bench;
    SoftStream stream = threeFrames(bench.encoder);
    // A neighbouring pair wrong but reported sure in frame 2's header word 2: not repaired, the
    // frame's length is unknown, so the lock goes; frame 3 is found again by the search.
    for (std::size_t i = 0; i < 2; ++i) stream.bits[stream.starts[1] + 30 + 8 + i].bit ^= 1u;
    bench.decoder.pushSoftBits(stream.bits);
    ASSERT_EQ(bench.view.completedFrames.size(), 2u);
    EXPECT_EQ(bench.view.completedFrames[1].type, 16);
    EXPECT_EQ(bench.decoder.statistics().repairedWords, 0u);
    EXPECT_GE(bench.decoder.statistics().syncLosses, 1u);
}

}  // namespace
}  // namespace sondeco::testing
