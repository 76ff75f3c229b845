// SPDX-License-Identifier: GPL-3.0-or-later
// The MSK modulator: its tones, its phase, its noise and its clock.

#include "signalgen/msk_modulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace sondeco {
namespace {

std::vector<std::uint8_t> randomBits(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bits(count);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    return bits;
}

std::vector<double> modulate(const MskSettings& settings, const std::vector<std::uint8_t>& bits) {
    MskModulator modulator(settings);
    modulator.pushBits(bits);
    std::vector<double> samples(static_cast<std::size_t>(
        (static_cast<double>(bits.size()) / settings.bitRate * 1.01 + settings.leadingSeconds) * settings.sampleRate + 16));
    samples.resize(modulator.render(samples));
    return samples;
}

// Frequency from the times of the first and last zero crossing, interpolated between samples.
double measuredFrequency(const std::vector<double>& samples, double sampleRate) {
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (std::size_t n = 1; n < samples.size(); ++n) {
        if ((samples[n - 1] < 0.0) == (samples[n] < 0.0)) continue;
        const double time = static_cast<double>(n - 1) + samples[n - 1] / (samples[n - 1] - samples[n]);
        if (first < 0.0) first = time;
        last = time;
        ++crossings;
    }
    return (crossings - 1) / 2.0 / ((last - first) / sampleRate);
}

TEST(MskModulator, OneIsTheUpperToneAndZeroTheLower) {
    struct Case {
        double rate, centre, offset;
    };
    for (const Case c : {Case{100, 800, 0}, Case{200, 500, 0}, Case{200, 1000, -7.5}, Case{100, 650, 3}}) {
        MskSettings settings;
        settings.bitRate = c.rate;
        settings.centreFrequency = c.centre;
        settings.frequencyOffset = c.offset;
        for (std::uint8_t bit : {std::uint8_t{0}, std::uint8_t{1}}) {
            const auto samples = modulate(settings, std::vector<std::uint8_t>(static_cast<std::size_t>(c.rate), bit));
            const double expected = c.centre + c.offset + (bit ? 1 : -1) * c.rate / 4;
            EXPECT_NEAR(measuredFrequency(samples, settings.sampleRate), expected, 0.02)
                << "bit " << int{bit} << " at " << c.rate << " bit/s around " << c.centre << " Hz";
        }
    }
}

// A sampled sinusoid obeys s[n-1] + s[n+1] = 2 cos(w) s[n]. Between two MSK tones the residual stays
// at the size of their difference; a phase step at a bit edge would show as a residual of the
// size of the step. Bit edges fall anywhere between samples here (a clock error of 123 ppm), and
// the stream is fed and read in pieces that cut through bits, which must not change a sample.
TEST(MskModulator, PhaseIsContinuousWhereverBitsAndCallsAreCut) {
    MskSettings settings;
    settings.clockErrorPpm = 123.0;
    const auto bits = randomBits(2000, 3);
    const auto samples = modulate(settings, bits);
    const double amplitude = MskModulator(settings).amplitude();
    const double rate = settings.bitRate * (1 + 123e-6);
    const double lower = 2 * std::numbers::pi * (800 - rate / 4) / settings.sampleRate;
    const double upper = 2 * std::numbers::pi * (800 + rate / 4) / settings.sampleRate;
    double worst = 0.0;
    for (std::size_t n = 1; n + 1 < samples.size(); ++n) {
        const double sum = samples[n - 1] + samples[n + 1];
        worst =
            std::max(worst, std::min(std::fabs(sum - 2 * std::cos(lower) * samples[n]), std::fabs(sum - 2 * std::cos(upper) * samples[n])));
    }
    EXPECT_LT(worst, (upper - lower) * amplitude * 1.05);

    MskModulator piecewise(settings);
    std::vector<double> pieces;
    std::vector<double> chunk(7);
    for (std::uint8_t bit : bits) {
        piecewise.pushBits({&bit, 1});
        for (std::size_t got; (got = piecewise.render(chunk)) > 0;)
            pieces.insert(pieces.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    EXPECT_EQ(pieces, samples);
}

TEST(MskModulator, NoisePowerFollowsEbN0) {
    MskSettings clean;
    clean.amplitude = 1000.0;
    MskSettings noisy = clean;
    noisy.ebN0Db = 10.0;
    noisy.noiseSeed = 5;
    const auto bits = randomBits(2000, 4);
    const auto signal = modulate(clean, bits);
    const auto received = modulate(noisy, bits);
    ASSERT_EQ(signal.size(), received.size());
    double sum = 0.0, power = 0.0, lagProduct = 0.0;
    for (std::size_t n = 0; n < signal.size(); ++n) {
        const double noise = received[n] - signal[n];
        sum += noise;
        power += noise * noise;
        if (n > 0) lagProduct += noise * (received[n - 1] - signal[n - 1]);
    }
    const double count = static_cast<double>(signal.size());
    // Eb = (A^2 / 2) / rate and N0 = 2 sigma^2 / fs, so sigma^2 = A^2 fs / (4 rate Eb/N0).
    const double expected = 1000.0 * 1000.0 * 48000 / (4 * 200 * 10.0);
    EXPECT_NEAR(power / count, expected, expected * 0.02);
    EXPECT_NEAR(sum / count, 0.0, std::sqrt(expected) * 0.01);
    EXPECT_NEAR(lagProduct / power, 0.0, 0.01) << "the noise is not white";

    EXPECT_EQ(modulate(noisy, bits), received) << "the same seed must give the same noise";
    noisy.noiseSeed = 6;
    EXPECT_NE(modulate(noisy, bits), received);
}

TEST(MskModulator, ClockErrorChangesTheLengthOfTheSignal) {
    MskSettings settings;
    const auto bits = randomBits(2000, 6);  // 10 s, 480000 samples at the nominal rate
    for (double ppm : {-500.0, 0.0, 500.0}) {
        settings.clockErrorPpm = ppm;
        EXPECT_NEAR(static_cast<double>(modulate(settings, bits).size()), 480000.0 / (1 + ppm * 1e-6), 1.0) << ppm;
    }
}

// Unattended, the level is 16384 peak, or with noise 6000 RMS in all so that noise peaks still fit.
TEST(MskModulator, LevelsLeadingSilenceAndRefusedSettings) {
    MskSettings settings;
    settings.leadingSeconds = 0.25;
    const auto quiet = modulate(settings, {1, 0, 1});
    ASSERT_GT(quiet.size(), 12000u);
    EXPECT_EQ(std::count(quiet.begin(), quiet.begin() + 12000, 0.0), 12000);
    EXPECT_EQ(quiet[12000], 16384.0);  // the first bit starts at phase 0

    settings.ebN0Db = 0.0;
    settings.leadingSeconds = 0.0;
    const auto noisy = modulate(settings, randomBits(1000, 5));
    double power = 0.0, peak = 0.0;
    for (double sample : noisy) {
        power += sample * sample;
        peak = std::max(peak, std::fabs(sample));
    }
    EXPECT_NEAR(std::sqrt(power / static_cast<double>(noisy.size())), 6000.0, 60.0);
    EXPECT_LT(peak, 32767.0);

    settings.centreFrequency = 23990.0;  // the upper tone would lie above 24 kHz
    EXPECT_THROW(MskModulator{settings}, std::invalid_argument);
}

}  // namespace
}  // namespace sondeco

namespace sondeco {
namespace {

// Static rides on top of the signal and its noise without disturbing either: the difference to the
// same seed without static is zero except during bursts, which come at about the rate asked for,
// start at the peak asked for and have died down to the signal's level by their end.
TEST(MskModulator, StaticBurstsAddToAnUnchangedSignal) {
    MskSettings settings;
    settings.ebN0Db = 20.0;
    settings.leadingSeconds = 0.5;  // static is there before the beacon comes on, too
    const auto bits = randomBits(4000, 8);  // 20 s
    const auto clean = modulate(settings, bits);
    settings.staticBurstsPerSecond = 4.0;
    const auto stormy = modulate(settings, bits);
    ASSERT_EQ(clean.size(), stormy.size());
    const double amplitude = MskModulator(settings).amplitude();
    const double peak = amplitude * std::pow(10.0, 30.0 / 20.0);
    const std::size_t burstSamples = 96;  // 2 ms
    std::vector<std::size_t> starts;
    std::size_t quiet = 0;
    for (std::size_t n = 0; n < clean.size(); ++n) {
        if (stormy[n] == clean[n]) {
            ++quiet;
        } else if (n == 0 || stormy[n - 1] == clean[n - 1]) {
            starts.push_back(n);
        }
    }
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        if (starts[b + 1] - starts[b] <= burstSamples) continue;  // overlapping bursts add up
        double largest = 0.0;
        for (std::size_t n = starts[b]; n < starts[b] + burstSamples; ++n) largest = std::max(largest, std::fabs(stormy[n] - clean[n]));
        // The oscillation (550..1050 Hz) reaches its first crest within a quarter cycle, while the
        // envelope falls 30 dB in 2 ms; its last sample is at the signal's level.
        EXPECT_LE(largest, peak * 1.001) << "burst at sample " << starts[b];
        EXPECT_GE(largest, peak * 0.4) << "burst at sample " << starts[b];
        EXPECT_LE(std::fabs(stormy[starts[b] + burstSamples - 1] - clean[starts[b] + burstSamples - 1]), amplitude * 1.001);
        EXPECT_EQ(stormy[starts[b] + burstSamples], clean[starts[b] + burstSamples]);
    }
    const auto bursts = static_cast<double>(starts.size());
    EXPECT_NEAR(bursts, 4 * 20.5, 3 * std::sqrt(82.0));  // Poisson: three standard deviations
    EXPECT_GT(static_cast<double>(quiet), 0.98 * static_cast<double>(clean.size())) << "2 ms bursts, 4 a second";
}

// Drift moves both tones by the same hertz per second; fading swings the level down and back
// with the period and depth asked for.
TEST(MskModulator, DriftAndFading) {
    MskSettings settings;
    settings.amplitude = 1000.0;
    settings.driftHzPerSecond = 2.0;
    const std::vector<std::uint8_t> ones(2000, 1);  // 10 s of the upper tone
    const auto drifting = modulate(settings, ones);
    const auto second = [&](double from) {
        const auto start = drifting.begin() + static_cast<std::ptrdiff_t>(from * 48000);
        return measuredFrequency(std::vector<double>(start, start + 48000), 48000);
    };
    EXPECT_NEAR(second(0.0), 850.0 + 1.0, 0.05);  // the mean over the first second
    EXPECT_NEAR(second(8.0), 850.0 + 17.0, 0.05);

    settings.driftHzPerSecond = 0.0;
    settings.fadingDepthDb = 20.0;
    settings.fadingPeriodSeconds = 4.0;
    const auto fading = modulate(settings, ones);
    const auto peakAround = [&](double time) {
        double peak = 0.0;
        const auto centre = static_cast<std::size_t>(time * 48000);
        for (std::size_t n = centre - 240; n < centre + 240; ++n) peak = std::max(peak, std::fabs(fading[n]));
        return peak;
    };
    EXPECT_NEAR(peakAround(0.01), 1000.0, 1.0);
    EXPECT_NEAR(peakAround(2.0), 100.0, 1.0);  // the bottom of the fade, 20 dB down
    EXPECT_NEAR(peakAround(4.0), 1000.0, 1.0);

    settings.fadingPeriodSeconds = 0.0;
    EXPECT_THROW(MskModulator{settings}, std::invalid_argument);
    settings.fadingDepthDb = 0.0;
    settings.staticBurstsPerSecond = -1.0;
    EXPECT_THROW(MskModulator{settings}, std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
