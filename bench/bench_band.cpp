// SPDX-License-Identifier: GPL-3.0-or-later
// The band monitor over cu8 IQ as an RTL-SDR hands it over: 250 kS/s around 304 kHz (direct sampling,
// the whole beacon band) with 0, 1, 5 and 20 beacons on the air, and without the centre frequency
// (every channel of the stream searched); 2.4 MS/s, the dongle's usual rate, with and without it.
// The air: beacons at 25, 50, 100 and 200 bit/s from 8 to 20 dB Eb/N0 with random frame contents,
// three non-directional beacons' carriers in the band (one keyed), and in a wide stream another
// carrier every 100 kHz across the rest of it.
//
// Each run is the first 30 s of a stream into a new monitor: the survey finds the beacons and carriers
// and every receiver starts, which is what the monitor costs at its dearest (after a minute and a
// half, the carriers' channels rest). x_realtime says how many times faster than real time it runs on
// one core (the cu8 conversion included); heap_MB the most the heap grew while it ran (the monitor's
// memory), searching the most channels searched at once, receivers the beacons held at the end.
#include "audio/raw_stream.h"
#include "band/band_monitor.h"
#include "signalgen/band_signal.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace {

using namespace sondeco;

constexpr double CentreHz = 304000.0;
constexpr int Seconds = 30;
constexpr int BlocksPerSecond = 10;

// `count` beacons spread over the band (every 2 kHz) with every rate and a range of strengths, and
// the carriers, as cu8 bytes.
std::vector<unsigned char> bandBytes(double sampleRate, int count) {
    BandSettings band;
    band.sampleRate = sampleRate;
    band.centreFrequency = CentreHz;
    const double rates[] = {100.0, 200.0, 50.0, 25.0};
    const double ebN0s[] = {12.0, 8.0, 15.0, 10.0, 20.0};
    for (int b = 0; b < count; ++b) {
        BandBeacon beacon;
        beacon.frequency = 284000.0 + 2000.0 * b;
        beacon.bitRate = rates[b % 4];
        beacon.stationId = 100 + b;
        beacon.ebN0Db = ebN0s[b % 5];
        beacon.randomContentSeed = static_cast<std::uint64_t>(b + 1);
        band.beacons.push_back(beacon);
    }
    BandCarrier steady;
    steady.frequency = 298700.0;
    steady.carrierToNoiseDbHz = 45.0;
    BandCarrier keyed = steady;
    keyed.frequency = 309300.0;
    keyed.carrierToNoiseDbHz = 55.0;
    keyed.keying = CarrierKeying::Morse;
    BandCarrier weak = steady;
    weak.frequency = 316900.0;
    weak.carrierToNoiseDbHz = 30.0;
    band.carriers = {steady, keyed, weak};
    for (double hz = CentreHz - sampleRate * 0.45; hz < CentreHz + sampleRate * 0.45; hz += 100000.0) {
        if (hz > 0.0 && (hz < BeaconBandLowHz - 5000.0 || hz > BeaconBandHighHz + 5000.0)) {
            BandCarrier other = steady;
            other.frequency = hz + 170.0;
            other.carrierToNoiseDbHz = 50.0;
            band.carriers.push_back(other);
        }
    }
    BandSignal signal(band);
    std::vector<std::complex<float>> samples(static_cast<std::size_t>(Seconds * sampleRate));
    signal.render(std::span<std::complex<float>>(samples));
    std::vector<unsigned char> bytes(samples.size() * 2);
    encodeIqSamples(IqFormat::Cu8, samples.data(), samples.size(), bytes.data());
    return bytes;
}

// Streams are made once for all the runs that share them.
const std::vector<unsigned char>& cachedBandBytes(double sampleRate, int count) {
    static std::map<std::pair<double, int>, std::vector<unsigned char>> cache;
    auto found = cache.find({sampleRate, count});
    if (found == cache.end()) found = cache.emplace(std::make_pair(sampleRate, count), bandBytes(sampleRate, count)).first;
    return found->second;
}

// Bytes allocated and in use, from the heap or mapped for large blocks.
double heapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Arguments: sample rate, beacons, centre given (1) or not (0).
void BM_BandMonitor(benchmark::State& state) {
    const auto sampleRate = static_cast<double>(state.range(0));
    const std::vector<unsigned char>& bytes = cachedBandBytes(sampleRate, static_cast<int>(state.range(1)));
    const auto blockSamples = static_cast<std::size_t>(sampleRate / BlocksPerSecond);
    const double heapBefore = heapBytes();
    double heapMost = heapBefore;
    std::size_t searchingMost = 0;
    BandMonitorSettings settings;
    settings.sampleRate = sampleRate;
    if (state.range(2) != 0) settings.centreFrequencyHz = CentreHz;
    BandMonitor monitor(settings);
    std::vector<std::complex<float>> block(blockSamples);
    std::size_t next = 0;
    for (auto _ : state) {
        decodeIqSamples(IqFormat::Cu8, bytes.data() + 2 * blockSamples * next, blockSamples, block.data());
        monitor.process(std::span<const ComplexSample>(block));
        next = (next + 1) % (Seconds * BlocksPerSecond);
        searchingMost = std::max(searchingMost, monitor.searchingChannels());
        if (next % BlocksPerSecond == 0) heapMost = std::max(heapMost, heapBytes());
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / BlocksPerSecond, benchmark::Counter::kIsRate);
    state.counters["heap_MB"] = (heapMost - heapBefore) / 1e6;
    state.counters["channels"] = static_cast<double>(monitor.channelCount());
    state.counters["searching"] = static_cast<double>(searchingMost);
    state.counters["receivers"] = static_cast<double>(monitor.activeReceivers());
}
BENCHMARK(BM_BandMonitor)
    ->ArgNames({"rate", "beacons", "centre"})
    ->Args({250000, 0, 1})
    ->Args({250000, 1, 1})
    ->Args({250000, 5, 1})
    ->Args({250000, 20, 1})
    ->Args({250000, 5, 0})
    ->Args({2400000, 5, 1})
    ->Args({2400000, 5, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Seconds* BlocksPerSecond);

}  // namespace
