// SPDX-License-Identifier: GPL-3.0-or-later
#include "demod/demodulator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sondeco {

namespace {

// Two doubles side by side: SSE2 on x86-64, NEON on AArch64, plain pairs elsewhere (GCC and Clang).
using DoublePair = double __attribute__((vector_size(16)));

inline DoublePair loadPair(const double* p) {
    DoublePair v;
    std::memcpy(&v, p, sizeof v);  // an unaligned load
    return v;
}

// One FIR output per decimated sample of the buffer: out[i] = sum over k of taps[k] * x[i - k],
// where x points at sample 0 of the buffer and has Taps - 1 older samples in front of it.
//
// Each output is accumulated strictly in tap order, exactly as a per-sample dot product over a
// shifted delay line would do it, so the result is bit-for-bit the same. The speed comes from
// computing eight neighbouring outputs side by side: their sums are independent, which hides the
// latency of the additions and fills the vector registers without reordering any sum.
// TapStep 2 visits only the even taps; the Hilbert transformer's odd taps are exact zeros.
template <int Taps, int TapStep>
void filterBlock(const double* taps, const double* x, double* out) {
    constexpr int Pairs = 4;
    constexpr int Lanes = 2 * Pairs;
    static_assert(Demodulator::DecimatedPerBuffer % Lanes == 0);
    for (int first = 0; first < Demodulator::DecimatedPerBuffer; first += Lanes) {
        DoublePair sum[Pairs] = {};
        for (int k = 0; k < Taps; k += TapStep) {
            const DoublePair tap = {taps[k], taps[k]};
            const double* window = x + first - k;
#pragma GCC unroll 4
            for (int p = 0; p < Pairs; ++p) sum[p] += tap * loadPair(window + 2 * p);
        }
        std::memcpy(out + first, sum, sizeof sum);
    }
}

}  // namespace

Demodulator::Demodulator() {
    tuneCenterFrequency(80);
    tuning_.ClockDelay = 12;
    tuneBitRate(true);
}

void Demodulator::demodulateBuffer(std::span<const double, InputSamplesPerBuffer> samples, BitSink& sink) {
    antiAliasAndDecimate(samples);
    mix();
    detectFrequency();
    clockAndDecide(sink);
    keepHistories();
}

// 8th-order low-pass at 48000 Hz, keeping every tenth output.
//
// Each section is a direct form II recursion, w = u + a1*w1 + a2*w2, y = b0*w + b1*w1 + b2*w2, whose
// loop-carried chain (multiply, add, add) bounds the speed. Run one after the other, the four
// sections leave the processor waiting on that chain. Instead they run as a pipeline, section s
// working 2*(s-1) input samples behind section 1, so that all four advance together in one step:
// sections 1 and 2 in one pair of vector lanes, 3 and 4 in the other. Every lane does exactly the
// scalar arithmetic, so the outputs are the same to the last bit. A section takes its input from
// the previous section's output of two steps earlier; one step of lag would chain the two lanes of
// a pair into a recursion twice as long. Section 4 delivers sample n at step n + 6, which keeps
// every kept sample of a buffer within that buffer.
void Demodulator::antiAliasAndDecimate(std::span<const double, InputSamplesPerBuffer> samples) {
    const auto& c = AntiAliasFilter;
    const DoublePair a1Low{c[0].a1, c[1].a1}, a1High{c[2].a1, c[3].a1};
    const DoublePair a2Low{c[0].a2, c[1].a2}, a2High{c[2].a2, c[3].a2};
    const DoublePair b0Low{c[0].b0, c[1].b0}, b0High{c[2].b0, c[3].b0};
    const DoublePair b1Low{c[0].b1, c[1].b1}, b1High{c[2].b1, c[3].b1};
    const DoublePair b2Low{c[0].b2, c[1].b2}, b2High{c[2].b2, c[3].b2};

    // "Low" holds sections 1 and 2, "High" sections 3 and 4.
    AntiAliasPipeline& p = antiAliasPipeline_;
    DoublePair w1Low{p.w1[0], p.w1[1]}, w1High{p.w1[2], p.w1[3]};
    DoublePair w2Low{p.w2[0], p.w2[1]}, w2High{p.w2[2], p.w2[3]};
    DoublePair y1Low{p.y1[0], p.y1[1]}, y1High{p.y1[2], p.y1[3]};
    DoublePair y2Low{p.y2[0], p.y2[1]}, y2High{p.y2[2], p.y2[3]};

    auto step = [&](double x) {
        const DoublePair uLow{x, y2Low[0]};
        const DoublePair uHigh{y2Low[1], y2High[0]};
        const DoublePair wLow = uLow + a1Low * w1Low + a2Low * w2Low;
        const DoublePair wHigh = uHigh + a1High * w1High + a2High * w2High;
        const DoublePair yLow = b0Low * wLow + b1Low * w1Low + b2Low * w2Low;
        const DoublePair yHigh = b0High * wHigh + b1High * w1High + b2High * w2High;
        w2Low = w1Low;
        w1Low = wLow;
        w2High = w1High;
        w1High = wHigh;
        y2Low = y1Low;
        y1Low = yLow;
        y2High = y1High;
        y1High = yHigh;
    };

    constexpr int Lag = 6;  // steps from an input sample to its output from section 4
    static_assert(Lag < DecimationFactor);
    double* decimated = mixedHistory_.data() + FirPast;
    const double* in = samples.data();
    for (int i = 0; i < DecimatedPerBuffer; ++i, in += DecimationFactor) {
        for (int j = 0; j <= Lag; ++j) step(in[j]);
        decimated[i] = y1High[1];  // sample 10*i, through all four sections
        for (int j = Lag + 1; j < DecimationFactor; ++j) step(in[j]);
    }

    p.w1 = {w1Low[0], w1Low[1], w1High[0], w1High[1]};
    p.w2 = {w2Low[0], w2Low[1], w2High[0], w2High[1]};
    p.y1 = {y1Low[0], y1Low[1], y1High[0], y1High[1]};
    p.y2 = {y2Low[0], y2Low[1], y2High[0], y2High[1]};
}

