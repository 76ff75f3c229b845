// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/band_monitor.h"

#include "coherent/carrier_canceller.h"

#include "coherent/baseband_receiver.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace sondeco {
namespace {

// How far from its centre a channel searches for a beacon's carrier: with two banks a quarter raster
// apart, each channel looks after the 250 Hz around its centre and a little more, so a beacon on the
// seam is found by one or both (and decoded once).
constexpr double SeamlessSearchHz = 130.0;
// Beacons held at least this well place the raster (the tracked tone is good to a tenth of a hertz).
constexpr double TuningEbN0Db = 6.0;
constexpr double ClockErrorHz = 30.0;  // 100 ppm at the top of the band
// A beacon at another's mirror frequency this much weaker may be its image.
constexpr double ImageBelowDb = 15.0;
constexpr double PowerWeight = 0.2;  // a channel's power, block by block: over about half a second
// Two channels hearing carriers this close hear the same beacon.
constexpr double SameBeaconHz = 30.0;
// The stream is handed to the channels in blocks of about this long, so that every channel's
// receiver sees blocks of a few dozen samples rather than one at a time.
constexpr double BlockSeconds = 0.1;

std::string hertzText(double hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f Hz", hz);
    return text;
}

}  // namespace

// Between a channel's decoder and the monitor's listeners. Every channel's last station is noted. An
// IQ channel's first frame says whether it is the image of a far stronger station at its mirror
// frequency (the same station: its frames never go out) or a station of its own; a channel suspected
// when it opens holds everything until then.
class BandMonitor::ChannelGate final : public DecoderListener {
public:
    // `held`: an image is suspected already, and nothing goes out before the first frame.
    ChannelGate(BandMonitor& monitor, Channel& channel, bool held) : monitor_(monitor), channel_(channel), decided_(!held) {}
    std::optional<int> lastStation;
    bool image = false;

    void headerAccepted(const RtcmFrame& frame) override {
        if (passes()) forEach([&](DecoderListener& l) { l.headerAccepted(frame); });
    }
    void syncLost() override {
        if (passes()) forEach([](DecoderListener& l) { l.syncLost(); });
    }
    void stationChanged(const RtcmFrame& frame) override {
        if (passes()) forEach([&](DecoderListener& l) { l.stationChanged(frame); });
    }
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;

private:
    bool passes() const { return decided_ && !image; }
    template <typename Call>
    void forEach(Call call) {
        for (DecoderListener* listener : monitor_.listeners_) call(*listener);
    }
    BandMonitor& monitor_;
    Channel& channel_;
    bool decided_;
    bool firstFrameSeen_ = false;
};

struct BandMonitor::Channel {
    Channel(int channelIndex, double centre, const AcquisitionSettings& acquisition)
        : index(channelIndex), centreHz(centre), canceller(acquisition.sampleRate), receiver(acquisition) {}
    int index;  // in its bank
    double centreHz;  // relative to the stream's 0 Hz
    // Non-directional beacons share the band (and an SDR's own DC line sits in one channel): their
    // carriers go before the channel's acquisition and detector see them.
    CarrierCanceller canceller;
    BasebandReceiver receiver;
    // Made when the channel first hears a beacon, kept after: its statistics outlive a fade.
    std::unique_ptr<DecodingChannel> decoder;
    std::unique_ptr<ChannelGate> gate;  // made with the decoder
    bool pagesWaiting = false;  // until its first frame says it is no image
    double power = 0.0;  // of its samples, over the last second or so
    bool decoding = false;  // its bits go to its decoder: it has the beacon it holds to itself
};

void BandMonitor::ChannelGate::frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) {
    lastStation = frame.stationId;
    if (!firstFrameSeen_) {
        // The stronger one may have opened after this one: its first frame decides either way.
        firstFrameSeen_ = true;
        decided_ = true;
        const Channel* stronger = monitor_.settings_.input == BandInput::Iq ? monitor_.strongerAtMirror(channel_) : nullptr;
        image = stronger != nullptr && stronger->gate->lastStation == frame.stationId;
    }
    if (image) {
        ++monitor_.imageFrames_;
        return;
    }
    forEach([&](DecoderListener& l) { l.frameCompleted(frame, message); });
}

