// SPDX-License-Identifier: GPL-3.0-or-later
// The enhanced receiver's front end and beacon acquisition: cost per second of 48 kHz audio. The
// counter x_realtime says how many times faster than real time each runs on one core; the whole
// receiver must reach 500, so these two together should leave most of that budget to the detector.
#include "coherent/acquisition.h"
#include "coherent/audio_front_end.h"
#include "signalgen/msk_modulator.h"
#include "signalgen/test_sounds.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace sondeco;

constexpr std::size_t SamplesPerBlock = 4800;  // 100 ms, as the sound card hands them over
constexpr int Seconds = 10;

// Ten seconds of a 200 bit/s beacon at 1000 Hz and 12 dB Eb/N0, as floats the way capture delivers them.
std::vector<float> beaconAudio() {
    MskSettings settings;
    settings.bitRate = 200.0;
    settings.centreFrequency = 1000.0;
    settings.ebN0Db = 12.0;
    MskModulator modulator(settings);
    std::mt19937 random(1);
    std::vector<std::uint8_t> bits(Seconds * 200 + 10);
    for (std::uint8_t& bit : bits) bit = static_cast<std::uint8_t>(random() & 1u);
    modulator.pushBits(bits);
    std::vector<double> samples(Seconds * 48000);
    modulator.render(samples);
    return {samples.begin(), samples.end()};
}

std::vector<ComplexSample> baseband(const std::vector<float>& audio) {
    AudioFrontEnd frontEnd;
    std::vector<ComplexSample> out;
    frontEnd.process(std::span<const float>(audio), out);
    return out;
}

void reportRealTime(benchmark::State& state) {
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * SamplesPerBlock / 48000.0, benchmark::Counter::kIsRate);
}

void BM_FrontEnd(benchmark::State& state) {
    const std::vector<float> audio = beaconAudio();
    AudioFrontEnd frontEnd;
    std::vector<ComplexSample> out(frontEnd.maxOutputSamples(SamplesPerBlock));
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            frontEnd.process(std::span<const float>(audio.data() + next, SamplesPerBlock), std::span<ComplexSample>(out)));
        benchmark::ClobberMemory();
        next = (next + SamplesPerBlock) % audio.size();
    }
    reportRealTime(state);
}

// Acquisition over the front end's output (8000 samples a second), in 100 ms blocks. With a beacon
// it holds one and follows its lines; on noise alone it searches all the time, which costs more.
void acquire(benchmark::State& state, const std::vector<ComplexSample>& signal) {
    AudioFrontEnd frontEnd;
    BeaconAcquisition acquisition(acquisitionSettingsFor(frontEnd));
    const std::size_t block = signal.size() / (Seconds * 10);
    std::size_t next = 0;
    std::size_t events = 0;
    for (auto _ : state) {
        events += acquisition.process(std::span<const ComplexSample>(signal.data() + next, block)).size();
        next = (next + block) % signal.size();
    }
    reportRealTime(state);
    state.counters["events"] = static_cast<double>(events);
}

void BM_AcquisitionHolding(benchmark::State& state) { acquire(state, baseband(beaconAudio())); }

void BM_AcquisitionSearching(benchmark::State& state) {
    CarrierSound noise(1000.0, 0.0, 2000.0, 7);
    std::vector<double> samples(Seconds * 48000);
    noise.render(samples);
    acquire(state, baseband(std::vector<float>(samples.begin(), samples.end())));
}

// Both, block by block, as the receiver runs them.
void BM_FrontEndAndAcquisition(benchmark::State& state) {
    const std::vector<float> audio = beaconAudio();
    AudioFrontEnd frontEnd;
    BeaconAcquisition acquisition(acquisitionSettingsFor(frontEnd));
    std::vector<ComplexSample> out(frontEnd.maxOutputSamples(SamplesPerBlock));
    std::size_t next = 0;
    for (auto _ : state) {
        const std::size_t count =
            frontEnd.process(std::span<const float>(audio.data() + next, SamplesPerBlock), std::span<ComplexSample>(out));
        benchmark::DoNotOptimize(acquisition.process(std::span<const ComplexSample>(out.data(), count)).size());
        next = (next + SamplesPerBlock) % audio.size();
    }
    reportRealTime(state);
}

}  // namespace

BENCHMARK(BM_FrontEnd)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AcquisitionHolding)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AcquisitionSearching)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrontEndAndAcquisition)->Unit(benchmark::kMicrosecond);
