// SPDX-License-Identifier: GPL-3.0-or-later
// The demodulator end to end: generated MSK and tones in; bits, traces and clock marks out.
#include "demod/demodulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

namespace sondeco {
namespace {

using Buffer = std::array<double, Demodulator::InputSamplesPerBuffer>;
constexpr int PerBuffer = Demodulator::DecimatedPerBuffer;

// Continuous-phase FSK at 48000 Hz with the tone shifted by a quarter of the bit rate: MSK.
struct MskSource {
    double centre = 800.0, bitRate = 200.0, amplitude = 8000.0, noise = 0.0;
    std::function<int(long)> bitAt = [](long n) { return int(n % 2); };
    long sample = 0;
    double phase = 0.0;
    std::minstd_rand random{};

    Buffer next() {
        Buffer out;
        for (double& x : out) {
            const int bit = bitAt(sample++ * long(bitRate) / 48000);
            phase = std::fmod(phase + TwoPi * (centre + (bit ? 0.25 : -0.25) * bitRate) / 48000, TwoPi);
            x = amplitude * std::cos(phase) + noise * (2.0 * static_cast<double>(random()) / static_cast<double>(random.max()) - 1.0);
        }
        return out;
    }
};

// Everything the demodulator hands out, over consecutive buffers.
struct Output : BitSink {
    std::vector<std::uint8_t> bits;
    std::vector<long> marks;  // decimated-sample index of each decision, from the first buffer on
    std::vector<double> trace, mixed;

