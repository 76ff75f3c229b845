// SPDX-License-Identifier: GPL-3.0-or-later
// Other stations' carriers found and taken out: a steady line is found where it is, taken out to far
// below the beacon and the beacon left as it was; a keyed one is recognised as keyed and followed
// through its edges; an MSK beacon alone, however strong, is never taken for a line.
#include "coherent/carrier_canceller.h"
#include "signalgen/air_conditions.h"
#include "signalgen/complex_msk_modulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace sondeco {
namespace {

constexpr double Rate = 6000.0;

// Seconds of a 200 bit/s beacon (power 1) at 100 Hz with random bits, and noise 30 dB below it.
std::vector<ComplexSample> beacon(double seconds, std::uint64_t seed) {
    ComplexMskSettings settings;
    settings.sampleRate = Rate;
    settings.bitRate = 200.0;
    settings.frequency = 100.0;
    ComplexMskModulator modulator(settings);
    std::mt19937_64 random(seed);
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(seconds * 200.0) + 10);
    for (std::uint8_t& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    modulator.pushBits(bits);
    std::vector<ComplexSample> samples(static_cast<std::size_t>(seconds * Rate));
    modulator.addTo(samples);
    std::normal_distribution<float> noise(0.0f, 0.0224f);  // -30 dB, both parts together
    for (ComplexSample& sample : samples) sample += ComplexSample(noise(random), noise(random));
    return samples;
}

// A carrier at `hz`, `db` above the beacon, times `keyOn(t)` (its envelope, 0..1).
template <typename Key>
void addCarrier(std::vector<ComplexSample>& samples, double hz, double db, Key keyOn) {
    const double amplitude = std::pow(10.0, db / 20.0);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        const double t = static_cast<double>(n) / Rate;
        // The phase in double: a float phase of thousands of radians would add spurious lines of its own.
        const std::complex<double> tone = std::polar(amplitude, 2.0 * std::numbers::pi * hz * t);
        const double key = keyOn(t);
        samples[n] += ComplexSample(static_cast<float>(key * tone.real()), static_cast<float>(key * tone.imag()));
    }
}

double powerOf(const std::vector<ComplexSample>& samples, std::size_t from) {
    double sum = 0.0;
    for (std::size_t n = from; n < samples.size(); ++n) sum += std::norm(samples[n]);
    return sum / static_cast<double>(samples.size() - from);
}

// What the canceller's output (`received`, processed in place) differs by from the beacon and noise
// alone, sample for sample, the output's delay allowed for: what is left of the carrier and what was
// taken of the beacon.
std::vector<ComplexSample> errorAgainst(const std::vector<ComplexSample>& clean, const std::vector<ComplexSample>& received,
                                        std::size_t delay) {
    std::vector<ComplexSample> error(received.size() - delay);
    for (std::size_t n = 0; n < error.size(); ++n) error[n] = received[n + delay] - clean[n];
    return error;
}

TEST(CarrierCanceller, ASteadyCarrierGoesAndTheBeaconStays) {
    const std::vector<ComplexSample> clean = beacon(8.0, 1);
    std::vector<ComplexSample> received = clean;
    addCarrier(received, 250.0, 20.0, [](double) { return 1.0; });  // 150 Hz from the beacon, 20 dB above it
    CarrierCanceller canceller(Rate);
    for (std::size_t from = 0; from < received.size(); from += 600) {
        canceller.process(std::span(received).subspan(from, std::min<std::size_t>(600, received.size() - from)));
    }
    // The carrier is found where it is, as steady. (The modulator's own faint spurs, 30 dB below the
    // beacon, may be found too: taking them out costs nothing.)
    const auto lines = canceller.lines();
    const auto carrier =
        std::find_if(lines.begin(), lines.end(), [](const auto& line) { return std::fabs(line.frequencyHz - 250.0) < 0.2; });
    ASSERT_NE(carrier, lines.end());
    EXPECT_FALSE(carrier->keyed);
    EXPECT_NEAR(carrier->power, 100.0, 1.0);
    // Once confirmed (by the third search, 3.4 s) and settled: what is left of the carrier, and what is
    // missing of the beacon, together far below the beacon (the output comes a few milliseconds late).
    EXPECT_LT(canceller.delay(), static_cast<std::size_t>(0.01 * Rate));
    EXPECT_LT(powerOf(errorAgainst(clean, received, canceller.delay()), static_cast<std::size_t>(4.0 * Rate)), 0.01);  // 20 dB below

    // As strong as the beacon and 45 Hz under it, beside its lower tone: the beacon's runs of equal
    // bits are that tone, and the line's estimate beats with them, dipping now and then; it is still
    // a steady line (followed narrowly), not a keyed one (followed widely, taking the beacon with it).
    std::vector<ComplexSample> besideTone = clean;
    addCarrier(besideTone, 55.0, 0.0, [](double) { return 1.0; });
    CarrierCanceller beside(Rate);
    beside.process(besideTone);
    ASSERT_FALSE(beside.lines().empty());
    EXPECT_FALSE(beside.lines().front().keyed);
    EXPECT_LT(powerOf(errorAgainst(clean, besideTone, beside.delay()), static_cast<std::size_t>(4.0 * Rate)), 0.1);
}

