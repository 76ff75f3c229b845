// SPDX-License-Identifier: GPL-3.0-or-later
// The band generator: complex MSK against its closed form, every beacon's and carrier's power where
// its level puts it against the noise, the same stream however it is cut, and the frames it keeps
// being the ones it sent.

#include "signalgen/band_signal.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/complex_msk_modulator.h"
#include "signalgen/msk_modulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace sondeco {
namespace {

using Complex = std::complex<double>;
constexpr double Pi = std::numbers::pi;

double decibels(double ratio) { return 10.0 * std::log10(ratio); }

// Power per bin (bins add up to the mean square), Hann-windowed, by an in-place radix-2 FFT; bin k is
// k * rate / size, the upper half negative.
std::vector<double> powerSpectrum(std::vector<Complex> data) {
    const std::size_t size = data.size();
    double windowPower = 0.0;
    for (std::size_t n = 0; n < size; ++n) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * Pi * static_cast<double>(n) / static_cast<double>(size));
        data[n] *= window;
        windowPower += window * window;
    }
    for (std::size_t i = 1, j = 0; i < size; ++i) {
        std::size_t bit = size >> 1;
        for (; (j & bit) != 0; bit >>= 1) j ^= bit;
        if (i < (j ^= bit)) std::swap(data[i], data[j]);
    }
    for (std::size_t length = 2; length <= size; length <<= 1) {
        const Complex root = std::polar(1.0, -2.0 * Pi / static_cast<double>(length));
        for (std::size_t start = 0; start < size; start += length) {
            Complex turn = 1.0;
            for (std::size_t k = start; k < start + length / 2; ++k, turn *= root) {
                const Complex odd = data[k + length / 2] * turn;
                data[k + length / 2] = data[k] - odd;
                data[k] += odd;
            }
        }
    }
    std::vector<double> power(size);
    for (std::size_t k = 0; k < size; ++k) power[k] = std::norm(data[k]) / (windowPower * static_cast<double>(size));
    return power;
}

// The power between two frequencies (Hz from the stream's centre, either sign).
double bandPower(const std::vector<double>& spectrum, double sampleRate, double low, double high) {
    const auto size = static_cast<long>(spectrum.size());
    const double binWidth = sampleRate / static_cast<double>(size);
    double sum = 0.0;
    for (auto bin = std::lround(std::ceil(low / binWidth)); bin <= std::lround(std::floor(high / binWidth)); ++bin) {
        sum += spectrum[static_cast<std::size_t>((bin % size + size) % size)];
    }
    return sum;
}

// A beacon that starts at once.
BandBeacon beaconAt(double frequency, double bitRate, int station, double ebN0Db, double offset = 0.0, double clockPpm = 0.0) {
    BandBeacon beacon;
    beacon.frequency = frequency;
    beacon.bitRate = bitRate;
    beacon.stationId = station;
    beacon.ebN0Db = ebN0Db;
    beacon.frequencyOffset = offset;
    beacon.clockErrorPpm = clockPpm;
    beacon.delaySeconds = 0.0;
    return beacon;
}

BandSettings audioBand() {
    BandSettings settings;
    settings.output = BandOutput::Real;
    settings.sampleRate = 48000.0;
    settings.centreFrequency = 0.0;
    return settings;
}

