// SPDX-License-Identifier: GPL-3.0-or-later
// Whether reading a recording made at another rate costs sensitivity, run by hand, not in make test
// (it takes a minute or two):
//   build/bench/bench/measure_resampled_sensitivity
// The simulated beacon at 48 kHz with noise, converted by libsoxr to 44.1 and 11.025 kHz and rounded
// to 16 bits as a recorder would save it, then read back as AudioInput reads any recording (to 48 kHz
// again) and decoded by the receiver. The same signal and noise go through every rate, so the counts
// differ only by what the two conversions do. Two Eb/N0 points on the knee give the slope that turns
// a difference in frames right into decibels. Prints a markdown table; fails if a rate is 0.2 dB or
// more from 48 kHz. SONDECO_SEEDS scales it (default 5 signals of 200 counted frames a point).
#include "audio/audio_input.h"
#include "audio/resampler.h"
#include "measure/reception_trial.h"
#include "receiver/receiver.h"
#include "signalgen/beacon_audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sondeco {
namespace {

constexpr int CountedFrames = 200;
constexpr int WarmupFrames = 10;

// The left channel at 48 kHz as BeaconAudio renders it, and the frames sent.
struct Recording {
    std::vector<double> samples;
    std::vector<BeaconFrame> sent;
};

Recording record(double ebN0Db, std::uint64_t seed) {
    BeaconSettings station;
    station.startSecondsIntoHour = 0.0;
    MskSettings transmitter;
    transmitter.ebN0Db = ebN0Db;
    transmitter.noiseSeed = seed;
    transmitter.leadingSeconds = 2.0;
    BeaconAudio audio(station, transmitter, true);
    Recording recording;
    std::vector<std::int16_t> buffer(2 * static_cast<std::size_t>(Receiver::SamplesPerBuffer));
    // Until the last counted frame has gone out whole, then half a second for the receiver's delay.
    int tail = 5;
    while (audio.sentFrames().size() < WarmupFrames + CountedFrames + 2 || tail-- > 0) {
        audio.render(buffer);
        for (std::size_t n = 0; n < buffer.size(); n += 2) recording.samples.push_back(buffer[n]);
    }
    recording.sent = audio.sentFrames();
    return recording;
}

// Frames decoded right after the recording went to `rate` as a 16-bit file and came back.
int framesRight(const Recording& recording, int rate) {
    std::vector<double> atRate;
    if (rate == AudioInput::OutputRate) {
        atRate = recording.samples;
    } else {
        Resampler converter;
        std::string error;
        EXPECT_TRUE(converter.open(AudioInput::OutputRate, rate, 1, error)) << error;
        converter.process(recording.samples.data(), recording.samples.size(), atRate);
        converter.finish(atRate);
    }
    std::string bytes;
    for (const double sample : atRate) {
        const auto value = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(std::clamp(sample, -32768.0, 32767.0))));
        bytes += static_cast<char>(value & 0xFF);
        bytes += static_cast<char>(value >> 8);
    }
    AudioInput input;
    std::string error;
    EXPECT_TRUE(input.openRawStream(fmemopen(bytes.data(), bytes.size(), "rb"), true, {RawSampleFormat::S16, 1, rate}, {}, error)) << error;
    Receiver receiver;
    DecodedFrameRecorder decoded;
    receiver.addListener(decoded);
    std::vector<double> block(4800);
    while (const std::size_t frames = input.read(block)) receiver.pushSamples(std::span(block).first(frames));
    receiver.finishAudio();
    const ReceptionScore score = scoreReception(decoded.frames, recording.sent, WarmupFrames, WarmupFrames + CountedFrames);
    EXPECT_EQ(score.wrong, 0) << rate << " Hz";
    return score.right;
}

TEST(ResampledSensitivity, RecordingsAt44100And11025HzHearAsWellAsAt48000Hz) {
    const char* seedsText = std::getenv("SONDECO_SEEDS");
    const int seeds = seedsText != nullptr ? std::max(1, std::atoi(seedsText)) : 5;
    const std::vector<int> rates{48000, 44100, 11025};
    const std::vector<double> points{9.0, 10.0};
    std::vector<std::vector<int>> right(rates.size(), std::vector<int>(points.size(), 0));
    for (std::size_t p = 0; p < points.size(); ++p) {
        for (int seed = 1; seed <= seeds; ++seed) {
            const Recording recording = record(points[p], static_cast<std::uint64_t>(seed));
            for (std::size_t r = 0; r < rates.size(); ++r) right[r][p] += framesRight(recording, rates[r]);
        }
    }
    const double counted = static_cast<double>(seeds) * CountedFrames;
    // Frames right per dB between the two points, at 48 kHz.
    const double slope = (right[0][1] - right[0][0]) / counted / (points[1] - points[0]);
    ASSERT_GT(slope, 0.0) << "the two points are not on the knee";
    std::printf("\n| rate | frames right at %.0f dB | at %.0f dB | sensitivity against 48 kHz |\n|---|---|---|---|\n", points[0],
                points[1]);
    for (std::size_t r = 0; r < rates.size(); ++r) {
        // The same frames-right difference at both points, in dB along the 48 kHz curve; positive
        // is better than 48 kHz.
        const double shift = ((right[r][0] - right[0][0]) + (right[r][1] - right[0][1])) / 2.0 / counted / slope;
        std::printf("| %d Hz | %d of %.0f (%.1f %%) | %d of %.0f (%.1f %%) | %+.3f dB |\n", rates[r], right[r][0], counted,
                    100.0 * right[r][0] / counted, right[r][1], counted, 100.0 * right[r][1] / counted, shift);
        EXPECT_LT(std::abs(shift), 0.2) << rates[r] << " Hz";
    }
}

}  // namespace
}  // namespace sondeco
