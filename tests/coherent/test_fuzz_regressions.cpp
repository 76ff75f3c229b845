// SPDX-License-Identifier: GPL-3.0-or-later
// Inputs the enhanced receiver's fuzz target once broke the coherent receiver with
// (tests/fuzz/regressions/fuzz_enhanced_receiver holds the raw inputs); each case checks the
// behaviour that replaced the failure.
#include "coherent/baseband_receiver.h"
#include "rtcm/rtcm_encoder.h"
#include "signalgen/complex_msk_modulator.h"
#include "signalgen/simulated_beacon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

namespace sondeco {
namespace {

// A detector that locked and lost its lock again within one block of baseband had given its bits, but
// the receiver counted bits as given only when it found the detector locked after a block. When the
// beacon was acquired again, the next detector started on the kept baseband gave the same stretch a
// second time, and the word layer decoded the same frames twice. Here a band monitor's channel takes
// 2 s of a beacon and half a second of noise in one block (its detector locks, gives ~460 bits and
// loses the beacon in the noise), two more seconds of noise, then the beacon again, 100 ms at a time:
// every frame sent comes out once at most.
TEST(CoherentFuzzRegression, BitsOfADetectorThatLostItsLockWithinABlockAreNotGivenAgain) {
    constexpr double Rate = 1000.0;
    AcquisitionSettings settings;
    settings.sampleRate = Rate;
    settings.searchLowHz = -150.0;
    settings.searchHighHz = 150.0;
    BasebandReceiver receiver(settings);

    // The simulated station's frames, one parity chain, each frame's bits kept to look for.
    SimulatedBeacon station(BeaconSettings{});
    RtcmEncoder encoder;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> sent;
    while (sent.size() < 2000) {  // 10 s at 200 bit/s
        const BeaconFrame frame = station.nextFrame();
        frames.emplace_back();
        encoder.appendFrameBits(frame.header, frame.dataWords, frames.back());
        sent.insert(sent.end(), frames.back().begin(), frames.back().end());
    }
    ComplexMskSettings beacon;
    beacon.sampleRate = Rate;
    beacon.bitRate = 200.0;
    beacon.frequency = 55.0;
    ComplexMskModulator modulator(beacon);
    modulator.pushBits(sent);
    std::vector<ComplexSample> samples(8500);
    modulator.addTo(samples);
    std::mt19937 random(1);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (std::size_t n = 2000; n < 4500; ++n) samples[n] = ComplexSample(noise(random), noise(random));

    std::vector<SoftBit> soft;
    std::vector<std::uint8_t> received;
    for (std::size_t done = 0; done < samples.size();) {
        const std::size_t take = done == 0 ? 2500 : 100;
        soft.clear();
        receiver.process(std::span<const ComplexSample>(samples).subspan(done, take), soft);
        done += take;
        for (const SoftBit& bit : soft) received.push_back(bit.bit);
    }

    int before = 0, after = 0;  // frames found that were sent before the noise, and after it
    std::size_t frameEnd = 0;  // bits sent up to the end of the frame
    for (const std::vector<std::uint8_t>& frame : frames) {
        frameEnd += frame.size();
        int found = 0;
        for (auto at = received.begin(); (at = std::search(at, received.end(), frame.begin(), frame.end())) != received.end(); ++at)
            ++found;
        EXPECT_LE(found, 1) << "the frame ending at bit " << frameEnd << " came out " << found << " times";
        if (found > 0) (frameEnd <= 400 ? before : after) += 1;
    }
    EXPECT_GT(before, 0);  // the first detector did give the beacon's first frames
    EXPECT_GT(after, 0);
}

}  // namespace
}  // namespace sondeco
