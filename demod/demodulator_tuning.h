// SPDX-License-Identifier: GPL-3.0-or-later
// The demodulator's fixed constants and its active parameter set, derived from the two user
// settings (centre frequency in 10 Hz steps, bit rate 100 or 200 bit/s).
#pragma once

#include <array>
#include <numbers>

namespace sondeco {

inline constexpr int DecimationFactor = 10;
inline constexpr double SamplePeriod = 0.00020833333333333335;  // s, one decimated sample at 4800 Hz
inline constexpr double ReferenceFrequency = 1700.0;  // Hz, where the mixer puts the centre
inline constexpr double ReferenceIncrement = 10681.415022205296 * SamplePeriod;  // rad per decimated sample
inline constexpr double Pi = std::numbers::pi;
inline constexpr double TwoPi = 2.0 * std::numbers::pi;

inline constexpr int FirTapCount = 101;
inline constexpr int HilbertTapCount = 51;
using FirTable = std::array<double, FirTapCount>;

struct BiquadSection {
    double a1, a2, b0, b1, b2;
};

// 8th-order Butterworth low-pass, -3 dB at 1200 Hz for 48000 Hz, as four sections of rising Q.
extern const std::array<BiquadSection, 4> AntiAliasFilter;
// Antisymmetric 51-tap Hilbert transformer; tap j weighs the sample j decimated samples old. The
// taps at an even distance from the centre tap 25 (the centre included) are exact zeros.
extern const std::array<double, HilbertTapCount> HilbertTransformer;
// Kaiser-windowed (beta for 40 dB) FIR filters at 4800 Hz, symmetric, tap 50 in the middle.
extern const FirTable ChannelFilter100;  // band-pass 1620..1780 Hz
extern const FirTable ChannelFilter200;  // band-pass 1550..1850 Hz
extern const FirTable DataFilter100;  // low-pass 65 Hz
extern const FirTable DataFilter200;  // low-pass 120 Hz

struct DemodulatorTuning {
    double CenterFrequency = 800.0;  // Hz, 500..1000
    FirTable channelFilter{};
    FirTable dataFilter{};
    double resonatorFrequency = 200.0;  // f_b, Hz: the bit rate
    double resonatorBandwidth = 1.0;  // B, Hz
    double resonatorGainFactor = 1.0;  // G
    double resonatorGain = 0.0;  // g
    double resonatorA1 = 0.0;
    double resonatorA2 = 0.0;
    int ClockDelay = 12;  // decimated samples: half a bit
    int EyeSampleSpacing = 4;  // eye-pattern pixels per decimated sample
    double EyeVerticalScale = 1.0;  // eye-pattern pixels per Hz

    friend bool operator==(const DemodulatorTuning&, const DemodulatorTuning&) = default;
};

}  // namespace sondeco