// Moves CenterFrequency to ReferenceFrequency. The oscillator always runs below 1700 Hz, so its phase
// only grows and one subtraction keeps it in [0, 2*pi).
void Demodulator::mix() {
    const double increment = (ReferenceFrequency - tuning_.CenterFrequency) * TwoPi * SamplePeriod;
    double phase = mixerPhase_;
    double* v = mixedHistory_.data() + FirPast;
    for (int i = 0; i < DecimatedPerBuffer; ++i) {
        phase += increment;
        if (phase >= TwoPi) phase -= TwoPi;
        v[i] *= std::cos(phase);
        mixedSamples_[static_cast<std::size_t>(i)] = v[i];
    }
    mixerPhase_ = phase;
}

// Channel filter, Hilbert transformer, phase detector and data filter. The raw frequency of each
// sample is left in the data filter's history, the smoothed one in FrequencyTrace (rad per sample
// until the clock stage converts it).
void Demodulator::detectFrequency() {
    const double* channel = channelHistory_.data() + HilbertPast;
    double* raw = rawFrequencyHistory_.data() + FirPast;

    filterBlock<FirTapCount, 1>(tuning_.channelFilter.data(), mixedHistory_.data() + FirPast, channelHistory_.data() + HilbertPast);
    // The quadrature component goes where the raw frequency will be; it is replaced sample by sample.
    filterBlock<HilbertTapCount, 2>(HilbertTransformer.data(), channel, raw);

    constexpr int HilbertCentre = HilbertTapCount / 2;
    double previous = previousAngle_;
    for (int i = 0; i < DecimatedPerBuffer; ++i) {
        // The in-phase component is the channel output delayed by the transformer's own delay.
        const double inPhase = channel[i - HilbertCentre];
        const double quadrature = raw[i];
        // theta = pi/2 - carrier phase, so previous - theta is the phase advance over one sample.
        // Silence gives theta 0 rather than whatever atan2 makes of two signed zeros.
        const double theta = (inPhase == 0.0 && quadrature == 0.0) ? 0.0 : std::atan2(inPhase, quadrature);
        raw[i] = wrapPhaseDifference(previous, theta) - ReferenceIncrement;
        previous = theta;
    }
    previousAngle_ = previous;

    filterBlock<FirTapCount, 1>(tuning_.dataFilter.data(), raw, frequencyTrace_.data());
}

// Bit clock and decisions. Rectifying the frequency track gives a strong component at the bit rate
// whenever the tone alternates; the narrow resonator keeps ringing at that rate through runs of
// equal bits. Its output, delayed by half a bit, crosses zero upwards in the middle of each bit.
void Demodulator::clockAndDecide(BitSink& sink) {
    const double g = tuning_.resonatorGain;
    const double a1 = tuning_.resonatorA1;
    const double a2 = tuning_.resonatorA2;
    const int clockDelay = tuning_.ClockDelay;
    double y1 = resonatorY1_, y2 = resonatorY2_;
    int previousSign = previousClockSign_;
    double* resonator = clockHistory_.data() + ClockPast;

    for (int i = 0; i < DecimatedPerBuffer; ++i) {
        const double f = frequencyTrace_[static_cast<std::size_t>(i)];
        const double drive = f >= 0.0 ? -f : f;
        const double y = g * drive + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        resonator[i] = y;

        const int sign = resonator[i - clockDelay] >= 0.0 ? 1 : -1;
        // Only a rise from -1 to +1 decides a bit, except at the very first sample, where the
        // previous sign is still 0 and +1 counts as a rise.
        if (previousSign < sign) {
            sink.pushBit(f > 0.0 ? 1 : 0);
            bitMarks_[static_cast<std::size_t>(i)] = 1;
        } else {
            bitMarks_[static_cast<std::size_t>(i)] = 0;
        }
        previousSign = sign;

        frequencyTrace_[static_cast<std::size_t>(i)] = f / (TwoPi * SamplePeriod);
    }

    resonatorY1_ = y1;
    resonatorY2_ = y2;
    previousClockSign_ = previousSign;
}

// The newest samples of each history become the past of the next buffer.
void Demodulator::keepHistories() {
    auto keepTail = [](auto& history, int past) { std::copy(history.end() - past, history.end(), history.begin()); };
    keepTail(mixedHistory_, FirPast);
    keepTail(channelHistory_, HilbertPast);
    keepTail(rawFrequencyHistory_, FirPast);
    keepTail(clockHistory_, ClockPast);
}

}  // namespace sondeco
