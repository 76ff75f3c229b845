// The demodulator's constant tables and the parameter sets the tuning derives from them.
#include "demod/demodulator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sondeco {
namespace {

TEST(DemodTables, FirTablesHoldTheirCheckValuesSymmetryAndGain)
{
    struct Case {
        const FirTable& table;
        double tap50, tap49, tap0, dcGain;
    };
    for (const Case& c : {Case{ChannelFilter200, 0.125, -0.0755642843, 0.000186597594, 0.0},
                          Case{ChannelFilter100, 0.0666666667, -0.0404869828, 0.000422276594, 0.0},
                          Case{DataFilter100, 0.0270833333, 0.027035324, -0.000844833208, 1.0155},
                          Case{DataFilter200, 0.05, 0.0497663931, 0.000941976681, 0.9918}}) {
        EXPECT_NEAR(c.table[50], c.tap50, 5e-10 * std::abs(c.tap50));
        EXPECT_NEAR(c.table[49], c.tap49, 5e-10 * std::abs(c.tap49));
        EXPECT_NEAR(c.table[0], c.tap0, 5e-10 * std::abs(c.tap0));
        double dcGain = 0;
        for (int j = 0; j < FirTapCount; ++j) {
            EXPECT_EQ(c.table[j], c.table[100 - j]) << j;
            dcGain += c.table[j];
        }
        EXPECT_NEAR(dcGain, c.dcGain, 2e-3);  // the band-passes block DC
    }
}

TEST(DemodTables, HilbertTransformerIsAntisymmetricWithUnitGainAcrossTheChannel)
{
    for (int m = 0; m <= 25; ++m) {
        EXPECT_EQ(HilbertTransformer[25 + m], -HilbertTransformer[25 - m]) << m;
        EXPECT_TRUE(m % 2 == 1 || HilbertTransformer[25 + m] == 0.0) << m;
    }
    EXPECT_EQ(HilbertTransformer[26], 0.634600642);
    EXPECT_EQ(HilbertTransformer[50], 0.00243136086);
    for (double hz : {1550.0, 1700.0, 1850.0}) {
        double gain = 0;
        for (int m = 1; m <= 25; m += 2) gain += 2 * HilbertTransformer[25 + m] * std::sin(TwoPi * hz / 4800 * m);
        EXPECT_NEAR(gain, 1.0, 0.01) << hz;
    }
}

TEST(DemodTuning, BitRateSelectsTablesResonatorAndScales)
{
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

TEST(DemodTuning, RetuningIsIdempotent)
{
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
