// SPDX-License-Identifier: GPL-3.0-or-later
// The band monitor's front end, on its own: the FFT of any length, the filter bank's seams, its power
// sums and the past it keeps for a channel asked for late, and the halvings that bring a wide stream
// down to the band before the bank.
#include "band/band_channelizer.h"
#include "band/band_decimator.h"
#include "band/mixed_radix_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace sondeco {
namespace {

std::vector<ComplexSample> tone(double hz, double rate, std::size_t samples, float amplitude = 0.5f) {
    std::vector<ComplexSample> out(samples);
    for (std::size_t n = 0; n < samples; ++n) {
        const double cycles = std::remainder(hz * static_cast<double>(n) / rate, 1.0);
        out[n] = std::polar(amplitude, static_cast<float>(2.0 * std::numbers::pi * cycles));
    }
    return out;
}

// The tone's frequency from the phase advance, and the mean power, over `samples` past the first `skip`.
void measure(std::span<const ComplexSample> samples, double rate, std::size_t skip, double& hz, double& power) {
    std::complex<double> turn = 0.0;
    power = 0.0;
    for (std::size_t n = skip; n + 1 < samples.size(); ++n) {
        turn += std::complex<double>(samples[n + 1]) * std::conj(std::complex<double>(samples[n]));
        power += std::norm(std::complex<double>(samples[n]));
    }
    power /= static_cast<double>(samples.size() - skip - 1);
    hz = std::arg(turn) * rate / (2.0 * std::numbers::pi);
}

// The bank's lengths are products of 2, 3 and 5 (9600 at 2.4 MS/s, 1000 at 250 kS/s); other factors
// are done the long way. Each against the DFT summed directly.
TEST(MixedRadixFft, MatchesTheDirectTransformAtEveryKindOfLength) {
    std::mt19937 random(7);
    std::normal_distribution<float> gauss;
    for (const std::size_t length : {1u, 2u, 3u, 4u, 5u, 8u, 12u, 14u, 40u, 96u, 250u, 1000u, 4800u}) {
        std::vector<float> real(length), imaginary(length);
        for (std::size_t n = 0; n < length; ++n) {
            real[n] = gauss(random);
            imaginary[n] = gauss(random);
        }
        std::vector<std::complex<double>> roots(length);
        for (std::size_t k = 0; k < length; ++k)
            roots[k] = std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(length));
        std::vector<std::complex<double>> expected(length);
        double largest = 0.0;
        for (std::size_t k = 0; k < length; ++k) {
            for (std::size_t n = 0; n < length; ++n) expected[k] += std::complex<double>(real[n], imaginary[n]) * roots[(k * n) % length];
            largest = std::max(largest, std::abs(expected[k]));
        }
        MixedRadixFft fft(length);
        fft.transform(real.data(), imaginary.data());
        double error = 0.0;
        for (std::size_t k = 0; k < length; ++k)
            error = std::max(error, std::abs(expected[k] - std::complex<double>(real[k], imaginary[k])));
        EXPECT_LT(error, 1e-5 * largest) << "length " << length;
    }
    EXPECT_THROW(MixedRadixFft{0}, std::invalid_argument);
}

