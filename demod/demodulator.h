// The MSK demodulator: anti-alias filter and decimation to 4800 Hz, mixing of the centre frequency to
// 1700 Hz, channel filter, Hilbert-transform frequency discriminator, data filter and a resonator bit
// clock. Plain C++ with fixed arrays: no Qt, no PortAudio, no allocation per buffer.
#pragma once

#include "bit_sink.h"
#include "demodulator_tuning.h"

#include <array>
#include <cstdint>
#include <span>

namespace sondeco {

class Demodulator {
public:
    static constexpr int InputSamplesPerBuffer = 4800;  // 100 ms at 48000 Hz
    static constexpr int DecimatedPerBuffer = 480;      // the same 100 ms at 4800 Hz

    // Fixed constants set, running state zero, tuned for 800 Hz and 200 bit/s until told otherwise.
    Demodulator();

    // Retuning never clears filter state, delay lines or the mixer phase: the new values apply
    // from the next sample processed. Both are idempotent.
    void tuneCenterFrequency(int decFreqPos);  // units of 10 Hz, 50..100
    void tuneBitRate(bool decBitRate);         // false = 100 bit/s, true = 200 bit/s
    const DemodulatorTuning& tuning() const { return tuning_; }

    // Demodulates one buffer of 4800 samples at 48000 Hz (unscaled 16-bit values as doubles). The
    // samples are used as working space and overwritten. Calls sink.pushBit for each decided bit
    // during the call.
    void demodulateBuffer(std::span<double, InputSamplesPerBuffer> samples, BitSink& sink);

    // Per-buffer outputs for the displays, overwritten by every demodulateBuffer call.
    const std::array<double, DecimatedPerBuffer>& MixedSamples() const { return mixedSamples_; }
    const std::array<double, DecimatedPerBuffer>& FrequencyTrace() const { return frequencyTrace_; }  // Hz
    const std::array<std::uint8_t, DecimatedPerBuffer>& BitMarks() const { return bitMarks_; }

private:
    DemodulatorTuning tuning_;
    std::array<double, DecimatedPerBuffer> mixedSamples_{};
    std::array<double, DecimatedPerBuffer> frequencyTrace_{};
    std::array<std::uint8_t, DecimatedPerBuffer> bitMarks_{};
    // Running state is added by the implementation.
};

}  // namespace sondeco
