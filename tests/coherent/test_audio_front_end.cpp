// SPDX-License-Identifier: GPL-3.0-or-later
// The audio front end: tones land where they belong at the right level, what lies outside the band
// stays out of it, and the way a stream is cut into blocks or spoilt by bad samples changes nothing
// it should not.
#include "coherent/audio_front_end.h"
#include "coherent/forward_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace sondeco {
namespace {

std::vector<double> tone(double frequencyHz, double amplitude, std::size_t samples, double phase = 0.3) {
    std::vector<double> out(samples);
    for (std::size_t n = 0; n < samples; ++n) {
        out[n] = amplitude * std::cos(2.0 * std::numbers::pi * frequencyHz * static_cast<double>(n) / 48000.0 + phase);
    }
    return out;
}

// Power spectrum (Hann window, 4096 points, dB) of the output after its start-up transient.
struct Spectrum {
    std::vector<double> decibels;
    double binHz;
    double at(double frequencyHz) const {
        const auto bins = static_cast<long>(decibels.size());
        long bin = std::lround(frequencyHz / binHz) % bins;
        if (bin < 0) bin += bins;
        return decibels[static_cast<std::size_t>(bin)];
    }
    // The strongest bin of those whose frequency lies in [low, high], leaving out `skip` Hz around `around`.
    double strongestIn(double low, double high, double around, double skip) const {
        double best = -400.0;
        for (double f = low; f <= high; f += binHz) {
            if (std::abs(f - around) > skip) best = std::max(best, at(f));
        }
        return best;
    }
};

Spectrum spectrumOf(const std::vector<ComplexSample>& output, double rate) {
    constexpr std::size_t Length = 4096;
    std::vector<ComplexSample> windowed(Length), transformed(Length);
    const std::size_t start = output.size() - Length;
    for (std::size_t n = 0; n < Length; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / Length);
        windowed[n] = output[start + n] * static_cast<float>(hann);
    }
    ForwardFft(Length).transform(windowed, transformed);
    Spectrum spectrum{{}, rate / Length};
    for (const ComplexSample& value : transformed) spectrum.decibels.push_back(10.0 * std::log10(std::norm(value) + 1e-20));
    return spectrum;
}

TEST(AudioFrontEnd, PutsEachToneOfTheBandAtItsOffsetAtFullLevel) {
    AudioFrontEnd frontEnd;
    EXPECT_DOUBLE_EQ(frontEnd.outputRate(), 8000.0);
    EXPECT_DOUBLE_EQ(frontEnd.centreFrequency(), 1850.0);
    EXPECT_DOUBLE_EQ(frontEnd.searchLowHz(), -1650.0);
    EXPECT_DOUBLE_EQ(frontEnd.searchHighHz(), 1650.0);

    for (double frequency : {200.0, 730.0, 1850.0, 2999.0, 3500.0}) {
        AudioFrontEnd fresh;
        std::vector<ComplexSample> output;
        fresh.process(std::span<const double>(tone(frequency, 1000.0, 48000)), output);
        ASSERT_EQ(output.size(), 8000u);
        // The tone comes out as a complex exponential at its offset with its amplitude kept: the
        // output projected onto that exponential over half a second. (The mirror image of a real
        // tone lies outside the band at the output and averages away here.)
        const double offset = frequency - fresh.centreFrequency();
        std::complex<double> projection{};
        for (std::size_t n = 4000; n < 8000; ++n) {
            projection +=
                std::complex<double>(output[n]) * std::polar(1.0, -2.0 * std::numbers::pi * offset * static_cast<double>(n) / 8000.0);
        }
        EXPECT_NEAR(std::abs(projection) / 4000.0, 1000.0, 10.0) << frequency << " Hz";
        // Nothing else inside the band: the output is clean to 60 dB there.
        const Spectrum spectrum = spectrumOf(output, 8000.0);
        const double peak = spectrum.at(offset);
        EXPECT_LT(spectrum.strongestIn(fresh.searchLowHz(), fresh.searchHighHz(), offset, 20.0), peak - 60.0) << frequency << " Hz";
    }
}

TEST(AudioFrontEnd, KeepsWhatLiesOutsideTheBandOutOfIt) {
    // Tones above the band would fold into it on decimation; they must be gone. One far beyond the
    // output rate, one where the first fold lands on the band, one just past the passband.
    for (double frequency : {4300.0, 8000.0 + 1000.0, 16000.0 - 500.0, 21000.0}) {
        AudioFrontEnd frontEnd;
        std::vector<ComplexSample> output;
        frontEnd.process(std::span<const double>(tone(frequency, 10000.0, 48000)), output);
        const Spectrum spectrum = spectrumOf(output, 8000.0);
        // 10000 in amplitude is 80 dB (relative to 1) in this spectrum's scale plus the window's gain;
        // a tone of amplitude 1 in the band would read about 66 dB. Require everything in the band
        // 60 dB below the interferer's own level.
        const double reference = spectrumOf(std::vector<ComplexSample>(4096, ComplexSample(10000.0f, 0.0f)), 8000.0).at(0.0);
        EXPECT_LT(spectrum.strongestIn(frontEnd.searchLowHz(), frontEnd.searchHighHz(), 1e9, 0.0), reference - 60.0) << frequency << " Hz";
    }
}