struct BandMonitor::Bank {
    Bank(double sampleRate, double gridOffset) : channelizer(sampleRate, gridOffset) {}
    BandChannelizer channelizer;
    std::vector<int> wanted;
    std::vector<std::unique_ptr<Channel>> channels;  // one per wanted channel, in the same order
    std::vector<std::vector<ComplexSample>> outputs;
};

BandMonitor::BandMonitor(const BandMonitorSettings& settings) : settings_(settings) {
    const double rate = settings.sampleRate;
    if (!(rate >= 8000.0) || !std::isfinite(rate)) throw std::invalid_argument("the sample rate must be at least 8000 Hz");
    std::vector<double> gridOffsets;
    double lowHz = -rate / 2.0;  // channel centres searched, relative to the stream's 0 Hz
    double highHz = rate / 2.0;
    double searchHz = SeamlessSearchHz;
    if (settings.input == BandInput::Audio) {
        if (!(settings.audioLowHz > 0.0 && settings.audioHighHz > settings.audioLowHz && settings.audioHighHz < rate / 2.0))
            throw std::invalid_argument("the tones to search must lie between 0 Hz and half the sample rate");
        gridOffsets = {0.0, BandChannelizer::RasterHz / 2.0};
        lowHz = settings.audioLowHz;
        highHz = settings.audioHighHz;
    } else if (settings.centreFrequencyHz) {
        const double centre = *settings.centreFrequencyHz;
        if (!(centre > 0.0) || !std::isfinite(centre))
            throw std::invalid_argument("the centre frequency must be a positive number of hertz");
        frequencyBase_ = centre;
        if (!(std::fabs(settings.clockErrorPpm) <= 1000.0)) throw std::invalid_argument("the clock error must be within 1000 ppm");
        clockScale_ = 1.0 + settings.clockErrorPpm * 1e-6;
        // The raster points are multiples of 500 Hz: turn the nearest one (where the receiver's clock
        // shows it) onto a channel centre. A second bank half a raster step over covers the seams
        // between them: a beacon off the raster (or a receiver tuned off by a few hundred hertz) still
        // falls well inside one channel.
        const double nearest = std::round(centre / BandChannelizer::RasterHz) * BandChannelizer::RasterHz / clockScale_ - centre;
        gridOffsets = {nearest, nearest + BandChannelizer::RasterHz / 2.0};
        lowHz = BeaconBandLowHz / clockScale_ - centre;
        highHz = BeaconBandHighHz / clockScale_ - centre;
    } else {
        gridOffsets = {0.0, BandChannelizer::RasterHz / 2.0};
    }

    for (const double offset : gridOffsets) {
        auto bank = std::make_unique<Bank>(rate, offset);
        const BandChannelizer& channelizer = bank->channelizer;
        for (int k = 0; k < channelizer.channelCount(); ++k) {
            const double centre = channelizer.centreHz(k);
            if (!channelizer.usable(k) || centre < lowHz - 1.0 || centre > highHz + 1.0) continue;
            AcquisitionSettings acquisition;
            acquisition.sampleRate = channelizer.outputRate();
            acquisition.searchLowHz = -searchHz;
            acquisition.searchHighHz = searchHz;
            bank->wanted.push_back(k);
            bank->channels.push_back(std::make_unique<Channel>(k, centre, acquisition));
        }
        bank->outputs.resize(static_cast<std::size_t>(channelizer.channelCount()));
        if (!bank->wanted.empty()) banks_.push_back(std::move(bank));
    }
    if (banks_.empty()) {
        if (settings.centreFrequencyHz)
            throw std::invalid_argument("a stream of " + hertzText(rate) + " around " + hertzText(*settings.centreFrequencyHz) +
                                        " does not reach the beacon band (283500 to 325000 Hz)");
        throw std::invalid_argument("a stream of " + hertzText(rate) + " holds no whole channel to search");
    }
}

BandMonitor::~BandMonitor() = default;

std::size_t BandMonitor::channelCount() const {
    std::size_t count = 0;
    for (const auto& bank : banks_) count += bank->channels.size();
    return count;
}

