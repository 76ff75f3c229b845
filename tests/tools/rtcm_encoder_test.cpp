// The RTCM encoder and message builders against a real station's capture and against the rules a
// receiver relies on.

#include "message_builders.h"
#include "parity.h"
#include "rtcm_encoder.h"
#include "signalgen_test_support.h"

#include <gtest/gtest.h>

#include <random>
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
// then feeds the received data of every following word back through the encoder. The encoder must
// send each word exactly as the station did, parity and inversion included.
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
    int words = 0, invertedWords = 0, frames = 0;
    std::size_t position = lock;
    for (; position + 30 <= bits.size(); position += 30) {
        const bool inverted = encoder.lastD30() == 1;
        std::uint32_t data = 0;
        ASSERT_TRUE(regenerates(encoder, position, data)) << "word " << words;
        ++words;
        invertedWords += inverted;
        frames += data >> 16 == RtcmPreamble;
    }
    EXPECT_GE(frames, 131);
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
    EXPECT_THROW(headerWord1({1, 1024, 0, 0, 0}), std::invalid_argument);
    EXPECT_THROW(headerWord2({1, 0, 0, 8, 0}, 0), std::invalid_argument);
    EXPECT_THROW(headerWord2({1, 0, 0, 0, 8}, 0), std::invalid_argument);

    RtcmEncoder encoder;
    encoder.setLastParityBits(1, 1);
    const std::vector<std::uint32_t> tooMany(32, 0);
    EXPECT_THROW(encoder.encodeFrame({1, 0, 0, 0, 0}, tooMany), std::invalid_argument);
    EXPECT_EQ(encoder.lastD29(), 1);  // a refused frame leaves the parity chain alone
    EXPECT_EQ(encoder.lastD30(), 1);
}

// What a receiver does with the bit stream: complement D1..D24 when the previous word ended in
// D30 = 1, then check the six parity bits. Random frames, one after another, must come back whole.
TEST(RtcmEncoder, ReceiverUndoesInversionAcrossWordsAndFrames) {
    std::mt19937 random(7);
    RtcmEncoder encoder;
    std::vector<std::uint8_t> bits;
    std::vector<std::uint32_t> sentData;
    for (int frame = 0; frame < 40; ++frame) {
        std::vector<std::uint32_t> dataWords(random() % 8);
        for (auto& word : dataWords) word = random() & DataMask;
        const RtcmHeader header{static_cast<int>(random() % 64), 300, frame * 3, frame % 8, 0};
        encoder.appendFrameBits(header, dataWords, bits);
        sentData.push_back(headerWord1(header));
        sentData.push_back(headerWord2(header, static_cast<int>(dataWords.size())));
        sentData.insert(sentData.end(), dataWords.begin(), dataWords.end());
    }
    ASSERT_EQ(bits.size(), sentData.size() * 30);

    int lastD29 = 0, lastD30 = 0, invertedPreambles = 0;
    for (std::size_t i = 0; i < sentData.size(); ++i) {
        const std::uint32_t received = wordAt(bits, 30 * i);
        const std::uint32_t data = (received >> 6) ^ (lastD30 ? DataMask : 0u);
        ASSERT_EQ(data, sentData[i]) << "word " << i;
        ASSERT_EQ(received & 0x3F, parityBits(data, lastD29, lastD30)) << "word " << i;
        invertedPreambles += data >> 16 == RtcmPreamble && lastD30 == 1;
        lastD29 = static_cast<int>(received >> 1 & 1);
        lastD30 = static_cast<int>(received & 1);
    }
    EXPECT_GT(invertedPreambles, 0) << "no frame started after a word ending in D30 = 1";
    EXPECT_EQ(encoder.lastD29(), lastD29);
    EXPECT_EQ(encoder.lastD30(), lastD30);
}

TEST(RtcmEncoder, ZCountFollowsTheHourInTenthsOfAMinute) {
    EXPECT_EQ(zCountAt(0.0), 0);
    EXPECT_EQ(zCountAt(0.59), 0);
    EXPECT_EQ(zCountAt(1234 * 0.6), 1234);
    EXPECT_EQ(zCountAt(3599.9), 5999);
    EXPECT_EQ(zCountAt(3600.0), 0);
    EXPECT_EQ(zCountAt(7200.6), 1);
    EXPECT_EQ(zCountAt(-0.6), 5999);
}

