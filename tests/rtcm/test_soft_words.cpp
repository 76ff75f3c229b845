// SPDX-License-Identifier: GPL-3.0-or-later
// Soft bits into the decoder: a word that fails parity is repaired when one unsure symbol explains
// the failure (or, with symbols, decided by maximum likelihood), a data word that cannot be decided
// costs its frame but not the lock, and nothing repaired comes out wrong.
#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

#include <span>

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

// The stream as a coherent detector gives it at about 10 dB: each bit also carries the symbol that
// ends it.
void addSymbols(SoftStream& stream) {
    float symbol = 40.0f;
    for (SoftBit& bit : stream.bits) {
        if (bit.bit == 0) symbol = -symbol;
        bit.symbol = symbol;
    }
}

// Symbol `k` of the window of word `word` of frame `frame` (the symbol before D29* is 0), barely the
// wrong way: the bit it ends and the next one flip.
void wrongWindowSymbol(SoftStream& stream, std::size_t frame, std::size_t word, std::size_t k) {
    const std::size_t at = stream.starts[frame] + 30 * word + k - 3;
    stream.bits[at].symbol = stream.bits[at].symbol > 0.0f ? -Unsure : Unsure;
    for (std::size_t i = at; i < at + 2; ++i) {
        stream.bits[i].bit ^= 1u;
        stream.bits[i].reliability = Unsure;
    }
}

// Data word `index` of frame `frame` of threeFrames as sent.
std::uint32_t sentDataWord(std::size_t frame, std::size_t index) {
    DecoderBench clean;
    clean.decoder.pushSoftBits(threeFrames(clean.encoder).bits);
    return clean.view.frames.at(frame).dataWords.at(index);
}

// Two symbols of one word wrong where together they make another valid word: it passes parity as
// received. Decided from symbols it is refused for its margin (the frame is lost, the lock holds);
// from reliabilities alone it came out wrong.
TEST(SoftWords, FromSymbolsTwoWrongSymbolsThatMakeAnotherWordCostTheFrame) {
    for (const bool symbols : {true, false}) {
        DecoderBench bench;
        SoftStream stream = threeFrames(bench.encoder);
        addSymbols(stream);
        wrongWindowSymbol(stream, 0, 6, 6);
        wrongWindowSymbol(stream, 0, 6, 26);
        if (!symbols)
            for (SoftBit& bit : stream.bits) bit.symbol = SoftBit{}.symbol;
        bench.decoder.pushSoftBits(stream.bits);
        if (symbols) {
            ASSERT_EQ(bench.view.completedFrames.size(), 2u);
            EXPECT_EQ(bench.view.completedFrames[0].type, 3);
            EXPECT_EQ(bench.decoder.statistics().lostWords, 1u);
            EXPECT_EQ(bench.decoder.statistics().syncLosses, 0u);
        } else {
            ASSERT_EQ(bench.view.completedFrames.size(), 3u);
            EXPECT_NE(bench.view.frames[0].dataWords[4], sentDataWord(0, 4));
        }
    }
}

// Several unsure wrong symbols in a word, beyond what repair by flipping takes on, in a data word, a
// preamble found while locked and a header word: each word is decided right and counted as repaired.
TEST(SoftWords, FromSymbolsSeveralWrongSymbolsInAWordAreDecidedRight) {
    DecoderBench bench;
    SoftStream stream = threeFrames(bench.encoder);
    addSymbols(stream);
    for (const std::size_t k : {4u, 12u, 20u}) wrongWindowSymbol(stream, 0, 5, k);
    for (const std::size_t k : {5u, 9u}) wrongWindowSymbol(stream, 1, 0, k);
    wrongWindowSymbol(stream, 2, 1, 18);
    bench.decoder.pushSoftBits(stream.bits);
    ASSERT_EQ(bench.view.completedFrames.size(), 3u);
    EXPECT_EQ(bench.view.frames[0].dataWords[3], sentDataWord(0, 3));
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\nREPAIRED\r\n\r\nLast up date at 12:34:56");
    EXPECT_EQ(bench.decoder.statistics().repairedWords, 3u);
    EXPECT_EQ(bench.decoder.statistics().syncLosses, 0u);
}

void appendSure(SoftStream& stream, RtcmEncoder& encoder, const RtcmHeader& header, const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> hard;
    encoder.appendFrameBits(header, words, hard);
    stream.starts.push_back(stream.bits.size());
    for (std::uint8_t bit : hard) stream.bits.push_back({bit, Sure});
}

