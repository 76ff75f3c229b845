// SPDX-License-Identifier: GPL-3.0-or-later
// The whole receiver chain as sondeco-decode runs it: 16-bit stereo audio in, the demodulator, word
// sync and parity, frame assembly, the message pages, and the output formatted (pages or JSON) into
// /dev/null. One 100 ms buffer per iteration; the counter x_realtime says how many times faster than
// real time that runs on one core.
//
// The audio is a minute of the simulated station's usual message mix at 12 dB Eb/N0, made once and
// replayed in a loop, so the decoder sees frames, parity failures and resynchronisation as a fair
// signal gives them. The jump back once a minute loses the lock like a fade would, and the decoder
// locks again on the next whole frame: it decodes about 44 of the 47 frames of each minute at
// 200 bit/s. The counter frames_per_min shows how many frames' worth of page and output formatting a
// run included.
#include "measure/fixed_clock.h"
#include "output/decoded_output.h"
#include "present/message_pages.h"
#include "receiver/receiver.h"
#include "signalgen/beacon_audio.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

using namespace sondeco;

constexpr int SampleRate = 48000;
constexpr std::size_t FramesPerBuffer = 4800;
constexpr int SignalSeconds = 60;

struct Recording {
    int bitRate = 0;
    std::vector<std::int16_t> stereo;  // SignalSeconds of interleaved left/right samples
};

const Recording& recording(int bitRate) {
    static Recording recordings[2];
    Recording& r = recordings[bitRate == 200 ? 1 : 0];
    if (r.stereo.empty()) {
        BeaconSettings station;
        station.bitRate = bitRate;
        station.startSecondsIntoHour = 600.0;
        MskSettings transmitter;
        transmitter.bitRate = bitRate;
        transmitter.centreFrequency = 800.0;
        transmitter.ebN0Db = 12.0;
        transmitter.noiseSeed = 7;
        BeaconAudio audio(station, transmitter);
        r.bitRate = bitRate;
        r.stereo.resize(std::size_t(SignalSeconds) * SampleRate * 2);
        audio.render(r.stereo);
    }
    return r;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void decodeChain(benchmark::State& state, int bitRate, OutputFormat format) {
    const Recording& r = recording(bitRate);
    std::unique_ptr<std::FILE, FileCloser> nullSink(std::fopen("/dev/null", "w"));
    if (!nullSink) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    DecodedStreamWriter output(format, nullSink.get(), "bench");
    Receiver receiver(ReceiverSettings::classic(80, bitRate == 200));
    // As sondeco-decode sets it up: pages are built only when they are the output.
    MessagePages pages(fixedClock);
    if (format == OutputFormat::Pages) {
        receiver.addListener(pages);
        pages.addListener(output);
    }
    receiver.addListener(output);
    const std::size_t buffers = r.stereo.size() / (2 * FramesPerBuffer);
    std::size_t next = 0;
    for (auto _ : state) {
        receiver.pushAudio(r.stereo.data() + next * 2 * FramesPerBuffer, FramesPerBuffer, 2);
        benchmark::ClobberMemory();
        next = (next + 1) % buffers;
    }
    const DecoderStatistics& s = receiver.decoder().statistics();
    state.counters["x_realtime"] = benchmark::Counter(0.1 * double(state.iterations()), benchmark::Counter::kIsRate);
    // Frames per minute of audio: shows the decoder did its full share of page work.
    state.counters["frames_per_min"] = benchmark::Counter(double(s.frames) * 600.0 / double(state.iterations()));
    if (output.failed()) state.SkipWithError("writing to /dev/null failed");
}

void BM_DecodeChainPages200(benchmark::State& state) { decodeChain(state, 200, OutputFormat::Pages); }
void BM_DecodeChainJson200(benchmark::State& state) { decodeChain(state, 200, OutputFormat::Json); }
void BM_DecodeChainPages100(benchmark::State& state) { decodeChain(state, 100, OutputFormat::Pages); }

}  // namespace

BENCHMARK(BM_DecodeChainPages200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeChainJson200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeChainPages100)->Unit(benchmark::kMicrosecond);
