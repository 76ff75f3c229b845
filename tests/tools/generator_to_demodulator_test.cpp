// SPDX-License-Identifier: GPL-3.0-or-later
// The generated beacon signal through the receiver's demodulator: the bits that come out must be
// the frames' bits that went in, at both bit rates and across the range of centre frequencies,
// with a mistuned carrier and a transmitter clock that is off.

#include "demod/demodulator.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/simulated_beacon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace sondeco {
namespace {

struct BitCollector final : BitSink {
    std::vector<std::uint8_t> bits;
    void pushBit(std::uint8_t bit) override { bits.push_back(bit); }
};

constexpr double SignalSeconds = 8.0;
constexpr double SettlingSeconds = 2.0;  // filters and the bit clock need this before decisions hold

TEST(GeneratorToDemodulator, DecidedBitsAreTheFramesThatWentIn) {
    struct Case {
        int rate;
        int centre;
        double offset;
    };
    for (const Case c : {Case{100, 500, 3.0}, Case{100, 800, -4.0}, Case{100, 1000, 2.5}, Case{200, 500, -3.0}, Case{200, 800, 4.0},
                         Case{200, 1000, -2.5}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " bit/s at " << c.centre << " Hz, offset " << c.offset << " Hz");
        BeaconSettings station;
        station.bitRate = c.rate;
        station.startSecondsIntoHour = 1200.0;
        SimulatedBeacon beacon(station);
        std::vector<std::uint8_t> sent;
        while (static_cast<double>(sent.size()) < (SignalSeconds + 1.0) * c.rate) beacon.appendNextFrame(sent);

        MskSettings transmitter;
        transmitter.bitRate = c.rate;
        transmitter.centreFrequency = c.centre;
        transmitter.frequencyOffset = c.offset;
        transmitter.clockErrorPpm = 100.0;
        transmitter.ebN0Db = 30.0;
        transmitter.leadingSeconds = 0.3;
        MskModulator modulator(transmitter);
        modulator.pushBits(sent);

        Demodulator demodulator;
        demodulator.tuneCenterFrequency(c.centre / 10);
        demodulator.tuneBitRate(c.rate == 200);
        BitCollector received;
        std::vector<double> buffer(Demodulator::InputSamplesPerBuffer);
        for (int i = 0; i < SignalSeconds * 10; ++i) {
            ASSERT_EQ(modulator.render(buffer), buffer.size());
            // Through 16 bits, as a WAV file or a sound card would deliver it.
            for (double& sample : buffer) sample = toPcm16(sample);
            demodulator.demodulateBuffer(std::span<double, Demodulator::InputSamplesPerBuffer>(buffer), received);
        }

        // One decision per bit time (the clock runs on during the leading noise too), and once
        // settled, an unbroken run of the sent bits from wherever the receiver's delay puts it.
        EXPECT_NEAR(static_cast<double>(received.bits.size()), SignalSeconds * c.rate, 0.05 * c.rate);
        const auto settled = received.bits.begin() + static_cast<std::ptrdiff_t>(SettlingSeconds * c.rate);
        ASSERT_LT(settled, received.bits.end());
        const auto found = std::search(sent.begin(), sent.end(), settled, received.bits.end());
        EXPECT_NE(found, sent.end()) << "the " << received.bits.end() - settled
                                     << " bits decided after settling are not a run of the bits sent";
    }
}

}  // namespace
}  // namespace sondeco