TEST(SoftWords, SureBitsAreNeverFlippedAndAFailedHeaderDropsTheLock) {
    DecoderBench bench;
    SoftStream stream = threeFrames(bench.encoder);
    // A neighbouring pair wrong but reported sure in frame 2's header word 2: not repaired, the
    // frame's length is unknown, so the lock goes. Frame 1, found by the search, is never confirmed
    // by the header after it and is dropped; frame 3 is found again by the search and waits for
    // the header of a fourth to vouch for it.
    for (std::size_t i = 0; i < 2; ++i) stream.bits[stream.starts[1] + 30 + 8 + i].bit ^= 1u;
    bench.decoder.pushSoftBits(stream.bits);
    EXPECT_TRUE(bench.view.completedFrames.empty());
    EXPECT_EQ(bench.decoder.statistics().framesUnconfirmed, 1u);
    EXPECT_EQ(bench.decoder.statistics().repairedWords, 0u);
    EXPECT_GE(bench.decoder.statistics().syncLosses, 1u);
    const std::size_t end = stream.bits.size();
    appendSure(stream, bench.encoder, DecoderBench::header(6, 268, 0, 103, 3), {});
    bench.decoder.pushSoftBits(std::span(stream.bits).subspan(end));
    ASSERT_EQ(bench.view.completedFrames.size(), 2u);
    EXPECT_EQ(bench.view.completedFrames[0].type, 16);
    EXPECT_EQ(bench.view.completedFrames[1].type, 6);
}

// What the enhanced receiver meets when it locks in the middle of a frame: data words that read as
// a header (a station 439, 21 words long) and pass parity. Its frame would swallow the real frames
// after it; it is held, its successor's header is not where its length says, and it never comes out.
// The windows after its first word are searched again, so the frames it covered come out too, each
// vouched for by the header after it or before it.
TEST(FrameIntegrity, AHeaderHiddenInDataWordsNeverComesOut) {
    DecoderBench bench;
    const RtcmHeader fake = DecoderBench::header(1, 439, 0, 2000, 5);
    const std::uint32_t fakeWord1 =
        RtcmPreamble << 16 | static_cast<std::uint32_t>(fake.messageType) << 10 | static_cast<std::uint32_t>(fake.stationId);
    const std::uint32_t fakeWord2 = static_cast<std::uint32_t>(fake.zCount) << 11 | static_cast<std::uint32_t>(fake.sequenceNumber) << 8 |
                                    21u << 3 | static_cast<std::uint32_t>(fake.stationHealth);
    SoftStream stream;
    appendSure(stream, bench.encoder, DecoderBench::header(20, 268, 0, 100, 0),
               {0x123456, fakeWord1, fakeWord2, 0x0F0F0F, 0x333333, 0x555555, 0x777777, 0x111111});
    for (int frame = 1; frame <= 7; ++frame)
        appendSure(stream, bench.encoder, DecoderBench::header(frame % 2 == 0 ? 3 : 16, 268, 0, 100 + frame, frame),
                   frame % 2 == 0 ? buildReferenceStationWords({-2694685.0, -4293642.0, 3857878.0}) : buildSpecialMessageWords("REAL"));
    // Switched on after the real header of the first frame.
    bench.decoder.pushSoftBits(std::span(stream.bits).subspan(stream.starts[0] + 60));
    std::vector<int> sequences;
    for (const DecodedHeader& header : bench.view.completedFrames) {
        EXPECT_EQ(header.station, 268);
        sequences.push_back(header.sequence);
    }
    EXPECT_EQ(sequences, std::vector<int>({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(bench.decoder.statistics().framesUnconfirmed, 1u);

    // The same stream as hard bits: the plain decoder passes on whatever parity passes.
    DecoderBench plain;
    std::vector<std::uint8_t> hard;
    for (std::size_t i = stream.starts[0] + 60; i < stream.bits.size(); ++i) hard.push_back(stream.bits[i].bit);
    plain.pushBits(hard);
    ASSERT_FALSE(plain.view.completedFrames.empty());
    EXPECT_EQ(plain.view.completedFrames[0].station, 439);
}

// After a lost lock, a header found by the search is vouched for at once by the last good frame when
// it names the same station and its Z-count moved on as the bits since then say; a header that does
// not fit (another station, or a Z-count that does not follow) waits for the next header instead.
TEST(FrameIntegrity, AFoundHeaderThatFitsTheLastGoodFrameNeedsNoWait) {
    for (const bool fits : {true, false}) {
        DecoderBench bench;
        bench.decoder.setReception(std::nullopt, 200);
        SoftStream stream;
        // Four words a frame: 0.6 s at 200 bit/s, one Z-count step.
        for (int frame = 0; frame < 4; ++frame) {
            const int station = frame == 3 && !fits ? 269 : 268;
            appendSure(stream, bench.encoder, DecoderBench::header(16, station, 0, 100 + frame, frame), buildSpecialMessageWords("REAL"));
        }
        for (std::size_t i = 0; i < 2; ++i) stream.bits[stream.starts[2] + 30 + 8 + i].bit ^= 1u;  // frame 2's header
        bench.decoder.pushSoftBits(stream.bits);
        std::vector<int> sequences;
        for (const DecodedHeader& header : bench.view.completedFrames) sequences.push_back(header.sequence);
        EXPECT_EQ(sequences, fits ? std::vector<int>({0, 1, 3}) : std::vector<int>({0, 1})) << fits;
    }
}

}  // namespace
}  // namespace sondeco::testing
