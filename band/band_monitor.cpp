// SPDX-License-Identifier: GPL-3.0-or-later
#include "band/band_monitor.h"

#include "coherent/carrier_canceller.h"

#include "coherent/baseband_receiver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace sondeco {
namespace {

// How far from its centre a channel searches for a beacon's carrier: with channels every quarter
// raster, each looks after the 250 Hz around its centre and a little more, so a beacon on the seam is
// found by one or both (and decoded once).
constexpr double SeamlessSearchHz = 130.0;
// Beacons held at least this well place the raster (the tracked tone is good to a tenth of a hertz).
constexpr double TuningEbN0Db = 6.0;
constexpr double ClockErrorHz = 30.0;  // 100 ppm at the top of the band
// A beacon at another's mirror frequency this much weaker may be its image.
constexpr double ImageBelowDb = 15.0;
// Two channels hearing carriers this close hear the same beacon.
constexpr double SameBeaconHz = 30.0;
// The channels' samples are handed to their receivers in blocks of about this long, so that every
// receiver sees blocks of a hundred samples rather than one at a time; the survey looks at every
// channel once a block.
constexpr double BlockSeconds = 0.1;
// Where only the band is wanted, the stream is brought down to a rate that keeps this much either
// side of the outermost channels' centres: their passbands (+-500 Hz), and the bank's margin.
constexpr double DecimatorMarginHz = 1500.0;

// The survey. A channel's power is averaged over about this long (an exponential average, after a
// plain one over its first seconds). On noise alone the average then lies within a few percent of
// the floor: a 25 bit/s beacon at 8 dB Eb/N0 (22 dB-Hz) raises its channel's power by a quarter,
// several times that spread, and it is found within a second or two.
constexpr double PowerSeconds = 2.0;
// The floor under a channel: this quantile of the powers of the channels within FloorChannels of it
// either side (+-4 kHz), which holds where up to about two channels in three carry a signal. On noise
// alone the quantile lies this many standard deviations of the average below the mean, which is
// added back.
constexpr std::size_t FloorChannels = 16;
constexpr std::size_t FloorTile = 8;  // channels sharing one floor (2 kHz)
constexpr double FloorQuantile = 0.3;
constexpr double FloorQuantileDeviations = 0.524;
// A channel stands above its floor when its power is this many standard deviations of the average
// over it: on noise alone that happens about once in a billion looks (a channel's average is new
// every few seconds), rarely even over the ten thousand channels of a 2.4 MS/s stream; and each
// time costs no more than a receiver for a minute and a half.
constexpr double EnergeticDeviations = 6.0;
// A beacon's energy is narrow: the channels a kilohertz either side of it are quieter (on one side
// at least). Where both are as strong (inside a broadcast station's sidebands), the channel is
// searched only when no narrow one is waiting.
constexpr std::size_t ShoulderChannels = 4;
// Receivers at most (each holds about 420 kB: the acquisition's spectra and 8 s of baseband), the
// strongest narrow signals first.
constexpr std::size_t MaxSearching = 200;
// A receiver that has heard no beacon for this long lets its channel rest: longer than the
// acquisition takes on a weak beacon at 25 bit/s (a dozen spectra of a second, and its checks).
constexpr double BarrenSeconds = 90.0;
// A receiver that held a beacon and has lost it for this long is replaced by a new one at once (no
// rest): an acquisition that has lost a weak beacon can go minutes without finding it again (seen at
// 25 bit/s and 8 dB Eb/N0), where a new one finds it in less than this.
constexpr double LostSeconds = 45.0;
// A resting channel is searched again after this long, doubled after each search in vain up to
// RestDoublings times (two minutes to a quarter of an hour), or at once if its power has risen to
// RiseFactor times the most it had during its last search: a signal has come beside what is there.
constexpr double RestSeconds = 120.0;
constexpr int RestDoublings = 3;
constexpr double RiseFactor = 2.0;
// A new receiver starts on this much of its channel's past, so that a beacon the survey takes this
// long to find (a strong one at once, one at 6 dB Eb/N0 and 100 bit/s within a few tenths of a
// second) is heard from its first bits, as it would be by a receiver that had been searching all
// along: its first frame is not lost.
constexpr double RecentSeconds = 0.5;

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

// A channel's receiver: made when its power stands out, let go when it has heard nothing for long.
struct BandMonitor::Search {
    explicit Search(const AcquisitionSettings& acquisition) : canceller(acquisition.sampleRate), receiver(acquisition) {}
    // Non-directional beacons share the band (and an SDR's own DC line sits in one channel): their
    // carriers go before the channel's acquisition and detector see them.
    CarrierCanceller canceller;
    BasebandReceiver receiver;
};

struct BandMonitor::Channel {
    Channel(int channelIndex, double centre) : index(channelIndex), centreHz(centre) {}
    int index;  // in the filter bank
    std::size_t order = 0;  // in the monitor's channels, by frequency
    double centreHz;  // relative to the stream's 0 Hz
    std::unique_ptr<Search> search;  // while the channel is searched
    // Made when the channel first hears a beacon, kept after: its statistics outlive a fade.
    std::unique_ptr<DecodingChannel> decoder;
    std::unique_ptr<ChannelGate> gate;  // made with the decoder
    bool pagesWaiting = false;  // until its first frame says it is no image
    bool decoding = false;  // its bits go to its decoder: it has the beacon it holds to itself

