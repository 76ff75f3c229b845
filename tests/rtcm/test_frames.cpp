// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

#include <tuple>

namespace sondeco::testing {
namespace {

TEST(FrameHeader, StatusPanelsShowTheHeaderAsSoonAsWordTwoArrives) {
    DecoderBench bench;
    std::vector<std::uint8_t> bits;
    bench.encoder.appendFrameBits(DecoderBench::header(9, 5, 2, 1234, 6), buildGpsCorrectionWords(std::vector<PseudorangeCorrection>(3)),
                                  bits);
    bench.pushBits({bits.begin(), bits.begin() + 60});  // the two header words only
    EXPECT_EQ(bench.view.status[0], "Ref ID : 005");
    EXPECT_EQ(bench.view.status[1], "Msg Type : 9");
    EXPECT_EQ(bench.view.status[2], "Z-Count : 12:20.4");
    EXPECT_EQ(bench.view.status[3], "Seq Num : 6");
    EXPECT_EQ(bench.view.status[4], "Frame Len : 5");
    EXPECT_EQ(bench.view.status[5], "Normal");
    EXPECT_TRUE(bench.decoder.frame().frameLocked);
    EXPECT_DOUBLE_EQ(bench.decoder.frame().udreScale, 0.5);
    EXPECT_TRUE(bench.view.completedFrames.empty());
    bench.pushBits({bits.begin() + 60, bits.end()});
    EXPECT_EQ(bench.view.completedFrames.size(), 1u);

    bench.send(DecoderBench::header(2, 1023, 0, 6001), {});
    EXPECT_EQ(bench.view.status[0], "Ref ID : 1023");
    EXPECT_EQ(bench.view.status[2], "Z-Count : N/A");
}

TEST(FrameHeader, FramesOfNoAndOfThirtyOneDataWords) {
    DecoderBench bench;
    bench.send(DecoderBench::header(6), {});  // a null frame: complete after header word 2
    ASSERT_EQ(bench.view.completedFrames.size(), 1u);
    EXPECT_EQ(bench.view.completedFrames[0].length, 0);

    std::vector<std::uint32_t> words(31);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint32_t>(0x800000 | i << 8 | (i * 37 & 0xFF));
    bench.send(DecoderBench::header(20), words);
    ASSERT_EQ(bench.view.completedFrames.size(), 2u);
    EXPECT_EQ(bench.view.completedFrames[1].length, 31);
    for (int row = 0; row < 31; ++row)
        EXPECT_EQ(bench.decoder.frame().dataWords[static_cast<std::size_t>(row)], words[static_cast<std::size_t>(row)]) << row;
    // Frames follow each other without a new search, whatever D30* the last word left.
    bench.send(DecoderBench::header(6), {});
    EXPECT_EQ(bench.view.completedFrames.size(), 3u);
    EXPECT_EQ(bench.decoder.statistics().syncLosses, 0u);
}

// Each frame's record holds what that frame said and nothing of the frames before it, whatever
// family came before: a listener that reads a member of another family finds it empty.
TEST(DecodedRecords, HoldOnlyTheCurrentFramesFamily) {
    struct Seen {
        MessageFamily family;
        std::size_t corrections, health, almanac, text;
        bool station;
    };
    struct RecordListener final : DecoderListener {
        std::vector<Seen> seen;
        void frameCompleted(const RtcmFrame&, const DecodedMessage& m) override {
            seen.push_back({m.family, m.corrections.size(), m.health.size(), m.almanac.size(), m.specialMessage.size(), m.hasStation});
        }
    } records;
    DecoderBench bench;
    bench.decoder.addListener(records);
    const std::vector<PseudorangeCorrection> corrections(3);
    const std::vector<SatelliteHealth> health(2);
    const std::vector<BeaconAlmanacEntry> almanac(1);
    const ReferenceStationPosition position{3705477.18, 513234.85, 5148648.49};
    bench.send(DecoderBench::header(1), buildGpsCorrectionWords(corrections));
    bench.send(DecoderBench::header(3), buildReferenceStationWords(position));
    bench.send(DecoderBench::header(5), buildConstellationHealthWords(health));
    bench.send(DecoderBench::header(7), buildBeaconAlmanacWords(almanac));
    bench.send(DecoderBench::header(16), buildSpecialMessageWords("TEST"));
    bench.send(DecoderBench::header(6), {});
    bench.send(DecoderBench::header(20), {0x123456});
    bench.send(DecoderBench::header(31), buildGlonassCorrectionWords(corrections));
    ASSERT_EQ(records.seen.size(), 8u);
    const auto expect = [&](std::size_t i, MessageFamily family, std::size_t c, bool station, std::size_t h, std::size_t a, std::size_t t) {
        const Seen& got = records.seen[i];
        EXPECT_EQ(got.family, family) << i;
        EXPECT_EQ(std::tuple(got.corrections, got.station, got.health, got.almanac, got.text), std::tuple(c, station, h, a, t)) << i;
    };
    expect(0, MessageFamily::Corrections, 3, false, 0, 0, 0);
    expect(1, MessageFamily::ReferenceStation, 0, true, 0, 0, 0);
    expect(2, MessageFamily::ConstellationHealth, 0, false, 2, 0, 0);
    expect(3, MessageFamily::BeaconAlmanac, 0, false, 0, 1, 0);
    expect(4, MessageFamily::SpecialMessage, 0, false, 0, 0, 4);
    expect(5, MessageFamily::Null, 0, false, 0, 0, 0);
    expect(6, MessageFamily::Unknown, 0, false, 0, 0, 0);
    expect(7, MessageFamily::Corrections, 3, false, 0, 0, 0);
}

TEST(FrameHeader, ANewStationClearsEverythingOnceBeforeItsFirstFrame) {
    DecoderBench bench;
    bench.send(DecoderBench::header(3, 100), buildReferenceStationWords({-2694685.0, -4293642.0, 3857878.0}));
    bench.send(DecoderBench::header(16, 100), buildSpecialMessageWords("FROM A"));
    ASSERT_NE(bench.page(1), bench.pages.PageTitles[1]);
    EXPECT_EQ(bench.decoder.LastStationId(), 100);

    bench.send(DecoderBench::header(16, 200), buildSpecialMessageWords("FROM B"));
    EXPECT_EQ(bench.page(1), bench.pages.PageTitles[1]);  // station A's position is gone
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\nFROM B\r\n\r\nLast up date at 12:34:56");
    EXPECT_FALSE(bench.pages.NewDataMarks[1]);
    EXPECT_TRUE(bench.pages.NewDataMarks[5]);

    bench.send(DecoderBench::header(16, 200), buildSpecialMessageWords("B AGAIN"));  // no second clear
    EXPECT_EQ(bench.page(5), "Msg #16 : GPS Special Message\r\n\r\nB AGAIN\r\nFROM B\r\n\r\nLast up date at 12:34:56");
}

TEST(FrameHeader, UnmonitoredStationsAreDecodedAndNotWorkingOnesAreNot) {
    DecoderBench bench;
    bench.send(DecoderBench::header(16, 7, 2), buildSpecialMessageWords("ONE"));
    EXPECT_DOUBLE_EQ(bench.decoder.frame().udreScale, 0.5);

    bench.send(DecoderBench::header(16, 7, 6), buildSpecialMessageWords("TWO"));
    EXPECT_EQ(bench.view.status[5], "Unmonitored");
    EXPECT_DOUBLE_EQ(bench.decoder.frame().udreScale, 0.5);  // kept from the last health 0..5
    EXPECT_NE(bench.page(5).find("TWO"), std::string::npos);

    const std::string before = bench.page(5);
    const auto published = bench.view.publishedPages.size();
    bench.send(DecoderBench::header(16, 9, 7), buildSpecialMessageWords("THREE"));
    EXPECT_EQ(bench.view.status[5], "Not Working");
    EXPECT_DOUBLE_EQ(bench.decoder.frame().udreScale, 0.5);
    EXPECT_EQ(bench.view.publishedPages.size(), published);
    EXPECT_EQ(bench.decoder.statistics().framesNotDecoded, 1u);
    // The station change is still noticed: station 7's pages are cleared.
    EXPECT_EQ(bench.decoder.LastStationId(), 9);
    EXPECT_NE(bench.page(5), before);
    EXPECT_EQ(bench.page(5), bench.pages.PageTitles[5]);
}

// The field readers against the plainest reading there is: one bit at a time from the bit string the
// packed rows stand for, at every start and width, across word boundaries and past the last row.
int bitByBit(const std::array<std::uint32_t, MaxDataWords>& words, int start, int width, bool isSigned) {
    std::int64_t value = 0;
    for (int i = 0; i < width; ++i) {
        const int position = start + i;
        const auto row = static_cast<std::size_t>(position / DataBitsPerWord);
        const int bit = row < words.size() ? static_cast<int>(words[row] >> (DataBitsPerWord - 1 - position % DataBitsPerWord) & 1u) : 0;
        value = value << 1 | bit;
    }
    if (isSigned && width > 0 && width < 32 && value >= (std::int64_t{1} << (width - 1))) value -= std::int64_t{1} << width;
    return static_cast<int>(static_cast<std::uint32_t>(value));
}

TEST(FieldReaders, PackedRowsReadAsTheBitsDoAndZCountsAsTimes) {
    RtcmFrame frame;
    std::uint32_t pattern = 0x9E3779B9u;
    for (std::size_t row = 0; row < frame.dataWords.size(); ++row) {
        pattern = pattern * 1664525u + 1013904223u;
        frame.dataWords[row] = pattern >> 8;
    }
    for (int start = 0; start < DataBitCount + 8; ++start) {
        for (int width = 1; width <= 32; ++width) {
            ASSERT_EQ(getField(frame.dataWords, start, BitField{0, width}), bitByBit(frame.dataWords, start, width, false))
                << start << " " << width;
            ASSERT_EQ(getSignedField(frame.dataWords, 0, BitField{start, width}), bitByBit(frame.dataWords, start, width, true))
                << start << " " << width;
        }
    }
    std::array<std::uint32_t, MaxDataWords> ones{};
    ones.fill(0xFFFFFF);
    EXPECT_EQ(getField(ones, 0, BitField{0, 32}), -1);
    EXPECT_EQ(getSignedField(ones, 0, BitField{8, 16}), -1);
    EXPECT_EQ(getField(ones, DataBitCount - 4, BitField{0, 8}), 0xF0);  // past the end reads as zeros

    EXPECT_EQ(formatZCount(0), "00:00.0");
    EXPECT_EQ(formatZCount(1234), "12:20.4");
    EXPECT_EQ(formatZCount(5999), "59:59.4");
    EXPECT_EQ(formatZCount(6000), "60:00.0");
    EXPECT_EQ(formatZCount(6001), "N/A");
    EXPECT_EQ(formatZCount(8191), "N/A");
}

}  // namespace
}  // namespace sondeco::testing