TEST(ComplexMskModulator, FollowsTheClosedFormOfContinuousPhaseMskOnEitherSideOfTheCentre) {
    // x(n) = A exp(j (phi0 + w n + pi/2 (the bits before, +-1 each, + the current bit's share))).
    std::mt19937 random(5);
    std::vector<std::uint8_t> bits(300);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    for (const ComplexMskSettings& c : {ComplexMskSettings{250000.0, 100.0, -16500.0, 0.7, 0.3, 0.0, 0.0},
                                        ComplexMskSettings{48000.0, 25.0, 1300.0, 0.7, 2.0, 150.0, 0.0123}}) {
        ComplexMskModulator modulator(c);
        modulator.pushBits(bits);
        const double rate = c.bitRate * (1.0 + c.clockErrorPpm * 1e-6), leading = std::round(c.leadingSeconds * c.sampleRate);
        const auto length = static_cast<std::size_t>(std::ceil(static_cast<double>(bits.size()) / rate * c.sampleRate + leading));
        std::vector<std::complex<float>> out(length + 100);
        ASSERT_EQ(modulator.addTo(out), length) << c.bitRate;
        EXPECT_EQ(modulator.queuedBits(), 0u);
        double worst = 0.0, quarterTurns = 0.0;
        for (std::size_t n = 0, bit = 0; n < length; ++n) {
            if (static_cast<double>(n) < leading) {
                worst = std::max(worst, static_cast<double>(std::abs(out[n])));
                continue;
            }
            const double bitTime = (static_cast<double>(n) - leading) * rate / c.sampleRate;
            while (bitTime >= static_cast<double>(bit + 1)) quarterTurns += bits[bit++] != 0 ? 1.0 : -1.0;
            const double share = (bits[bit] != 0 ? 1.0 : -1.0) * (bitTime - static_cast<double>(bit));
            const double phase =
                c.startPhase + 2.0 * Pi * c.frequency * static_cast<double>(n) / c.sampleRate + Pi / 2.0 * (quarterTurns + share);
            worst = std::max(worst, std::abs(Complex(out[n]) - std::polar(0.7, phase)));
        }
        EXPECT_LT(worst, 2e-5) << c.sampleRate << " " << c.bitRate;
    }
    EXPECT_THROW(ComplexMskModulator(ComplexMskSettings{48000.0, 200.0, -23990.0}), std::invalid_argument);
}

TEST(BandSignal, EveryBeaconAndCarrierHasThePowerItsLevelGivesAgainstTheNoise) {
    // Beacons from 25 to 200 bit/s on both sides of the centre and near the edges, one of them off
    // its frequency with a fast clock, and two carriers.
    BandSettings settings;
    settings.seed = 11;
    settings.beacons = {beaconAt(287500.0, 100.0, 491, 12.0), beaconAt(304500.0, 200.0, 12, 20.0),
                        beaconAt(313000.0, 50.0, 1023, 6.0, 3.5, 80.0), beaconAt(201000.0, 25.0, 0, 15.0),
                        beaconAt(410000.0, 100.0, 700, 9.0)};
    settings.carriers = {{296000.0, 40.0, {}}, {330250.0, 25.0, {}}};
    BandSignal noisy(settings);
    settings.noise = false;
    BandSignal clean(settings);
    constexpr std::size_t Size = 1 << 19;  // 2.1 s
    std::vector<std::complex<float>> withNoise(Size), without(Size);
    noisy.render(withNoise);
    clean.render(without);

    // The noise alone is the difference of the band with and without it, brought to one scale
    // (without noise the signals fill the stream's RMS alone). N0 is measured: its power over the rate.
    const double scale = noisy.beaconAmplitude(0) / clean.beaconAmplitude(0), rate = settings.sampleRate;
    std::vector<Complex> noise(Size), signals(Size);
    double noisePower = 0.0, totalPower = 0.0;
    for (std::size_t n = 0; n < Size; ++n) {
        signals[n] = scale * Complex(without[n]);
        noise[n] = Complex(withNoise[n]) - signals[n];
        noisePower += std::norm(noise[n]) / Size;
        totalPower += std::norm(Complex(withNoise[n])) / Size;
    }
    const double noiseDensity = noisePower / rate;
    EXPECT_NEAR(decibels(noiseDensity / noisy.noiseDensity()), 0.0, 0.05);
    EXPECT_NEAR(std::sqrt(totalPower), settings.rms, 0.02 * settings.rms);
    const auto noiseSpectrum = powerSpectrum(noise);  // white: as much below the centre as above
    EXPECT_NEAR(decibels(bandPower(noiseSpectrum, rate, -rate / 2.0, -1.0) / bandPower(noiseSpectrum, rate, 0.0, rate / 2.0)), 0.0, 0.05);

    // A beacon's power within 1.5 bit rates of its carrier (more than 99.9 % of MSK's) gives the
    // Eb/N0 asked for, most of it between the tones at +-rate/4 and no line at the carrier.
    const auto spectrum = powerSpectrum(signals);
    for (const BandBeacon& beacon : noisy.settings().beacons) {
        const double centre = beacon.frequency + beacon.frequencyOffset - settings.centreFrequency;
        const double power = bandPower(spectrum, rate, centre - 1.5 * beacon.bitRate, centre + 1.5 * beacon.bitRate);
        EXPECT_NEAR(decibels(power / beacon.bitRate / noiseDensity), beacon.ebN0Db, 0.3) << beacon.frequency;
        EXPECT_GT(bandPower(spectrum, rate, centre - beacon.bitRate / 4.0, centre + beacon.bitRate / 4.0) / power, 0.6) << beacon.frequency;
        EXPECT_LT(bandPower(spectrum, rate, centre - 2.0, centre + 2.0) / power, 8.0 / beacon.bitRate) << beacon.frequency;
    }
    // A carrier is a line: nearly all its power within 4 Hz, at the C/N0 asked for.
    for (const BandCarrier& carrier : settings.carriers) {
        const double centre = carrier.frequency - settings.centreFrequency, line = bandPower(spectrum, rate, centre - 4.0, centre + 4.0);
        EXPECT_NEAR(decibels(line / noiseDensity), carrier.carrierToNoiseDbHz, 0.3) << carrier.frequency;
        EXPECT_GT(line / bandPower(spectrum, rate, centre - 60.0, centre + 60.0), 0.999) << carrier.frequency;
    }
}

