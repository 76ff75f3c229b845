// SPDX-License-Identifier: GPL-3.0-or-later
// Display drawing cost per 100 ms capture buffer: the spectrum indicator and the eye pattern together,
// as the main window draws them while the eye pattern window is open. The counter x_realtime says how
// many times faster than real time that runs on one core.
#include "display/eye_pattern.h"
#include "display/signal_indicator.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace {

using sondeco::EyePattern;
using sondeco::SignalIndicator;

struct DisplayInput {
    std::array<double, SignalIndicator::BufferLength> mixedSamples;
    std::array<double, EyePattern::BufferLength> frequencyTrace;
    std::array<std::uint8_t, EyePattern::BufferLength> bitMarks;
};

// One second of what the demodulator hands the displays at 200 bit/s: noisy MSK tones at 1700 ± 50 Hz
// with random bits, and a smoothed, noisy frequency track with a decision every 24 samples.
std::vector<DisplayInput> displayInputs() {
    constexpr double TwoPi = 2.0 * std::numbers::pi;
    constexpr int SamplesPerBit = 24;
    std::vector<DisplayInput> inputs(10);
    std::minstd_rand random(1);
    std::normal_distribution<double> noise(0.0, 1.0);
    double phase = 0.0;
    double track = 0.0;
    int bit = 0;
    long n = 0;
    for (DisplayInput& input : inputs) {
        for (int i = 0; i < SignalIndicator::BufferLength; ++i, ++n) {
            if (n % SamplesPerBit == 0) bit = int(random() & 1);
            const double deviation = bit ? 50.0 : -50.0;
            phase = std::fmod(phase + TwoPi * (1700.0 + deviation) / 4800.0, TwoPi);
            input.mixedSamples[std::size_t(i)] = 4000.0 * std::cos(phase) + 800.0 * noise(random);
            track += 0.2 * (deviation - track);
            input.frequencyTrace[std::size_t(i)] = track + 4.0 * noise(random);
            input.bitMarks[std::size_t(i)] = n % SamplesPerBit == SamplesPerBit / 2;
        }
    }
    return inputs;
}

void BM_DrawDisplaysPerBuffer(benchmark::State& state) {
    const std::vector<DisplayInput> inputs = displayInputs();
    SignalIndicator indicator;
    EyePattern eye;
    QImage indicatorBitmap = SignalIndicator::makeBitmap();
    QImage eyeBitmap = EyePattern::makeBitmap();
    std::size_t next = 0;
    for (auto _ : state) {
        const DisplayInput& input = inputs[next];
        indicator.drawSignalIndicator(indicatorBitmap, input.mixedSamples, true);
        eye.drawEyePattern(eyeBitmap, input.frequencyTrace, input.bitMarks, 4, 1.0);
        benchmark::DoNotOptimize(indicatorBitmap.constBits());
        benchmark::DoNotOptimize(eyeBitmap.constBits());
        benchmark::ClobberMemory();
        next = (next + 1) % inputs.size();
    }
    state.counters["x_realtime"] = benchmark::Counter(0.1 * double(state.iterations()), benchmark::Counter::kIsRate);
}

// The two displays on their own, to hold each against its own lower bound (docs/performance.md).
void BM_DrawSignalIndicator(benchmark::State& state) {
    const std::vector<DisplayInput> inputs = displayInputs();
    SignalIndicator indicator;
    QImage bitmap = SignalIndicator::makeBitmap();
    std::size_t next = 0;
    for (auto _ : state) {
        indicator.drawSignalIndicator(bitmap, inputs[next].mixedSamples, true);
        benchmark::DoNotOptimize(bitmap.constBits());
        benchmark::ClobberMemory();
        next = (next + 1) % inputs.size();
    }
    state.counters["x_realtime"] = benchmark::Counter(0.1 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DrawEyePattern(benchmark::State& state) {
    const std::vector<DisplayInput> inputs = displayInputs();
    EyePattern eye;
    QImage bitmap = EyePattern::makeBitmap();
    std::size_t next = 0;
    for (auto _ : state) {
        eye.drawEyePattern(bitmap, inputs[next].frequencyTrace, inputs[next].bitMarks, 4, 1.0);
        benchmark::DoNotOptimize(bitmap.constBits());
        benchmark::ClobberMemory();
        next = (next + 1) % inputs.size();
    }
    state.counters["x_realtime"] = benchmark::Counter(0.1 * double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_DrawDisplaysPerBuffer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DrawSignalIndicator)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DrawEyePattern)->Unit(benchmark::kMicrosecond);