    // The survey.
    double power = 0.0;  // of its samples, over the last few seconds
    double floor = 0.0;  // the noise around it
    bool energetic = false;  // its power stands above the floor
    bool narrow = false;  // and above the channels a kilohertz away on one side
    double lastHeard = 0.0;  // stream seconds: when its receiver last heard a beacon (or started)
    bool held = false;  // its receiver's detector has locked on a beacon
    double peakPower = 0.0;  // the most power it had while searched
    bool resting = false;  // searched in vain, and not to be searched again before restUntil
    double restUntil = 0.0;
    double restPower = 0.0;
    int rests = 0;  // searches in vain in a row
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

BandMonitor::BandMonitor(const BandMonitorSettings& settings) : settings_(settings) {
    const double rate = settings.sampleRate;
    if (!(rate >= 8000.0) || !std::isfinite(rate)) throw std::invalid_argument("the sample rate must be at least 8000 Hz");
    double gridOffset = 0.0;
    double lowHz = -rate / 2.0;  // channel centres searched, relative to the stream's 0 Hz
    double highHz = rate / 2.0;
    bool wholeStream = true;
    if (settings.input == BandInput::Audio) {
        if (!(settings.audioLowHz > 0.0 && settings.audioHighHz > settings.audioLowHz && settings.audioHighHz < rate / 2.0))
            throw std::invalid_argument("the tones to search must lie between 0 Hz and half the sample rate");
        lowHz = settings.audioLowHz;
        highHz = settings.audioHighHz;
        wholeStream = false;
    } else if (settings.centreFrequencyHz) {
        const double centre = *settings.centreFrequencyHz;
        if (!(centre > 0.0) || !std::isfinite(centre))
            throw std::invalid_argument("the centre frequency must be a positive number of hertz");
        frequencyBase_ = centre;
        if (!(std::fabs(settings.clockErrorPpm) <= 1000.0)) throw std::invalid_argument("the clock error must be within 1000 ppm");
        clockScale_ = 1.0 + settings.clockErrorPpm * 1e-6;
        // The raster points are multiples of 500 Hz: turn the nearest one (where the receiver's clock
        // shows it) onto a channel centre. The seams between them are channels too: a beacon off the
        // raster (or a receiver tuned off by a few hundred hertz) still falls well inside one channel.
        gridOffset = std::round(centre / BandChannelizer::RasterHz) * BandChannelizer::RasterHz / clockScale_ - centre;
        lowHz = BeaconBandLowHz / clockScale_ - centre;
        highHz = BeaconBandHighHz / clockScale_ - centre;
        wholeStream = false;
    }

    // Only the band wanted: the bank can run at a fraction of a wide stream's rate, as long as its
    // channels stay where they were (the halved rate keeps the same spacing).
    double bankRate = rate;
    if (!wholeStream) {
        const double spacing = BandChannelizer::spacingFor(rate);
        const double passband = std::max(std::fabs(lowHz), std::fabs(highHz)) + DecimatorMarginHz;
        decimator_.emplace(rate, passband, [spacing](double halved) {
            return halved >= 8000.0 && std::fabs(BandChannelizer::spacingFor(halved) - spacing) <= 1e-9 * spacing;
        });
        if (decimator_->halvings() == 0)
            decimator_.reset();
        else
            bankRate = decimator_->outputRate();
    }
    channelizer_ = std::make_unique<BandChannelizer>(bankRate, gridOffset, true);
    acquisition_.sampleRate = channelizer_->outputRate();
    acquisition_.searchLowHz = -SeamlessSearchHz;
    acquisition_.searchHighHz = SeamlessSearchHz;
    for (int k = 0; k < channelizer_->channelCount(); ++k) {
        const double centre = channelizer_->centreHz(k);
        if (!channelizer_->usable(k) || centre < lowHz - 1.0 || centre > highHz + 1.0) continue;
        channels_.push_back(std::make_unique<Channel>(k, centre));
    }
    if (channels_.empty()) {
        if (settings.centreFrequencyHz)
            throw std::invalid_argument("a stream of " + hertzText(rate) + " around " + hertzText(*settings.centreFrequencyHz) +
                                        " does not reach the beacon band (283500 to 325000 Hz)");
        throw std::invalid_argument("a stream of " + hertzText(rate) + " holds no whole channel to search");
    }
    std::sort(channels_.begin(), channels_.end(), [](const auto& a, const auto& b) { return a->centreHz < b->centreHz; });
    for (std::size_t n = 0; n < channels_.size(); ++n) channels_[n]->order = n;
    outputs_.resize(static_cast<std::size_t>(channelizer_->channelCount()));
    powerSums_.assign(static_cast<std::size_t>(channelizer_->channelCount()), 0.0f);
    channelizer_->keepRecent(static_cast<std::size_t>(std::lround(RecentSeconds * channelizer_->outputRate())));
    framesPerBlock_ = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::lround(BlockSeconds * channelizer_->outputRate())));
    inputPerFrame_ = rate / channelizer_->outputRate();
}

