// SPDX-License-Identifier: GPL-3.0-or-later
// The whole enhanced receiver on generated audio: frames from switch-on with nothing told, static, a
// station that changes tone and rate, the word layer's call to search again, and nothing at all from
// sounds that are not beacons.
#include "coherent/enhanced_receiver.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/beacon_audio.h"
#include "signalgen/test_sounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace sondeco {
namespace {

// Beacon audio through the receiver, 100 ms at a time. The frames are looked for in the receiver's
// hard decisions bit for bit, as they were sent (parity chain and all): that is what any word layer
// gets to work with, and it shows a frame lost, or one that came out twice, without depending on
// how a word layer synchronises.
class Reception {
public:
    Reception(const BeaconSettings& station, const MskSettings& transmitter, const EnhancedReceiverSettings& settings = {})
        : audio_(station, transmitter, true), receiver_(settings) {}

    void listen(double seconds) {
        for (double heard = 0.0; heard < seconds - 1e-9; heard += 0.1) {
            audio_.render(stereo_);
            for (std::size_t n = 0; n < mono_.size(); ++n) mono_[n] = stereo_[2 * n];
            bits_.clear();
            receiver_.processAudio(mono_, bits_);
            seconds_ += 0.1;
            for (const SoftBit& bit : bits_) {
                bits.push_back(bit.bit);
                bitTimes_.push_back(seconds_);
            }
        }
    }

    // The station changes: the frames from here on start a parity chain of their own.
    void changeStation(const BeaconSettings& station, const MskSettings& transmitter) {
        audio_.changeStation(station, transmitter);
        chainStarts_.push_back(audio_.sentFrames().size());
    }

    // How often each sent frame (but the last three, which may still be on their way) came out
    // whole, and when the first one did.
    std::vector<int> framesFound(std::optional<double>* firstAt = nullptr) const {
        const auto& sent = audio_.sentFrames();
        std::vector<int> found;
        RtcmEncoder encoder;
        std::vector<std::uint8_t> pattern;
        for (std::size_t f = 0; f + 3 < sent.size(); ++f) {
            if (std::find(chainStarts_.begin(), chainStarts_.end(), f) != chainStarts_.end()) encoder = RtcmEncoder{};
            pattern.clear();
            encoder.appendFrameBits(sent[f].header, sent[f].dataWords, pattern);
            int count = 0;
            for (auto at = bits.begin(); (at = std::search(at, bits.end(), pattern.begin(), pattern.end())) != bits.end(); ++at) {
                ++count;
                const double time = bitTimes_[static_cast<std::size_t>(at - bits.begin()) + pattern.size() - 1];
                if (firstAt && (!*firstAt || time < **firstAt)) *firstAt = time;
            }
            found.push_back(count);
        }
        return found;
    }

