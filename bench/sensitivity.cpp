// One point of the sensitivity curve: a fixed-seed beacon signal of N frames at one Eb/N0 through the
// receiver's own chain (HeadlessReceiver: demodulator, word sync and parity, frames, pages), and how
// many of the N frames came out with every header field and data word as sent. bench/sensitivity.py
// runs it over a grid of Eb/N0 and bit rates and prints the table of docs/performance.md.
//
// Usage: sensitivity --rate 100|200 --ebn0 DB [--frames N] [--seed S] [--warmup W] [--list-missing 1]
// Prints one JSON object on a line: the point, the frames counted, decoded right, and decoded wrong
// (frames that passed parity but differ from every frame sent there: false frames or duplicates).
// Beside them, "demodulated": the frames whose transmitted bits all came out of the demodulator
// right, found in its decisions wherever the bit clock put them. That is as many as any word and
// frame synchroniser could deliver from these decisions, so the difference to "right" is what the
// RTCM side's synchronisation costs.
//
// The N counted frames follow W warm-up frames (default 10). The curve is meant to show the
// receiver in its running state; how soon it first locks after switch-on depends on where the
// filters are in their start-up swing when the first bits arrive and on the polarity of the next
// preambles (only an upright one is taken), and would otherwise move a point by a few frames.
#include "signalgen/beacon_audio.h"
#include "rtcm/decoder_view.h"
#include "tools/headless_receiver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

struct BitRecorder final : BitSink {
    std::vector<std::uint8_t> bits;
    void pushBit(std::uint8_t bit) override { bits.push_back(bit); }
};

std::tm fixedClock() { return std::tm{}; }

// How many of the sent frames [first, end) appear bit for bit in the demodulator's decisions. The
// decisions run `lead` bits ahead of the transmitted stream (the leading noise) give or take the
// clock's slips, so each frame is looked for near where the previous one was found.
int framesDemodulatedRight(const std::vector<BeaconFrame>& sent, std::size_t first, std::size_t end,
                           const std::vector<std::uint8_t>& decided, long lead)
{
    constexpr long Slack = 64;  // bits either side: far more than the clock slips between two frames
    RtcmEncoder encoder;
    std::vector<std::uint8_t> bits;
    long start = 0;  // of the frame in the transmitted stream
    long offset = lead;
    int found = 0;
    for (std::size_t k = 0; k < end; ++k) {
        bits.clear();
        encoder.appendFrameBits(sent[k].header, sent[k].dataWords, bits);
        const long from = std::clamp(start + offset - Slack, 0L, static_cast<long>(decided.size()));
        const long to = std::clamp(start + offset + Slack + static_cast<long>(bits.size()), from,
                                   static_cast<long>(decided.size()));
        const auto at = std::search(decided.begin() + from, decided.begin() + to, bits.begin(), bits.end());
        if (at != decided.begin() + to) {
            offset = (at - decided.begin()) - start;
            if (k >= first) ++found;
        }
        start += static_cast<long>(bits.size());
    }
    return found;
}

int usage()
{
    std::fputs("Usage: sensitivity --rate 100|200 --ebn0 DB [--frames N] [--seed S]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int rate = 0;
    double ebN0 = 0.0;
    bool haveEbN0 = false;
    int counted = 200;
    int warmup = 10;
    unsigned long long seed = 1;
    bool listMissing = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--rate") {
            rate = std::atoi(value);
        } else if (name == "--ebn0") {
            ebN0 = std::atof(value);
            haveEbN0 = true;
        } else if (name == "--frames") {
            counted = std::atoi(value);
        } else if (name == "--warmup") {
            warmup = std::atoi(value);
        } else if (name == "--list-missing") {
            listMissing = std::atoi(value) != 0;
        } else if (name == "--seed") {
            seed = std::strtoull(value, nullptr, 10);
        } else {
            return usage();
        }
    }
    if (argc % 2 == 0 || (rate != 100 && rate != 200) || !haveEbN0 || counted < 1 || warmup < 0) return usage();
    const auto firstCounted = static_cast<std::size_t>(warmup);
    const auto endCounted = firstCounted + static_cast<std::size_t>(counted);

    BeaconSettings station;
    station.bitRate = rate;
    station.startSecondsIntoHour = 0.0;  // fixed, so that every run sends the same frames
    MskSettings transmitter;
    transmitter.bitRate = rate;
    transmitter.centreFrequency = 800.0;
    transmitter.ebN0Db = ebN0;
    transmitter.noiseSeed = seed;
    // Noise alone first, as a receiver hears before the beacon comes on.
    transmitter.leadingSeconds = 2.0;
    BeaconAudio audio(station, transmitter, true);

    DecodedFrameRecorder decoded;
    HeadlessReceiver receiver(decoded, 80, rate == 200, fixedClock);
    std::vector<std::int16_t> buffer(2 * 4800);
    // A second demodulator, given the same samples, hands over the same decisions for the bit-level
    // count: the receiver's own passes straight into its decoder.
    Demodulator demodulator;
    demodulator.tuneCenterFrequency(80);
    demodulator.tuneBitRate(rate == 200);
    BitRecorder decided;
    std::array<double, Demodulator::InputSamplesPerBuffer> samples{};
    const auto receive = [&] {
        audio.render(buffer);
        receiver.pushAudio(buffer.data(), 4800, 2);
        for (std::size_t n = 0; n < samples.size(); ++n) samples[n] = buffer[2 * n];
        demodulator.demodulateBuffer(samples, decided);
    };
    // Run until two frames past the counted ones have been queued (so the last counted frame has
    // gone out whole), then half a second more for the receiver's filter and clock delay.
    while (audio.sentFrames().size() < endCounted + 2) receive();
    for (int i = 0; i < 5; ++i) receive();

    // Decoded frames are matched to sent frames in order; each sent frame can be matched once, so
    // a duplicate counts as wrong. Frames matched outside the counted ones (warm-up, tail) are
    // ignored; a frame that matches nothing is wrong wherever it falls.
    const auto& sent = audio.sentFrames();
    std::size_t next = 0;
    int right = 0, wrong = 0;
    for (const RtcmFrame& frame : decoded.frames) {
        std::size_t j = next;
        while (j < sent.size() && !sameFrame(frame, sent[j])) ++j;
        if (j == sent.size()) {
            ++wrong;
            continue;
        }
        if (j >= firstCounted && j < endCounted) ++right;
        if (listMissing)
            for (std::size_t k = next; k < j; ++k) std::fprintf(stderr, "missing frame %zu (type %d)\n", k, sent[k].header.messageType);
        next = j + 1;
    }
    const int demodulated = framesDemodulatedRight(sent, firstCounted, endCounted, decided.bits,
                                                   std::lround(transmitter.leadingSeconds * rate));
    std::uint64_t bitsSent = 0;
    for (std::size_t k = firstCounted; k < endCounted; ++k) bitsSent += 30 * (2 + sent[k].dataWords.size());

    std::printf("{\"rate\":%d,\"ebn0\":%g,\"seed\":%llu,\"warmup\":%d,\"frames\":%d,\"right\":%d,\"wrong\":%d,"
                "\"demodulated\":%d,\"bits_per_frame\":%.2f,\"audio_seconds\":%.1f}\n",
                rate, ebN0, seed, warmup, counted, right, wrong, demodulated, double(bitsSent) / counted,
                double(receiver.audioFrames()) / 48000.0);
    return 0;
}