BandMonitor::~BandMonitor() = default;

std::size_t BandMonitor::channelCount() const { return channels_.size(); }

std::size_t BandMonitor::activeReceivers() const {
    std::size_t count = 0;
    for (const Channel* channel : searching_) count += channel->search->receiver.acquired() ? 1u : 0u;
    return count;
}

void BandMonitor::process(std::span<const double> samples) {
    constexpr std::size_t Chunk = 4096;
    while (!samples.empty()) {
        const std::size_t take = std::min(samples.size(), Chunk);
        block_.resize(take);
        for (std::size_t n = 0; n < take; ++n) block_[n] = ComplexSample(static_cast<float>(samples[n]), 0.0f);
        process(std::span<const ComplexSample>(block_));
        samples = samples.subspan(take);
    }
}

void BandMonitor::finish() {
    if (channelizer_->samplesOut() > blockStart_) runBlock();
}

// The stream goes through the bank as it comes; each time a block's worth of output is ready (never
// much more), the survey and the receivers take it.
void BandMonitor::process(std::span<const ComplexSample> samples) {
    while (!samples.empty()) {
        const std::uint64_t ready = channelizer_->samplesOut() - blockStart_;
        const std::uint64_t missing = ready < framesPerBlock_ ? framesPerBlock_ - ready : 1;
        const auto needed = static_cast<std::size_t>(std::ceil(static_cast<double>(missing) * inputPerFrame_));
        const std::size_t take = std::min(samples.size(), std::max<std::size_t>(needed, 1));
        std::span<const ComplexSample> input = samples.first(take);
        if (decimator_) {
            decimated_.clear();
            decimator_->process(input, decimated_);
            input = decimated_;
        }
        channelizer_->process(input, wanted_, outputs_, powerSums_);
        samplesTaken_ += take;
        samples = samples.subspan(take);
        if (channelizer_->samplesOut() - blockStart_ >= framesPerBlock_) runBlock();
    }
}

std::optional<double> BandMonitor::streamTime() const {
    if (!settings_.streamStartUtc) return std::nullopt;
    return *settings_.streamStartUtc + static_cast<double>(samplesTaken_) / settings_.sampleRate;
}