std::size_t BandMonitor::activeReceivers() const {
    std::size_t count = 0;
    for (const auto& bank : banks_)
        for (const auto& channel : bank->channels) count += channel->receiver.acquired() ? 1u : 0u;
    return count;
}

void BandMonitor::process(std::span<const double> samples) {
    for (const double sample : samples) {
        block_.emplace_back(static_cast<float>(sample), 0.0f);
        if (static_cast<double>(block_.size()) >= BlockSeconds * settings_.sampleRate) {
            processBlock(block_);
            block_.clear();
        }
    }
}

void BandMonitor::finish() {
    if (block_.empty()) return;
    processBlock(block_);
    block_.clear();
}

void BandMonitor::process(std::span<const ComplexSample> samples) {
    const auto blockSize = static_cast<std::size_t>(BlockSeconds * settings_.sampleRate);
    while (!samples.empty()) {
        const std::size_t take = std::min(samples.size(), blockSize);
        processBlock(samples.first(take));
        samples = samples.subspan(take);
    }
}

std::optional<double> BandMonitor::streamTime() const {
    if (!settings_.streamStartUtc) return std::nullopt;
    return *settings_.streamStartUtc + static_cast<double>(samplesTaken_) / settings_.sampleRate;
}

void BandMonitor::processBlock(std::span<const ComplexSample> samples) {
    samplesTaken_ += samples.size();
    for (const auto& bank : banks_) {
        for (const int k : bank->wanted) bank->outputs[static_cast<std::size_t>(k)].clear();
        bank->channelizer.process(samples, bank->wanted, bank->outputs);
    }
    for (const auto& bank : banks_)
        for (const auto& channel : bank->channels) runChannel(*channel, bank->outputs[static_cast<std::size_t>(channel->index)]);
    if (settings_.centreFrequencyHz) followTuning();
}

// Beacons keep to their raster points within a fraction of a hertz; a receiver tuned (or clocked) off
// shows them all off by the same amount. The median over the beacons held well is that amount; a
// beacon that is off the raster itself is outvoted by the others.
void BandMonitor::followTuning() {
    std::vector<double> offsets;
    for (const auto& bank : banks_) {
        for (const auto& channel : bank->channels) {
            const auto tone = channel->receiver.toneHz();
            const auto ebN0 = channel->receiver.ebN0Db();
            if (!channel->decoding || !tone || !ebN0 || *ebN0 < TuningEbN0Db) continue;
            const double carrier = uncorrected(channel->centreHz + *tone);
            offsets.push_back(carrier - std::round(carrier / BandChannelizer::RasterHz) * BandChannelizer::RasterHz);
        }
    }
    if (offsets.empty()) return;
    std::nth_element(offsets.begin(), offsets.begin() + static_cast<std::ptrdiff_t>(offsets.size() / 2), offsets.end());
    const double median = offsets[offsets.size() / 2];
    // One beacon far off its raster point may itself be off the raster (on a seam): that alone says
    // nothing of the tuning. Two that agree do, and so does one a clock error's few hertz off.
    const auto agreeing =
        std::count_if(offsets.begin(), offsets.end(), [median](double offset) { return std::fabs(offset - median) <= 2.0; });
    if (agreeing >= 2 || std::fabs(median) <= ClockErrorHz) tuningOffset_ = median;
}

