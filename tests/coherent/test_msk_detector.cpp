// SPDX-License-Identifier: GPL-3.0-or-later
// The coherent MSK detector on its own: the bits it recovers under the impairments it must ride out,
// the mapping of frequency-keyed bits checked on the generator's audio, its soft decisions and Eb/N0
// measure, and silence on what is not a beacon.
#include "coherent/audio_front_end.h"
#include "coherent/msk_detector.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/test_sounds.h"
#include "tests/coherent/coherent_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace sondeco {
namespace {

using testing::BasebandBeacon;
using testing::MskImpairments;

struct Case {
    double bitRate;
    double sampleRate;  // 8000: the audio front end's output; 2000: one band-monitor channel
    MskImpairments impairments;
};

// Every case must come out with no more than a couple of bit errors after the first 100 bits (at
// 10 dB an ideal receiver makes one error in about 100 000), all bits accounted for (none lost or
// doubled: one shift lines them all up), and with the carrier and clock tracked.
TEST(MskDetector, RecoversTheBitsDespiteOffsetDriftClockErrorAndPhase) {
    const double pi = std::numbers::pi;
    const Case cases[] = {
        {200, 8000, {20.0, 0.0, 0.0, 0.0}},          {200, 8000, {-20.0, 0.0, 0.0, pi / 2}}, {200, 8000, {0.0, 1.0, 0.0, pi}},
        {200, 8000, {0.0, -1.0, 500.0, 3 * pi / 2}}, {200, 8000, {0.0, 0.0, -500.0, 1.0}},   {100, 8000, {20.0, 1.0, 500.0, 2.0}},
        {100, 8000, {-20.0, -1.0, -500.0, 3.0}},     {100, 2000, {15.0, 0.5, 300.0, 4.0}},   {200, 2000, {-10.0, -1.0, -300.0, 5.0}},
        {50, 8000, {20.0, 1.0, 500.0, 0.5}},
    };
    const double tone = -700.0;  // relative to 0 Hz of the input, as the front end leaves a tone of 1150 Hz
    std::uint64_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bitRate << " bit/s at " << c.sampleRate << " S/s, offset " << c.impairments.offsetHz
                                          << " Hz, drift " << c.impairments.driftHzPerSecond << " Hz/s, clock "
                                          << c.impairments.clockErrorPpm << " ppm, phase " << c.impairments.phase);
        BasebandBeacon beacon(c.sampleRate, tone, c.bitRate, 10.0, c.impairments, ++seed);
        CoherentMskDetector detector(c.sampleRate, tone, c.bitRate);
        std::vector<SoftBit> bits;
        const double seconds = 1600.0 / c.bitRate;
        for (double t = 0.0; t < seconds; t += 0.25) detector.process(beacon.render(0.25), bits);

        EXPECT_TRUE(detector.locked());
        EXPECT_EQ(detector.lockCount(), 1u);
        EXPECT_EQ(detector.lossCount(), 0u);
        const testing::BitComparison comparison = testing::compareBits(bits, beacon.bits, 100);
        EXPECT_GT(comparison.compared, beacon.bits.size() - 150);
        EXPECT_LE(comparison.errors, 2u);
        const double toneNow = tone + c.impairments.offsetHz + c.impairments.driftHzPerSecond * seconds;
        EXPECT_NEAR(detector.toneHz(), toneNow, 0.5);
        EXPECT_NEAR(detector.bitRate(), c.bitRate * (1.0 + c.impairments.clockErrorPpm * 1e-6), c.bitRate * 100e-6);
        EXPECT_NEAR(detector.ebN0Db(), 10.0, 1.5);
    }
}

// The generator's frequency-keyed audio (1 = upper tone) through the real front end: the detector
// must hand back exactly the bits sent, whatever the carrier's phase, so the mapping of symbol
// decisions to data bits is the generator's. At 6 dB the soft decisions must mean what they say:
// the bits it is unsure of are often wrong, those it is sure of almost never.
TEST(MskDetector, BitsAndTheirReliabilityFromGeneratedAudio) {
    for (const double ebN0 : {30.0, 6.0}) {
        SCOPED_TRACE(::testing::Message() << ebN0 << " dB");
        MskSettings settings;
        settings.bitRate = 200;
        settings.centreFrequency = 1500.0;
        settings.ebN0Db = ebN0;
        settings.noiseSeed = 11;
        std::mt19937 random(5);
        std::vector<std::uint8_t> sent(8000);
        for (auto& bit : sent) bit = static_cast<std::uint8_t>(random() & 1u);
        MskModulator modulator(settings);
        modulator.pushBits(sent);
        std::vector<double> audio(sent.size() * 240);  // 48000 samples a second at 200 bit/s
        audio.resize(modulator.render(audio));

        AudioFrontEnd frontEnd;
        std::vector<ComplexSample> baseband;
        frontEnd.process(std::span<const double>(audio), baseband);
        CoherentMskDetector detector(frontEnd.outputRate(), settings.centreFrequency - frontEnd.centreFrequency(), 200.0);
        std::vector<SoftBit> bits;
        detector.process(baseband, bits);

        const testing::BitComparison comparison = testing::compareBits(bits, sent, 0);
        EXPECT_GT(comparison.compared, sent.size() - 100);
        if (ebN0 > 20.0) {
            EXPECT_EQ(comparison.errors, 0u);
            continue;
        }
        std::size_t unsure = 0, unsureWrong = 0, sure = 0, sureWrong = 0;
        for (std::size_t j = 0; j < bits.size(); ++j) {
            const long k = static_cast<long>(j) - comparison.shift;
            if (k < 0 || k >= static_cast<long>(sent.size())) continue;
            const bool wrong = bits[j].bit != sent[static_cast<std::size_t>(k)];
            if (bits[j].reliability < 1.5f) ++unsure, unsureWrong += wrong;
            if (bits[j].reliability > 6.0f) ++sure, sureWrong += wrong;
        }
        // A log-likelihood ratio below 1.5 promises an error rate between 18 and 50 %, above 6 below 0.25 %.
        ASSERT_GT(unsure, 50u);
        EXPECT_GT(static_cast<double>(unsureWrong) / static_cast<double>(unsure), 0.15);
        EXPECT_LT(static_cast<double>(sureWrong) / static_cast<double>(sure), 0.005);
        EXPECT_NEAR(detector.ebN0Db(), 6.0, 1.0);
    }
}