TEST(BandSignal, RealAudioMeansByEbN0WhatTheSingleBeaconAudioGeneratorMeans) {
    // The same Eb/N0 and rate give the same ratio of tone peak to noise deviation, and the other
    // kind of sample is refused rather than half filled.
    MskSettings audio;
    audio.bitRate = 100.0;
    audio.ebN0Db = 10.0;
    const MskModulator reference(audio);
    BandSettings settings = audioBand();
    settings.beacons = {beaconAt(800.0, 100.0, 1, 10.0)};
    BandSignal band(settings);
    EXPECT_NEAR(band.beaconAmplitude(0) / band.noiseStandardDeviation(), reference.amplitude() / reference.noiseStandardDeviation(), 1e-9);
    std::vector<std::complex<float>> complexSamples(10);
    EXPECT_THROW(band.render(complexSamples), std::logic_error);
}

TEST(BandSignal, SameSeedSameStreamHoweverItIsCutAndAnotherSeedAnotherStream) {
    for (const bool real : {false, true}) {
        BandSettings settings = real ? audioBand() : BandSettings{};
        settings.beacons = {BandBeacon{}, BandBeacon{}, BandBeacon{}};  // delays and phases drawn from the seed
        const double frequencies[3] = {700.0, 1200.0, 2000.0};
        for (std::size_t i = 0; i < 3; ++i) settings.beacons[i].frequency = (real ? 0.0 : 290000.0) + frequencies[i] * (real ? 1.0 : 10.0);
        settings.beacons[1].bitRate = 200.0;
        settings.carriers = {{real ? 2750.0 : 330000.0, 40.0, {}}};
        settings.keepSentFrames = true;
        constexpr std::size_t Size = 300000;  // past the longest delay, several frames at 200 bit/s
        const auto render = [&](BandSignal& band, const std::vector<std::size_t>& cuts) {
            std::vector<std::complex<float>> samples(Size);
            std::vector<float> audio(Size);
            for (std::size_t i = 0, done = 0; done < Size; done += cuts[i++ % cuts.size()]) {
                const std::size_t count = std::min(cuts[i % cuts.size()], Size - done);
                real ? band.render(std::span(audio).subspan(done, count)) : band.render(std::span(samples).subspan(done, count));
            }
            if (real) std::copy(audio.begin(), audio.end(), samples.begin());
            return samples;
        };
        BandSignal whole(settings), cut(settings), again(settings);
        const auto reference = render(whole, {Size});
        EXPECT_EQ(render(cut, {1, 4095, 4097, 7, 60000, 333, 4096}), reference);
        EXPECT_EQ(render(again, {Size}), reference);
        for (std::size_t beacon = 0; beacon < 3; ++beacon) {
            EXPECT_EQ(cut.sentFrames(beacon).size(), whole.sentFrames(beacon).size());
            EXPECT_GE(whole.sentFrames(beacon).size(), 1u);
            const double delay = *whole.settings().beacons[beacon].delaySeconds;
            EXPECT_TRUE(delay >= 0.0 && delay < 1.0 && delay != *whole.settings().beacons[(beacon + 1) % 3].delaySeconds) << delay;
        }
        settings.seed += 1;
        BandSignal reseeded(settings);
        const auto different = render(reseeded, {Size});
        EXPECT_LT(std::inner_product(different.begin(), different.end(), reference.begin(), 0u, std::plus<>(), std::equal_to<>()),
                  Size / 100);
    }
}

