// SPDX-License-Identifier: GPL-3.0-or-later
// Measurements of the acquisition run by hand, not in make test (they take minutes):
//   build/bench/bench/measure_acquisition
// Each prints a markdown table and fails if what it measures misses its mark. SONDECO_TRIALS and
// SONDECO_HOURS scale them (defaults: 20 trials a point, 2 hours a sound).
#include "coherent/acquisition.h"
#include "signalgen/test_sounds.h"
#include "tests/coherent/listening.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace sondeco {
namespace {

using testing::Listener;
using testing::RandomBitBeacon;

double environmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::atof(text) : fallback;
}

// Time to the first event on a beacon of random tone and clock error, or `cap` if none came, and
// whether that event was the beacon.
struct Trial {
    double seconds;
    bool found;
    bool right;
};

Trial acquireOnce(double bitRate, double ebN0Db, std::uint64_t seed, double cap) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> toneDistribution(200.0, 3500.0);
    std::uniform_real_distribution<double> ppm(-500.0, 500.0);
    MskSettings settings;
    settings.bitRate = bitRate;
    settings.centreFrequency = toneDistribution(random);
    settings.clockErrorPpm = ppm(random);
    settings.ebN0Db = ebN0Db;
    settings.noiseSeed = seed;
    RandomBitBeacon source(settings);
    Listener listener;
    if (!listener.listenForEvent(source, cap)) return {cap, false, false};
    const testing::HeardEvent& first = listener.events.front();
    const bool right = first.event.kind == AcquisitionEvent::Kind::Acquired && first.event.candidate.bitRate == bitRate &&
                       std::abs(first.toneHz - settings.centreFrequency) <= 1.0;
    return {first.seconds, true, right};
}

double quantile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

TEST(AcquisitionMeasurement, TimeToAcquireAgainstEbN0) {
    const auto trials = static_cast<int>(environmentNumber("SONDECO_TRIALS", 20));
    const double cap = 30.0;
    const double rates[] = {200.0, 100.0, 50.0, 25.0};
    const double levels[] = {6.0, 8.0, 10.0, 12.0, 15.0};
    std::printf("\nSignal seconds to acquisition, median / 90th percentile (found of %d; tones 200-3500 Hz, clock +-500 ppm)\n\n", trials);
    std::printf("| Eb/N0 |");
    for (double rate : rates) std::printf(" %g bit/s |", rate);
    std::printf("\n|---|");
    for (std::size_t i = 0; i < std::size(rates); ++i) std::printf("---|");
    std::printf("\n");
    for (double level : levels) {
        std::printf("| %g dB |", level);
        for (double rate : rates) {
            std::vector<double> times;
            int found = 0, wrong = 0;
            for (int t = 0; t < trials; ++t) {
                const Trial trial = acquireOnce(rate, level, static_cast<std::uint64_t>(1000 * level + 10 * rate + t), cap);
                times.push_back(trial.seconds);
                found += trial.found ? 1 : 0;
                wrong += trial.found && !trial.right ? 1 : 0;
                // A wrong first report is a fault at any level.
                EXPECT_FALSE(trial.found && !trial.right) << rate << " bit/s at " << level << " dB, trial " << t;
            }
            std::printf(" %.1f / %.1f (%d)", quantile(times, 0.5), quantile(times, 0.9), found);
            if (wrong > 0) std::printf(" %d wrong", wrong);
            std::printf(" |");
            // At 12 dB nine in ten must be found well within the time to the first right frame.
            if (level == 12.0) {
                const double bound = rate >= 200.0 ? 1.0 : rate >= 100.0 ? 1.5 : rate >= 50.0 ? 3.0 : 6.0;
                EXPECT_LE(quantile(times, 0.9), bound) << rate << " bit/s at 12 dB";
            }
            std::fflush(stdout);
        }
        std::printf("\n");
    }
}

// Counts every Acquired and Moved event over `hours` of a sound, in one long listen.
int falseAcquisitions(const std::function<void(std::span<double>)>& render, double hours) {
    Listener listener;
    std::vector<double> block(48000);
    int count = 0;
    for (double seconds = 0.0; seconds < hours * 3600.0; seconds += 1.0) {
        render(block);
        listener.hear(block);
        for (const testing::HeardEvent& heard : listener.events) {
            if (heard.event.kind != AcquisitionEvent::Kind::Lost) ++count;
        }
        listener.events.clear();
    }
    return count;
}

TEST(AcquisitionMeasurement, FalseAcquisitionsPerHour) {
    const double hours = environmentNumber("SONDECO_HOURS", 2.0);
    struct Sound {
        std::string name;
        std::function<void(std::span<double>)> render;
    };
    auto white = std::make_shared<CarrierSound>(1000.0, 0.0, 3000.0, 101);
    auto band = std::make_shared<BandLimitedNoise>(400.0, 2600.0, 3000.0, 102);
    auto speech = std::make_shared<SpeechLikeSound>(3000.0, 103);
    // Speech over a little noise, as on a real channel.
    auto speechBelow = std::make_shared<SpeechLikeSound>(3000.0, 104);
    auto hiss = std::make_shared<CarrierSound>(1000.0, 0.0, 100.0, 105);
    auto carrier = std::make_shared<CarrierSound>(1234.5, 6000.0, 1000.0, 106);
    auto firstOfTwo = std::make_shared<CarrierSound>(900.0, 6000.0, 1000.0, 107);
    auto secondOfTwo = std::make_shared<CarrierSound>(1000.0, 3000.0);
    const std::vector<Sound> sounds = {
        {"white noise", [white](std::span<double> out) { white->render(out); }},
        {"noise 400-2600 Hz", [band](std::span<double> out) { band->render(out); }},
        {"speech-like", [speech](std::span<double> out) { speech->render(out); }},
        {"speech-like over noise 30 dB down",
         [speechBelow, hiss](std::span<double> out) {
             std::vector<double> noise(out.size());
             speechBelow->render(out);
             hiss->render(noise);
             for (std::size_t i = 0; i < out.size(); ++i) out[i] += noise[i];
         }},
        {"carrier in noise", [carrier](std::span<double> out) { carrier->render(out); }},
        {"two carriers 100 Hz apart, 2:1",
         [firstOfTwo, secondOfTwo](std::span<double> out) {
             std::vector<double> other(out.size());
             firstOfTwo->render(out);
             secondOfTwo->render(other);
             for (std::size_t i = 0; i < out.size(); ++i) out[i] += other[i];
         }},
    };
    std::printf("\nFalse acquisitions (Acquired or Moved events), %g hours of each\n\n| Sound | events | per hour |\n|---|---|---|\n",
                hours);
    for (const Sound& sound : sounds) {
        const int count = falseAcquisitions(sound.render, hours);
        std::printf("| %s | %d | %.2f |\n", sound.name.c_str(), count, count / hours);
        std::fflush(stdout);
        EXPECT_EQ(count, 0) << sound.name;
    }
}

}  // namespace
}  // namespace sondeco
