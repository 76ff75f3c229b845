// SPDX-License-Identifier: GPL-3.0-or-later
// The impulse blanker on generated static: what it cuts, what it lets through, and that it never
// mistakes a louder signal (a step, a keyed carrier) for an impulse.
#include "coherent/impulse_blanker.h"
#include "signalgen/air_conditions.h"
#include "signalgen/msk_modulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace sondeco {
namespace {

std::vector<double> beaconAudio(const MskSettings& settings, double seconds) {
    MskModulator modulator(settings);
    std::mt19937 random(3);
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(seconds * settings.bitRate) + 10);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    modulator.pushBits(bits);
    std::vector<double> audio(static_cast<std::size_t>(seconds * settings.sampleRate));
    audio.resize(modulator.render(audio));
    return audio;
}

struct Blanked {
    std::vector<double> output;
    std::vector<BlankedStretch> stretches;
    std::uint64_t blankedSamples = 0;
};

Blanked blank(const std::vector<double>& input, std::size_t block = 1000) {
    ImpulseBlanker blanker;
    Blanked result;
    result.output.resize(input.size());
    for (std::size_t start = 0; start < input.size(); start += block) {
        const std::size_t count = std::min(block, input.size() - start);
        blanker.process(std::span<const double>(input.data() + start, count), std::span<double>(result.output.data() + start, count));
        blanker.takeBlanked(result.stretches);
    }
    result.blankedSamples = blanker.blankedSamples();
    return result;
}

// Static at 14 dB, 4 bursts a second: every burst is cut down to below the signal's level, the
// rest passes untouched one delay later, and the stretches reported are exactly the zeros written.
TEST(ImpulseBlanker, CutsEveryBurstAndNothingElse) {
    MskSettings settings;
    settings.ebN0Db = 14.0;
    settings.noiseSeed = 5;
    const std::vector<double> clean = beaconAudio(settings, 10.0);
    settings.staticBurstsPerSecond = 4.0;
    const std::vector<double> stormy = beaconAudio(settings, 10.0);
    const double amplitude = MskModulator(settings).amplitude();

    const Blanked result = blank(stormy, 777);  // blocks that cut through bursts
    const std::size_t delay = ImpulseBlanker().delay();
    std::vector<bool> inStretch(result.output.size(), false);
    std::uint64_t reported = 0;
    for (const BlankedStretch& stretch : result.stretches) {
        ASSERT_LE(stretch.end, result.output.size());
        for (std::uint64_t n = stretch.first; n < stretch.end; ++n) inStretch[n] = true;
        reported += stretch.end - stretch.first;
    }
    EXPECT_EQ(reported, result.blankedSamples);
    double worstLeft = 0.0;
    for (std::size_t n = delay; n < result.output.size(); ++n) {
        if (inStretch[n]) {
            EXPECT_EQ(result.output[n], 0.0) << n;
            continue;
        }
        EXPECT_EQ(result.output[n], stormy[n - delay]) << n;
        worstLeft = std::max(worstLeft, std::fabs(stormy[n - delay] - clean[n - delay]));
    }
    EXPECT_LT(worstLeft, 1.5 * amplitude) << "a burst left standing well above the signal";
    // About 40 bursts of 2 ms, each blanked with its lead and tail: a few per cent of the time.
    EXPECT_GT(result.blankedSamples, 40u * 96u / 2u);
    EXPECT_LT(result.blankedSamples, 48000u * 10u / 20u);
}

// Noise and signal alone are hardly touched; a signal that gets 20 dB louder is blanked for a moment
// at most, then learnt; samples that are no numbers come out as zeros and poison nothing.
TEST(ImpulseBlanker, LeavesNoiseAndLevelStepsAlone) {
    MskSettings settings;
    settings.ebN0Db = 10.0;
    settings.noiseSeed = 9;
    std::vector<double> audio = beaconAudio(settings, 10.0);
    const std::uint64_t byNoise = blank(audio).blankedSamples;  // its rare peaks
    EXPECT_LT(byNoise, audio.size() / 1000);

    for (std::size_t n = audio.size() / 2; n < audio.size(); ++n) audio[n] *= 10.0;
    const Blanked stepped = blank(audio);
    EXPECT_LT(stepped.blankedSamples, byNoise + 48u) << "a louder signal that stays is not an impulse";
    std::size_t zerosAtTheEnd = 0;
    for (std::size_t n = audio.size() - 48000; n < audio.size(); ++n) zerosAtTheEnd += stepped.output[n] == 0.0;
    EXPECT_LT(zerosAtTheEnd, 50u);

    audio[1000] = std::numeric_limits<double>::quiet_NaN();
    audio[2000] = std::numeric_limits<double>::infinity();
    ImpulseBlanker blanker;
    std::vector<double> out(audio.size());
    blanker.process(audio, out);
    EXPECT_EQ(out[1000 + blanker.delay()], 0.0);
    EXPECT_EQ(out[2000 + blanker.delay()], 0.0);
    EXPECT_TRUE(std::isfinite(blanker.level()));
    for (double sample : out) ASSERT_TRUE(std::isfinite(sample));

    std::vector<double> shorter(3);
    EXPECT_THROW(blanker.process(audio, shorter), std::invalid_argument);
}

// Another station's carrier keyed with its Morse identifier, 20 dB above the beacon, with soft (5 ms)
// edges or hard ones: every key-down is a louder signal that stays, and none of it is blanked, while
// static on top of it is still cut.
TEST(ImpulseBlanker, AKeyedCarrierIsNoImpulse) {
    MskSettings settings;
    settings.ebN0Db = 10.0;
    settings.noiseSeed = 4;
    const std::vector<double> beacon = beaconAudio(settings, 20.0);
    const double amplitude = 10.0 * MskModulator(settings).amplitude();
    for (const bool hard : {false, true}) {
        std::vector<double> audio = beacon;
        MorseKeyer keyer("DGPS", 10.0, settings.sampleRate);
        for (std::size_t n = 0; n < audio.size(); ++n) {
            const double key = hard ? std::round(keyer.next()) : keyer.next();
            audio[n] += key * amplitude * std::sin(2.0 * std::numbers::pi * 1650.0 * static_cast<double>(n) / settings.sampleRate);
        }
        EXPECT_LT(blank(audio).blankedSamples, audio.size() / 1000) << (hard ? "hard edges" : "soft edges");
    }
    settings.staticBurstsPerSecond = 4.0;
    std::vector<double> stormy = beaconAudio(settings, 20.0);
    MorseKeyer keyer("DGPS", 10.0, settings.sampleRate);
    for (std::size_t n = 0; n < stormy.size(); ++n)
        stormy[n] += keyer.next() * amplitude * std::sin(2.0 * std::numbers::pi * 1650.0 * static_cast<double>(n) / settings.sampleRate);
    EXPECT_GT(blank(stormy).blankedSamples, 80u * 96u / 2u) << "the static's 80 bursts";
}

}  // namespace
}  // namespace sondeco
