// SPDX-License-Identifier: GPL-3.0-or-later
// What every fuzz target that decodes frames checks of them: a listener that holds each report of the
// decoder to the ranges of its fields as it comes, and the decoder's statistics to the reports once a
// run is over. Whatever the input, a frame handed on to the outputs must be one they can write: a
// type, station or length out of range would index past a table, and a tone or Eb/N0 that is not a
// number would end up as "nan" in a JSON line or a frame log.
#pragma once

#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_decoder.h"
#include "tests/fuzz/fuzz_support.h"

#include <cmath>
#include <cstdint>
#include <numeric>

namespace sondeco::fuzzing {

inline void checkHeaderFields(const RtcmFrame& frame) {
    FUZZ_CHECK(frame.messageType >= 0 && frame.messageType <= 63);
    FUZZ_CHECK(frame.stationId >= 0 && frame.stationId <= 1023);
    FUZZ_CHECK(frame.zCount >= 0 && frame.zCount <= 8191);
    FUZZ_CHECK(frame.sequenceNumber >= 0 && frame.sequenceNumber <= 7);
    FUZZ_CHECK(frame.frameLength >= 0 && frame.frameLength <= MaxDataWords);
    FUZZ_CHECK(frame.stationHealth >= 0 && frame.stationHealth <= 7);
}

class FrameChecks : public DecoderListener {
public:
    std::uint64_t headers = 0;
    std::uint64_t frames = 0;
    std::uint64_t syncLosses = 0;
    std::uint64_t stationChanges = 0;
    std::uint64_t notWorking = 0;  // frames of health 7
    std::uint64_t repairedInFrames = 0;
    int lastStation = -1;
    // Listening to one decoder: station changes are followed too (a band monitor's decoders share
    // their listeners, and each has its own last station).
    bool oneDecoder = true;

    void headerAccepted(const RtcmFrame& frame) override {
        checkHeaderFields(frame);
        FUZZ_CHECK(frame.frameLocked);
        ++headers;
    }
    void syncLost() override { ++syncLosses; }
    void stationChanged(const RtcmFrame& frame) override {
        if (oneDecoder) FUZZ_CHECK(lastStation != -1 && frame.stationId != lastStation && !changeAnnounced_);
        changeAnnounced_ = true;
        ++stationChanges;
    }
    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override {
        checkHeaderFields(frame);
        FUZZ_CHECK(message.dataWords.size() == static_cast<std::size_t>(frame.frameLength));
        for (const std::uint32_t word : message.dataWords) FUZZ_CHECK(word < (1u << 24));
        const Reception& reception = message.reception;
        FUZZ_CHECK(reception.repairedWords >= 0 && reception.repairedWords <= frame.frameLength + 2);
        if (reception.toneHz) FUZZ_CHECK(std::isfinite(*reception.toneHz));
        if (reception.ebN0Db) FUZZ_CHECK(std::isfinite(*reception.ebN0Db));
        if (reception.bitRate) FUZZ_CHECK(*reception.bitRate > 0);
        // Announced just before the frame of another station, and only then.
        if (oneDecoder) FUZZ_CHECK(changeAnnounced_ == (lastStation != -1 && frame.stationId != lastStation));
        changeAnnounced_ = false;
        lastStation = frame.stationId;
        repairedInFrames += static_cast<std::uint64_t>(reception.repairedWords);
        notWorking += frame.stationHealth == 7 ? 1u : 0u;
        ++frames;
        frameSeen(frame, message);
    }

    // The decoder's counts against what it reported: every completed frame was reported once, after
    // its header, and counted under its type; repairs and sync losses tally.
    void checkStatistics(const DecoderStatistics& statistics) const {
        FUZZ_CHECK(statistics.frames == frames);
        FUZZ_CHECK(std::accumulate(statistics.framesByType.begin(), statistics.framesByType.end(), std::uint64_t{0}) == frames);
        FUZZ_CHECK(statistics.framesNotDecoded == notWorking);
        FUZZ_CHECK(statistics.syncLosses == syncLosses);
        FUZZ_CHECK(statistics.frames + statistics.framesLost <= headers);
        FUZZ_CHECK(statistics.repairedWords <= statistics.words);
        FUZZ_CHECK(statistics.repairedWords >= repairedInFrames);
        FUZZ_CHECK(stationChanges <= frames);
    }

protected:
    // For targets that keep the frames too.
    virtual void frameSeen(const RtcmFrame&, const DecodedMessage&) {}

private:
    bool changeAnnounced_ = false;
};

}  // namespace sondeco::fuzzing
