// SPDX-License-Identifier: GPL-3.0-or-later
// The RTCM encoder and message builders against a real station's capture and against the rules a
// receiver relies on.

#include "rtcm/rtcm_encoder.h"
#include "rtcm/message_builders.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sondeco {
namespace {

constexpr std::uint32_t DataMask = 0xFFFFFF;

std::uint32_t wordAt(const std::vector<std::uint8_t>& bits, std::size_t position) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 30; ++i) word = word << 1 | bits[position + i];
    return word;
}

// Locks on the capture the way a receiver does (a preamble whose word and the next pass parity),
// then feeds the received data of every following word, un-inverted when the word before ended in
// D30 = 1, back through one encoder. It must send each word exactly as the station did: parity,
// inversion, and the D29*/D30* chain from frame to frame.
TEST(RtcmEncoder, RegeneratesEveryWordOfARealCapture) {
    const auto bits = testing::readCaptureBits(SONDECO_TEST_DATA "/rtcm2/sample.rtcm2");
    const auto regenerates = [&bits](RtcmEncoder& encoder, std::size_t position, std::uint32_t& data) {
        const std::uint32_t received = wordAt(bits, position);
        data = (received >> 6) ^ (encoder.lastD30() ? DataMask : 0u);
        return encoder.encodeWord(data) == received;
    };
    std::size_t lock = 2;
    for (; lock + 60 <= bits.size(); ++lock) {
        RtcmEncoder probe;
        probe.setLastParityBits(bits[lock - 2], bits[lock - 1]);
        std::uint32_t data = 0;
        if (regenerates(probe, lock, data) && data >> 16 == RtcmPreamble && regenerates(probe, lock + 30, data)) break;
    }
    ASSERT_LT(lock, 200u) << "the capture's leading garbage is short";

    RtcmEncoder encoder;
    encoder.setLastParityBits(bits[lock - 2], bits[lock - 1]);
    int words = 0, invertedWords = 0, frames = 0, invertedPreambles = 0;
    std::size_t position = lock;
    for (; position + 30 <= bits.size(); position += 30) {
        const bool inverted = encoder.lastD30() == 1;
        std::uint32_t data = 0;
        ASSERT_TRUE(regenerates(encoder, position, data)) << "word " << words;
        ++words;
        invertedWords += inverted;
        frames += data >> 16 == RtcmPreamble;
        invertedPreambles += data >> 16 == RtcmPreamble && inverted;
    }
    EXPECT_GE(frames, 131);
    EXPECT_GT(invertedPreambles, 20);
    EXPECT_GT(invertedWords, words / 4);
    EXPECT_LT(invertedWords, words * 3 / 4);
}

TEST(RtcmEncoder, PacksHeaderWordsAndRejectsFieldsOutOfRange) {
    // The first frame of the capture: type 9 from station 268, Z-count 416 (04:09.6), sequence 1,
    // five data words, health 0.
    EXPECT_EQ(headerWord1({9, 268, 416, 1, 0}), 0x66250Cu);
    EXPECT_EQ(headerWord2({9, 268, 416, 1, 0}, 5), 0x0D0128u);
    EXPECT_EQ(headerWord2({63, 1023, 8191, 7, 7}, 31), 0xFFFFFFu);

    EXPECT_THROW(headerWord1({64, 0, 0, 0, 0}), std::invalid_argument);
    EXPECT_THROW(headerWord2({1, 0, 0, 8, 0}, 0), std::invalid_argument);

    RtcmEncoder encoder;
    encoder.setLastParityBits(1, 1);
    const std::vector<std::uint32_t> tooMany(32, 0);
    EXPECT_THROW(encoder.encodeFrame({1, 0, 0, 0, 0}, tooMany), std::invalid_argument);
    EXPECT_EQ(encoder.lastD29(), 1);  // a refused frame leaves the parity chain alone
    EXPECT_EQ(encoder.lastD30(), 1);
}

TEST(RtcmEncoder, ZCountFollowsTheHourInTenthsOfAMinute) {
    EXPECT_EQ(zCountAt(0.59), 0);
    EXPECT_EQ(zCountAt(1234 * 0.6), 1234);
    EXPECT_EQ(zCountAt(3599.9), 5999);
    EXPECT_EQ(zCountAt(7200.6), 1);
    EXPECT_EQ(zCountAt(-0.6), 5999);
}

// The station's first two frames in the capture, from the values gpsd decodes from them: three
// satellites in five words, then two in four words whose last 16 bits are fill. The second frame
// needs the coarse scale because its range rate, -0.256 m/s, is the fine scale's "not available".
TEST(MessageBuilders, ReproduceTheCorrectionWordsOfARealStation) {
    const std::vector<PseudorangeCorrection> first{{13, 0, -26.12, 0.068, 3}, {2, 0, 1.22, -0.080, 73}, {8, 0, 23.76, 0.030, 22}};
    EXPECT_EQ(buildGpsCorrectionWords(first), (std::vector<std::uint32_t>{0x0DFAE6, 0x220302, 0x003DD8, 0x490804, 0xA40F16}));
    const std::vector<PseudorangeCorrection> second{{19, 0, -58.56, -0.256, 186}, {11, 1, -39.90, 0.174, 2}};
    EXPECT_EQ(buildGpsCorrectionWords(second), (std::vector<std::uint32_t>{0x93FF49, 0xF8BA2B, 0xF83557, 0x02AAAA}));
}

// Limits a receiver has to cope with: satellite 32 sent as 0, the "not available" patterns (which a
// clamped value must never hit), the coarse scale, rounding into narrow fields, full frames.
TEST(MessageBuilders, FieldsAtTheirLimits) {
    PseudorangeCorrection glonass{32, 3, std::nullopt, std::nullopt, 5, true};
    EXPECT_EQ(buildGlonassCorrectionWords({&glonass, 1}), (std::vector<std::uint32_t>{0x608000, 0x8085AA}));
    PseudorangeCorrection huge{1, 0, -20000.0, 9.0, 0};
    EXPECT_EQ(buildGpsCorrectionWords({&huge, 1}), (std::vector<std::uint32_t>{0x818001, 0x7F00AA}));
    SatelliteHealth health{32, true, 5, 70, true, true, true, 200};
    EXPECT_EQ(buildConstellationHealthWords({&health, 1}), (std::vector<std::uint32_t>{0x037FFC}));
    EXPECT_EQ(buildReferenceStationWords({-0.01, 0.0, 21474836.47}), (std::vector<std::uint32_t>{0xFFFFFF, 0xFF0000, 0x00007F, 0xFFFFFF}));
    EXPECT_EQ(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>(18)).size(), 30u);
    EXPECT_EQ(buildSpecialMessageWords(std::string(93, 'x')).size(), 31u);

    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>(19)), std::invalid_argument);
    EXPECT_THROW(buildSpecialMessageWords(std::string(94, 'x')), std::invalid_argument);
    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>{{33, 0, 0.0, 0.0, 0}}), std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
