// SPDX-License-Identifier: GPL-3.0-or-later
// Beacon acquisition: finding tone and rate without being told, not finding what is not a beacon,
// letting go of a beacon that stopped or moved, and surviving input no sound card would give.
#include "coherent/acquisition.h"
#include "signalgen/test_sounds.h"
#include "tests/coherent/listening.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace sondeco {
namespace {

using testing::ComplexMskSource;
using testing::HeardEvent;
using testing::Listener;
using testing::RandomBitBeacon;

MskSettings beacon(double toneHz, double bitRate, double ebN0Db, std::uint64_t seed) {
    MskSettings settings;
    settings.centreFrequency = toneHz;
    settings.bitRate = bitRate;
    settings.ebN0Db = ebN0Db;
    settings.noiseSeed = seed;
    return settings;
}

// Signal seconds within which a beacon at 12 dB must be found: well inside the time to the first
// right frame the receiver must reach (3, 6 and 12 s at 200, 100 and 50 bit/s), which also has to
// cover the detector's pull-in and a whole frame.
double acquisitionBound(double bitRate) {
    if (bitRate >= 200.0) return 1.0;
    if (bitRate >= 100.0) return 1.5;
    if (bitRate >= 50.0) return 3.0;
    return 6.0;
}

std::string describe(const HeardEvent& heard) {
    return "event " + std::to_string(static_cast<int>(heard.event.kind)) + " at " + std::to_string(heard.seconds) +
           " s: " + std::to_string(heard.toneHz) + " Hz, " + std::to_string(heard.event.candidate.bitRate) + " bit/s, " +
           std::to_string(heard.event.candidate.lineStrengthDbHz) + " dB-Hz";
}

// Listens to a beacon until the first event and checks it is the beacon, found in time.
void expectFound(Listener& listener, RandomBitBeacon& source, double toneHz, double bitRate, double bound, const std::string& what) {
    ASSERT_TRUE(listener.listenForEvent(source, bound + 0.2)) << what << ": nothing found";
    const HeardEvent& first = listener.events.front();
    EXPECT_EQ(first.event.kind, AcquisitionEvent::Kind::Acquired) << what << ": " << describe(first);
    EXPECT_EQ(first.event.candidate.bitRate, bitRate) << what << ": " << describe(first);
    EXPECT_NEAR(first.toneHz, toneHz, 1.0) << what << ": " << describe(first);
    EXPECT_LE(first.seconds, bound) << what << ": " << describe(first);
}

TEST(BeaconAcquisition, FindsToneAndRateAcrossTheBandAtTwelveDecibels) {
    // Tones on and between the band's edges, off any bin grid, each rate; clock errors of the
    // transmitter shift the lines a little and must not matter.
    const double tones[] = {200.0, 487.3, 1012.6, 1777.7, 2450.25, 3113.9, 3500.0};
    const double rates[] = {200.0, 100.0, 50.0, 25.0};
    std::uint64_t seed = 1;
    for (double rate : rates) {
        for (double tone : tones) {
            MskSettings settings = beacon(tone, rate, 12.0, seed);
            settings.clockErrorPpm = seed % 2 == 0 ? 500.0 : -500.0;
            RandomBitBeacon source(settings);
            Listener listener;
            expectFound(listener, source, tone, rate, acquisitionBound(rate),
                        std::to_string(tone) + " Hz at " + std::to_string(rate) + " bit/s");
            ++seed;
        }
    }
}

TEST(BeaconAcquisition, FindsWeakerBeaconsGivenLonger) {
    // 8 dB is where the coherent receiver still decodes most frames; acquisition must not be what
    // stops it there.
    for (double rate : {200.0, 100.0}) {
        RandomBitBeacon source(beacon(1500.0, rate, 8.0, 11));
        Listener listener;
        expectFound(listener, source, 1500.0, rate, 3.0 * acquisitionBound(rate), "8 dB at " + std::to_string(rate));
    }
}

TEST(BeaconAcquisition, HintsNarrowTheSearchButAWrongHintStillFindsTheBeacon) {
    const double tone = 2300.0;
    for (double rate : {200.0, 50.0}) {
        double unhinted = 0.0;
        {
            RandomBitBeacon source(beacon(tone, rate, 10.0, 5));
            Listener listener;
            ASSERT_TRUE(listener.listenForEvent(source, 10.0));
            unhinted = listener.events.front().seconds;
        }
        {
            // The same signal with the right hints is found no later.
            RandomBitBeacon source(beacon(tone, rate, 10.0, 5));
            Listener listener({}, tone + 7.0, rate);
            ASSERT_TRUE(listener.listenForEvent(source, 10.0));
            EXPECT_LE(listener.events.front().seconds, unhinted);
            EXPECT_NEAR(listener.events.front().toneHz, tone, 1.0);
        }
        // Wrong tone, wrong rate, or both: the beacon is still found as it is, in the usual time.
        const double otherRate = rate == 200.0 ? 100.0 : 25.0;
        const std::pair<std::optional<double>, std::optional<double>> wrongHints[] = {
            {700.0, std::nullopt}, {std::nullopt, otherRate}, {700.0, otherRate}, {tone, otherRate}};
        for (const auto& [toneHint, rateHint] : wrongHints) {
            RandomBitBeacon source(beacon(tone, rate, 12.0, 6));
            Listener listener({}, toneHint, rateHint);
            expectFound(listener, source, tone, rate, acquisitionBound(rate), "wrong hints at " + std::to_string(rate));
        }
    }
}

// Counts Acquired and Moved events over `seconds` of a sound; none is allowed.
template <typename Sound>
void expectNothingIn(Sound& sound, double seconds, const std::string& what) {
    Listener listener;
    listener.listen(sound, seconds);
    for (const HeardEvent& heard : listener.events) ADD_FAILURE() << what << ": " << describe(heard);
}

TEST(BeaconAcquisition, CarriersNoiseAndSpeechAreNotBeacons) {
    // A plain carrier squares to one line, however strong; some in the band, one on a band edge.
    for (double tone : {200.0, 1000.0, 1733.3, 3500.0}) {
        CarrierSound carrier(tone, 8000.0, 300.0, 3);
        expectNothingIn(carrier, 8.0, "carrier at " + std::to_string(tone));
    }
    // Two carriers a rate apart, one twice the other's amplitude: squared, the stronger one's line and
    // the cross product make a balanced pair at exactly a beacon's spacing, with nothing at the
    // midpoint. Only the plain spectrum's lines give it away. Half a rate apart, the midpoint has a
    // line four times stronger than the pair.
    struct TwoCarriers {
        CarrierSound first, second;
        void render(std::span<double> out) {
            std::vector<double> other(out.size());
            first.render(out);
            second.render(other);
            for (std::size_t i = 0; i < out.size(); ++i) out[i] += other[i];
        }
    };
    for (double spacing : {200.0, 100.0, 50.0, 25.0, 100.0 / 2.0}) {
        TwoCarriers carriers{CarrierSound(1200.0, 8000.0, 300.0, 4), CarrierSound(1200.0 + spacing, 4000.0)};
        expectNothingIn(carriers, 8.0, "two carriers " + std::to_string(spacing) + " Hz apart");
    }
    // Voiced speech is a comb of harmonics, squared into a comb of line pairs at every spacing the
    // pitch passes through.
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        SpeechLikeSound speech(3000.0, seed);
        expectNothingIn(speech, 30.0, "speech-like sound, seed " + std::to_string(seed));
    }
    // Noise, white and band-limited (its squared spectrum is not flat but a ramp).
    for (auto [low, high] : {std::pair{300.0, 900.0}, std::pair{1000.0, 3000.0}, std::pair{150.0, 4000.0}}) {
        BandLimitedNoise noise(low, high, 3000.0, 9);
        expectNothingIn(noise, 15.0, "noise " + std::to_string(low) + " to " + std::to_string(high) + " Hz");
    }
    CarrierSound whiteNoise(1000.0, 0.0, 3000.0, 10);
    expectNothingIn(whiteNoise, 30.0, "white noise");
    // Hours of each are counted by hand: AcquisitionMeasurement.FalseAcquisitionsPerHour in bench/measure_acquisition.cpp.
}