    void pushBit(std::uint8_t bit) override { bits.push_back(bit); }
    std::vector<std::uint8_t> bitsFrom(long sample) const {
        return {bits.begin() + (std::lower_bound(marks.begin(), marks.end(), sample) - marks.begin()), bits.end()};
    }
    double meanTrace(long from, long count) const {
        return std::accumulate(trace.begin() + from, trace.begin() + from + count, 0.0) / static_cast<double>(count);
    }
};

void run(Demodulator& demodulator, MskSource& source, int buffers, Output& out) {
    for (int b = 0; b < buffers; ++b) {
        Buffer buffer = source.next();
        demodulator.demodulateBuffer(buffer, out);
        for (int i = 0; i < PerBuffer; ++i)
            if (demodulator.BitMarks()[static_cast<std::size_t>(i)]) out.marks.push_back(long(out.trace.size()) + i);
        ASSERT_EQ(out.marks.size(), out.bits.size());
        out.trace.insert(out.trace.end(), demodulator.FrequencyTrace().begin(), demodulator.FrequencyTrace().end());
        out.mixed.insert(out.mixed.end(), demodulator.MixedSamples().begin(), demodulator.MixedSamples().end());
    }
}

void expectSameOutput(const Output& a, const Output& b) {
    EXPECT_EQ(a.bits, b.bits);
    EXPECT_EQ(a.marks, b.marks);
    EXPECT_EQ(a.mixed, b.mixed);
    EXPECT_EQ(a.trace, b.trace);
}

// From a decimated-sample index to the end of the run, decisions come exactly one bit apart.
void expectOneMarkPerBit(const Output& out, long from, long samplesPerBit) {
    const auto first = std::lower_bound(out.marks.begin(), out.marks.end(), from);
    ASSERT_GE(out.marks.end() - first, (long(out.trace.size()) - from) / samplesPerBit - 1);
    for (auto mark = first + 1; mark < out.marks.end(); ++mark) ASSERT_EQ(*mark - mark[-1], samplesPerBit) << *mark;
}

TEST(Demodulator, WrapPhaseDifferenceKeepsExactHalfTurns) {
    EXPECT_EQ(wrapPhaseDifference(Pi, 0.0), Pi);
    EXPECT_EQ(wrapPhaseDifference(0.0, Pi), -Pi);
    EXPECT_EQ(wrapPhaseDifference(0.5, -0.25), 0.75);
    EXPECT_EQ(wrapPhaseDifference(3.0, -3.0), 3.0 - TwoPi + 3.0);
    EXPECT_EQ(wrapPhaseDifference(-3.0, 3.0), -3.0 + TwoPi - 3.0);
}

TEST(Demodulator, SilenceReadsAsMinus1700HzAndTheFirstSampleDecides) {
    for (const bool decBitRate : {true, false}) {
        SCOPED_TRACE(decBitRate);
        Demodulator demodulator;
        demodulator.tuneBitRate(decBitRate);
        MskSource silence;
        silence.amplitude = 0.0;
        Output out;
        run(demodulator, silence, 20, out);
        EXPECT_EQ(out.mixed, std::vector<double>(out.mixed.size(), 0.0));
        const FirTable& data = decBitRate ? DataFilter200 : DataFilter100;
        const double dcGain = std::accumulate(data.begin(), data.end(), 0.0);
        for (std::size_t i = FirTapCount; i < out.trace.size(); ++i) ASSERT_NEAR(out.trace[i], -1700.0 * dcGain, 1e-9);

        // The clock delay line still holds zeros at the very first sample, so it decides. Its data
        // filter output is -ReferenceIncrement times tap 0 alone, and DataFilter100's tap 0 is
        // negative: at 100 bit/s that first bit is a 1. Every later bit is 0.
        ASSERT_FALSE(out.marks.empty());
        EXPECT_EQ(out.marks.front(), 0);
        EXPECT_EQ(out.bits.front(), decBitRate ? 0 : 1);
        EXPECT_EQ(out.bitsFrom(1), std::vector<std::uint8_t>(out.bits.size() - 1, 0));
    }
}

TEST(Demodulator, SteadyTonesSettleOnTheirOffsetAndDecideTheirBit) {
    for (const auto& [decBitRate, bit, settledHz] : {std::tuple{true, 1, 49.6}, {false, 0, -25.4}}) {
        SCOPED_TRACE(decBitRate);
        Demodulator demodulator;
        demodulator.tuneBitRate(decBitRate);
        MskSource tone{800.0, decBitRate ? 200.0 : 100.0};
        tone.bitAt = [bit = bit](long) { return bit; };
        Output out;
        run(demodulator, tone, 30, out);
        for (std::size_t i = PerBuffer; i < out.trace.size(); ++i) ASSERT_NEAR(out.trace[i], settledHz, 0.05) << i;
        const auto settledBits = out.bitsFrom(PerBuffer);
        EXPECT_EQ(settledBits, std::vector<std::uint8_t>(settledBits.size(), static_cast<std::uint8_t>(bit)));
        EXPECT_LT(out.marks.back(), 10 * PerBuffer) << "the resonator should have stopped ringing";
    }
}

TEST(Demodulator, MixerRunsAt1700HzLessTheCentreFrequency) {
    double dcGain = 1.0;  // of the anti-alias filter
    for (const BiquadSection& s : AntiAliasFilter) dcGain *= (s.b0 + s.b1 + s.b2) / (1.0 - s.a1 - s.a2);
    for (const auto& [decFreqPos, mixerHz] : {std::pair{50, 1200.0}, {80, 900.0}, {100, 700.0}}) {
        Demodulator demodulator;
        demodulator.tuneCenterFrequency(decFreqPos);
        Output out;
        for (int b = 0; b < 2; ++b) {
            Buffer level;
            level.fill(1000.0);
            demodulator.demodulateBuffer(level, out);
        }
        // The phase is advanced before use: the second buffer's sample i is 480 + i + 1 steps in.
        for (int i = 0; i < PerBuffer; ++i)
            ASSERT_NEAR(demodulator.MixedSamples()[static_cast<std::size_t>(i)],
                        1000.0 * dcGain * std::cos(TwoPi * mixerHz * (PerBuffer + i + 1) / 4800), 1e-6)
                << decFreqPos << " sample " << i;
    }
}

TEST(Demodulator, AlternatingMskIsDecidedOncePerBit) {
    for (const bool decBitRate : {true, false}) {
        SCOPED_TRACE(decBitRate);
        Demodulator demodulator;
        demodulator.tuneBitRate(decBitRate);
        MskSource msk{800.0, decBitRate ? 200.0 : 100.0};
        Output out;
        run(demodulator, msk, 20, out);
        expectOneMarkPerBit(out, 10 * PerBuffer, decBitRate ? 24 : 48);
        const auto bits = out.bitsFrom(10 * PerBuffer);
        for (std::size_t k = 1; k < bits.size(); ++k) ASSERT_NE(bits[k], bits[k - 1]) << k;
    }
}

TEST(Demodulator, TenHertzRetuneMovesTheTraceFromTheNextBufferWithoutResettingTheClock) {
    Demodulator demodulator;
    MskSource msk;
    Output out;
    run(demodulator, msk, 20, out);
    demodulator.tuneCenterFrequency(81);
    run(demodulator, msk, 3, out);
    // Ten bits late in each buffer: whole periods of the alternating pattern.
    EXPECT_NEAR(out.meanTrace(20 * PerBuffer + 240, 240) - out.meanTrace(19 * PerBuffer + 240, 240), -10.0, 0.2);
    expectOneMarkPerBit(out, 15 * PerBuffer, 24);
}

MskSource noisyRandomMsk(double bitRate) {
    MskSource msk{800.0, bitRate};
    msk.bitAt = [](long n) { return int((std::uint32_t(n) * 2654435761u >> 13) & 1); };
    msk.noise = 3000.0;
    return msk;
}

TEST(Demodulator, ACopyMadeMidStreamContinuesIdentically) {
    Demodulator original;
    original.tuneBitRate(false);
    MskSource originalSource = noisyRandomMsk(100.0);
    Output discarded;
    run(original, originalSource, 7, discarded);

    Demodulator copy = original;
    MskSource copySource = originalSource;
    Output originalOut, copyOut;
    run(original, originalSource, 5, originalOut);
    run(copy, copySource, 5, copyOut);
    EXPECT_GT(originalOut.bits.size(), 40u);
    expectSameOutput(originalOut, copyOut);
}

// The demodulator as a literal sample-by-sample loop over shifted delay lines (newest at index 0).
// The real one pipelines the anti-alias sections and filters whole buffers at a time; the two must
// agree to the last bit, across buffer boundaries and retuning.
struct ShiftedDelayLineDemodulator {
    DemodulatorTuning tuning;
    double w1[4] = {}, w2[4] = {}, mixerPhase = 0.0, previousAngle = 0.0, y1 = 0.0, y2 = 0.0;
    std::array<double, FirTapCount> channelLine{}, dataLine{};
    std::array<double, HilbertTapCount> hilbertLine{};
    std::array<double, 32> clockLine{};
    int previousSign = 0;