// Noise alone, a plain carrier at the tone, and speech-like audio: the detector searches and tries
// to confirm again and again, but no bit may come out.
TEST(MskDetector, NothingFromNoiseCarrierOrSpeech) {
    AudioFrontEnd frontEnd;
    const double tone = 1000.0 - frontEnd.centreFrequency();
    CarrierSound carrier(1000.0, 3000.0, 3000.0, 2);
    SpeechLikeSound speech(3000.0, 3);
    BandLimitedNoise noise(200.0, 3500.0, 3000.0, 4);
    const auto listen = [&](auto& sound, double bitRate) {
        CoherentMskDetector detector(frontEnd.outputRate(), tone, bitRate);
        std::vector<double> audio(48000);
        std::vector<ComplexSample> baseband;
        std::vector<SoftBit> bits;
        for (int second = 0; second < 30; ++second) {
            sound.render(audio);
            baseband.clear();
            frontEnd.process(std::span<const double>(audio), baseband);
            detector.process(baseband, bits);
        }
        EXPECT_EQ(detector.lockCount(), 0u) << bitRate << " bit/s";
        EXPECT_TRUE(bits.empty()) << bitRate << " bit/s";
    };
    for (double rate : {200.0, 100.0}) {
        listen(noise, rate);
        listen(carrier, rate);
        listen(speech, rate);
    }
}

// A beacon that goes off the air: the lock is reported lost, and no bits come out of the noise after
// it. Samples that are no numbers on the way cost a bit or two, not the lock.
// A deep fade (1.2 s of noise alone while the beacon's bits go on) loses the lock; when the beacon
// comes back the detector locks again, and the bits it missed come out as erasures, so that every bit
// after the fade stands where it was sent (a word layer would lose its place otherwise).
TEST(MskDetector, BitsAfterAFadeStandWhereTheyWereSent) {
    BasebandBeacon beacon(8000.0, 300.0, 200.0, 12.0, {}, 22);
    CoherentMskDetector detector(8000.0, 300.0, 200.0);
    std::vector<SoftBit> bits;
    detector.process(beacon.render(5.0), bits);
    beacon.render(1.2);  // sent, but not heard:
    detector.process(beacon.render(1.2, false), bits);
    for (int k = 0; k < 40; ++k) detector.process(beacon.render(0.25), bits);
    EXPECT_TRUE(detector.locked());
    EXPECT_EQ(detector.lossCount(), 1u);
    // One shift lines up the bits before the fade and after it (2000 after it): only those of the
    // fade (240, the erased ones about half of them wrong) and the few around it differ.
    const testing::BitComparison comparison = testing::compareBits(bits, beacon.bits, 100);
    EXPECT_GT(comparison.compared, beacon.bits.size() - 150);
    EXPECT_LT(comparison.errors, 200u);
    std::size_t erased = 0;
    for (const SoftBit& bit : bits) erased += bit.reliability == 0.0f && bit.symbol == 0.0f;
    EXPECT_GT(erased, 20u);
    EXPECT_LT(erased, 400u);
}

TEST(MskDetector, ReportsTheLossOfTheBeacon) {
    BasebandBeacon beacon(8000.0, 300.0, 100.0, 12.0, {}, 21);
    CoherentMskDetector detector(8000.0, 300.0, 100.0);
    std::vector<SoftBit> bits;
    detector.process(beacon.render(5.0), bits);
    std::vector<ComplexSample> spoilt = beacon.render(5.0);
    spoilt[100] = ComplexSample(std::numeric_limits<float>::quiet_NaN(), 0.0f);
    spoilt[20000] = ComplexSample(0.0f, std::numeric_limits<float>::infinity());
    detector.process(spoilt, bits);
    ASSERT_TRUE(detector.locked());
    EXPECT_LE(testing::compareBits(bits, beacon.bits, 100).errors, 4u);
    EXPECT_TRUE(std::isfinite(detector.toneHz()));
    const std::size_t whileOn = bits.size();
    detector.process(beacon.render(20.0, false), bits);
    EXPECT_FALSE(detector.locked());
    EXPECT_EQ(detector.lossCount(), 1u);
    EXPECT_TRUE(std::isnan(detector.ebN0Db()) || detector.ebN0Db() < 0.0);
    // What came out after the beacon went is at most the few seconds the loss takes to show.
    EXPECT_LT(bits.size() - whileOn, 300u);

    EXPECT_THROW(CoherentMskDetector(8000.0, 5000.0, 100.0), std::invalid_argument);
    EXPECT_THROW(CoherentMskDetector(300.0, 0.0, 100.0), std::invalid_argument);
    EXPECT_THROW(CoherentMskDetector(8000.0, 0.0, 0.0), std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
