// SPDX-License-Identifier: GPL-3.0-or-later
// The band monitor on generated streams: every beacon found and decoded frame for frame, whatever the
// stream's format, with a carrier and empty channels giving nothing, a weak beacon beside a strong one,
// and several beacons in one piece of audio.
#include "audio/iq_input.h"
#include "audio/raw_stream.h"
#include "band/band_channelizer.h"
#include "band/band_monitor.h"
#include "signalgen/band_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <map>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

namespace sondeco {
namespace {

// What a frame says, as sent and as decoded.
using FrameKey = std::tuple<int, int, int, int, std::vector<std::uint32_t>>;

FrameKey keyOf(const BeaconFrame& frame) {
    return {frame.header.messageType, frame.header.stationId, frame.header.zCount, frame.header.sequenceNumber, frame.dataWords};
}

struct HeardFrame {
    FrameKey key;
    double frequencyHz;
    bool absolute;
    int bitRate;
};

class FrameCollector final : public DecoderListener {
public:
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        std::vector<std::uint32_t> words(message.dataWords.begin(), message.dataWords.begin() + frame.frameLength);
        heard.push_back({{frame.messageType, frame.stationId, frame.zCount, frame.sequenceNumber, words},
                         message.reception.toneHz.value_or(-1.0),
                         message.reception.absoluteFrequency,
                         message.reception.bitRate.value_or(0)});
    }
    std::vector<HeardFrame> heard;
};

struct Outcome {
    std::vector<HeardFrame> heard;
    std::vector<std::vector<BeaconFrame>> sent;
};

// The band generated, then read back as `format` bytes, as an SDR program would hand them over;
// `watch` looks at the monitor after every tenth of a second, given the stream's time.
Outcome monitor(BandSettings band, double seconds, const BandMonitorSettings& settings, std::optional<IqFormat> format = std::nullopt,
                const std::function<void(const BandMonitor&, double)>& watch = {}) {
    band.keepSentFrames = true;
    BandSignal signal(band);
    BandMonitor monitor(settings);
    FrameCollector collector;
    monitor.addListener(collector);
    const auto block = static_cast<std::size_t>(band.sampleRate / 10.0);
    std::vector<std::complex<float>> samples(block);
    std::vector<float> audio(block);
    std::vector<double> real(block);
    std::vector<unsigned char> bytes;
    for (double done = 0.0; done < seconds; done += 0.1) {
        if (band.output == BandOutput::Real) {
            signal.render(std::span<float>(audio));
            std::copy(audio.begin(), audio.end(), real.begin());
            monitor.process(std::span<const double>(real));
            continue;
        }
        signal.render(std::span<std::complex<float>>(samples));
        if (format) {
            bytes.resize(block * static_cast<std::size_t>(bytesPerIqSample(*format)));
            encodeIqSamples(*format, samples.data(), block, bytes.data());
            decodeIqSamples(*format, bytes.data(), block, samples.data());
        }
        monitor.process(std::span<const ComplexSample>(samples));
        if (watch) watch(monitor, done + 0.1);
    }
    Outcome outcome{collector.heard, {}};
    for (std::size_t b = 0; b < band.beacons.size(); ++b) outcome.sent.push_back(signal.sentFrames(b));
    return outcome;
}

BandBeacon beacon(double frequency, double bitRate, int stationId, double ebN0Db) {
    BandBeacon result;
    result.frequency = frequency;
    result.bitRate = bitRate;
    result.stationId = stationId;
    result.ebN0Db = ebN0Db;
    return result;
}

// Each sent frame but the last two (which may still be on their way) was decoded once, at the
// beacon's frequency and rate; and nothing else was decoded.
void expectEveryFrameOnce(const Outcome& outcome, const BandSettings& band, double frequencyBase, std::size_t lostAtStart = 1) {
    std::size_t expected = 0;
    for (std::size_t b = 0; b < outcome.sent.size(); ++b) {
        const BandBeacon& sentBy = band.beacons[b];
        const auto& sent = outcome.sent[b];
        ASSERT_GT(sent.size(), 4u);
        std::size_t found = 0;
        for (std::size_t f = 0; f + 2 < sent.size(); ++f) {
            const auto copies = std::count_if(outcome.heard.begin(), outcome.heard.end(), [&](const HeardFrame& heard) {
                return heard.key == keyOf(sent[f]) && std::fabs(heard.frequencyHz - (sentBy.frequency - frequencyBase)) < 5.0 &&
                       heard.bitRate == static_cast<int>(sentBy.bitRate);
            });
            EXPECT_LE(copies, 1) << "beacon " << b << " frame " << f << " came out twice";
            found += copies > 0 ? 1u : 0u;
        }
        EXPECT_GE(found + lostAtStart, sent.size() - 2) << "beacon at " << sentBy.frequency << " Hz, " << sentBy.bitRate << " bit/s";
        expected += sent.size();
    }
    for (const HeardFrame& heard : outcome.heard) {
        const bool sent = std::any_of(outcome.sent.begin(), outcome.sent.end(), [&](const auto& frames) {
            return std::any_of(frames.begin(), frames.end(), [&](const BeaconFrame& frame) { return keyOf(frame) == heard.key; });
        });
        EXPECT_TRUE(sent) << "a frame nobody sent, at " << heard.frequencyHz << " Hz";
    }
    EXPECT_LE(outcome.heard.size(), expected);
}

// Tones through the filter bank: each comes out of its own channel at its offset from the centre,
// and a neighbour's channel holds almost nothing of it.
TEST(BandChannelizer, EachToneInItsChannelAndNotTheNeighbours) {
    const double rate = 250000.0;
    BandChannelizer channelizer(rate, 0.0);
    ASSERT_EQ(channelizer.channelCount(), 500);
    EXPECT_DOUBLE_EQ(channelizer.spacingHz(), 500.0);
    EXPECT_DOUBLE_EQ(channelizer.outputRate(), 1000.0);
    for (const double offsetHz : {-1500.0 + 40.0, 12000.0 - 90.0, 0.0 + 100.0}) {
        const int channel = channelizer.channelNearest(offsetHz);
        const int neighbour = channelizer.channelNearest(offsetHz + (offsetHz - channelizer.centreHz(channel) > 0 ? 500.0 : -500.0));
        const int farther = channelizer.channelNearest(offsetHz + 1500.0);
        BandChannelizer bank(rate, 0.0);
        std::vector<ComplexSample> tone(250000);
        for (std::size_t n = 0; n < tone.size(); ++n)
            tone[n] = std::polar(0.5f, static_cast<float>(2.0 * std::numbers::pi * offsetHz * static_cast<double>(n) / rate));
        std::vector<std::vector<ComplexSample>> outputs;
        const std::vector<int> wanted{channel, neighbour, farther};
        bank.process(tone, wanted, outputs);
        const auto& out = outputs[static_cast<std::size_t>(channel)];
        ASSERT_GE(out.size(), 900u);
        // The phase advance per output sample gives the tone's frequency in the channel.
        std::complex<double> turn = 0.0;
        double power = 0.0;
        for (std::size_t n = 500; n + 1 < out.size(); ++n) {
            turn += std::complex<double>(out[n + 1]) * std::conj(std::complex<double>(out[n]));
            power += std::norm(std::complex<double>(out[n]));
        }
        power /= static_cast<double>(out.size() - 501);
        EXPECT_NEAR(std::arg(turn) * channelizer.outputRate() / (2.0 * std::numbers::pi), offsetHz - channelizer.centreHz(channel), 0.5);
        EXPECT_NEAR(10.0 * std::log10(power / 0.25), 0.0, 0.1) << "tone at " << offsetHz << " Hz";
        for (const int other : {neighbour, farther}) {
            double leaked = 0.0;
            for (std::size_t n = 500; n < outputs[static_cast<std::size_t>(other)].size(); ++n)
                leaked += std::norm(std::complex<double>(outputs[static_cast<std::size_t>(other)][n]));
            leaked /= static_cast<double>(outputs[static_cast<std::size_t>(other)].size() - 500);
            // A tone 400 Hz or more from the other channel's centre is in its stop band.
            EXPECT_LT(10.0 * std::log10(leaked / power + 1e-30), -75.0) << "tone at " << offsetHz << " Hz";
        }
    }
}

// Five beacons at three rates and a carrier across the band, read back from each raw IQ format: each
// beacon is decoded frame for frame at its own frequency and rate, the carrier and the empty channels
// give nothing.
TEST(BandMonitor, EveryBeaconOfTheBandInEveryFormat) {
    BandSettings band;
    band.sampleRate = 96000.0;  // 256..352 kHz: the whole band
    band.centreFrequency = 304000.0;
    band.beacons = {beacon(283500.0, 100.0, 491, 14.0), beacon(295000.0, 200.0, 642, 14.0), beacon(304500.0, 50.0, 17, 14.0),
                    beacon(313000.0, 200.0, 1011, 14.0), beacon(325000.0, 100.0, 330, 14.0)};
    BandCarrier carrier;
    carrier.frequency = 301000.0;
    carrier.carrierToNoiseDbHz = 50.0;
    band.carriers = {carrier};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    settings.centreFrequencyHz = band.centreFrequency;
    for (const IqFormat format : {IqFormat::Cu8, IqFormat::Cs8, IqFormat::Cs16, IqFormat::Cf32}) {
        SCOPED_TRACE(static_cast<int>(format));
        band.seed = static_cast<std::uint64_t>(format) + 3;
        const Outcome outcome = monitor(band, 25.0, settings, format);
        expectEveryFrameOnce(outcome, band, 0.0);
        for (const HeardFrame& heard : outcome.heard) EXPECT_TRUE(heard.absolute);
    }
}

// Without the centre frequency the whole stream is searched, beacons wherever they sit (here off the
// raster, and one on the seam between two channels): the frames come out with offsets from the centre.
TEST(BandMonitor, BeaconsAnywhereInAStreamOfUnknownCentre) {
    BandSettings band;
    band.sampleRate = 48000.0;
    band.centreFrequency = 300000.0;
    band.beacons = {beacon(290130.0, 100.0, 5, 14.0), beacon(301375.0, 200.0, 6, 14.0), beacon(311620.0, 100.0, 7, 14.0)};
    BandCarrier carrier;
    carrier.frequency = 296000.0;
    band.carriers = {carrier};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    const Outcome outcome = monitor(band, 25.0, settings, IqFormat::Cs16);
    expectEveryFrameOnce(outcome, band, band.centreFrequency);
    for (const HeardFrame& heard : outcome.heard) EXPECT_FALSE(heard.absolute);
}

// A weak beacon in the channel next to one 20 dB stronger: both decoded whole.
TEST(BandMonitor, WeakBeaconBesideAStrongOne) {
    BandSettings band;
    band.sampleRate = 96000.0;
    band.centreFrequency = 304000.0;
    for (const double rate : {100.0, 200.0}) {
        SCOPED_TRACE(rate);
        band.beacons = {beacon(300000.0, rate, 100, 29.0), beacon(300500.0, rate, 200, 9.0)};
        BandMonitorSettings settings;
        settings.sampleRate = band.sampleRate;
        settings.centreFrequencyHz = band.centreFrequency;
        expectEveryFrameOnce(monitor(band, 25.0, settings, IqFormat::Cf32), band, 0.0, 2);
    }
}

// A receiver 30 ppm fast and tuned 123 Hz off the centre it is told: the clock error given and the
// tuning found from the beacons themselves (they keep to a 500 Hz raster) put every frequency right,
// that of a beacon on the seam between two raster points (250 Hz off both) too, which is decoded like
// the others (before, no channel searched there when the centre was given).
TEST(BandMonitor, BeaconsOnTheSeamsAMistunedReceiverAndItsClockError) {
    BandSettings band;
    band.sampleRate = 96000.0;
    band.centreFrequency = 304000.0;
    // The fast clock shows each frequency f at f / (1 + 30e-6).
    const double truths[] = {304000.0, 301000.0, 300250.0};
    band.beacons = {beacon(303990.88, 200.0, 100, 14.0), beacon(300990.97, 200.0, 200, 14.0), beacon(300240.99, 200.0, 300, 14.0)};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    settings.centreFrequencyHz = 304123.0;
    settings.clockErrorPpm = 30.0;
    const Outcome outcome = monitor(band, 20.0, settings, IqFormat::Cu8);
    std::map<int, std::pair<int, double>> heard;  // station: frames, the largest frequency error
    for (const HeardFrame& frame : outcome.heard) {
        const int station = std::get<1>(frame.key);
        auto& [frames, error] = heard[station];
        ++frames;
        error = std::max(error, std::fabs(frame.frequencyHz - truths[station / 100 - 1]));
    }
    ASSERT_EQ(heard.size(), 3u);
    for (const auto& [station, counts] : heard) {
        EXPECT_GE(counts.first, 5) << station;
        EXPECT_LT(counts.second, 1.0) << station;
    }
}

// An SDR's IQ imbalance (the image 25 dB under the signal, at its mirror about the centre) makes a
// strong beacon decodable at its mirror too: that is one station, not two, and the image's frames
// never go out. A station of its own at a strong one's mirror frequency is still heard.
TEST(BandMonitor, AnImageIsNoStationButAStationAtTheMirrorIs) {
    const auto run = [](const std::vector<BandBeacon>& beacons, double imageDb, std::uint64_t& imageFrames) {
        BandSettings band;
        band.sampleRate = 96000.0;
        band.centreFrequency = 304000.0;
        band.beacons = beacons;
        BandSignal signal(band);
        BandMonitorSettings settings;
        settings.sampleRate = band.sampleRate;
        settings.centreFrequencyHz = band.centreFrequency;
        BandMonitor monitor(settings);
        FrameCollector collector;
        monitor.addListener(collector);
        const float image = imageDb > -200.0 ? static_cast<float>(std::pow(10.0, imageDb / 20.0)) : 0.0f;
        std::vector<std::complex<float>> samples(9600);
        for (int block = 0; block < 250; ++block) {
            signal.render(std::span<std::complex<float>>(samples));
            for (auto& sample : samples) sample += image * std::conj(sample);
            monitor.process(std::span<const ComplexSample>(samples));
        }
        imageFrames = monitor.imageFrames();
        std::map<std::pair<int, int>, int> heard;  // (station, kHz): frames
        for (const HeardFrame& frame : collector.heard)
            ++heard[{std::get<1>(frame.key), static_cast<int>(std::lround(frame.frequencyHz / 1000.0))}];
        return heard;
    };
    std::uint64_t imageFrames = 0;
    const auto imaged = run({beacon(314000.0, 200.0, 100, 40.0)}, -25.0, imageFrames);
    ASSERT_EQ(imaged.size(), 1u);
    EXPECT_EQ(imaged.begin()->first, std::make_pair(100, 314));
    EXPECT_GE(imaged.begin()->second, 7);
    EXPECT_GE(imageFrames, 5u);  // decoded at 294 kHz, and held back

    const auto twoStations = run({beacon(314000.0, 200.0, 100, 40.0), beacon(294000.0, 200.0, 300, 14.0)}, -300.0, imageFrames);
    EXPECT_EQ(imageFrames, 0u);
    EXPECT_GE(twoStations.count({100, 314}) ? twoStations.at({100, 314}) : 0, 7);
    EXPECT_GE(twoStations.count({300, 294}) ? twoStations.at({300, 294}) : 0, 7);
}

// Non-directional beacons share the band: a steady carrier as strong as a beacon 150 Hz above it,
// and one keyed with Morse 20 dB stronger 150 Hz below another. Each channel takes them out before its
// acquisition looks, so both beacons are decoded as if alone (before, neither was).
TEST(BandMonitor, BeaconsBesideNonDirectionalBeacons) {
    BandSettings band;
    band.sampleRate = 96000.0;
    band.centreFrequency = 304000.0;
    band.beacons = {beacon(300000.0, 200.0, 100, 12.0), beacon(301000.0, 100.0, 200, 12.0)};
    BandCarrier steady;
    steady.frequency = 300150.0;
    steady.carrierToNoiseDbHz = 12.0 + 10.0 * std::log10(200.0);
    BandCarrier keyed;
    keyed.frequency = 300850.0;
    keyed.carrierToNoiseDbHz = 32.0 + 10.0 * std::log10(100.0);
    keyed.keying = CarrierKeying::Morse;
    band.carriers = {steady, keyed};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    settings.centreFrequencyHz = band.centreFrequency;
    // The carriers are confirmed over three seconds before they are taken out: up to two frames at
    // 200 bit/s and one at 100 bit/s go by first.
    expectEveryFrameOnce(monitor(band, 30.0, settings, IqFormat::Cu8), band, 0.0, 3);
}

// Audio from a receiver whose passband holds three beacons and a carrier: each tone found and decoded.
TEST(BandMonitor, ScansAudioForEveryBeacon) {
    BandSettings band;
    band.output = BandOutput::Real;
    band.sampleRate = 48000.0;
    band.centreFrequency = 0.0;
    band.beacons = {beacon(800.0, 200.0, 1, 13.0), beacon(1310.0, 100.0, 2, 13.0), beacon(2125.0, 50.0, 3, 14.0)};
    BandCarrier carrier;
    carrier.frequency = 2600.0;
    band.carriers = {carrier};
    BandMonitorSettings settings;
    settings.input = BandInput::Audio;
    settings.sampleRate = band.sampleRate;
    expectEveryFrameOnce(monitor(band, 25.0, settings), band, 0.0);
}

// A wide stream (1 MS/s: some 4000 channels) without its centre, and nearly empty: two weak beacons
// far apart, one between raster points and one on a seam, and a non-directional beacon's carrier.
// Both beacons are decoded frame for frame, and only the few channels with power get a receiver.
TEST(BandMonitor, ASparseWideStreamIsSearchedOnlyWhereThereIsPower) {
    BandSettings band;
    band.sampleRate = 1000000.0;
    band.centreFrequency = 500000.0;
    band.beacons = {beacon(180130.0, 100.0, 11, 9.0), beacon(731250.0, 200.0, 12, 9.0)};
    BandCarrier carrier;
    carrier.frequency = 612000.0;
    band.carriers = {carrier};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    std::size_t channels = 0, searchedAtMost = 0;
    const Outcome outcome = monitor(band, 15.0, settings, IqFormat::Cu8, [&](const BandMonitor& m, double) {
        channels = m.channelCount();
        searchedAtMost = std::max(searchedAtMost, m.searchingChannels());
    });
    expectEveryFrameOnce(outcome, band, band.centreFrequency);
    EXPECT_GT(channels, 3900u);
    // Each signal fills its own channel and some of the two a quarter raster either side.
    EXPECT_GE(searchedAtMost, 3u);
    EXPECT_LE(searchedAtMost, 9u);
}

// A carrier has power but no beacon under it: its channel is searched, found empty, and rests after a
// minute and a half, while the beacon's channel keeps its receiver. A beacon that comes up later beside
// the carrier (in its channel, well above it) is searched for at once, not when the rest is over.
TEST(BandMonitor, ACarriersChannelRestsUntilABeaconComesBesideIt) {
    BandSettings band;
    band.sampleRate = 16000.0;
    band.centreFrequency = 304000.0;
    BandBeacon late = beacon(302060.0, 200.0, 22, 20.0);
    late.delaySeconds = 105.0;
    band.beacons = {beacon(301000.0, 100.0, 21, 12.0), late};
    BandCarrier carrier;
    carrier.frequency = 302000.0;
    carrier.carrierToNoiseDbHz = 35.0;
    band.carriers = {carrier};
    BandMonitorSettings settings;
    settings.sampleRate = band.sampleRate;
    std::size_t searchedAtTen = 0, searchedBeforeLate = 0;
    const Outcome outcome = monitor(band, 125.0, settings, IqFormat::Cs16, [&](const BandMonitor& m, double seconds) {
        if (std::fabs(seconds - 10.0) < 0.05) searchedAtTen = m.searchingChannels();
        if (std::fabs(seconds - 104.0) < 0.05) searchedBeforeLate = m.searchingChannels();
    });
    EXPECT_GE(searchedAtTen, 2u);
    EXPECT_EQ(searchedBeforeLate, 1u);  // the first beacon's alone
    // Every frame of both but a few of the late one's: its channel's new receiver takes the carrier
    // out only once it has confirmed it (three seconds), and the frames around then go by, as they
    // do at the start of a stream (BeaconsBesideNonDirectionalBeacons).
    expectEveryFrameOnce(outcome, band, band.centreFrequency, 4);
}

// Streams the monitor cannot search are refused with a reason.
TEST(BandMonitor, RefusesStreamsItCannotSearch) {
    BandMonitorSettings settings;
    settings.sampleRate = 250000.0;
    settings.centreFrequencyHz = 100000.0;  // 0..225 kHz: not the beacon band
    EXPECT_THROW(BandMonitor{settings}, std::invalid_argument);
    settings.sampleRate = 4000.0;
    settings.centreFrequencyHz.reset();
    EXPECT_THROW(BandMonitor{settings}, std::invalid_argument);
    settings.sampleRate = 48000.0;
    settings.input = BandInput::Audio;
    settings.audioHighHz = 30000.0;
    EXPECT_THROW(BandMonitor{settings}, std::invalid_argument);
}

}  // namespace
}  // namespace sondeco