// The station's first two frames in the capture, from the values gpsd decodes from them: three
// satellites in five words, then two in four words whose last 16 bits are fill. The second frame
// needs the coarse scale because its range rate, -0.256 m/s, is the fine scale's "not available".
TEST(MessageBuilders, ReproduceTheCorrectionWordsOfARealStation) {
    const std::vector<PseudorangeCorrection> first{
        {13, 0, -26.12, 0.068, 3}, {2, 0, 1.22, -0.080, 73}, {8, 0, 23.76, 0.030, 22}};
    EXPECT_EQ(buildGpsCorrectionWords(first),
              (std::vector<std::uint32_t>{0x0DFAE6, 0x220302, 0x003DD8, 0x490804, 0xA40F16}));
    const std::vector<PseudorangeCorrection> second{{19, 0, -58.56, -0.256, 186}, {11, 1, -39.90, 0.174, 2}};
    EXPECT_EQ(buildGpsCorrectionWords(second),
              (std::vector<std::uint32_t>{0x93FF49, 0xF8BA2B, 0xF83557, 0x02AAAA}));
}

TEST(MessageBuilders, CorrectionFieldsAtTheirLimits) {
    // GLONASS slot 32 goes out as 0; both values unavailable; change flag and tb share the IOD byte.
    PseudorangeCorrection glonass{32, 3, std::nullopt, std::nullopt, 5, true};
    EXPECT_EQ(buildGlonassCorrectionWords({&glonass, 1}), (std::vector<std::uint32_t>{0x608000, 0x8085AA}));

    // Too large for the fine scale: coarse, and clamped short of the "not available" pattern.
    PseudorangeCorrection huge{1, 0, -20000.0, 9.0, 0};
    EXPECT_EQ(buildGpsCorrectionWords({&huge, 1}), (std::vector<std::uint32_t>{0x818001, 0x7F00AA}));
    PseudorangeCorrection forced{1, 0, 0.64, 0.064, 0, false, true};
    EXPECT_EQ(buildGpsCorrectionWords({&forced, 1}), (std::vector<std::uint32_t>{0x810002, 0x0200AA}));

    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>{{0, 0, 0.0, 0.0, 0}}), std::invalid_argument);
    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>{{33, 0, 0.0, 0.0, 0}}), std::invalid_argument);
    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>{{1, 4, 0.0, 0.0, 0}}), std::invalid_argument);
    EXPECT_THROW(buildGlonassCorrectionWords(std::vector<PseudorangeCorrection>{{1, 0, 0.0, 0.0, 128}}),
                 std::invalid_argument);
    EXPECT_THROW(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>(19)), std::invalid_argument);
    EXPECT_EQ(buildGpsCorrectionWords(std::vector<PseudorangeCorrection>(18)).size(), 30u);
}

TEST(MessageBuilders, OtherMessagesHoldTheirLimits) {
    EXPECT_EQ(buildSpecialMessageWords("ABCD"), (std::vector<std::uint32_t>{0x414243, 0x440000}));
    EXPECT_TRUE(buildSpecialMessageWords("").empty());
    EXPECT_EQ(buildSpecialMessageWords(std::string(93, 'x')).size(), 31u);
    EXPECT_THROW(buildSpecialMessageWords(std::string(94, 'x')), std::invalid_argument);

    // Satellite 32 as 0, C/N0 and time to unhealthy rounded into their fields.
    SatelliteHealth health{32, true, 5, 70, true, true, true, 200};
    EXPECT_EQ(buildConstellationHealthWords({&health, 1}), (std::vector<std::uint32_t>{0x037FFC}));
    health.dataHealth = 8;
    EXPECT_THROW(buildConstellationHealthWords({&health, 1}), std::invalid_argument);

    BeaconAlmanacEntry beacon;
    beacon.bitRate = 120;
    EXPECT_THROW(buildBeaconAlmanacWords({&beacon, 1}), std::invalid_argument);
    EXPECT_EQ(buildReferenceStationWords({-0.01, 0.0, 21474836.47}),
              (std::vector<std::uint32_t>{0xFFFFFF, 0xFF0000, 0x00007F, 0xFFFFFF}));
}

}  // namespace
}  // namespace sondeco
