// SPDX-License-Identifier: GPL-3.0-or-later
// What this machine can do at best, to hold the receiver's figures against: the double-precision
// rate of independent multiply-add streams (scalar and in SSE2 pairs, the widest the default x86-64
// build uses), the rate of one dependent multiply-add chain (what bounds a recursive filter), and the
// cost of the library functions the demodulator and the spectrum indicator call per sample (cos,
// atan2, sqrt, log). docs/performance.md divides the per-buffer operation counts by these.
//
// Counter "GFLOPs" is in 1e9 floating-point operations per second (a multiply and an add count
// two); "ns_per_call" is per library call.
#include <benchmark/benchmark.h>

#include <cmath>

namespace {

using DoublePair = double __attribute__((vector_size(16)));

constexpr int Steps = 4096;

// Twelve independent accumulators: enough to keep two multipliers and two adders busy through their
// latency on current x86 cores, few enough to stay in the sixteen SSE registers with the constants.
// They are separate variables (an array would be kept in memory), and the empty asm keeps each
// scalar one on its own, so that the compiler cannot pair them up into vectors.
template <typename Value>
void independentMultiplyAdd(benchmark::State& state, int lanes) {
    constexpr int Chains = 12;
    const Value m = Value{} + 0.999999;
    const Value a = Value{} + 1e-6;
    Value x0 = Value{} + 1.00, x1 = Value{} + 1.01, x2 = Value{} + 1.02, x3 = Value{} + 1.03;
    Value x4 = Value{} + 1.04, x5 = Value{} + 1.05, x6 = Value{} + 1.06, x7 = Value{} + 1.07;
    Value x8 = Value{} + 1.08, x9 = Value{} + 1.09, x10 = Value{} + 1.10, x11 = Value{} + 1.11;
    for (auto _ : state) {
        for (int i = 0; i < Steps; ++i) {
            x0 = x0 * m + a, x1 = x1 * m + a, x2 = x2 * m + a, x3 = x3 * m + a;
            x4 = x4 * m + a, x5 = x5 * m + a, x6 = x6 * m + a, x7 = x7 * m + a;
            x8 = x8 * m + a, x9 = x9 * m + a, x10 = x10 * m + a, x11 = x11 * m + a;
            asm("" : "+x"(x0), "+x"(x1), "+x"(x2), "+x"(x3), "+x"(x4), "+x"(x5));
            asm("" : "+x"(x6), "+x"(x7), "+x"(x8), "+x"(x9), "+x"(x10), "+x"(x11));
        }
        Value total = x0 + x1 + x2 + x3 + x4 + x5 + x6 + x7 + x8 + x9 + x10 + x11;
        benchmark::DoNotOptimize(total);
    }
    state.counters["GFLOPs"] =
        benchmark::Counter(double(state.iterations()) * Steps * Chains * 2 * lanes * 1e-9, benchmark::Counter::kIsRate);
}

void BM_ScalarMultiplyAdd(benchmark::State& state) { independentMultiplyAdd<double>(state, 1); }
void BM_PairedMultiplyAdd(benchmark::State& state) { independentMultiplyAdd<DoublePair>(state, 2); }

// One chain: each step needs the result of the one before, as in a biquad's recursion.
void BM_DependentMultiplyAdd(benchmark::State& state) {
    double acc = 1.0;
    const double m = 0.999999, a = 1e-6;
    for (auto _ : state) {
        for (int i = 0; i < Steps; ++i) acc = acc * m + a;
        benchmark::DoNotOptimize(acc);
    }
    state.counters["GFLOPs"] = benchmark::Counter(double(state.iterations()) * Steps * 2 * 1e-9, benchmark::Counter::kIsRate);
}

// The library functions on arguments that vary like the demodulator's. The calls are independent
// of one another, as the demodulator's are, so this is their throughput rather than their latency.
template <typename Function>
void libraryCall(benchmark::State& state, Function function) {
    double x = 0.3, sink = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < Steps; ++i) {
            const double y = function(x);
            sink += y;
            x += 0.7853;
            if (x > 6.0) x -= 6.0;
        }
        benchmark::DoNotOptimize(sink);
    }
    state.counters["ns_per_call"] =
        benchmark::Counter(double(state.iterations()) * Steps * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Cos(benchmark::State& state) {
    libraryCall(state, [](double x) { return std::cos(x); });
}
void BM_Atan2(benchmark::State& state) {
    libraryCall(state, [](double x) { return std::atan2(x - 3.0, 1.5 - x); });
}
void BM_Sqrt(benchmark::State& state) {
    libraryCall(state, [](double x) { return std::sqrt(x * x + 1.0); });
}
void BM_Log(benchmark::State& state) {
    libraryCall(state, [](double x) { return std::log(x + 1.0); });
}

}  // namespace

BENCHMARK(BM_ScalarMultiplyAdd);
BENCHMARK(BM_PairedMultiplyAdd);
BENCHMARK(BM_DependentMultiplyAdd);
BENCHMARK(BM_Cos);
BENCHMARK(BM_Atan2);
BENCHMARK(BM_Sqrt);
BENCHMARK(BM_Log);
