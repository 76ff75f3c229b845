// SPDX-License-Identifier: GPL-3.0-or-later
// The whole enhanced receiver on one 48 kHz stream: impulse blanker, front end, acquisition and the
// coherent detector, 100 ms buffers at a time, as sondeco-decode would run it. The counter x_realtime
// says how many times faster than real time that runs on one core (the goal: 500).
//
// The audio is a minute of the simulated station at 12 dB Eb/N0 (and once with static, 2 bursts a
// second, so the blanker has work), made once and replayed in a loop. The receiver is created once
// and runs on across the loops: the jump back once a minute is a beacon that moved, so the cost of
// losing it and acquiring it again is part of the figure. A fresh receiver per benchmark pass, with
// its first acquisition, is measured too; and once with the RTCM decoder after it, whose word layer
// decides every word on its trellis (rtcm/word_trellis.h), as the receive chain runs the two.
#include "coherent/enhanced_receiver.h"
#include "rtcm/rtcm_decoder.h"
#include "signalgen/beacon_audio.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using namespace sondeco;

constexpr int SampleRate = 48000;
constexpr std::size_t SamplesPerBuffer = 4800;
constexpr int SignalSeconds = 60;

std::vector<double> recording(int bitRate, double burstsPerSecond) {
    BeaconSettings station;
    station.bitRate = bitRate;
    MskSettings transmitter;
    transmitter.bitRate = bitRate;
    transmitter.centreFrequency = 1234.0;
    transmitter.ebN0Db = 12.0;
    transmitter.noiseSeed = 7;
    transmitter.staticBurstsPerSecond = burstsPerSecond;
    BeaconAudio audio(station, transmitter);
    std::vector<std::int16_t> stereo(std::size_t(SignalSeconds) * SampleRate * 2);
    audio.render(stereo);
    std::vector<double> mono(stereo.size() / 2);
    for (std::size_t n = 0; n < mono.size(); ++n) mono[n] = stereo[2 * n];
    return mono;
}

void runningReceiver(benchmark::State& state, int bitRate, double burstsPerSecond, bool decodeWords = false) {
    const std::vector<double> audio = recording(bitRate, burstsPerSecond);
    EnhancedReceiver receiver;
    RtcmDecoder decoder;
    std::vector<SoftBit> bits;
    std::size_t position = 0;
    std::uint64_t bitsOut = 0;
    for (auto _ : state) {
        bits.clear();
        receiver.processAudio(std::span<const double>(audio.data() + position, SamplesPerBuffer), bits);
        bitsOut += bits.size();
        if (decodeWords) decoder.pushSoftBits(bits);
        position = (position + SamplesPerBuffer) % audio.size();
        benchmark::DoNotOptimize(bits.data());
    }
    const double seconds = static_cast<double>(state.iterations()) * SamplesPerBuffer / SampleRate;
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["bits_per_s"] = static_cast<double>(bitsOut) / seconds;
    if (decodeWords) state.counters["words_per_s"] = static_cast<double>(decoder.statistics().words) / seconds;
}

// From switch-on: acquisition, the detector's replay of the kept baseband, then a minute of tracking.
void freshReceiver(benchmark::State& state, int bitRate) {
    const std::vector<double> audio = recording(bitRate, 0.0);
    std::vector<SoftBit> bits;
    for (auto _ : state) {
        EnhancedReceiver receiver;
        for (std::size_t position = 0; position + SamplesPerBuffer <= audio.size(); position += SamplesPerBuffer) {
            bits.clear();
            receiver.processAudio(std::span<const double>(audio.data() + position, SamplesPerBuffer), bits);
        }
        benchmark::DoNotOptimize(bits.data());
    }
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * SignalSeconds, benchmark::Counter::kIsRate);
}

void BM_EnhancedReceiver200(benchmark::State& state) { runningReceiver(state, 200, 0.0); }
void BM_EnhancedReceiver100(benchmark::State& state) { runningReceiver(state, 100, 0.0); }
void BM_EnhancedReceiver200Static(benchmark::State& state) { runningReceiver(state, 200, 2.0); }
void BM_EnhancedReceiverAndWords200(benchmark::State& state) { runningReceiver(state, 200, 0.0, true); }
void BM_EnhancedReceiverFromSwitchOn200(benchmark::State& state) { freshReceiver(state, 200); }

BENCHMARK(BM_EnhancedReceiver200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnhancedReceiver100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnhancedReceiver200Static)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnhancedReceiverAndWords200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnhancedReceiverFromSwitchOn200)->Unit(benchmark::kMillisecond);

}  // namespace