void BandMonitor::runChannel(Channel& channel, std::span<ComplexSample> samples) {
    bits_.clear();
    if (!samples.empty()) {
        double sum = 0.0;
        for (const ComplexSample& sample : samples) sum += std::norm(sample);
        channel.power += PowerWeight * (sum / static_cast<double>(samples.size()) - channel.power);
    }
    channel.canceller.process(samples);
    blanked_.clear();
    channel.canceller.takeBlanked(blanked_);
    for (const auto& [first, end] : blanked_) channel.receiver.markDamaged(first, end);
    channel.receiver.process(samples, bits_);
    if (!channel.receiver.acquired()) channel.decoding = false;
    bool opened = false;
    if (!bits_.empty()) {
        const auto tone = channel.receiver.toneHz();
        const double carrier = reported(channel.centreHz + tone.value_or(0.0));
        // A beacon on the seam between two channels of the two banks is heard by both: the first to
        // give bits decodes it for as long as it holds it, so that no frame is split between two.
        if (tone && !channel.decoding) channel.decoding = !heardElsewhere(channel, carrier);
        if (tone && channel.decoding) {
            opened = !channel.decoder;
            if (opened) makeDecoder(channel);
            channel.decoder->pushSoftBits(bits_, ReceptionTag{carrier, channel.receiver.bitRate(), channel.receiver.ebN0Db(),
                                                              settings_.centreFrequencyHz.has_value(), streamTime()});
            if (channel.pagesWaiting && channel.gate->lastStation && !channel.gate->image) {
                channel.pagesWaiting = false;
                openChannel(channel);
            }
        }
    }
    if (!channel.decoder) return;
    // As in the single receiver: a beacon heard well whose words never pass is searched for again.
    // The watch starts with the block that opened the decoder.
    double silent = channel.decoder->advance(samples.size(), channel.receiver.sampleRate());
    if (opened) {
        channel.decoder->restartWatch();
        silent = 0.0;
    }
    channel.receiver.noValidWordsFor(silent);
}

bool BandMonitor::heardElsewhere(const Channel& channel, double carrierHz) const {
    for (const auto& bank : banks_) {
        for (const auto& other : bank->channels) {
            if (other.get() == &channel || !other->decoding) continue;
            const auto tone = other->receiver.toneHz();
            if (tone && std::fabs(reported(other->centreHz + *tone) - carrierHz) < SameBeaconHz) return true;
        }
    }
    return false;
}

// An SDR's IQ imbalance shows a strong station faintly at its mirror about the stream's centre, where
// it decodes as well as anywhere: a channel decoding a beacon at the mirror of one this much weaker
// may be its image.
const BandMonitor::Channel* BandMonitor::strongerAtMirror(const Channel& channel) const {
    const auto tone = channel.receiver.toneHz();
    if (!tone) return nullptr;
    for (const auto& bank : banks_) {
        for (const auto& other : bank->channels) {
            const auto otherTone = other->receiver.toneHz();
            if (other.get() == &channel || !other->decoding || !other->gate || !otherTone) continue;
            // By the channels' power, not the detectors' Eb/N0, which no longer grows far above 20 dB.
            if (std::fabs(other->centreHz + *otherTone + channel.centreHz + *tone) < SameBeaconHz &&
                other->power >= channel.power * std::pow(10.0, ImageBelowDb / 10.0))
                return other.get();
        }
    }
    return nullptr;
}

void BandMonitor::makeDecoder(Channel& channel) {
    channel.decoder = std::make_unique<DecodingChannel>();
    const bool suspected = settings_.input == BandInput::Iq && strongerAtMirror(channel) != nullptr;
    channel.gate = std::make_unique<ChannelGate>(*this, channel, suspected);
    channel.decoder->addListener(*channel.gate);
    // What follows a station by its channel (its pages) waits too while an image is suspected.
    if (suspected)
        channel.pagesWaiting = true;
    else
        openChannel(channel);
}

// Its pages (and whatever else follows a station) from now on.
void BandMonitor::openChannel(Channel& channel) {
    for (BandChannelListener* listener : channelListeners_)
        listener->channelOpened(reported(channel.centreHz), settings_.centreFrequencyHz.has_value(), *channel.decoder);
}

std::vector<BandChannelStatus> BandMonitor::status() const {
    std::vector<BandChannelStatus> result;
    for (const auto& bank : banks_) {
        for (const auto& channel : bank->channels) {
            BandChannelStatus status;
            status.frequencyHz = reported(channel->centreHz);
            status.hearsBeacon = channel->receiver.hearsBeacon();
            status.locked = channel->receiver.locked();
            if (const auto tone = channel->receiver.toneHz()) status.carrierHz = reported(channel->centreHz + *tone);
            status.bitRate = channel->receiver.bitRate();
            status.ebN0Db = channel->receiver.ebN0Db();
            status.decoder = channel->decoder ? &channel->decoder->decoder() : nullptr;
            result.push_back(status);
        }
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.frequencyHz < b.frequencyHz; });
    return result;
}

}  // namespace sondeco
