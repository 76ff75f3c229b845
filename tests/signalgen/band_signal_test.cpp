// The band generator: complex MSK against its closed form, every beacon's and carrier's power where
// its level puts it against the noise, the same stream however it is cut, and the frames it keeps
// being the ones it sent.

#include "signalgen/band_signal.h"
#include "signalgen/complex_msk_modulator.h"
#include "signalgen/msk_modulator.h"

#include "rtcm/rtcm_encoder.h"

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

// In-place radix-2 FFT; the length must be a power of two.
void fourierTransform(std::vector<Complex>& data) {
    const std::size_t size = data.size();
    for (std::size_t i = 1, j = 0; i < size; ++i) {
        std::size_t bit = size >> 1;
        for (; (j & bit) != 0; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    for (std::size_t length = 2; length <= size; length <<= 1) {
        const Complex root = std::polar(1.0, -2.0 * Pi / static_cast<double>(length));
        for (std::size_t start = 0; start < size; start += length) {
            Complex turn = 1.0;
            for (std::size_t k = 0; k < length / 2; ++k, turn *= root) {
                const Complex odd = data[start + k + length / 2] * turn;
                data[start + k + length / 2] = data[start + k] - odd;
                data[start + k] += odd;
            }
        }
    }
}

// Power (mean square over the samples, so that the bins add up to the stream's power) per bin,
// Hann-windowed; bin k is frequency k * rate / size, the upper half negative.
std::vector<double> powerSpectrum(std::vector<Complex> samples) {
    const std::size_t size = samples.size();
    double windowPower = 0.0;
    for (std::size_t n = 0; n < size; ++n) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * Pi * static_cast<double>(n) / static_cast<double>(size));
        samples[n] *= window;
        windowPower += window * window;
    }
    fourierTransform(samples);
    std::vector<double> power(size);
    for (std::size_t k = 0; k < size; ++k) power[k] = std::norm(samples[k]) / (windowPower * static_cast<double>(size));
    return power;
}

// The power between two frequencies (Hz from the stream's centre, either sign).
double bandPower(const std::vector<double>& spectrum, double sampleRate, double low, double high) {
    const auto size = static_cast<long>(spectrum.size());
    const double binWidth = sampleRate / static_cast<double>(size);
    double sum = 0.0;
    for (auto bin = static_cast<long>(std::ceil(low / binWidth)); bin <= static_cast<long>(std::floor(high / binWidth)); ++bin) {
        sum += spectrum[static_cast<std::size_t>(((bin % size) + size) % size)];
    }
    return sum;
}

TEST(ComplexMskModulator, FollowsTheClosedFormOfContinuousPhaseMskOnEitherSideOfTheCentre) {
    // x(n) = A exp(j (phi0 + w n + sum of the quarter turns of the bits before + the current bit's
    // share of its own)), bit k covering times k / rate .. (k + 1) / rate after the leading time.
    struct Case {
        double sampleRate, bitRate, frequency, clockPpm, leading, phase;
    };
    std::mt19937 random(5);
    std::vector<std::uint8_t> bits(300);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    for (const Case& c : {Case{250000.0, 100.0, -16500.0, 0.0, 0.0, 0.3}, Case{250000.0, 200.0, 93000.0, 150.0, 0.0123, 2.0},
                          Case{48000.0, 25.0, 1300.0, -40.0, 0.5, 5.5}, Case{3200000.0, 50.0, 0.0, 0.0, 0.001, 0.0}}) {
        ComplexMskSettings settings{c.sampleRate, c.bitRate, c.frequency, 0.7, c.phase, c.clockPpm, c.leading};
        ComplexMskModulator modulator(settings);
        modulator.pushBits(bits);
        const double rate = c.bitRate * (1.0 + c.clockPpm * 1e-6);
        const auto expectedLength = static_cast<std::size_t>(
            std::ceil(static_cast<double>(bits.size()) / rate * c.sampleRate + std::round(c.leading * c.sampleRate)));
        std::vector<std::complex<float>> out(expectedLength + 100);
        ASSERT_EQ(modulator.addTo(out), expectedLength) << c.bitRate;
        EXPECT_EQ(modulator.queuedBits(), 0u);

        const double leading = std::round(c.leading * c.sampleRate);
        double worst = 0.0;
        double quarterTurns = 0.0;  // of the bits before the current one
        std::size_t bit = 0;
        for (std::size_t n = 0; n < expectedLength; ++n) {
            if (static_cast<double>(n) < leading) {
                EXPECT_EQ(out[n], std::complex<float>{}) << n;
                continue;
            }
            const double bitTime = (static_cast<double>(n) - leading) * rate / c.sampleRate;
            while (bitTime >= static_cast<double>(bit + 1)) quarterTurns += bits[bit++] != 0 ? 1.0 : -1.0;
            const double sign = bits[bit] != 0 ? 1.0 : -1.0;
            const double phase = c.phase + 2.0 * Pi * c.frequency * static_cast<double>(n) / c.sampleRate +
                                 Pi / 2.0 * (quarterTurns + sign * (bitTime - static_cast<double>(bit)));
            worst = std::max(worst, std::abs(Complex(out[n]) - std::polar(0.7, phase)));
        }
        EXPECT_LT(worst, 2e-5) << c.sampleRate << " " << c.bitRate;
    }
    EXPECT_THROW(ComplexMskModulator(ComplexMskSettings{48000.0, 200.0, 23990.0}), std::invalid_argument);
    EXPECT_THROW(ComplexMskModulator(ComplexMskSettings{48000.0, 200.0, -23990.0}), std::invalid_argument);
}