TEST(BandSignal, KeptFramesAreTheBitsOnTheAirAndBadSignalsAreRefused) {
    // One clean beacon alone: each bit is read back from the quarter turn it makes (up for a 1)
    // and compared with the kept frames encoded again.
    BandSettings settings;
    settings.sampleRate = 96000.0;
    settings.centreFrequency = 300000.0;
    settings.noise = false;
    settings.keepSentFrames = true;
    settings.startSecondsIntoHour = 1234.5;
    settings.beacons = {beaconAt(312345.0, 200.0, 765, 12.0)};
    settings.beacons[0].messageTypes = {9, 3, 6};
    settings.beacons[0].delaySeconds = 0.25;
    BandSignal band(settings);
    std::vector<std::complex<float>> samples(96000 * 4);
    band.render(samples);
    const double carrierTurn = 2.0 * Pi * 12345.0 * 480 / 96000.0;
    std::vector<std::uint8_t> received;
    for (std::size_t start = 24000; start + 480 < samples.size(); start += 480) {
        const double turn = std::arg(Complex(samples[start + 480]) * std::conj(Complex(samples[start])) * std::polar(1.0, -carrierTurn));
        received.push_back(turn > 0.0 ? 1 : 0);
        EXPECT_NEAR(std::abs(turn), Pi / 2.0, 1e-3);
    }
    const auto& frames = band.sentFrames(0);
    ASSERT_GE(frames.size(), 3u);
    RtcmEncoder encoder;
    std::vector<std::uint8_t> sent;
    for (const BeaconFrame& frame : frames) encoder.appendFrameBits(frame.header, frame.dataWords, sent);
    // Every kept frame has begun: the last one started within the rendered stream.
    ASSERT_GE(sent.size(), received.size());
    EXPECT_LT(sent.size() - received.size(), 30u * (frames.back().dataWords.size() + 2));
    EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
    EXPECT_EQ(frames[0].header.stationId, 765);
    EXPECT_EQ(frames[1].header.messageType, 3);
    EXPECT_EQ(frames[0].header.zCount, zCountAt(1234.5 + 0.25));

    // Signals outside the stream (or a lower tone below 0 Hz in audio), a real stream with a centre.
    for (const auto& change : std::vector<std::function<void(BandSettings&)>>{
             [](BandSettings& s) { s.beacons[0].frequency = 347990.0; }, [](BandSettings& s) { s.beacons[0].frequency = 252010.0; },
             [](BandSettings& s) {
                 s.carriers = {{348000.0, 30.0, {}}};
             },
             [](BandSettings& s) { s.beacons[0].stationId = 1024; }, [](BandSettings& s) { s.output = BandOutput::Real; },
             [](BandSettings& s) {
                 s = audioBand();
                 s.beacons = {beaconAt(40.0, 200.0, 1, 10.0)};
             }}) {
        BandSettings bad = settings;
        change(bad);
        EXPECT_THROW(BandSignal{bad}, std::invalid_argument);
    }
    settings.beacons[0].frequency = 347900.0;
    EXPECT_NO_THROW(BandSignal{settings});
}

}  // namespace
}  // namespace sondeco