TEST(BeaconAcquisition, LetsGoOfABeaconThatStopsAndFindsTheNextOne) {
    Listener listener;
    RandomBitBeacon first(beacon(900.0, 200.0, 15.0, 21));
    listener.listen(first, 4.0);
    ASSERT_EQ(listener.events.size(), 1u);
    ASSERT_TRUE(listener.acquisition().current());
    EXPECT_NEAR(listener.audioTone(*listener.acquisition().current()), 900.0, 1.0);

    // Off air: only the noise goes on.
    CarrierSound noiseOnly(1000.0, 0.0, first.noiseStandardDeviation(), 22);
    const double stoppedAt = listener.secondsHeard();
    listener.listen(noiseOnly, 4.0);
    ASSERT_EQ(listener.events.size(), 2u);
    EXPECT_EQ(listener.events[1].event.kind, AcquisitionEvent::Kind::Lost);
    EXPECT_NEAR(listener.events[1].toneHz, 900.0, 1.0);
    EXPECT_LE(listener.events[1].seconds - stoppedAt, 2.5);
    EXPECT_FALSE(listener.acquisition().current());

    // Another station, another tone and rate.
    RandomBitBeacon second(beacon(2600.0, 50.0, 12.0, 23));
    const double startedAt = listener.secondsHeard();
    listener.listen(second, 5.0);
    ASSERT_EQ(listener.events.size(), 3u);
    EXPECT_EQ(listener.events[2].event.kind, AcquisitionEvent::Kind::Acquired);
    EXPECT_EQ(listener.events[2].event.candidate.bitRate, 50.0);
    EXPECT_NEAR(listener.events[2].toneHz, 2600.0, 1.0);
    EXPECT_LE(listener.events[2].seconds - startedAt, acquisitionBound(50.0) + 0.5);
}

