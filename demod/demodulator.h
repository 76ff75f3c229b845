// SPDX-License-Identifier: GPL-3.0-or-later
// The MSK demodulator: anti-alias filter and decimation to 4800 Hz, mixing of the centre frequency to
// 1700 Hz, channel filter, Hilbert-transform frequency discriminator, data filter and a resonator bit
// clock. Plain C++ with fixed arrays: no Qt, no PortAudio, no allocation per buffer.
#pragma once

#include "demod/demodulator_tuning.h"
#include "rtcm/bit_sink.h"

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

// a - b brought into [-pi, pi] by at most one turn. A difference of exactly +pi or -pi is kept as it
// is, so a half-turn step reads as +pi or -pi depending on the direction it was computed in.
inline double wrapPhaseDifference(double a, double b) {
    if (a - b < -Pi) return a + TwoPi - b;
    if (a - b > Pi) return a - TwoPi - b;
    return a - b;
}

class Demodulator {
public:
    static constexpr int InputSamplesPerBuffer = 4800;  // 100 ms at 48000 Hz
    static constexpr int DecimatedPerBuffer = 480;  // the same 100 ms at 4800 Hz

    // Fixed constants set, running state zero, tuned for 800 Hz and 200 bit/s until told otherwise.
    Demodulator();

    // Retuning never clears filter state, delay lines or the mixer phase: the new values apply
    // from the next sample processed. Both are idempotent.
    void tuneCenterFrequency(int decFreqPos);  // units of 10 Hz, 50..100
    void tuneBitRate(bool decBitRate);  // false = 100 bit/s, true = 200 bit/s
    const DemodulatorTuning& tuning() const { return tuning_; }

    // Demodulates one buffer of 4800 samples at 48000 Hz (unscaled 16-bit values as doubles).
    // Calls sink.pushBit for each decided bit during the call.
    void demodulateBuffer(std::span<const double, InputSamplesPerBuffer> samples, BitSink& sink);

    // Per-buffer outputs for the displays, overwritten by every demodulateBuffer call.
    const std::array<double, DecimatedPerBuffer>& MixedSamples() const { return mixedSamples_; }
    const std::array<double, DecimatedPerBuffer>& FrequencyTrace() const { return frequencyTrace_; }  // Hz
    const std::array<std::uint8_t, DecimatedPerBuffer>& BitMarks() const { return bitMarks_; }

private:
    // The delay lines are kept as linear histories: the older samples a filter still needs, followed
    // by the samples of the buffer being processed, oldest first. Entry "delay[k]" of decimated
    // sample i is history[Past + i - k]. Every FIR output of a buffer then reads one contiguous
    // window, and the tail is moved to the front once per buffer instead of shifting per sample.
    static constexpr int FirPast = FirTapCount - 1;
    static constexpr int HilbertPast = HilbertTapCount - 1;
    static constexpr int ClockPast = 31;  // the clock delay line holds 32 resonator outputs

    // The anti-alias sections, run as a pipeline (see antiAliasAndDecimate): per section its two
    // state values and its outputs of the last two steps, not yet taken up by the next section.
    // All zero is the same as silence since start-up.
    struct AntiAliasPipeline {
        std::array<double, 4> w1{}, w2{}, y1{}, y2{};
    };

    void antiAliasAndDecimate(std::span<const double, InputSamplesPerBuffer> samples);
    void mix();
    void detectFrequency();
    void clockAndDecide(BitSink& sink);
    void keepHistories();

    DemodulatorTuning tuning_;

    AntiAliasPipeline antiAliasPipeline_;
    double mixerPhase_ = 0.0;  // rad, in [0, 2*pi)
    std::array<double, FirPast + DecimatedPerBuffer> mixedHistory_{};  // channel-filter input
    std::array<double, HilbertPast + DecimatedPerBuffer> channelHistory_{};  // Hilbert input
    double previousAngle_ = 0.0;  // rad
    std::array<double, FirPast + DecimatedPerBuffer> rawFrequencyHistory_{};  // data-filter input, rad/sample
    double resonatorY1_ = 0.0, resonatorY2_ = 0.0;
    std::array<double, ClockPast + DecimatedPerBuffer> clockHistory_{};  // resonator outputs
    int previousClockSign_ = 0;  // 0 until the first decimated sample has been seen

    std::array<double, DecimatedPerBuffer> mixedSamples_{};
    std::array<double, DecimatedPerBuffer> frequencyTrace_{};
    std::array<std::uint8_t, DecimatedPerBuffer> bitMarks_{};
};

}  // namespace sondeco
