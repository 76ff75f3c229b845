// SPDX-License-Identifier: GPL-3.0-or-later
// How well the receiver hears a beacon: a fixed-seed signal of the simulated station through the
// receiver, and the decoded frames scored against those sent. The sensitivity test, the sensitivity
// benchmark (bench/sensitivity.py) and anyone measuring a change use this one scorer.
#pragma once

#include "receiver/receiver.h"
#include "rtcm/decoder_listener.h"
#include "signalgen/air_conditions.h"
#include "signalgen/simulated_beacon.h"

#include <cstdint>
#include <vector>

namespace sondeco {

// Keeps every frame the decoder completes: the receiving end of a reception check.
struct DecodedFrameRecorder final : DecoderListener {
    std::vector<RtcmFrame> frames;
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage&) override { frames.push_back(frame); }
};

// Whether a decoded frame carries exactly what was sent: every header field and every data word.
bool sameFrame(const RtcmFrame& decoded, const BeaconFrame& sent);

struct ReceptionScore {
    int right = 0;  // counted frames decoded exactly as sent, each sent frame matched at most once
    int wrong = 0;  // decoded frames equal to no frame sent at their place: invented, or duplicates
    int decoded = 0;  // right and wrong frames decoded while the counted frames were on air
    std::vector<std::size_t> missing;  // counted frames not decoded, by their index among those sent
};

// Matches decoded frames to sent frames in order; sent frames [firstCounted, endCounted) are counted.
ReceptionScore scoreReception(const std::vector<RtcmFrame>& decoded, const std::vector<BeaconFrame>& sent, std::size_t firstCounted,
                              std::size_t endCounted);

// How many of the sent frames [firstCounted, endCounted) appear bit for bit in a demodulator's
// decisions, wherever its clock put them: the most any word and frame synchroniser could deliver.
// The decisions run `leadBits` ahead of the transmitted stream (leading noise), give or take slips.
int framesDemodulatedRight(const std::vector<BeaconFrame>& sent, std::size_t firstCounted, std::size_t endCounted,
                           const std::vector<std::uint8_t>& decided, long leadBits);

struct ReceptionTrial {
    ReceiverKind kind = ReceiverKind::Classic;
    int bitRate = 200;  // classic: 100 or 200; enhanced: 25, 50, 100 or 200
    double ebN0Db = 10.0;
    std::uint64_t seed = 1;  // of the noise
    int frames = 200;  // counted frames
    int warmupFrames = 10;  // sent before the counted ones, not counted
    double leadingSeconds = 2.0;  // noise alone before the beacon comes on
    double centreFrequency = 800.0;  // classic: 500..1000 in 10 Hz steps
    // Enhanced only: hints given to the receiver, and what the air does to the signal.
    bool hints = false;  // tell it the tone and the rate
    double frequencyOffset = 0.0;  // Hz
    double driftHzPerSecond = 0.0;
    double clockErrorPpm = 0.0;
    double staticBurstsPerSecond = 0.0;  // atmospheric static: 2 ms bursts this often...
    double staticPeakDb = 30.0;  // ...this far above the signal
    double rayleighDopplerHz = 0.0;  // skywave fading with this Doppler spread (0: none)
    std::vector<InterferingCarrier> carriers;  // other stations' carriers, at absolute audio frequencies
    // Data words drawn at random (from the seed) instead of the simulated station's contents, in
    // every type 0..63.
    bool randomContents = false;
};

struct ReceptionResult {
    ReceptionScore score;
    int demodulated = -1;  // classic: counted frames whose bits all came out of the demodulator right
    // From the beacon's first bit to the end of the buffer that completed the first frame decoded
    // right; -1 when none was.
    double firstRightFrameSeconds = -1.0;
    double bitsPerFrame = 0.0;  // mean length of the counted frames
    // Enhanced only: the counted frames an ideal coherent receiver with hard decisions would decode on
    // average on the same signal (the same fades, bit by bit), with no carrier or static: the product
    // over each frame's bits of 1 - 2 Q(sqrt(2 Eb/N0)) at the Eb/N0 each bit had.
    double idealHard = -1.0;
    double audioSeconds = 0.0;
};

// Runs the trial through the receiver it names.
ReceptionResult runReceptionTrial(const ReceptionTrial& trial);

}  // namespace sondeco