TEST(BeaconAcquisition, FollowsABeaconThatChangesToneOrRateMidStream) {
    struct Change {
        double toneBefore, rateBefore, toneAfter, rateAfter;
    };
    for (const Change& change : {Change{1000.0, 200.0, 1400.0, 200.0}, Change{1000.0, 200.0, 1000.0, 100.0},
                                 Change{2000.0, 100.0, 600.0, 50.0}, Change{700.0, 50.0, 3100.0, 200.0}}) {
        const std::string what = std::to_string(change.toneBefore) + "/" + std::to_string(change.rateBefore) + " to " +
                                 std::to_string(change.toneAfter) + "/" + std::to_string(change.rateAfter);
        Listener listener;
        RandomBitBeacon before(beacon(change.toneBefore, change.rateBefore, 14.0, 31));
        listener.listen(before, 5.0);
        ASSERT_TRUE(listener.acquisition().current()) << what;
        const std::size_t eventsBefore = listener.events.size();
        const double changedAt = listener.secondsHeard();

        RandomBitBeacon after(beacon(change.toneAfter, change.rateAfter, 14.0, 32));
        listener.listen(after, 8.0);
        // Lost and then acquired, or moved at once; either way the new beacon is held, and it was
        // reported within the time a new beacon takes plus the time the old one's lines take to fade.
        ASSERT_GT(listener.events.size(), eventsBefore) << what;
        const HeardEvent& last = listener.events.back();
        EXPECT_NE(last.event.kind, AcquisitionEvent::Kind::Lost) << what << ": " << describe(last);
        EXPECT_EQ(last.event.candidate.bitRate, change.rateAfter) << what << ": " << describe(last);
        EXPECT_NEAR(last.toneHz, change.toneAfter, 1.0) << what << ": " << describe(last);
        EXPECT_LE(last.seconds - changedAt, acquisitionBound(change.rateAfter) + 4.0) << what << ": " << describe(last);
        ASSERT_TRUE(listener.acquisition().current()) << what;
        EXPECT_NEAR(listener.audioTone(*listener.acquisition().current()), change.toneAfter, 1.0) << what;
    }
}

TEST(BeaconAcquisition, ReportsTheStrongestOfTwoBeacons) {
    struct TwoBeacons {
        RandomBitBeacon strong, weak;
        void render(std::span<double> out) {
            std::vector<double> other(out.size());
            strong.render(out);
            weak.render(other);
            for (std::size_t i = 0; i < out.size(); ++i) out[i] += other[i];
        }
    };
    // The weaker one at the faster rate, found first on the short FFT; the stronger one must win.
    MskSettings strong = beacon(2900.0, 100.0, 24.0, 41);
    MskSettings weak = beacon(800.0, 200.0, 14.0, 42);
    strong.amplitude = 6000.0;
    weak.amplitude = 1200.0;
    weak.ebN0Db.reset();
    TwoBeacons sound{RandomBitBeacon(strong), RandomBitBeacon(weak)};
    Listener listener;
    listener.listen(sound, 4.0);
    ASSERT_TRUE(listener.acquisition().current());
    EXPECT_NEAR(listener.audioTone(*listener.acquisition().current()), 2900.0, 1.0);
    EXPECT_EQ(listener.acquisition().current()->bitRate, 100.0);
}

