// SPDX-License-Identifier: GPL-3.0-or-later
#include "rtcm/message_builders.h"
#include "rtcm/rtcm_decoder.h"
#include "signalgen/simulated_beacon.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <vector>

namespace sondeco {
namespace {

std::vector<BeaconFrame> drawFrames(std::uint64_t seed, std::size_t count) {
    BeaconSettings settings;
    settings.messageTypes.resize(64);
    std::iota(settings.messageTypes.begin(), settings.messageTypes.end(), 0);
    settings.randomContentSeed = seed;
    SimulatedBeacon beacon(settings);
    std::vector<BeaconFrame> frames;
    for (std::size_t i = 0; i < count; ++i) frames.push_back(beacon.nextFrame());
    return frames;
}

// The lengths each type's contents can take.
bool lengthFits(int type, std::size_t length) {
    const auto n = static_cast<int>(length);
    switch (type) {
        case 1:
        case 9:
        case 31:
        case 34:
            for (int satellites = 1; satellites <= MaxCorrectionsPerFrame; ++satellites)
                if (n == (40 * satellites + 23) / 24) return true;
            return false;
        case 3:
        case 32:
            return n == 4;
        case 5:
        case 33:
            return n >= 1 && n <= MaxHealthEntriesPerFrame;
        case 7:
        case 35:
            return n % 3 == 0 && n >= 3 && n <= 3 * MaxAlmanacEntriesPerFrame;
        case 16:
            return n >= 1 && n <= (MaxSpecialMessageLength + 2) / 3;
        case 6:
            return n == 0;
        default:
            return n <= MaxDataWords;
    }
}

// Every type in a length it can have, every bit of the data words both ways, words that begin
// like a header in both polarities, the same frames for the same seed; and with clean bits the
// decoder gives back every frame as it was sent, headers hidden in data words notwithstanding.
TEST(RandomContents, CoverEveryFieldAndDecodeBackExactly) {
    const std::vector<BeaconFrame> frames = drawFrames(5, 3000);
    std::set<int> types;
    std::uint32_t everSet = 0, everClear = 0;
    int upright = 0, inverted = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const BeaconFrame& frame = frames[i];
        types.insert(frame.header.messageType);
        EXPECT_TRUE(lengthFits(frame.header.messageType, frame.dataWords.size()))
            << "type " << frame.header.messageType << ", " << frame.dataWords.size() << " words";
        EXPECT_EQ(frame.header.sequenceNumber, static_cast<int>(i % 8));
        for (std::uint32_t word : frame.dataWords) {
            ASSERT_EQ(word >> 24, 0u);
            everSet |= word;
            everClear |= ~word & 0xFFFFFFu;
            upright += (word >> 16) == RtcmPreamble ? 1 : 0;
            inverted += (word >> 16) == (RtcmPreamble ^ 0xFFu) ? 1 : 0;
        }
    }
    EXPECT_EQ(types.size(), 64u);
    EXPECT_EQ(everSet, 0xFFFFFFu);
    EXPECT_EQ(everClear, 0xFFFFFFu);
    EXPECT_GT(upright, 500);
    EXPECT_GT(inverted, 500);

    const std::vector<BeaconFrame> again = drawFrames(5, 50), other = drawFrames(6, 50);
    int same = 0, differ = 0;
    for (std::size_t i = 0; i < again.size(); ++i) {
        same += again[i].dataWords == frames[i].dataWords ? 1 : 0;
        differ += other[i].dataWords != frames[i].dataWords ? 1 : 0;
    }
    EXPECT_EQ(same, 50);
    EXPECT_GT(differ, 40);

    struct Collector final : DecoderListener {
        std::vector<BeaconFrame> got;
        void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
            got.push_back(
                {{frame.messageType, frame.stationId, frame.zCount, frame.sequenceNumber, frame.stationHealth}, message.dataWords});
        }
    } collector;
    RtcmDecoder decoder;
    decoder.addListener(collector);
    RtcmEncoder encoder;
    std::vector<std::uint8_t> bits;
    for (const BeaconFrame& frame : frames) encoder.appendFrameBits(frame.header, frame.dataWords, bits);
    for (std::uint8_t bit : bits) decoder.pushBit(bit);
    ASSERT_EQ(collector.got.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(collector.got[i].header.messageType, frames[i].header.messageType) << i;
        EXPECT_EQ(collector.got[i].dataWords, frames[i].dataWords) << i;
    }
}

TEST(RandomContents, TypesOutsideSixBitsAreRefused) {
    BeaconSettings settings;
    settings.randomContentSeed = 1;
    settings.messageTypes = {64};
    EXPECT_THROW(SimulatedBeacon{settings}, std::invalid_argument);
    settings.messageTypes = {2};
    EXPECT_NO_THROW(SimulatedBeacon{settings});
    settings.randomContentSeed.reset();
    EXPECT_THROW(SimulatedBeacon{settings}, std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
