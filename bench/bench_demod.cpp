// SPDX-License-Identifier: GPL-3.0-or-later
// Demodulator throughput: one 100 ms buffer (4800 samples at 48000 Hz) per iteration. The counter
// x_realtime says how many times faster than real time the demodulator runs on one core.
#include "demod/demodulator.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using sondeco::Demodulator;
using Buffer = std::array<double, Demodulator::InputSamplesPerBuffer>;

struct CountingSink : sondeco::BitSink {
    std::uint64_t ones = 0, bits = 0;
    void pushBit(std::uint8_t bit) override {
        ones += bit;
        ++bits;
    }
};

// One second of noisy MSK with pseudo-random bits around 800 Hz, so that the clock and the decisions
// do their normal amount of work.
std::vector<Buffer> mskSignal(double bitRate) {
    std::vector<Buffer> buffers(10);
    std::minstd_rand random(1);
    std::normal_distribution<double> noise(0.0, 2000.0);
    const long samplesPerBit = std::lround(48000 / bitRate);
    double phase = 0.0;
    long n = 0;
    int bit = 0;
    for (Buffer& buffer : buffers) {
        for (double& x : buffer) {
            if (n++ % samplesPerBit == 0) bit = int(random() & 1);
            phase = std::fmod(phase + sondeco::TwoPi * (800.0 + (bit ? 0.25 : -0.25) * bitRate) / 48000, sondeco::TwoPi);
            x = std::round(8000.0 * std::cos(phase) + noise(random));
        }
    }
    return buffers;
}

void demodulate(benchmark::State& state, bool decBitRate) {
    // The buffers are handed over again and again. The demodulator may use them as working space,
    // but its work per buffer does not depend on the values it finds there.
    std::vector<Buffer> buffers = mskSignal(decBitRate ? 200.0 : 100.0);
    Demodulator demodulator;
    demodulator.tuneBitRate(decBitRate);
    CountingSink sink;
    std::size_t next = 0;
    for (auto _ : state) {
        demodulator.demodulateBuffer(buffers[next], sink);
        benchmark::DoNotOptimize(demodulator.FrequencyTrace().data());
        benchmark::ClobberMemory();
        next = (next + 1) % buffers.size();
    }
    state.counters["x_realtime"] = benchmark::Counter(0.1 * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bits_per_buffer"] = benchmark::Counter(double(sink.bits), benchmark::Counter::kAvgIterations);
}

void BM_Demodulate200(benchmark::State& state) { demodulate(state, true); }
void BM_Demodulate100(benchmark::State& state) { demodulate(state, false); }

}  // namespace

BENCHMARK(BM_Demodulate200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Demodulate100)->Unit(benchmark::kMicrosecond);