void BandMonitor::runBlock() {
    const std::uint64_t frames = channelizer_->samplesOut() - blockStart_;
    survey(frames);
    for (Channel* channel : searching_) {
        std::vector<ComplexSample>& samples = outputs_[static_cast<std::size_t>(channel->index)];
        runChannel(*channel, samples);
        samples.clear();
    }
    reviewSearches();
    if (settings_.centreFrequencyHz) followTuning();
    std::fill(powerSums_.begin(), powerSums_.end(), 0.0f);
    blockStart_ = channelizer_->samplesOut();
}

// Every channel's power over the block into its average, the noise floor under each, and which stand
// above theirs.
void BandMonitor::survey(std::uint64_t frames) {
    const double blockSeconds = static_cast<double>(frames) / channelizer_->outputRate();
    ++surveyBlocks_;
    const double weight = std::max(1.0 / static_cast<double>(surveyBlocks_), blockSeconds / PowerSeconds);
    // A block's power on noise alone has a relative variance of one over its duration times the
    // channel's settling bandwidth; the average's is the weighted sum of those.
    const double blockVariance = 1.0 / (blockSeconds * channelizer_->powerSettlingBandwidthHz());
    surveyVariance_ = (1.0 - weight) * (1.0 - weight) * surveyVariance_ + weight * weight * blockVariance;
    surveySpread_ = std::sqrt(surveyVariance_);
    for (const auto& channel : channels_) {
        const double power = static_cast<double>(powerSums_[static_cast<std::size_t>(channel->index)]) / static_cast<double>(frames);
        // A block of samples too large to square (a broken file) is passed over: taken in, it would
        // stay in the average for good.
        if (std::isfinite(power)) channel->power += weight * (power - channel->power);
    }
    const std::size_t count = channels_.size();
    const double quantileCorrection = 1.0 / std::max(0.5, 1.0 - FloorQuantileDeviations * surveySpread_);
    for (std::size_t start = 0; start < count; start += FloorTile) {
        const std::size_t middle = std::min(count - 1, start + FloorTile / 2);
        const std::size_t low = middle > FloorChannels ? middle - FloorChannels : 0;
        const std::size_t high = std::min(count, middle + FloorChannels + 1);
        floorScratch_.clear();
        for (std::size_t i = low; i < high; ++i) floorScratch_.push_back(channels_[i]->power);
        const auto at = static_cast<std::ptrdiff_t>(FloorQuantile * static_cast<double>(floorScratch_.size() - 1));
        std::nth_element(floorScratch_.begin(), floorScratch_.begin() + at, floorScratch_.end());
        const double floor = floorScratch_[static_cast<std::size_t>(at)] * quantileCorrection;
        for (std::size_t i = start; i < std::min(count, start + FloorTile); ++i) channels_[i]->floor = floor;
    }
    const double margin = 1.0 + EnergeticDeviations * surveySpread_;
    for (std::size_t i = 0; i < count; ++i) {
        Channel& channel = *channels_[i];
        channel.energetic = channel.power > channel.floor * margin && channel.power > 0.0;
        if (!channel.energetic) {
            channel.narrow = false;
            continue;
        }
        const double below = i >= ShoulderChannels ? channels_[i - ShoulderChannels]->power : -1.0;
        const double above = i + ShoulderChannels < count ? channels_[i + ShoulderChannels]->power : -1.0;
        const double shoulder = below < 0.0 ? above : above < 0.0 ? below : std::min(below, above);
        channel.narrow = shoulder < 0.0 || channel.power > shoulder * margin;
    }
}

