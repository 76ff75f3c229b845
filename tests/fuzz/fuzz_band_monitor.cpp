// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the band monitor (`sondeco-decode --iq` and `--scan`) on short streams at the low rates
// an SDR or a sound card may give (8, 16 or 48 kHz): IQ around a centre frequency near either edge of
// the beacon band, IQ without one, or audio holding several beacons. The stream is the band signal
// generator's (up to three beacons of any rate, carriers, noise) or the input's bytes as samples (8-bit
// IQ, or floats that may be NaN, infinite or huge, as a cf32 file may hold), with stretches dropped,
// struck by impulses or not numbers at all, handed over in pieces of any size.
//
// Every channel costs a receiver of its own (about a millisecond to build in the sanitised build, and
// a hundredth of a second for each second of stream), so the settings are chosen to give a handful of
// channels: a centre that lets the stream reach at most 2500 Hz into the band, an audio band up to
// 600 Hz wide, two seconds at most; IQ without a centre (two banks over the whole stream, 25
// channels) only at 8 kHz and for a third of a second.
//
// Beyond never crashing:
// - a monitor that cannot work with the settings says so in a sentence, and nothing else;
// - every channel lies inside the stream and where it was asked for (the beacon band with a centre
//   frequency, the audio band for audio), the list is sorted, and its count and active receivers
//   agree with the monitor's own;
// - what a channel says of its beacon holds together: a carrier (a number, within the channel's
//   reach) and a rate (a beacon's) exactly when it holds one, Eb/N0 only while locked;
// - every frame is within its fields' ranges, received at a frequency inside the stream and flagged
//   absolute exactly when the monitor knows the centre; every channel that opens is one of them;
// - the decoders' statistics, summed over the channels, agree with what they reported;
// - every sample is counted.

#include "band/band_monitor.h"
#include "present/message_pages.h"
#include "signalgen/band_signal.h"
#include "tests/fuzz/frame_checks.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace sondeco;

constexpr std::array<double, 4> BeaconRates{25.0, 50.0, 100.0, 200.0};
constexpr double ClockPullRange = 0.002;  // a detector's bit clock stays this close to its rate
constexpr double ChannelReachHz = 500.0;  // a channel's output covers its centre +-500 Hz

struct Stream {
    BandMonitorSettings settings;
    double lowestHz = 0.0, highestHz = 0.0;  // what the stream holds, as the monitor reports frequencies
};

// Frames and pages as the monitor reports them, checked against the stream.
class BandChecks final : public fuzzing::FrameChecks, public BandChannelListener, public PageListener {
public:
    explicit BandChecks(const Stream& stream) : stream_(stream) { oneDecoder = false; }
    std::vector<double> channelFrequencies;  // filled in once the monitor is built
    std::uint64_t pages = 0;

    // Each channel that opens is one of the stream's, and gets pages of its own, as sondeco-decode
    // gives it.
    void channelOpened(double frequencyHz, bool absoluteFrequency, DecodingChannel& channel) override {
        FUZZ_CHECK(std::find(channelFrequencies.begin(), channelFrequencies.end(), frequencyHz) != channelFrequencies.end());
        FUZZ_CHECK(absoluteFrequency == stream_.settings.centreFrequencyHz.has_value());
        channelPages_.push_back(std::make_unique<MessagePages>());
        channelPages_.back()->addListener(*this);
        channel.addListener(*channelPages_.back());
    }
    void pagePublished(int page, const std::string& text) override {
        FUZZ_CHECK(page >= 0 && page < PageCount);
        FUZZ_CHECK(!text.empty());
        ++pages;
    }

protected:
    void frameSeen(const RtcmFrame&, const DecodedMessage& message) override {
        const Reception& reception = message.reception;
        FUZZ_CHECK(reception.absoluteFrequency == stream_.settings.centreFrequencyHz.has_value());
        FUZZ_CHECK(reception.toneHz.has_value() && reception.bitRate.has_value());
        FUZZ_CHECK(*reception.toneHz >= stream_.lowestHz - ChannelReachHz && *reception.toneHz <= stream_.highestHz + ChannelReachHz);
    }

private:
    const Stream& stream_;
    std::vector<std::unique_ptr<MessagePages>> channelPages_;
};