    template <std::size_t N>
    static double shiftIn(std::array<double, N>& line, double v, const std::array<double, N>& taps) {
        std::copy_backward(line.begin(), line.end() - 1, line.end());
        line[0] = v;
        double sum = 0.0;
        for (std::size_t k = 0; k < N; ++k) sum += taps[k] * line[k];
        return sum;
    }

    void demodulate(Buffer x, Output& out) {
        for (double& sample : x) {
            for (int s = 0; s < 4; ++s) {
                const BiquadSection& c = AntiAliasFilter[static_cast<std::size_t>(s)];
                const double w = sample + c.a1 * w1[s] + c.a2 * w2[s];
                sample = c.b0 * w + c.b1 * w1[s] + c.b2 * w2[s];
                w2[s] = w1[s];
                w1[s] = w;
            }
        }
        for (int i = 0; i < PerBuffer; ++i) {
            mixerPhase += (ReferenceFrequency - tuning.CenterFrequency) * TwoPi * SamplePeriod;
            if (mixerPhase >= TwoPi) mixerPhase -= TwoPi;
            out.mixed.push_back(x[static_cast<std::size_t>(10 * i)] * std::cos(mixerPhase));
            const double q = shiftIn(hilbertLine, shiftIn(channelLine, out.mixed.back(), tuning.channelFilter), HilbertTransformer);
            const double theta = hilbertLine[25] == 0.0 && q == 0.0 ? 0.0 : std::atan2(hilbertLine[25], q);
            const double f = shiftIn(dataLine, wrapPhaseDifference(previousAngle, theta) - ReferenceIncrement, tuning.dataFilter);
            previousAngle = theta;
            const double y = tuning.resonatorGain * (f >= 0.0 ? -f : f) + tuning.resonatorA1 * y1 + tuning.resonatorA2 * y2;
            y2 = y1;
            y1 = y;
            std::copy_backward(clockLine.begin(), clockLine.end() - 1, clockLine.end());
            clockLine[0] = y;
            const int sign = clockLine[static_cast<std::size_t>(tuning.ClockDelay)] >= 0.0 ? 1 : -1;
            if (previousSign < sign) {
                out.pushBit(f > 0.0);
                out.marks.push_back(long(out.trace.size()));
            }
            previousSign = sign;
            out.trace.push_back(f / (TwoPi * SamplePeriod));
        }
    }
};

// The plain loop never clears anything, so agreement after a retune also shows that retuning
// leaves every filter state, delay line and the mixer phase alone.
TEST(Demodulator, MatchesAPlainShiftedDelayLineLoopBitForBit) {
    Demodulator demodulator;
    ShiftedDelayLineDemodulator plain{demodulator.tuning()};
    MskSource source = noisyRandomMsk(200.0), plainSource = source;
    Output out, plainOut;
    for (int b = 0; b < 16; ++b) {
        if (b == 8) {
            demodulator.tuneBitRate(false);
            demodulator.tuneCenterFrequency(70);
            plain.tuning = demodulator.tuning();
        }
        run(demodulator, source, 1, out);
        plain.demodulate(plainSource.next(), plainOut);
    }
    EXPECT_GT(out.bits.size(), 100u);
    expectSameOutput(out, plainOut);
}

}  // namespace
}  // namespace sondeco