    EnhancedReceiver& receiver() { return receiver_; }
    std::vector<std::uint8_t> bits;  // hard decisions, all of them

private:
    BeaconAudio audio_;
    EnhancedReceiver receiver_;
    std::vector<double> bitTimes_;  // seconds of audio heard when each bit came out
    std::vector<std::size_t> chainStarts_{0};
    std::vector<std::int16_t> stereo_ = std::vector<std::int16_t>(2 * 4800);
    std::vector<double> mono_ = std::vector<double>(4800);
    std::vector<SoftBit> bits_;
    double seconds_ = 0.0;
};

int countOf(const std::vector<int>& found, int times, std::size_t from = 0) {
    return static_cast<int>(std::count(found.begin() + static_cast<std::ptrdiff_t>(std::min(from, found.size())), found.end(), times));
}

MskSettings transmitterAt(double bitRate, double toneHz, double ebN0Db, double leadingSeconds = 1.0) {
    MskSettings settings;
    settings.bitRate = bitRate;
    settings.centreFrequency = toneHz;
    settings.ebN0Db = ebN0Db;
    settings.leadingSeconds = leadingSeconds;
    settings.noiseSeed = static_cast<std::uint64_t>(toneHz);
    return settings;
}

BeaconSettings stationAt(double bitRate, int stationId = 491) {
    BeaconSettings station;
    station.bitRate = bitRate;
    station.stationId = stationId;
    return station;
}

// No hints: tone and rate found, every frame from the first on demodulated right, the first one soon
// after the beacon comes on (after 1 s of noise), none twice.
TEST(EnhancedReceiver, DecodesFramesFromSwitchOnWithoutHints) {
    struct Case {
        double bitRate, toneHz, firstFrameWithin;
    };
    for (const Case c : {Case{200, 2345, 1.0 + 3.0}, Case{100, 456, 1.0 + 6.0}}) {
        SCOPED_TRACE(::testing::Message() << c.bitRate << " bit/s at " << c.toneHz << " Hz");
        Reception reception(stationAt(c.bitRate), transmitterAt(c.bitRate, c.toneHz, 12.0));
        reception.listen(c.firstFrameWithin + 5.0);
        std::optional<double> first;
        const std::vector<int> found = reception.framesFound(&first);
        ASSERT_TRUE(first.has_value());
        EXPECT_LE(*first, c.firstFrameWithin);
        EXPECT_EQ(countOf(found, 1, 1), static_cast<int>(found.size()) - 1) << "frames lost or doubled after the first";
        EnhancedReceiver& receiver = reception.receiver();
        EXPECT_TRUE(receiver.locked());
        EXPECT_NEAR(receiver.toneHz().value_or(0.0), c.toneHz, 1.0);
        EXPECT_NEAR(receiver.bitRate().value_or(0.0), c.bitRate, 0.1);
        EXPECT_NEAR(receiver.ebN0Db().value_or(0.0), 12.0, 1.5);
    }
}

// At 14 dB with 2 bursts of static a second, 30 dB above the signal: blanked, the bursts cost at
// most a frame; not blanked, they cost many.
TEST(EnhancedReceiver, StaticIsBlankedAway) {
    MskSettings transmitter = transmitterAt(200, 1000, 14.0);
    transmitter.staticBurstsPerSecond = 2.0;
    std::vector<int> right, counted;
    for (bool blanking : {true, false}) {
        EnhancedReceiverSettings settings;
        settings.blankImpulses = blanking;
        Reception reception(stationAt(200), transmitter, settings);
        reception.listen(20.0);
        const std::vector<int> found = reception.framesFound();
        right.push_back(countOf(found, 1, 1));
        counted.push_back(static_cast<int>(found.size()) - 1);
        if (blanking) {
            EXPECT_GT(reception.receiver().statistics().impulses, 20u);
        }
    }
    EXPECT_GE(right[0], counted[0] - 1);
    EXPECT_LT(right[1], counted[1] - 3);
}

// The station changes (another station, tone and rate) and later the word layer reports nothing
// valid for a while: the receiver follows each time, and no frame comes out twice.
TEST(EnhancedReceiver, FollowsAStationChangeAndTheWordLayer) {
    Reception reception(stationAt(200, 100), transmitterAt(200, 1800, 12.0));
    reception.listen(8.0);
    const std::size_t firstStation = reception.framesFound().size();
    EXPECT_EQ(countOf(reception.framesFound(), 1), static_cast<int>(firstStation));

    reception.changeStation(stationAt(100, 200), transmitterAt(100, 700, 12.0, 0.5));
    reception.listen(12.0);
    EnhancedReceiver& receiver = reception.receiver();
    EXPECT_NEAR(receiver.toneHz().value_or(0.0), 700.0, 1.0);
    EXPECT_NEAR(receiver.bitRate().value_or(0.0), 100.0, 0.1);
    const std::vector<int> afterChange = reception.framesFound();
    // The frames queued but cut off by the change never went out whole (one or two), and the first of
    // the new station may be lost while the receiver moves.
    EXPECT_GE(countOf(afterChange, 1, firstStation), static_cast<int>(afterChange.size() - firstStation) - 3);

    // The word layer gives up on the beacon: the search starts again, once however often it says
    // so, and the beacon is found again.
    receiver.noValidWordsFor(11.0);
    receiver.noValidWordsFor(12.0);
    EXPECT_EQ(receiver.statistics().wordLayerRestarts, 1u);
    EXPECT_FALSE(receiver.acquired());
    reception.listen(12.0);
    EXPECT_TRUE(receiver.locked());
    receiver.noValidWordsFor(5.0);
    EXPECT_TRUE(receiver.locked());
    const std::vector<int> found = reception.framesFound();
    EXPECT_GT(countOf(found, 1, afterChange.size()), 2);
    EXPECT_EQ(countOf(found, 2) + countOf(found, 3), 0) << "a frame came out twice";

    // A weak beacon (found where the hints say) is kept: its words fail for the noise.
    EnhancedReceiverSettings hinted;
    hinted.toneHintHz = 1300.0;
    hinted.bitRateHint = 200.0;
    Reception weak(stationAt(200), transmitterAt(200, 1300, 5.0), hinted);
    weak.listen(6.0);
    ASSERT_TRUE(weak.receiver().locked());
    weak.receiver().noValidWordsFor(30.0);
    EXPECT_TRUE(weak.receiver().locked());
    EXPECT_EQ(weak.receiver().statistics().wordLayerRestarts, 0u);
}

// Noise, a plain carrier and a voice, with and without hints pointing at them: not one bit.
TEST(EnhancedReceiver, NothingFromNoiseCarrierOrSpeech) {
    BandLimitedNoise noise(200.0, 3500.0, 3000.0, 7);
    CarrierSound carrier(1200.0, 3000.0, 1000.0, 8);
    SpeechLikeSound speech(3000.0, 9);
    const auto listen = [](auto& sound, const EnhancedReceiverSettings& settings) {
        EnhancedReceiver receiver(settings);
        std::vector<double> audio(4800);
        std::vector<SoftBit> bits;
        for (int block = 0; block < 200; ++block) {
            sound.render(audio);
            receiver.processAudio(audio, bits);
        }
        EXPECT_TRUE(bits.empty()) << bits.size() << " bits";
    };
    EnhancedReceiverSettings hinted;
    hinted.toneHintHz = 1200.0;
    hinted.bitRateHint = 100.0;
    for (const EnhancedReceiverSettings& settings : {EnhancedReceiverSettings{}, hinted}) {
        listen(noise, settings);
        listen(carrier, settings);
        listen(speech, settings);
    }
}

}  // namespace
}  // namespace sondeco