void checkMonitor(const BandMonitor& monitor, const Stream& stream, std::uint64_t samples) {
    FUZZ_CHECK(monitor.samplesTaken() <= samples);
    const std::vector<BandChannelStatus> channels = monitor.status();
    FUZZ_CHECK(channels.size() == monitor.channelCount());
    FUZZ_CHECK(
        std::is_sorted(channels.begin(), channels.end(), [](const auto& a, const auto& b) { return a.frequencyHz < b.frequencyHz; }));
    std::size_t active = 0;
    for (const BandChannelStatus& channel : channels) {
        FUZZ_CHECK(channel.frequencyHz >= stream.lowestHz && channel.frequencyHz <= stream.highestHz);
        const BandMonitorSettings& settings = stream.settings;
        // Channels are reported as the beacons place the raster: corrected by the tuning offset they show.
        const double slack = 1.0 + std::fabs(monitor.tuningOffsetHz().value_or(0.0));
        if (settings.centreFrequencyHz)
            FUZZ_CHECK(channel.frequencyHz >= BeaconBandLowHz - slack && channel.frequencyHz <= BeaconBandHighHz + slack);
        if (settings.input == BandInput::Audio)
            FUZZ_CHECK(channel.frequencyHz >= settings.audioLowHz - 1.0 && channel.frequencyHz <= settings.audioHighHz + 1.0);
        // A receiver holds a beacon exactly when it reports its carrier and rate.
        FUZZ_CHECK(channel.carrierHz.has_value() == channel.bitRate.has_value());
        active += channel.carrierHz ? 1u : 0u;
        if (channel.locked) FUZZ_CHECK(channel.carrierHz.has_value());
        FUZZ_CHECK(channel.ebN0Db.has_value() == channel.locked);
        if (channel.carrierHz)
            FUZZ_CHECK(std::isfinite(*channel.carrierHz) && std::fabs(*channel.carrierHz - channel.frequencyHz) < ChannelReachHz);
        if (channel.bitRate) {
            bool beaconRate = false;
            for (const double rate : BeaconRates)
                beaconRate = beaconRate || std::fabs(*channel.bitRate / rate - 1.0) <= ClockPullRange * (1.0 + 1e-9);
            FUZZ_CHECK(beaconRate);
        }
        if (channel.ebN0Db) FUZZ_CHECK(!std::isnan(*channel.ebN0Db) && *channel.ebN0Db < std::numeric_limits<double>::infinity());
    }
    FUZZ_CHECK(active == monitor.activeReceivers());
}