TEST(AudioFrontEnd, GivesTheSameOutputHoweverTheStreamIsCutAndShrugsOffBadSamples) {
    std::mt19937 random(3);
    std::normal_distribution<double> gaussian(0.0, 3000.0);
    std::vector<double> audio(48000 + 77);
    for (double& sample : audio) sample = gaussian(random);

    AudioFrontEnd whole;
    std::vector<ComplexSample> expected;
    whole.process(std::span<const double>(audio), expected);

    // Floats in blocks of odd sizes, from one sample to more than a chunk, through both entry points.
    AudioFrontEnd pieces;
    std::vector<float> asFloat(audio.begin(), audio.end());
    std::vector<ComplexSample> got;
    std::uniform_int_distribution<std::size_t> blockSize(1, 9000);
    std::size_t done = 0;
    bool intoSpan = false;
    while (done < asFloat.size()) {
        const std::size_t count = std::min(blockSize(random), asFloat.size() - done);
        const std::span<const float> block(asFloat.data() + done, count);
        if (intoSpan) {
            std::vector<ComplexSample> out(pieces.maxOutputSamples(count));
            out.resize(pieces.process(block, std::span<ComplexSample>(out)));
            got.insert(got.end(), out.begin(), out.end());
        } else {
            pieces.process(block, got);
        }
        intoSpan = !intoSpan;
        done += count;
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t n = 0; n < got.size(); ++n) {
        // The doubles were rounded to float on the way in, nothing else differs.
        ASSERT_NEAR(got[n].real(), expected[n].real(), 0.05f) << n;
        ASSERT_NEAR(got[n].imag(), expected[n].imag(), 0.05f) << n;
    }

    // NaN and infinities are counted and taken as silence: the output stays finite and, once they
    // have passed through the filter, equals the output of the clean stream with zeros there.
    std::vector<double> spoilt = audio;
    std::vector<double> zeroed = audio;
    for (std::size_t n : {100u, 5000u, 5001u, 30000u}) {
        spoilt[n] = n % 2 == 0 ? std::numeric_limits<double>::quiet_NaN() : -std::numeric_limits<double>::infinity();
        zeroed[n] = 0.0;
    }
    AudioFrontEnd spoiltEnd, zeroedEnd;
    std::vector<ComplexSample> spoiltOut, zeroedOut;
    spoiltEnd.process(std::span<const double>(spoilt), spoiltOut);
    zeroedEnd.process(std::span<const double>(zeroed), zeroedOut);
    EXPECT_EQ(spoiltEnd.nonFiniteSamples(), 4u);
    ASSERT_EQ(spoiltOut.size(), zeroedOut.size());
    for (std::size_t n = 0; n < spoiltOut.size(); ++n) ASSERT_EQ(spoiltOut[n], zeroedOut[n]) << n;

    // An output span too short for the block is refused rather than overrun.
    std::vector<ComplexSample> tooShort(10);
    EXPECT_THROW(pieces.process(std::span<const float>(asFloat.data(), 4800), std::span<ComplexSample>(tooShort)), std::invalid_argument);
}

TEST(AudioFrontEnd, RefusesBandsThatDoNotFitAndChoosesItsRateFromTheBand) {
    EXPECT_THROW(AudioFrontEnd(FrontEndSettings{48000.0, 0.0, 3500.0}), std::invalid_argument);
    EXPECT_THROW(AudioFrontEnd(FrontEndSettings{48000.0, 3500.0, 200.0}), std::invalid_argument);
    EXPECT_THROW(AudioFrontEnd(FrontEndSettings{48000.0, 200.0, 24000.0}), std::invalid_argument);
    EXPECT_THROW(AudioFrontEnd(FrontEndSettings{0.0, 200.0, 3500.0}), std::invalid_argument);

    // A narrow band (a single beacon's neighbourhood) goes to a much lower rate, still four times
    // its passband's half-width so the squared band fits.
    AudioFrontEnd narrow(FrontEndSettings{48000.0, 550.0, 1050.0});
    EXPECT_DOUBLE_EQ(narrow.centreFrequency(), 800.0);
    EXPECT_GE(narrow.outputRate(), 4.0 * narrow.passbandHalfWidth());
    EXPECT_LT(narrow.outputRate(), 2500.0);
    std::vector<ComplexSample> output;
    narrow.process(std::span<const double>(tone(1000.0, 500.0, 48000)), output);
    EXPECT_NEAR(std::abs(output[output.size() / 2]), 500.0, 10.0);
}

}  // namespace
}  // namespace sondeco