TEST(BeaconAcquisition, TracksADriftingBeaconOnAnyComplexRate) {
    // Complex baseband straight in, at rates a band monitor's channel would have, drifting at 1 Hz/s
    // (a receiver's oscillator warming up): found, and its tone followed.
    for (double sampleRate : {2000.0, 8000.0}) {
        for (double drift : {1.0, -1.0}) {
            AcquisitionSettings settings;
            settings.sampleRate = sampleRate;
            settings.searchLowHz = -250.0;
            settings.searchHighHz = 250.0;
            BeaconAcquisition acquisition(settings);
            ComplexMskSource source(sampleRate, 73.4, 200.0, 12.0, drift, 51);
            std::vector<ComplexSample> block(static_cast<std::size_t>(sampleRate / 10.0));
            double seconds = 0.0;
            for (; seconds < 12.0; seconds += 0.1) {
                source.render(block);
                for (const AcquisitionEvent& event : acquisition.process(block)) {
                    EXPECT_EQ(event.kind, AcquisitionEvent::Kind::Acquired) << sampleRate << " S/s, drift " << drift;
                    EXPECT_LE(static_cast<double>(event.sampleIndex) / sampleRate, acquisitionBound(200.0));
                }
                if (seconds > 2.0) {
                    ASSERT_TRUE(acquisition.current()) << sampleRate << " S/s, drift " << drift << ", at " << seconds << " s";
                    // The average over the last spectra lags the drift by up to a second or so.
                    EXPECT_NEAR(acquisition.current()->toneHz, source.toneAt(seconds), 2.0) << sampleRate << " S/s at " << seconds;
                }
            }
        }
    }
}

TEST(BeaconAcquisition, SurvivesInputNoSoundCardWouldGive) {
    // NaN, infinities and absurdly large values in the middle of a beacon: no crash, nothing
    // reported that is not the beacon, and the beacon is held or found again afterwards.
    AcquisitionSettings settings;
    BeaconAcquisition acquisition(settings);
    ComplexMskSource source(8000.0, -400.0, 100.0, 15.0, 0.0, 61);
    std::vector<ComplexSample> block(800);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    for (int i = 0; i < 120; ++i) {
        source.render(block);
        if (i == 30) block[17] = ComplexSample(nan, 0.0f);
        if (i == 40) block[300] = ComplexSample(infinity, -infinity);
        if (i == 50) {
            for (std::size_t k = 0; k < 400; ++k) block[k] = ComplexSample(3e37f, -3e37f);
        }
        for (const AcquisitionEvent& event : acquisition.process(block)) {
            if (event.kind == AcquisitionEvent::Kind::Lost) continue;
            EXPECT_NEAR(event.candidate.toneHz, -400.0, 1.0) << "block " << i;
            EXPECT_EQ(event.candidate.bitRate, 100.0) << "block " << i;
            EXPECT_TRUE(std::isfinite(event.candidate.lineStrengthDbHz)) << "block " << i;
        }
    }
    ASSERT_TRUE(acquisition.current());
    EXPECT_NEAR(acquisition.current()->toneHz, -400.0, 1.0);

    // Settings that cannot work are refused at once.
    AcquisitionSettings tooWide;
    tooWide.sampleRate = 2000.0;
    EXPECT_THROW(BeaconAcquisition{tooWide}, std::invalid_argument);
    AcquisitionSettings noRate;
    noRate.sampleRate = 0.0;
    EXPECT_THROW(BeaconAcquisition{noRate}, std::invalid_argument);
    AcquisitionSettings emptyBand;
    emptyBand.searchLowHz = 100.0;
    emptyBand.searchHighHz = 100.0;
    EXPECT_THROW(BeaconAcquisition{emptyBand}, std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
