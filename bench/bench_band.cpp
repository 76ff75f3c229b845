// SPDX-License-Identifier: GPL-3.0-or-later
// The band monitor over the whole beacon band: 84 channels of 500 Hz from 250 kS/s cu8 IQ, as an
// RTL-SDR in direct sampling hands it over, with 0, 1, 5 and 20 beacons on the air. x_realtime says
// how many times faster than real time it runs on one core (the cu8 conversion included); the aim is
// 20 or more with five beacons, and a cost that grows with the beacons, not with the band.
#include "audio/raw_stream.h"
#include "band/band_monitor.h"
#include "signalgen/band_signal.h"

#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <vector>

namespace {

using namespace sondeco;

constexpr double SampleRate = 250000.0;
constexpr double CentreHz = 304000.0;
constexpr int Seconds = 30;
constexpr std::size_t BlockSamples = 25000;  // 100 ms

// `count` beacons spread over the band at mixed rates, 12 dB Eb/N0, as cu8 bytes.
std::vector<unsigned char> bandBytes(int count) {
    BandSettings band;
    band.sampleRate = SampleRate;
    band.centreFrequency = CentreHz;
    const double rates[] = {100.0, 200.0, 100.0, 50.0};
    for (int b = 0; b < count; ++b) {
        BandBeacon beacon;
        beacon.frequency = 284000.0 + 2000.0 * b;  // every fourth raster point
        beacon.bitRate = rates[b % 4];
        beacon.stationId = 100 + b;
        beacon.ebN0Db = 12.0;
        band.beacons.push_back(beacon);
    }
    BandSignal signal(band);
    std::vector<std::complex<float>> samples(static_cast<std::size_t>(Seconds * SampleRate));
    signal.render(std::span<std::complex<float>>(samples));
    std::vector<unsigned char> bytes(samples.size() * 2);
    encodeIqSamples(IqFormat::Cu8, samples.data(), samples.size(), bytes.data());
    return bytes;
}

void BM_BandMonitor(benchmark::State& state) {
    const std::vector<unsigned char> bytes = bandBytes(static_cast<int>(state.range(0)));
    BandMonitorSettings settings;
    settings.sampleRate = SampleRate;
    settings.centreFrequencyHz = CentreHz;
    BandMonitor monitor(settings);
    std::vector<std::complex<float>> block(BlockSamples);
    const std::size_t blocks = bytes.size() / (2 * BlockSamples);
    std::size_t next = 0;
    for (auto _ : state) {
        decodeIqSamples(IqFormat::Cu8, bytes.data() + 2 * BlockSamples * next, BlockSamples, block.data());
        monitor.process(std::span<const ComplexSample>(block));
        next = (next + 1) % blocks;
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * BlockSamples / SampleRate, benchmark::Counter::kIsRate);
    state.counters["channels"] = static_cast<double>(monitor.channelCount());
    state.counters["receivers"] = static_cast<double>(monitor.activeReceivers());
}
// At least 30 s of stream per run, so that every beacon is acquired early in it and the rest is spent
// decoding.
BENCHMARK(BM_BandMonitor)->Arg(0)->Arg(1)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond)->Iterations(600);

}  // namespace
