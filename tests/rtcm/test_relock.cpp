// SPDX-License-Identifier: GPL-3.0-or-later
// Relocking: after a damaged word the decoder must take the very next intact frame, whatever the
// polarity of its preamble (it follows a word ending in D30 = 1 about half the time) and even when a
// slipped bit put that preamble inside the rejected word. And it must not find frames in noise.
#include "tests/support/recording_view.h"

#include "signalgen/simulated_beacon.h"

#include <gtest/gtest.h>

#include <random>

namespace sondeco::testing {
namespace {

struct SentStream {
    std::vector<BeaconFrame> frames;
    std::vector<std::size_t> starts;  // bit where each frame starts, and one past the last
    std::vector<std::uint8_t> bits;
};

// The simulated station's usual mix (every message type, lengths 0 to 30 words), one continuous
// parity chain, so that preambles go out upright and inverted as they fall.
SentStream stationStream(int frames) {
    BeaconSettings settings;
    settings.messageTypes = {9, 3, 9, 1, 6, 5, 9, 31, 7, 34, 16, 32, 33, 35};
    SimulatedBeacon beacon(settings);
    RtcmEncoder encoder;
    SentStream stream;
    for (int k = 0; k < frames; ++k) {
        stream.starts.push_back(stream.bits.size());
        stream.frames.push_back(beacon.nextFrame());
        encoder.appendFrameBits(stream.frames.back().header, stream.frames.back().dataWords, stream.bits);
    }
    stream.starts.push_back(stream.bits.size());
    return stream;
}

bool sameFrame(const RecordingView& view, std::size_t decoded, const BeaconFrame& sent) {
    const DecodedHeader expected{sent.header.messageType,
                                 sent.header.stationId,
                                 sent.header.zCount,
                                 sent.header.sequenceNumber,
                                 static_cast<int>(sent.dataWords.size()),
                                 sent.header.stationHealth};
    return view.completedFrames[decoded] == expected && view.frameWords[decoded] == sent.dataWords;
}

// Decodes `bits` and checks that every frame of `sent` comes out exactly as sent, except those listed
// as damaged, which may be missing (a damaged frame may also come out right: a lost D30 is taken from
// the next word's D1, which an upright preamble sends equal to it); nothing else may come out.
void expectAllIntactFramesDecoded(const std::vector<std::uint8_t>& bits, const SentStream& sent, const std::vector<bool>& damaged,
                                  bool damageCostsFrames = true) {
    DecoderBench bench;
    bench.pushBits(bits);
    const std::size_t decoded = bench.view.completedFrames.size();
    std::size_t next = 0;
    int damagedButRight = 0;
    for (std::size_t k = 0; k < sent.frames.size(); ++k) {
        if (next < decoded && sameFrame(bench.view, next, sent.frames[k])) {
            ++next;
            damagedButRight += damaged[k] ? 1 : 0;
            continue;
        }
        EXPECT_TRUE(damaged[k]) << "intact frame " << k << " of " << sent.frames.size() << " not decoded, or not as sent";
    }
    EXPECT_EQ(next, decoded) << "frames that were never sent";
    // A flipped bit always costs its frame (parity sees every single error): a check in which all
    // frames came through would prove nothing.
    if (damageCostsFrames) {
        EXPECT_EQ(damagedButRight, 0);
    }
}

TEST(Relock, EveryIntactFrameAfterAFlippedBitWherePreamblesComeUprightAndInverted) {
    const SentStream sent = stationStream(120);
    int inverted = 0;
    for (std::size_t k = 1; k < sent.frames.size(); ++k) inverted += sent.bits[sent.starts[k]] == 1;  // D1 of 0x66 is 0
    ASSERT_GT(inverted, 20);
    ASSERT_GT(static_cast<int>(sent.frames.size()) - 1 - inverted, 20);

    // In every third frame one bit is flipped: the first preamble bit, the last preamble bit, header word
    // 2, a parity bit, D30 of a word, the middle of a data word, the last bit of the frame.
    const std::vector<int> places = {0, 7, 45, 56, 59, 75, -1};
    for (std::size_t place = 0; place < places.size(); ++place) {
        std::vector<std::uint8_t> bits = sent.bits;
        std::vector<bool> damaged(sent.frames.size(), false);
        for (std::size_t k = place % 3; k < sent.frames.size(); k += 3) {
            const std::size_t length = sent.starts[k + 1] - sent.starts[k];
            const std::size_t offset = places[place] < 0 ? length - 1 : static_cast<std::size_t>(places[place]);
            if (offset >= length) continue;  // a frame too short for this place: sent intact
            bits[sent.starts[k] + offset] ^= 1u;
            damaged[k] = true;
        }
        SCOPED_TRACE("bit " + std::to_string(places[place]) + " of every third frame flipped");
        expectAllIntactFramesDecoded(bits, sent, damaged);
    }
}

TEST(Relock, EveryIntactFrameAfterASlippedBitEvenInTheLastWordOfAFrame) {
    const SentStream sent = stationStream(90);
    // A bit lost or doubled in a frame's last word (so the next preamble starts inside the word that
    // fails), in its first word, and in the middle.
    for (const int fromEnd : {1, 7, 29}) {
        for (const bool doubled : {false, true}) {
            std::vector<std::uint8_t> bits;
            std::vector<bool> damaged(sent.frames.size(), false);
            for (std::size_t k = 0; k < sent.frames.size(); ++k) {
                const auto first = sent.bits.begin() + static_cast<std::ptrdiff_t>(sent.starts[k]);
                const auto last = sent.bits.begin() + static_cast<std::ptrdiff_t>(sent.starts[k + 1]);
                if (k % 2 == 0) {
                    bits.insert(bits.end(), first, last);
                    continue;
                }
                const auto slip = last - fromEnd;
                bits.insert(bits.end(), first, slip);
                if (doubled) bits.push_back(*slip);
                bits.insert(bits.end(), doubled ? slip : slip + 1, last);
                damaged[k] = true;
            }
            SCOPED_TRACE("bit " + std::to_string(fromEnd) + " from the end of every second frame " + (doubled ? "doubled" : "lost"));
            expectAllIntactFramesDecoded(bits, sent, damaged, false);
        }
    }
}

// Random bits pass a preamble (either polarity) and the parity of a first word about once in 2^12
// positions, a header word 2 one time in 64 after that, and a frame needs all its data words too.
// Measured over 200 hours of random bits at 200 bit/s: 15 false frames (0.075 an hour), all of them
// frames of no data words; with only an upright preamble after D29* = D30* = 0 it was 2 (0.01 an hour).
// Twenty hours here, so the bound allows several times the measured rate.
TEST(Relock, RandomBitsMakeFewFalseFrames) {
    constexpr int BitsPerHour = 200 * 3600;
    DecoderBench bench;
    std::mt19937_64 random(7);
    for (int i = 0; i < 20 * BitsPerHour; ++i) bench.decoder.pushBit(static_cast<std::uint8_t>(random() & 1u));
    EXPECT_LE(bench.view.completedFrames.size(), 6u) << "false frames in 20 hours of random bits";
    for (const DecodedHeader& frame : bench.view.completedFrames) EXPECT_LE(frame.length, 1) << "a long false frame";
    EXPECT_GT(bench.decoder.statistics().syncLosses, 100u);  // it did lock on noise, and let go
}

}  // namespace
}  // namespace sondeco::testing