// Receivers that have heard nothing for long are let go, and at once those whose channel's power is a
// neighbour's beacon; channels standing above their floor get one, up to the limit, the narrow and
// the strong first.
void BandMonitor::reviewSearches() {
    const double now = seconds();
    bool changed = false;
    for (std::size_t n = 0; n < searching_.size();) {
        Channel& channel = *searching_[n];
        const BasebandReceiver& receiver = channel.search->receiver;
        channel.peakPower = std::max(channel.peakPower, channel.power);
        const bool hears = receiver.hearsBeacon() || receiver.acquired();
        if (hears) {
            channel.lastHeard = now;
            channel.rests = 0;
        }
        channel.held = channel.held || receiver.locked();
        const double giveUp = channel.held ? LostSeconds : BarrenSeconds;
        if (hears || (now - channel.lastHeard < giveUp && !neighbourExplains(channel))) {
            ++n;
            continue;
        }
        endSearch(channel);
        searching_[n] = searching_.back();
        searching_.pop_back();
        changed = true;
    }
    candidates_.clear();
    for (const auto& channel : channels_) {
        if (channel->search) continue;
        if (!channel->energetic) {
            if (channel->resting && now >= channel->restUntil) {
                channel->resting = false;
                channel->rests = 0;
            }
            continue;
        }
        if (neighbourExplains(*channel)) {
            // Nothing to search for while the neighbour holds its beacon, unless something comes
            // beside what leaks from it.
            if (!channel->resting) {
                channel->resting = true;
                channel->restPower = channel->power;
            }
            channel->restUntil = std::max(channel->restUntil, now);
            if (channel->power > RiseFactor * channel->restPower) candidates_.push_back(channel.get());
            continue;
        }
        if (!channel->resting || now >= channel->restUntil || channel->power > RiseFactor * channel->restPower)
            candidates_.push_back(channel.get());
    }
    const std::size_t room = MaxSearching - std::min(MaxSearching, searching_.size());
    if (candidates_.size() > room) {
        std::partial_sort(candidates_.begin(), candidates_.begin() + static_cast<std::ptrdiff_t>(room), candidates_.end(),
                          [](const Channel* a, const Channel* b) {
                              if (a->narrow != b->narrow) return a->narrow;
                              return a->power * b->floor > b->power * a->floor;
                          });
        candidates_.resize(room);
    }
    for (Channel* channel : candidates_) startSearch(*channel);
    if (!changed && candidates_.empty()) return;
    wanted_.clear();
    for (const Channel* channel : searching_) wanted_.push_back(channel->index);
}

// A beacon a quarter raster from a channel's centre fills much of the channel (its passband is flat to
// 200 Hz) but lies outside the band it searches: its neighbour, which decodes it, explains the
// channel's power.
bool BandMonitor::neighbourExplains(const Channel& channel) const {
    for (const std::size_t order : {channel.order - 1, channel.order + 1}) {
        if (order >= channels_.size()) continue;  // past either end (the first's order less one wraps)
        const Channel& neighbour = *channels_[order];
        if (!neighbour.decoding) continue;
        const auto tone = neighbour.search->receiver.toneHz();
        if (tone && std::fabs(neighbour.centreHz + *tone - channel.centreHz) > SeamlessSearchHz) return true;
    }
    return false;
}

void BandMonitor::startSearch(Channel& channel) {
    channel.search = std::make_unique<Search>(acquisition_);
    channel.lastHeard = seconds();
    channel.held = false;
    channel.peakPower = channel.power;
    channel.resting = false;
    std::vector<ComplexSample>& samples = outputs_[static_cast<std::size_t>(channel.index)];
    samples.clear();
    channelizer_->recent(channel.index, std::numeric_limits<std::size_t>::max(), samples);
    // The time without words counts from the new receiver's start.
    if (channel.decoder) channel.decoder->restartWatch();
    searching_.push_back(&channel);
}

// In vain: the channel rests, longer each time; but one whose receiver held a beacon and lost it is
// searched again at once, by a new receiver.
void BandMonitor::endSearch(Channel& channel) {
    channel.search.reset();
    channel.decoding = false;
    // Its samples' buffer too: over hours, most channels of a wide stream may be searched once.
    std::vector<ComplexSample>().swap(outputs_[static_cast<std::size_t>(channel.index)]);
    if (channel.held) return;
    channel.resting = true;
    channel.restUntil = seconds() + RestSeconds * std::pow(2.0, std::min(channel.rests, RestDoublings));
    channel.restPower = channel.peakPower;
    ++channel.rests;
}

