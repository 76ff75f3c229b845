// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every beacon of a wideband stream at once: the stream is cut into channels on the beacons' raster
// (band_channelizer.h), every channel's power is followed, and a channel whose power stands above
// the noise around it gets a baseband receiver, which searches it for a beacon and detects one when
// it finds it, behind a carrier canceller that takes the carriers of non-directional beacons (and an
// SDR's DC line) out first. Only channels where a beacon has been heard get an RTCM decoder of their
// own; the detectors exist only while a beacon is held. So the cost and the memory grow with the
// signals on the air, not with the width of the stream.
//
// The survey: each channel's power over the last few seconds against the noise floor of the channels
// around it (a low quantile of theirs: an SDR's spectrum is not flat over megahertz, and a crowded
// band leaves its quietest channels to show the noise). Averaged over seconds, the power of a beacon
// too weak to decode still stands clear of the noise: the survey is not what limits sensitivity. A
// new receiver starts on the channel's last half second, which the filter bank keeps for every
// channel, so the time the survey takes costs no bits. A channel searched in vain for a while (a
// carrier the receiver takes out and finds nothing under, the skirt of a neighbour's beacon) rests,
// and is searched again after a while that doubles each time, or at once if its power rises well
// above what it was.
//
// Three kinds of stream: IQ whose centre frequency is known (the channels are those of the beacon
// band, 283.5-325 kHz, and frequencies come out absolute), IQ without one (every channel of the
// stream, frequencies as offsets from its centre), and real audio holding several beacons (the
// channels between 200 and 3500 Hz, frequencies as audio tones). Channels lie every 250 Hz (the
// raster and the seams between its points), each searching only the 250 Hz around its centre, so
// every tone falls well inside one channel: a beacon off the raster, or one a mistuned receiver shows
// off it, too. Where only part of a wide stream is wanted, its rate is brought down first
// (band_decimator.h), so that the filter bank runs at tens of kilohertz, not megahertz.
#include "band/band_channelizer.h"
#include "band/band_decimator.h"
#include "coherent/acquisition.h"
#include "coherent/baseband.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/decoding_channel.h"
#include "rtcm/rtcm_decoder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sondeco {

// The beacon band's edges, Hz.
inline constexpr double BeaconBandLowHz = 283500.0;
inline constexpr double BeaconBandHighHz = 325000.0;

enum class BandInput {
    Iq,  // complex baseband from an SDR
    Audio,  // real audio with several beacons in its passband
};

struct BandMonitorSettings {
    BandInput input = BandInput::Iq;
    double sampleRate = 250000.0;
    // IQ: the stream's centre frequency in Hz, when known.
    std::optional<double> centreFrequencyHz;
    // IQ: the receiver's clock error in parts per million, when known (positive: fast). An SDR whose
    // clock runs fast shows every frequency that much too low: the monitor reports them corrected.
    double clockErrorPpm = 0.0;
    // When the stream's first sample was taken, seconds since the Unix epoch: frames then carry the
    // stream's time (Reception::time).
    std::optional<double> streamStartUtc;
    // Audio: the tones searched.
    double audioLowHz = 200.0;
    double audioHighHz = 3500.0;
};

// One channel as the monitor sees it now.
struct BandChannelStatus {
    double frequencyHz = 0.0;  // the channel's centre: absolute, offset from the centre, or audio tone
    bool hearsBeacon = false;  // the acquisition holds a beacon here
    bool locked = false;  // a detector is locked on it
    std::optional<double> carrierHz;  // the beacon's carrier as tracked
    std::optional<double> bitRate;
    std::optional<double> ebN0Db;
    const RtcmDecoder* decoder = nullptr;  // once a beacon has been heard here
};

// Told when a channel first hears a beacon and gets a decoding channel of its own, so that what a
// caller keeps per station (message pages, say) can listen to it from its first frame.
class BandChannelListener {
public:
    virtual ~BandChannelListener() = default;
    // `frequencyHz`: the channel's centre, a radio frequency with `absoluteFrequency`, else an offset
    // or an audio tone.
    virtual void channelOpened(double frequencyHz, bool absoluteFrequency, DecodingChannel& channel) = 0;
};

class BandMonitor {
public:
    // Throws std::invalid_argument, with a sentence a user can act on, for a stream the monitor
    // cannot work with (a rate below 8 kHz, a centre frequency whose stream does not reach the band).
    explicit BandMonitor(const BandMonitorSettings& settings);
    ~BandMonitor();
    BandMonitor(const BandMonitor&) = delete;
    BandMonitor& operator=(const BandMonitor&) = delete;