// A beacon that starts at once, for tests that look at where its power is.
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

BandCarrier carrierAt(double frequency, double carrierToNoiseDbHz) {
    BandCarrier carrier;
    carrier.frequency = frequency;
    carrier.carrierToNoiseDbHz = carrierToNoiseDbHz;
    return carrier;
}

BandSettings fiveBeaconBand(bool noise) {
    BandSettings settings;
    settings.sampleRate = 250000.0;
    settings.centreFrequency = 304000.0;
    settings.noise = noise;
    settings.seed = 11;
    // Beacons from 25 to 200 bit/s at different levels on both sides of the centre and near the
    // edges; one beacon off its frequency and with a fast clock.
    settings.beacons = {beaconAt(287500.0, 100.0, 491, 12.0), beaconAt(304500.0, 200.0, 12, 20.0),
                        beaconAt(313000.0, 50.0, 1023, 6.0, 3.5, 80.0), beaconAt(201000.0, 25.0, 0, 15.0),
                        beaconAt(410000.0, 100.0, 700, 9.0)};
    settings.carriers = {carrierAt(296000.0, 40.0), carrierAt(330250.0, 25.0)};
    return settings;
}

TEST(BandSignal, EveryBeaconAndCarrierHasThePowerItsLevelGivesAgainstTheNoise) {
    constexpr std::size_t Size = 1 << 19;  // 2.1 s at 250 kS/s
    BandSignal noisy(fiveBeaconBand(true));
    BandSignal clean(fiveBeaconBand(false));
    std::vector<std::complex<float>> withNoise(Size), without(Size);
    noisy.render(withNoise);
    clean.render(without);
    const BandSettings& settings = noisy.settings();
    const double rate = settings.sampleRate;

    // The noise alone is the difference of the same band with and without it (brought to the same
    // scale: without noise the signals fill the stream's RMS alone); N0 is its power over the
    // stream's bandwidth, measured rather than taken from the generator.
    const double scale = noisy.beaconAmplitude(0) / clean.beaconAmplitude(0);
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
    // White: as much in each quarter of the band, and no more in I than in Q.
    const auto noiseSpectrum = powerSpectrum(noise);
    for (double low : {-rate / 2.0, -rate / 4.0, 0.0, rate / 4.0}) {
        EXPECT_NEAR(decibels(bandPower(noiseSpectrum, rate, low, low + rate / 4.0 - 1.0) / (noisePower / 4.0)), 0.0, 0.1) << low;
    }
    double inPhase = 0.0;
    for (const Complex& sample : noise) inPhase += sample.real() * sample.real() / Size;
    EXPECT_NEAR(inPhase / noisePower, 0.5, 0.01);

    // Each beacon: its power within 1.5 bit rates of its carrier (more than 99.9 % of MSK's) makes
    // the Eb/N0 asked for; it sits between the tones at +-rate/4, no line at its carrier.
    const auto spectrum = powerSpectrum(signals);
    for (const BandBeacon& beacon : settings.beacons) {
        const double centre = beacon.frequency + beacon.frequencyOffset - settings.centreFrequency;
        const double power = bandPower(spectrum, rate, centre - 1.5 * beacon.bitRate, centre + 1.5 * beacon.bitRate);
        EXPECT_NEAR(decibels(power / beacon.bitRate / noiseDensity), beacon.ebN0Db, 0.3) << beacon.frequency;
        const double betweenTones = bandPower(spectrum, rate, centre - beacon.bitRate / 4.0, centre + beacon.bitRate / 4.0);
        EXPECT_GT(betweenTones / power, 0.6) << beacon.frequency;
        const double atCarrier = bandPower(spectrum, rate, centre - 2.0, centre + 2.0);
        EXPECT_LT(atCarrier / power, 4.0 * 4.0 / beacon.bitRate / 2.0) << beacon.frequency;
    }
    // Each carrier: a line, nearly all its power within 4 Hz, at the C/N0 asked for.
    for (const BandCarrier& carrier : settings.carriers) {
        const double centre = carrier.frequency - settings.centreFrequency;
        const double line = bandPower(spectrum, rate, centre - 4.0, centre + 4.0);
        EXPECT_NEAR(decibels(line / noiseDensity), carrier.carrierToNoiseDbHz, 0.3) << carrier.frequency;
        EXPECT_GT(line / bandPower(spectrum, rate, centre - 60.0, centre + 60.0), 0.999) << carrier.frequency;
    }
}

