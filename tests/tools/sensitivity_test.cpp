// SPDX-License-Identifier: GPL-3.0-or-later
// Sensitivity with both bounds: a fixed-seed noisy beacon signal of 60 frames, at an Eb/N0 where the
// receiver loses part of them, through the demodulator and the RTCM decoder. Too few frames right
// means sensitivity was lost; frames that were never sent, or one frame decoded twice, mean the
// decoder invents them. The noise is fixed, so the counts are exact for a given build. The bounds
// leave room for what may legitimately move them: a different compiler or maths library rounds
// atan2 and cos differently and may flip a decision or two.
//
// Besides the decoded frames the test counts the frames whose bits all came out of the demodulator
// right, wherever its clock put them. That count moves far less with the noise and pins down the
// demodulator on its own; the decoder can never deliver more frames than it.
//
// Speed is not measured here (bench/ does that).

#include "measure/reception_trial.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace sondeco {
namespace {

constexpr int SentFrames = 60;

struct Counts {
    int decoded = 0;  // frames the decoder completed while the counted frames were on air
    int right = 0;  // of those, frames equal to a counted frame sent, each sent frame at most once
    int wrong = 0;  // frames equal to no frame sent at their place: invented, or duplicates
    int demodulated = 0;  // counted frames whose transmitted bits all appear in the decisions
};

Counts receive(int rate, double ebN0Db, std::uint64_t seed) {
    ReceptionTrial trial;
    trial.bitRate = rate;
    trial.ebN0Db = ebN0Db;
    trial.seed = seed;
    trial.frames = SentFrames;
    trial.warmupFrames = 0;  // from switch-on: the first lock is part of what is measured
    const ReceptionResult result = runReceptionTrial(trial);
    return {result.score.decoded, result.score.right, result.score.wrong, result.demodulated};
}

struct Point {
    int rate;
    double ebN0Db;
    int rightAtLeast;
    int demodulatedAtLeast;
};

void PrintTo(const Point& point, std::ostream* out) { *out << point.rate << " bit/s at " << point.ebN0Db << " dB"; }

class Sensitivity : public ::testing::TestWithParam<Point> {};

TEST_P(Sensitivity, FramesRightWithinBounds) {
    const Point point = GetParam();
    const Counts counts = receive(point.rate, point.ebN0Db, 1);
    SCOPED_TRACE(testing::Message() << point.rate << " bit/s at " << point.ebN0Db << " dB: " << counts.right << " right, " << counts.wrong
                                    << " wrong, " << counts.demodulated << " demodulated right of " << SentFrames);
    // Lower bounds: sensitivity lost.
    EXPECT_GE(counts.demodulated, point.demodulatedAtLeast);
    EXPECT_GE(counts.right, point.rightAtLeast);
    // Upper bounds: nothing invented, nothing twice, never more than the demodulator got right.
    EXPECT_EQ(counts.wrong, 0);
    EXPECT_LE(counts.decoded, static_cast<int>(SentFrames));
    EXPECT_LE(counts.right, counts.demodulated);
    // And the word and frame synchronisers lose nothing the demodulator delivered: every frame whose
    // bits came out right is locked onto, whatever came before it.
    EXPECT_GE(counts.right, counts.demodulated - 1);
}

// Measured with seed 1: 51 right and 51 demodulated at 200 bit/s, 42 and 42 at 100 bit/s. Half a dB
// less signal gives 46 and 35 (both counts), one dB less 31 and 25: each lower bound sits where a
// loss of half a dB trips it.
INSTANTIATE_TEST_SUITE_P(Beacon, Sensitivity, ::testing::Values(Point{200, 10.0, 47, 47}, Point{100, 10.0, 37, 37}),
                         [](const auto& parameter) { return "Rate" + std::to_string(parameter.param.rate); });

}  // namespace
}  // namespace sondeco