// Beacons keep to their raster points within a fraction of a hertz; a receiver tuned (or clocked) off
// shows them all off by the same amount. The median over the beacons held well is that amount; a
// beacon that is off the raster itself is outvoted by the others.
void BandMonitor::followTuning() {
    std::vector<double> offsets;
    for (const Channel* channel : searching_) {
        const auto tone = channel->search->receiver.toneHz();
        const auto ebN0 = channel->search->receiver.ebN0Db();
        if (!channel->decoding || !tone || !ebN0 || *ebN0 < TuningEbN0Db) continue;
        const double carrier = uncorrected(channel->centreHz + *tone);
        offsets.push_back(carrier - std::round(carrier / BandChannelizer::RasterHz) * BandChannelizer::RasterHz);
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
    CarrierCanceller& canceller = channel.search->canceller;
    BasebandReceiver& receiver = channel.search->receiver;
    bits_.clear();
    canceller.process(samples);
    blanked_.clear();
    canceller.takeBlanked(blanked_);
    for (const auto& [first, end] : blanked_) receiver.markDamaged(first, end);
    receiver.process(samples, bits_);
    if (!receiver.acquired()) channel.decoding = false;
    bool opened = false;
    if (!bits_.empty()) {
        const auto tone = receiver.toneHz();
        const double carrier = reported(channel.centreHz + tone.value_or(0.0));
        // A beacon on the seam between two channels is heard by both: the first to give bits decodes
        // it for as long as it holds it, so that no frame is split between two.
        if (tone && !channel.decoding) channel.decoding = !heardElsewhere(channel, carrier);
        if (tone && channel.decoding) {
            opened = !channel.decoder;
            if (opened) makeDecoder(channel);
            channel.decoder->pushSoftBits(
                bits_, ReceptionTag{carrier, receiver.bitRate(), receiver.ebN0Db(), settings_.centreFrequencyHz.has_value(), streamTime()});
            if (channel.pagesWaiting && channel.gate->lastStation && !channel.gate->image) {
                channel.pagesWaiting = false;
                openChannel(channel);
            }
        }
    }
    if (!channel.decoder) return;
    // As in the single receiver: a beacon heard well whose words never pass is searched for again.
    // The watch starts with the block that opened the decoder.
    double silent = channel.decoder->advance(samples.size(), receiver.sampleRate());
    if (opened) {
        channel.decoder->restartWatch();
        silent = 0.0;
    }
    receiver.noValidWordsFor(silent);
}

bool BandMonitor::heardElsewhere(const Channel& channel, double carrierHz) const {
    for (const Channel* other : searching_) {
        if (other == &channel || !other->decoding) continue;
        const auto tone = other->search->receiver.toneHz();
        if (tone && std::fabs(reported(other->centreHz + *tone) - carrierHz) < SameBeaconHz) return true;
    }
    return false;
}

// An SDR's IQ imbalance shows a strong station faintly at its mirror about the stream's centre, where
// it decodes as well as anywhere: a channel decoding a beacon at the mirror of one this much weaker
// may be its image.
const BandMonitor::Channel* BandMonitor::strongerAtMirror(const Channel& channel) const {
    if (!channel.search) return nullptr;
    const auto tone = channel.search->receiver.toneHz();
    if (!tone) return nullptr;
    for (const Channel* other : searching_) {
        const auto otherTone = other->search->receiver.toneHz();
        if (other == &channel || !other->decoding || !other->gate || !otherTone) continue;
        // By the channels' power, not the detectors' Eb/N0, which no longer grows far above 20 dB.
        if (std::fabs(other->centreHz + *otherTone + channel.centreHz + *tone) < SameBeaconHz &&
            other->power >= channel.power * std::pow(10.0, ImageBelowDb / 10.0))
            return other;
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
    result.reserve(channels_.size());
    for (const auto& channel : channels_) {
        BandChannelStatus status;
        status.frequencyHz = reported(channel->centreHz);
        if (channel->search) {
            const BasebandReceiver& receiver = channel->search->receiver;
            status.hearsBeacon = receiver.hearsBeacon();
            status.locked = receiver.locked();
            if (const auto tone = receiver.toneHz()) status.carrierHz = reported(channel->centreHz + *tone);
            status.bitRate = receiver.bitRate();
            status.ebN0Db = receiver.ebN0Db();
        }
        status.decoder = channel->decoder ? &channel->decoder->decoder() : nullptr;
        result.push_back(status);
    }
    // In order of frequency already: the channels are, and the correction keeps their order.
    return result;
}

}  // namespace sondeco