// With seams every 250 Hz is a channel centre: a tone 40 Hz from a seam comes out of that channel at
// its offset and full level, and the channels 500 Hz either side hold almost nothing of it. The power
// summed for each channel is that of its output; and a channel first asked for half-way through is
// given the outputs it missed, the same samples a channel wanted from the start gives.
TEST(BandChannelizer, SeamsPowerSumsAndTheRecentPast) {
    const double rate = 48000.0;
    const double hz = 3250.0 + 40.0;
    const std::vector<ComplexSample> input = tone(hz, rate, 48000);
    BandChannelizer whole(rate, 0.0, true);
    ASSERT_EQ(whole.channelCount(), 192);
    const int channel = whole.channelNearest(hz);
    ASSERT_EQ(channel % 2, 1);  // a seam
    ASSERT_DOUBLE_EQ(whole.centreHz(channel), 3250.0);
    const std::vector<int> wanted{channel, channel - 2, channel + 2};
    std::vector<std::vector<ComplexSample>> outputs;
    std::vector<float> powerSums(static_cast<std::size_t>(whole.channelCount()), 0.0f);
    whole.process(input, wanted, outputs, powerSums);
    const auto& out = outputs[static_cast<std::size_t>(channel)];
    ASSERT_EQ(out.size(), whole.samplesOut());
    double measuredHz = 0.0, power = 0.0;
    measure(out, whole.outputRate(), 100, measuredHz, power);
    EXPECT_NEAR(measuredHz, 40.0, 0.1);
    EXPECT_NEAR(10.0 * std::log10(power / 0.25), 0.0, 0.05);
    for (const int other : {channel - 2, channel + 2}) {
        double leakedHz = 0.0, leaked = 0.0;
        measure(outputs[static_cast<std::size_t>(other)], whole.outputRate(), 100, leakedHz, leaked);
        EXPECT_LT(10.0 * std::log10(leaked / power + 1e-30), -75.0) << "channel " << other;
    }
    double outputPower = 0.0;
    for (const ComplexSample& sample : out) outputPower += std::norm(std::complex<double>(sample));
    EXPECT_NEAR(powerSums[static_cast<std::size_t>(channel)], outputPower, 1e-4 * outputPower);

    BandChannelizer late(rate, 0.0, true);
    late.keepRecent(300);
    std::vector<std::vector<ComplexSample>> lateOutputs;
    late.process(std::span(input).first(24000), {}, lateOutputs);
    std::vector<ComplexSample> joined;
    late.recent(channel, 1000, joined);
    ASSERT_EQ(joined.size(), 300u);  // as many as are kept
    const std::vector<int> only{channel};
    late.process(std::span(input).subspan(24000), only, lateOutputs);
    joined.insert(joined.end(), lateOutputs[static_cast<std::size_t>(channel)].begin(),
                  lateOutputs[static_cast<std::size_t>(channel)].end());
    const std::size_t first = out.size() - joined.size();
    for (std::size_t n = 0; n < joined.size(); ++n) ASSERT_EQ(joined[n], out[first + n]) << "output " << first + n;
}

// 2.4 MS/s brought down to the 22 kHz either side of its centre that hold the beacon band: a tone in
// the band comes out at its level and frequency; tones that would fold onto the band at one halving or
// another are kept at least 85 dB under it.
TEST(BandDecimator, KeepsTheBandAndKeepsOutWhatWouldFoldOntoIt) {
    const double rate = 2400000.0;
    const double passband = 22000.0;
    const BandDecimator probe(rate, passband, [](double) { return true; });
    ASSERT_EQ(probe.halvings(), 5u);
    ASSERT_DOUBLE_EQ(probe.outputRate(), 75000.0);
    const auto through = [&](double hz) {
        BandDecimator decimator(rate, passband, [](double) { return true; });
        std::vector<ComplexSample> out;
        const std::vector<ComplexSample> input = tone(hz, rate, 240000);
        // In uneven pieces, as a stream comes.
        for (std::size_t at = 0; at < input.size();) {
            const std::size_t take = std::min<std::size_t>(input.size() - at, 7001);
            decimator.process(std::span(input).subspan(at, take), out);
            at += take;
        }
        EXPECT_NEAR(static_cast<double>(out.size()), 240000.0 / 32.0, 1.0);
        return out;
    };
    for (const double hz : {-20500.0, 1000.0, 21000.0}) {
        double measuredHz = 0.0, power = 0.0;
        measure(through(hz), probe.outputRate(), 200, measuredHz, power);
        EXPECT_NEAR(measuredHz, hz, 0.1);
        EXPECT_NEAR(10.0 * std::log10(power / 0.25), 0.0, 0.01) << hz << " Hz";
    }
    // Each would land on the band: at 75 kS/s (60 kHz on -15 kHz), at 150 kS/s, and at the first
    // halving (1.2 MHz plus 10 kHz on 10 kHz).
    for (const double hz : {60000.0, 140000.0, 1210000.0, -1190000.0}) {
        double measuredHz = 0.0, power = 0.0;
        measure(through(hz), probe.outputRate(), 200, measuredHz, power);
        EXPECT_LT(10.0 * std::log10(power / 0.25 + 1e-30), -85.0) << hz << " Hz";
    }
}

}  // namespace
}  // namespace sondeco