    // Every channel's decoder reports to the listener (add listeners before the first samples).
    void addListener(DecoderListener& listener) { listeners_.push_back(&listener); }
    // Hears of every channel that starts decoding, after the listeners above have been added to it.
    void addChannelListener(BandChannelListener& listener) { channelListeners_.push_back(&listener); }

    // Complex samples (IQ), or real samples (audio), of any block size.
    void process(std::span<const ComplexSample> samples);
    void process(std::span<const double> samples);
    // Hands over what audio is still gathering towards a whole block, at the end of the input.
    void finish();

    bool absoluteFrequencies() const { return settings_.centreFrequencyHz.has_value(); }
    // With the centre given: how far the beacons held sit from their 500 Hz raster points, in common
    // (the median over those heard well), which is how far the receiver is mistuned. The frequencies
    // reported are corrected by it. Empty until a beacon is held well.
    std::optional<double> tuningOffsetHz() const { return tuningOffset_; }
    // Frames of stations heard again at their mirror frequency (an SDR's IQ imbalance), not passed on.
    std::uint64_t imageFrames() const { return imageFrames_; }
    std::size_t channelCount() const;
    // Channels where a beacon is heard now (detectors running, or about to).
    std::size_t activeReceivers() const;
    // Channels with a receiver now: searching for a beacon, or holding one. At most 200, whatever the
    // width of the stream.
    std::size_t searchingChannels() const { return searching_.size(); }
    std::vector<BandChannelStatus> status() const;
    std::uint64_t samplesTaken() const { return samplesTaken_; }
    double sampleRate() const { return settings_.sampleRate; }
    // The stream's time at the end of what has been taken, when its start is known.
    std::optional<double> streamTime() const;

private:
    struct Channel;
    struct Search;
    class ChannelGate;
    void openChannel(Channel& channel);
    const Channel* strongerAtMirror(const Channel& channel) const;
    std::uint64_t imageFrames_ = 0;
    void runBlock();
    void survey(std::uint64_t frames);
    void reviewSearches();
    void startSearch(Channel& channel);
    void endSearch(Channel& channel);
    bool neighbourExplains(const Channel& channel) const;
    void runChannel(Channel& channel, std::span<ComplexSample> samples);
    bool heardElsewhere(const Channel& channel, double carrierHz) const;
    void makeDecoder(Channel& channel);
    double seconds() const { return static_cast<double>(samplesTaken_) / settings_.sampleRate; }

    BandMonitorSettings settings_;
    double frequencyBase_ = 0.0;  // added to a frequency relative to the stream's 0 Hz to report it...
    double clockScale_ = 1.0;  // ...and the sum scaled by this for the receiver's clock error
    double reported(double streamHz) const { return uncorrected(streamHz) - tuningOffset_.value_or(0.0); }
    double uncorrected(double streamHz) const { return (frequencyBase_ + streamHz) * clockScale_; }
    void followTuning();
    std::optional<double> tuningOffset_;
    std::optional<BandDecimator> decimator_;
    std::unique_ptr<BandChannelizer> channelizer_;
    AcquisitionSettings acquisition_;  // every channel's, relative to its centre
    std::vector<std::unique_ptr<Channel>> channels_;  // every channel the survey looks at, by frequency
    std::vector<Channel*> searching_;  // those with a receiver now
    std::vector<int> wanted_;  // their channels in the bank
    std::vector<std::vector<ComplexSample>> outputs_;  // the bank's, by its channel
    std::vector<float> powerSums_;  // the bank's, by its channel
    std::vector<ComplexSample> decimated_;
    std::uint64_t framesPerBlock_ = 1;  // bank outputs a block
    double inputPerFrame_ = 1.0;  // input samples a bank output
    std::uint64_t blockStart_ = 0;  // the bank's output count when this block began
    // The survey: how many blocks its averages hold, and their relative variance and standard
    // deviation on noise alone.
    std::uint64_t surveyBlocks_ = 0;
    double surveyVariance_ = 0.0;
    double surveySpread_ = 1.0;
    std::vector<double> floorScratch_;
    std::vector<Channel*> candidates_;
    std::vector<DecoderListener*> listeners_;
    std::vector<BandChannelListener*> channelListeners_;
    std::vector<ComplexSample> block_;
    std::vector<SoftBit> bits_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blanked_;  // by a channel's carrier canceller
    std::uint64_t samplesTaken_ = 0;
};

}  // namespace sondeco
