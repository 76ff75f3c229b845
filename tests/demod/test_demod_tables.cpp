// SPDX-License-Identifier: GPL-3.0-or-later
// The demodulator's constant tables and the parameter sets the tuning derives from them.
#include "demod/demodulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numbers>

namespace sondeco {
namespace {

// The modified Bessel function of the first kind, order 0, from its power series
// I0(x) = sum over k of ((x/2)^k / k!)^2, summed until a term no longer moves the total.
double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; term > 1e-18 * sum; ++k) {
        const double factor = x / (2.0 * k);
        term *= factor * factor;
        sum += term;
    }
    return sum;
}

// One FIR table and the pass band it was designed for; a low-pass is a band from 0 Hz.
struct FirDesign {
    const char* name;
    const FirTable& table;
    double lowEdge;  // Hz
    double highEdge;  // Hz
    double dcGain;
};

// Tap j as the design rule gives it: the ideal band-pass response at 4800 Hz times Kaiser's window,
// with the window's beta from Kaiser's formula for 40 dB of stop-band attenuation.
double designedTap(const FirDesign& design, int j) {
    constexpr double Rate = 4800.0;
    constexpr double Attenuation = 40.0;  // dB
    constexpr int Middle = (FirTapCount - 1) / 2;
    const double beta = 0.5842 * std::pow(Attenuation - 21.0, 0.4) + 0.07886 * (Attenuation - 21.0);
    const double m = static_cast<double>(j - Middle);
    const double fromMiddle = m / Middle;
    const double window = besselI0(beta * std::sqrt(1.0 - fromMiddle * fromMiddle)) / besselI0(beta);
    const double ideal = j == Middle ? 2.0 * (design.highEdge - design.lowEdge) / Rate
                                     : (std::sin(2.0 * std::numbers::pi * design.highEdge * m / Rate) -
                                        std::sin(2.0 * std::numbers::pi * design.lowEdge * m / Rate)) /
                                           (std::numbers::pi * m);
    return ideal * window;
}

TEST(DemodTables, FirTablesFollowTheirKaiserDesignAndAreSymmetric) {
    static_assert(FirTapCount == 101);
    // The tables hold 9 significant digits, so no tap may be further than that from the rule.
    for (const FirDesign& design :
         {FirDesign{"ChannelFilter100", ChannelFilter100, 1620.0, 1780.0, 0.0},
          FirDesign{"ChannelFilter200", ChannelFilter200, 1550.0, 1850.0, 0.0},
          FirDesign{"DataFilter100", DataFilter100, 0.0, 65.0, 1.0155}, FirDesign{"DataFilter200", DataFilter200, 0.0, 120.0, 0.9918}}) {
        SCOPED_TRACE(design.name);
        double dcGain = 0;
        for (int j = 0; j < FirTapCount; ++j) {
            const auto tap = design.table[static_cast<std::size_t>(j)];
            EXPECT_NEAR(tap, designedTap(design, j), 1e-9) << "tap " << j;
            EXPECT_EQ(tap, design.table[static_cast<std::size_t>(FirTapCount - 1 - j)]) << "tap " << j;
            dcGain += tap;
        }
        EXPECT_NEAR(dcGain, design.dcGain, 2e-3);  // the band-passes block DC
    }
}

TEST(DemodTables, HilbertTransformerIsAntisymmetricWithUnitGainAcrossTheChannel) {
    for (std::size_t m = 0; m <= 25; ++m) {
        EXPECT_EQ(HilbertTransformer[25 + m], -HilbertTransformer[25 - m]) << m;
        EXPECT_TRUE(m % 2 == 1 || HilbertTransformer[25 + m] == 0.0) << m;
    }
    EXPECT_EQ(HilbertTransformer[26], 0.634600642);
    EXPECT_EQ(HilbertTransformer[50], 0.00243136086);
    for (double hz : {1550.0, 1700.0, 1850.0}) {
        double gain = 0;
        for (std::size_t m = 1; m <= 25; m += 2)
            gain += 2 * HilbertTransformer[25 + m] * std::sin(2 * std::numbers::pi * hz / 4800 * static_cast<double>(m));
        EXPECT_NEAR(gain, 1.0, 0.01) << hz;
    }
}

TEST(DemodTuning, BitRateSelectsTablesResonatorAndScales) {
    Demodulator demodulator;  // starts at 800 Hz and 200 bit/s
    const DemodulatorTuning& t = demodulator.tuning();
    EXPECT_EQ(t.CenterFrequency, 800.0);
    EXPECT_EQ(ReferenceIncrement, 2.2252947962927703);
    for (const bool decBitRate : {true, false}) {
        SCOPED_TRACE(decBitRate);
        demodulator.tuneBitRate(decBitRate);
        EXPECT_EQ(t.channelFilter, decBitRate ? ChannelFilter200 : ChannelFilter100);
        EXPECT_EQ(t.dataFilter, decBitRate ? DataFilter200 : DataFilter100);
        EXPECT_EQ(t.resonatorFrequency, decBitRate ? 200.0 : 100.0);
        EXPECT_EQ(t.resonatorGain, decBitRate ? 0.2588190451025208 : 0.1305261922200516);
        EXPECT_EQ(t.resonatorA1, decBitRate ? 1.9305876723099236 : 1.9815923490697553);
        EXPECT_EQ(t.resonatorA2, -0.9986918594237979);
        EXPECT_EQ(t.ClockDelay, decBitRate ? 12 : 24);
        EXPECT_EQ(t.EyeSampleSpacing, decBitRate ? 4 : 2);
        EXPECT_EQ(t.EyeVerticalScale, decBitRate ? 1.0 : 2.0);
    }
}

TEST(DemodTuning, RetuningIsIdempotent) {
    for (const bool decBitRate : {false, true}) {
        Demodulator demodulator;
        demodulator.tuneCenterFrequency(63);
        demodulator.tuneBitRate(decBitRate);
        const DemodulatorTuning once = demodulator.tuning();
        demodulator.tuneBitRate(!decBitRate);
        demodulator.tuneCenterFrequency(99);
        demodulator.tuneCenterFrequency(63);
        demodulator.tuneBitRate(decBitRate);
        demodulator.tuneBitRate(decBitRate);
        EXPECT_TRUE(once == demodulator.tuning()) << decBitRate;
        EXPECT_EQ(once.CenterFrequency, 630.0);
    }
}

}  // namespace
}  // namespace sondeco
