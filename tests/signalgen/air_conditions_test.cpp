// SPDX-License-Identifier: GPL-3.0-or-later
// The conditions of the air are what they claim: Rayleigh fades with the right statistics and
// Doppler spread, Morse keying with the right timing, other carriers at the right level and, keyed
// with a tone, with their lines where an A2A beacon has them.
#include "signalgen/air_conditions.h"
#include "signalgen/band_signal.h"
#include "signalgen/msk_modulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace sondeco {
namespace {

TEST(AirConditions, RayleighFadesHaveExponentialPowerAndTheJakesCorrelation) {
    constexpr double Rate = 50.0, Doppler = 1.0;
    RayleighFading fading(Doppler, Rate, 3);
    std::vector<std::complex<double>> gains(1000000);  // 20,000 Doppler periods
    for (auto& gain : gains) gain = fading.next();
    double power = 0.0;
    int belowTenth = 0, belowOne = 0;
    for (const auto& gain : gains) {
        power += std::norm(gain);
        belowTenth += std::norm(gain) < 0.1;
        belowOne += std::norm(gain) < 1.0;
    }
    const double n = static_cast<double>(gains.size());
    EXPECT_NEAR(power / n, 1.0, 0.05);
    EXPECT_NEAR(belowTenth / n, 1.0 - std::exp(-0.1), 0.015);  // 9.5 % of the time 10 dB down or more
    EXPECT_NEAR(belowOne / n, 1.0 - std::exp(-1.0), 0.03);
    // The correlation over a lag tau is J0(2 pi fd tau): 0.90 at 0.1 s, none at its first zero (0.383 s).
    const auto correlation = [&](double seconds) {
        const auto lag = static_cast<std::size_t>(std::lround(seconds * Rate));
        std::complex<double> sum;
        for (std::size_t i = 0; i + lag < gains.size(); ++i) sum += gains[i + lag] * std::conj(gains[i]);
        return std::abs(sum) / (n - static_cast<double>(lag)) / (power / n);
    };
    EXPECT_NEAR(correlation(0.1), std::cyl_bessel_j(0.0, 2.0 * std::numbers::pi * Doppler * 0.1), 0.05);
    EXPECT_LT(correlation(0.38), 0.1);
    // Another seed, other fades; a spread outside its range is refused.
    RayleighFading other(Doppler, Rate, 4);
    EXPECT_GT(std::abs(other.next() - gains[0]), 1e-6);
    EXPECT_THROW(RayleighFading(0.0, Rate, 1), std::invalid_argument);
    EXPECT_THROW(RayleighFading(6.0, Rate, 1), std::invalid_argument);
}

TEST(AirConditions, MorseKeyingFollowsTheParisTiming) {
    constexpr double Rate = 1000.0;
    // PARIS is 50 dots with its word space, 22 of them keyed: 6 s at 10 words a minute.
    MorseKeyer keyer("PARIS", 10.0, Rate);
    EXPECT_DOUBLE_EQ(keyer.dotSeconds(), 0.12);
    std::vector<double> envelope(12000);
    for (double& value : envelope) value = keyer.next();
    int down = 0;
    for (std::size_t i = 0; i < 6000; ++i) down += envelope[i] > 0.5;
    EXPECT_NEAR(down, 22 * 120, 10);
    for (std::size_t i = 0; i < 6000; ++i) ASSERT_NEAR(envelope[i], envelope[i + 6000], 1e-9) << i;
    // The edges are smooth: no step larger than a 5 ms raised cosine makes.
    for (std::size_t i = 1; i < envelope.size(); ++i) ASSERT_LT(std::fabs(envelope[i] - envelope[i - 1]), 0.35);
    EXPECT_THROW(MorseKeyer("", 10.0, Rate), std::invalid_argument);
    EXPECT_THROW(MorseKeyer("D-G", 10.0, Rate), std::invalid_argument);
    ASSERT_TRUE(parseCarrierKeying("morse KBR"));
    EXPECT_EQ(parseCarrierKeying("morse KBR")->identifier, "KBR");
    EXPECT_EQ(parseCarrierKeying("tone")->keying, CarrierKeying::Tone);
    EXPECT_FALSE(parseCarrierKeying("blink"));
}

// The power of what a carrier adds to the beacon's audio at one frequency (Goertzel over `samples`).
double powerAt(const std::vector<double>& samples, std::size_t from, std::size_t count, double frequency, double rate) {
    std::complex<double> sum;
    for (std::size_t i = from; i < from + count; ++i)
        sum += samples[i] * std::polar(1.0, -2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    return std::norm(sum) / static_cast<double>(count * count);
}

std::vector<double> render(const MskSettings& settings, std::size_t samples) {
    MskModulator modulator(settings);
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(settings.bitRate * static_cast<double>(samples) / settings.sampleRate) + 10);
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint8_t>(i * 7 % 3 == 0);
    modulator.pushBits(bits);
    std::vector<double> out(samples);
    modulator.render(out);
    return out;
}

TEST(AirConditions, CarriersInTheAudioAreAsStrongAsSaidAndKeyedAsSaid) {
    MskSettings beacon;
    beacon.centreFrequency = 1317.3;
    beacon.amplitude = 1000.0;
    const std::vector<double> alone = render(beacon, 48000 * 4);
    const auto added = [&](const InterferingCarrier& carrier) {
        MskSettings settings = beacon;
        settings.carriers = {carrier};
        std::vector<double> both = render(settings, alone.size());
        for (std::size_t i = 0; i < both.size(); ++i) both[i] -= alone[i];
        return both;
    };
    const double beaconPower = 1000.0 * 1000.0 / 2.0;
    for (const double level : {0.0, 20.0}) {
        const std::vector<double> carrier = added({1467.3, level});
        double power = 0.0;
        for (const double sample : carrier) power += sample * sample;
        EXPECT_NEAR(10.0 * std::log10(power / static_cast<double>(carrier.size()) / beaconPower), level, 0.05);
    }
    // Keyed with Morse: "E" and a word space is on for one dot in eight, at full level while on.
    const std::vector<double> keyed = added({1467.3, 0.0, CarrierKeying::Morse, "E", 60.0});  // a dot of 20 ms, 160 ms a cycle
    double keyedPower = 0.0;
    for (const double sample : keyed) keyedPower += sample * sample;
    EXPECT_NEAR(keyedPower / static_cast<double>(keyed.size()) / beaconPower, 1.0 / 8.0, 0.01);
    // Keyed with a tone: while the key is down, lines 1020 Hz either side at (0.9 / 2)^2 of the carrier.
    const std::vector<double> tone = added({1467.3, 0.0, CarrierKeying::Tone, "T", 6.0});  // a dash of 0.6 s from the start
    const double carrierLine = powerAt(tone, 4800, 19200, 1467.3, 48000.0);
    EXPECT_NEAR(powerAt(tone, 4800, 19200, 1467.3 + KeyedToneHz, 48000.0) / carrierLine, 0.45 * 0.45, 0.01);
    EXPECT_NEAR(powerAt(tone, 4800, 19200, 1467.3 - KeyedToneHz, 48000.0) / carrierLine, 0.45 * 0.45, 0.01);
    // ... and none while it is up (the dash is followed by a word space, 1.4 s).
    EXPECT_LT(powerAt(tone, 33600, 19200, 1467.3 + KeyedToneHz, 48000.0) / carrierLine, 1e-4);

    MskSettings faded = beacon;
    faded.rayleighDopplerHz = 1.0;
    faded.carriers = {{30000.0, 0.0}};
    EXPECT_THROW(MskModulator{faded}, std::invalid_argument);
}

TEST(AirConditions, ARayleighFadedBeaconKeepsItsMeanPowerAndFades) {
    MskSettings settings;
    settings.centreFrequency = 1317.3;
    settings.amplitude = 1000.0;
    settings.rayleighDopplerHz = 2.0;
    settings.sampleRate = 8000;
    const std::vector<double> faded = render(settings, 8000 * 600);
    double total = 0.0;
    int deep = 0, windows = 0;
    for (std::size_t from = 0; from + 80 <= faded.size(); from += 80, ++windows) {
        double power = 0.0;
        for (std::size_t i = from; i < from + 80; ++i) power += faded[i] * faded[i];
        total += power;
        deep += power / 80.0 < 0.1 * 1000.0 * 1000.0 / 2.0;
    }
    EXPECT_NEAR(total / static_cast<double>(faded.size()) / (1000.0 * 1000.0 / 2.0), 1.0, 0.1);
    EXPECT_NEAR(static_cast<double>(deep) / windows, 1.0 - std::exp(-0.1), 0.03);
}

TEST(AirConditions, AKeyedCarrierInTheBandIsOffBetweenItsElements) {
    BandSettings settings;
    settings.output = BandOutput::Real;
    settings.sampleRate = 48000.0;
    settings.centreFrequency = 0.0;
    settings.noise = false;
    settings.carriers = {{1500.0, 50.0, 0.0, CarrierKeying::Morse, "E", 60.0}};
    BandSignal band(settings);
    std::vector<float> out(48000);
    band.render(out);
    int quiet = 0;
    for (std::size_t from = 0; from + 480 <= out.size(); from += 480) {
        double power = 0.0;
        for (std::size_t i = from; i < from + 480; ++i) power += double(out[i]) * out[i];
        quiet += power < 1e-9;
    }
    // A 20 ms dot every 160 ms: at least half of the 10 ms pieces are silent.
    EXPECT_GE(quiet, 50);
    EXPECT_LE(quiet, 90);
}

}  // namespace
}  // namespace sondeco