TEST(BandSignal, RealAudioHoldsEachBeaconAtItsToneWithTheAudioGeneratorsMeaningOfEbN0) {
    BandSettings settings;
    settings.output = BandOutput::Real;
    settings.sampleRate = 48000.0;
    settings.centreFrequency = 0.0;
    settings.seed = 4;
    settings.beacons = {beaconAt(800.0, 100.0, 1, 10.0), beaconAt(1300.0, 200.0, 2, 14.0), beaconAt(1800.0, 50.0, 3, 8.0)};
    settings.carriers = {carrierAt(2500.0, 35.0)};
    BandSignal noisy(settings);
    settings.noise = false;
    BandSignal clean(settings);

    constexpr std::size_t Size = 1 << 18;  // 5.5 s
    std::vector<float> withNoise(Size), without(Size);
    noisy.render(withNoise);
    clean.render(without);
    const double scale = noisy.beaconAmplitude(0) / clean.beaconAmplitude(0);
    std::vector<Complex> signals(Size);
    double noiseVariance = 0.0;
    for (std::size_t n = 0; n < Size; ++n) {
        signals[n] = scale * double{without[n]};
        noiseVariance += std::pow(double{withNoise[n]} - signals[n].real(), 2) / Size;
    }
    // The audio generator's N0 for real noise of variance sigma^2 per sample: 2 sigma^2 / sampleRate.
    const double noiseDensity = 2.0 * noiseVariance / settings.sampleRate;
    EXPECT_NEAR(decibels(noiseDensity / noisy.noiseDensity()), 0.0, 0.05);

    // A real spectrum: each tone shows at +f and -f, half the power on each side.
    const auto spectrum = powerSpectrum(signals);
    for (const BandBeacon& beacon : noisy.settings().beacons) {
        const double power = 2.0 * bandPower(spectrum, settings.sampleRate, beacon.frequency - 1.5 * beacon.bitRate,
                                             beacon.frequency + 1.5 * beacon.bitRate);
        EXPECT_NEAR(decibels(power / beacon.bitRate / noiseDensity), beacon.ebN0Db, 0.3) << beacon.frequency;
    }
    const double line = 2.0 * bandPower(spectrum, settings.sampleRate, 2496.0, 2504.0);
    EXPECT_NEAR(decibels(line / noiseDensity), 35.0, 0.3);

    // The single-beacon audio generator at the same Eb/N0 and rate has the same signal-to-noise ratio.
    MskSettings audio;
    audio.bitRate = 100.0;
    audio.ebN0Db = 10.0;
    const MskModulator reference(audio);
    BandSettings single = settings;
    single.noise = true;
    single.beacons.resize(1);
    single.carriers.clear();
    const BandSignal one(single);
    EXPECT_NEAR(one.beaconAmplitude(0) / one.noiseStandardDeviation(), reference.amplitude() / reference.noiseStandardDeviation(), 1e-9);

    // The other kind of sample is refused rather than half filled.
    std::vector<std::complex<float>> complexSamples(10);
    EXPECT_THROW(noisy.render(complexSamples), std::logic_error);
}