// A carrier keyed with a Morse identifier, 20 dB above the beacon and 150 Hz from it (where the old
// wide estimate left 60 Hz of lag at every edge): taken out while on, through its edges and while
// off, to far below the beacon, with nothing blanked; either side of the beacon.
TEST(CarrierCanceller, AMorseKeyedCarrierGoesThroughItsEdgesWithoutBlanking) {
    for (const double offset : {150.0, -150.0}) {
        const std::vector<ComplexSample> clean = beacon(40.0, 4);
        std::vector<ComplexSample> received = clean;
        MorseKeyer keyer("DGPS", 10.0, Rate);
        std::vector<double> envelope(received.size());
        for (double& value : envelope) value = keyer.next();
        addCarrier(received, 100.0 + offset, 20.0, [&](double t) { return envelope[static_cast<std::size_t>(std::lround(t * Rate))]; });
        CarrierCanceller canceller(Rate);
        for (std::size_t from = 0; from < received.size(); from += 685)
            canceller.process(std::span(received).subspan(from, std::min<std::size_t>(685, received.size() - from)));
        const auto lines = canceller.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.front().keyed);
        EXPECT_NEAR(lines.front().frequencyHz, 100.0 + offset, 0.1);
        // From 10 s on (found, confirmed, its "on" amplitude settled): the error, edges included.
        std::vector<ComplexSample> error = errorAgainst(clean, received, canceller.delay());
        const auto settled = static_cast<std::size_t>(10.0 * Rate);
        EXPECT_LT(powerOf(error, settled), 0.03) << offset;  // 15 dB below the beacon, 32 below the carrier
        double worstEdge = 0.0;  // the error's power over each 5 ms, at its worst
        const auto span = static_cast<std::ptrdiff_t>(0.005 * Rate);
        for (auto from = error.begin() + static_cast<std::ptrdiff_t>(settled); error.end() - from >= span; from += span)
            worstEdge = std::max(worstEdge, powerOf(std::vector<ComplexSample>(from, from + span), 0));
        EXPECT_LT(worstEdge, 3.0) << offset;  // the carrier itself is 100
        std::vector<std::pair<std::uint64_t, std::uint64_t>> blanked;
        canceller.takeBlanked(blanked);
        EXPECT_TRUE(blanked.empty()) << offset;
    }
}

TEST(CarrierCanceller, AKeyedCarrierIsFollowedAsKeyedAndABeaconAloneIsNoLine) {
    std::vector<ComplexSample> received = beacon(10.0, 2);
    // On for 120 ms, off for 240 ms, over and over: a carrier keyed with dots.
    addCarrier(received, -80.0, 20.0, [](double t) { return std::fmod(t, 0.36) < 0.12 ? 1.0 : 0.0; });
    CarrierCanceller canceller(Rate);
    canceller.process(received);
    // One keyed line on the carrier or one of its keying's lines (2.8 Hz apart); nothing else of weight.
    int keyed = 0;
    for (const auto& line : canceller.lines()) {
        if (line.power < 1e-3) continue;
        EXPECT_NEAR(line.frequencyHz, -80.0, 15.0);
        keyed += line.keyed;
    }
    EXPECT_EQ(keyed, 1);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blanked;
    canceller.takeBlanked(blanked);
    EXPECT_FALSE(blanked.empty());  // its hard edges, which no fit follows, far stronger than the beacon

    // A beacon alone, 30 dB above the noise, for a minute: no line, nothing blanked.
    std::vector<ComplexSample> alone = beacon(60.0, 3);
    CarrierCanceller quiet(Rate);
    quiet.process(alone);
    for (const auto& line : quiet.lines()) EXPECT_LT(line.power, 1e-3) << line.frequencyHz;  // the modulator's faint spurs at most
    blanked.clear();
    quiet.takeBlanked(blanked);
    EXPECT_TRUE(blanked.empty());
}

}  // namespace
}  // namespace sondeco