// The stream's settings from the input: a handful of channels at most.
Stream consumeStream(FuzzedDataProvider& input) {
    constexpr std::array<double, 3> Rates{8000.0, 16000.0, 48000.0};
    Stream stream;
    BandMonitorSettings& settings = stream.settings;
    const int kind = input.ConsumeIntegralInRange<int>(0, 3);  // 0, 1: IQ with a centre; 2: IQ without; 3: audio
    settings.input = kind == 3 ? BandInput::Audio : BandInput::Iq;
    settings.sampleRate = kind == 2 ? 8000.0 : Rates[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
    const double rate = settings.sampleRate;
    if (kind <= 1) {
        // The stream reaching `reach` hertz into the band at its low or high edge (or, below zero, short
        // of it), its centre anywhere between raster points.
        const double reach = input.ConsumeIntegralInRange<int>(-1000, 2500);
        const double centre = kind == 0 ? BeaconBandLowHz - rate / 2.0 + reach : BeaconBandHighHz + rate / 2.0 - reach;
        settings.centreFrequencyHz = centre + input.ConsumeIntegralInRange<int>(0, 499);
        stream.lowestHz = *settings.centreFrequencyHz - rate / 2.0;
        stream.highestHz = *settings.centreFrequencyHz + rate / 2.0;
    } else if (kind == 2) {
        stream.lowestHz = -rate / 2.0;
        stream.highestHz = rate / 2.0;
    } else {
        settings.audioLowHz = input.ConsumeIntegralInRange<int>(0, 80) * 50.0;
        settings.audioHighHz = settings.audioLowHz + input.ConsumeIntegralInRange<int>(0, 12) * 50.0;
        stream.lowestHz = 0.0;
        stream.highestHz = rate / 2.0;
    }
    return stream;
}

// Generated beacons and carriers on the stream, as sondeco-gen makes them.
std::optional<BandSignal> consumeSignal(FuzzedDataProvider& input, const Stream& stream) {
    BandSettings band;
    const bool audio = stream.settings.input == BandInput::Audio;
    band.output = audio ? BandOutput::Real : BandOutput::Complex;
    band.sampleRate = stream.settings.sampleRate;
    band.centreFrequency = audio ? 0.0 : stream.settings.centreFrequencyHz.value_or(0.0);
    const double middle = audio ? (stream.settings.audioLowHz + stream.settings.audioHighHz) / 2.0 : band.centreFrequency;
    const int beacons = input.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < beacons; ++i) {
        BandBeacon beacon;
        beacon.frequency = middle + input.ConsumeIntegralInRange<int>(-24000, 24000);
        beacon.bitRate = BeaconRates[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
        beacon.stationId = input.ConsumeIntegralInRange<int>(0, 1023);
        beacon.ebN0Db = input.ConsumeIntegralInRange<int>(-10, 40);
        beacon.frequencyOffset = input.ConsumeIntegralInRange<int>(-30, 30);
        beacon.clockErrorPpm = input.ConsumeIntegralInRange<int>(-500, 500);
        beacon.delaySeconds = input.ConsumeIntegralInRange<int>(0, 10) / 10.0;
        beacon.startPhase = input.ConsumeIntegralInRange<int>(0, 63) * (2.0 * 3.141592653589793 / 64.0);
        if (input.ConsumeBool()) beacon.messageTypes = {6};  // null frames: the shortest there are
        band.beacons.push_back(beacon);
    }
    const int carriers = input.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < carriers; ++i) {
        BandCarrier carrier;
        carrier.frequency = middle + input.ConsumeIntegralInRange<int>(-24000, 24000);
        carrier.carrierToNoiseDbHz = input.ConsumeIntegralInRange<int>(-30, 100);
        band.carriers.push_back(carrier);
    }
    band.noise = input.ConsumeBool();
    band.rms = input.ConsumeIntegralInRange<int>(1, 100) / 100.0;
    band.seed = input.ConsumeIntegral<std::uint32_t>();
    try {
        return BandSignal(band);
    } catch (const std::invalid_argument&) {
        return std::nullopt;  // a signal outside the stream: the generator's own refusal, not ours to test
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Stream stream = consumeStream(input);
    const bool iq = stream.settings.input == BandInput::Iq;
    const double rate = stream.settings.sampleRate;
    // Up to two seconds, a third of a second for IQ without a centre.
    const double seconds = input.ConsumeIntegralInRange<int>(1, stream.settings.centreFrequencyHz || !iq ? 20 : 3) / 10.0;
    const auto count = static_cast<std::size_t>(seconds * rate);
    const int source = input.ConsumeIntegralInRange<int>(0, 2);  // 0, 1: generated; 2: the bytes as samples
    std::optional<BandSignal> signal;
    if (source <= 1) signal = consumeSignal(input, stream);
    std::uint32_t pieceSeed = input.ConsumeIntegral<std::uint32_t>();
    const int largestPiece = input.ConsumeIntegralInRange<int>(1, 9000);
    const bool withPages = input.ConsumeBool();
    const int mishaps = input.ConsumeIntegralInRange<int>(0, 3);
    std::vector<std::array<int, 3>> events;  // kind, start, length
    for (int i = 0; i < mishaps; ++i)
        events.push_back({input.ConsumeIntegralInRange<int>(0, 2), input.ConsumeIntegralInRange<int>(0, 255),
                          input.ConsumeIntegralInRange<int>(0, 255)});
    const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();

    // The samples: complex for IQ, real (in the real parts) for audio.
    std::vector<ComplexSample> samples(count);
    if (signal) {
        if (iq) {
            signal->render(samples);
        } else {
            std::vector<float> real(count);
            signal->render(real);
            for (std::size_t n = 0; n < count; ++n) samples[n] = ComplexSample(real[n], 0.0f);
        }
    } else if (source == 2 && bytes.size() >= 8) {
        // The bytes over and over, as 8-bit IQ (the first byte odd) or as floats, which may be anything.
        const bool floats = (bytes[0] & 1u) == 0;
        const std::size_t step = floats ? 8 : 2;
        const std::size_t values = bytes.size() / step;
        for (std::size_t n = 0; n < count; ++n) {
            const std::uint8_t* at = bytes.data() + n % values * step;
            if (floats) {
                float pair[2];
                std::memcpy(pair, at, sizeof pair);
                samples[n] = ComplexSample(pair[0], iq ? pair[1] : 0.0f);
            } else {
                samples[n] = ComplexSample(static_cast<std::int8_t>(at[0]) / 128.0f, iq ? static_cast<std::int8_t>(at[1]) / 128.0f : 0.0f);
            }
        }
    }
    for (const auto& [kind, start, length] : events) {
        const std::size_t first = count * static_cast<std::size_t>(start) / 256;
        const std::size_t end = std::min(count, first + 1 + count * static_cast<std::size_t>(length) / 2048);
        for (std::size_t n = first; n < end; ++n) {
            if (kind == 0) samples[n] = ComplexSample{};
            if (kind == 1) samples[n] = ComplexSample(n % 2 ? 30.0f : -30.0f, 0.0f);
            if (kind == 2) samples[n] = ComplexSample(std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity());
        }
    }

    std::optional<BandMonitor> monitor;
    try {
        monitor.emplace(stream.settings);
    } catch (const std::invalid_argument& refusal) {
        // Said in one sentence, for sondeco-decode to show as it is.
        const std::string what = refusal.what();
        FUZZ_CHECK(!what.empty() && what.find('\n') == std::string::npos);
        return 0;
    }
    BandChecks checks(stream);
    for (const BandChannelStatus& channel : monitor->status()) checks.channelFrequencies.push_back(channel.frequencyHz);
    monitor->addListener(checks);
    if (withPages) monitor->addChannelListener(checks);
    checkMonitor(*monitor, stream, 0);

    std::vector<double> audio;
    // The channels are looked at some forty times over the stream, however small its pieces: a
    // status of every channel after every sample would cost more than the monitor itself.
    std::size_t nextLook = 0;
    for (std::size_t done = 0; done < count;) {
        pieceSeed = pieceSeed * 1103515245u + 12345u;
        const std::size_t take = std::min(count - done, 1 + (pieceSeed >> 8) % static_cast<std::size_t>(largestPiece));
        const std::span<const ComplexSample> piece = std::span<const ComplexSample>(samples).subspan(done, take);
        if (iq) {
            monitor->process(piece);
        } else {
            audio.resize(take);
            for (std::size_t n = 0; n < take; ++n) audio[n] = piece[n].real();
            monitor->process(std::span<const double>(audio));
        }
        done += take;
        if (iq) FUZZ_CHECK(monitor->samplesTaken() == done);
        if (done < nextLook) continue;
        checkMonitor(*monitor, stream, done);
        nextLook = done + count / 40;
    }
    monitor->finish();
    checkMonitor(*monitor, stream, count);
    FUZZ_CHECK(monitor->samplesTaken() == count);

    // The decoders' statistics together against what they reported together.
    DecoderStatistics all;
    for (const BandChannelStatus& channel : monitor->status()) {
        if (channel.decoder == nullptr) continue;
        const DecoderStatistics& one = channel.decoder->statistics();
        all.bits += one.bits;
        all.words += one.words;
        all.frames += one.frames;
        all.framesNotDecoded += one.framesNotDecoded;
        all.syncLosses += one.syncLosses;
        all.repairedWords += one.repairedWords;
        all.framesLost += one.framesLost;
        for (std::size_t type = 0; type < all.framesByType.size(); ++type) all.framesByType[type] += one.framesByType[type];
    }
    checks.checkStatistics(all);
    FUZZ_CHECK(static_cast<double>(all.bits) <= seconds * 200.0 * 1.1 * static_cast<double>(monitor->channelCount()) + 8.0);
    return 0;
}