TEST(BandSignal, SameSeedSameStreamHoweverItIsCutAndAnotherSeedAnotherStream) {
    for (const BandOutput output : {BandOutput::Complex, BandOutput::Real}) {
        BandSettings settings = fiveBeaconBand(true);
        if (output == BandOutput::Real) {
            settings.output = output;
            settings.sampleRate = 48000.0;
            settings.centreFrequency = 0.0;
            settings.beacons.resize(3);
            const double tones[3] = {700.0, 1200.0, 2000.0};
            for (std::size_t i = 0; i < 3; ++i) settings.beacons[i].frequency = tones[i];
            settings.carriers = {carrierAt(2750.0, 40.0)};
        }
        for (BandBeacon& beacon : settings.beacons) beacon.delaySeconds.reset();  // drawn from the seed
        settings.keepSentFrames = true;
        constexpr std::size_t Size = 300000;  // past the longest drawn delay and several frames at 200 bit/s

        const auto render = [&](BandSignal& band, const std::vector<std::size_t>& cuts) {
            std::vector<std::complex<float>> samples(Size);
            std::vector<float> real(Size);
            std::size_t done = 0;
            for (std::size_t i = 0; done < Size; ++i) {
                const std::size_t count = std::min(cuts[i % cuts.size()], Size - done);
                if (output == BandOutput::Complex) {
                    band.render(std::span(samples).subspan(done, count));
                } else {
                    band.render(std::span(real).subspan(done, count));
                    for (std::size_t n = done; n < done + count; ++n) samples[n] = real[n];
                }
                done += count;
            }
            return samples;
        };
        BandSignal whole(settings), cut(settings), again(settings);
        const auto reference = render(whole, {Size});
        EXPECT_EQ(render(cut, {1, 4095, 4097, 7, 60000, 333, 4096}), reference);
        EXPECT_EQ(render(again, {Size}), reference);
        for (std::size_t beacon = 0; beacon < settings.beacons.size(); ++beacon) {
            EXPECT_EQ(cut.sentFrames(beacon).size(), whole.sentFrames(beacon).size());
            EXPECT_GE(whole.sentFrames(beacon).size(), 1u);
            // The drawn delays keep the beacons apart, within the first second.
            const double delay = *whole.settings().beacons[beacon].delaySeconds;
            EXPECT_TRUE(delay >= 0.0 && delay < 1.0) << delay;
            for (std::size_t other = 0; other < beacon; ++other) EXPECT_NE(delay, *whole.settings().beacons[other].delaySeconds);
        }

        settings.seed += 1;
        BandSignal reseeded(settings);
        const auto different = render(reseeded, {Size});
        std::size_t same = 0;
        for (std::size_t n = 0; n < Size; ++n) same += different[n] == reference[n] ? 1u : 0u;
        EXPECT_LT(same, Size / 100);
    }
}

TEST(BandSignal, KeptFramesAreTheBitsOnTheAirAndBadSignalsAreRefused) {
    // One beacon alone and clean: each bit is read back from the phase it turns through, a quarter
    // turn up for a 1, and compared with the kept frames encoded again.
    BandSettings settings;
    settings.sampleRate = 96000.0;
    settings.centreFrequency = 300000.0;
    settings.noise = false;
    settings.keepSentFrames = true;
    settings.startSecondsIntoHour = 1234.5;
    BandBeacon beacon;
    beacon.frequency = 312345.0;
    beacon.bitRate = 200.0;
    beacon.stationId = 765;
    beacon.messageTypes = {9, 3, 6};
    beacon.delaySeconds = 0.25;
    settings.beacons = {beacon};
    BandSignal band(settings);
    std::vector<std::complex<float>> samples(96000 * 4);
    band.render(samples);

    const std::size_t samplesPerBit = 480, first = 24000;
    const double carrierTurn = 2.0 * Pi * 12345.0 * samplesPerBit / 96000.0;
    std::vector<std::uint8_t> received;
    for (std::size_t start = first; start + samplesPerBit < samples.size(); start += samplesPerBit) {
        const double turn =
            std::arg(Complex(samples[start + samplesPerBit]) * std::conj(Complex(samples[start])) * std::polar(1.0, -carrierTurn));
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
    EXPECT_EQ(frames[0].header.messageType, 9);
    EXPECT_EQ(frames[1].header.messageType, 3);
    EXPECT_EQ(frames[0].header.zCount, zCountAt(1234.5 + 0.25));

    // Signals that do not fit the stream, and a real stream with a centre.
    const auto refused = [&](auto change) {
        BandSettings bad = settings;
        change(bad);
        return [bad] { BandSignal{bad}; };
    };
    EXPECT_THROW(refused([](BandSettings& s) { s.beacons[0].frequency = 347990.0; })(), std::invalid_argument);
    EXPECT_THROW(refused([](BandSettings& s) { s.beacons[0].frequency = 252010.0; })(), std::invalid_argument);
    EXPECT_THROW(refused([](BandSettings& s) { s.carriers = {carrierAt(348000.0, 30.0)}; })(), std::invalid_argument);
    EXPECT_THROW(refused([](BandSettings& s) { s.beacons[0].stationId = 1024; })(), std::invalid_argument);
    EXPECT_THROW(refused([](BandSettings& s) { s.output = BandOutput::Real; })(), std::invalid_argument);
    EXPECT_THROW(refused([](BandSettings& s) {
                     s.output = BandOutput::Real;
                     s.centreFrequency = 0.0;
                     s.beacons[0].frequency = 40.0;  // the lower tone below 0 Hz
                 })(),
                 std::invalid_argument);
    EXPECT_NO_THROW(refused([](BandSettings& s) { s.beacons[0].frequency = 347900.0; })());
}

}  // namespace
}  // namespace sondeco
