// SPDX-License-Identifier: GPL-3.0-or-later
// One reference station per correction stream. A GPS receiver applies the corrections of whatever
// station its RTCM input brings; fed the frames of several stations in turn it would apply the
// corrections of each in turn, every one of them computed for another place. So an RTCM output that
// the band monitor feeds carries one station: the one the user chose, or the only one heard.
#pragma once

#include "rtcm/decoder_listener.h"

#include <optional>
#include <string>

namespace sondeco {

// The station a correction stream carries: by its station ID, or by the frequency it is heard on.
// Neither: the only station heard, and a second one is a conflict.
struct StationChoice {
    std::optional<int> stationId;  // 0..1023
    std::optional<double> frequencyHz;  // as the receiver reports it (a radio frequency, an offset or a tone)

    bool chosen() const { return stationId || frequencyHz; }
};

// Passes on the whole frames of one station to `target` (an RTCM output) and drops the others. A
// station ID heard on two frequencies (an image of a strong beacon, or one site's two transmitters)
// is taken from the frequency it was heard on first, so that the stream never alternates between two.
// A beacon chosen by frequency is followed through a change of station ID (its reference station's
// standby taking over), as a receiver tuned to it would be.
class OneStationFeed final : public DecoderListener {
public:
    OneStationFeed(DecoderListener& target, StationChoice choice);

    // With no choice made: a frame of a second station came (and was dropped). The run that feeds
    // the stream should stop and say so, since nobody chose which one to follow.
    bool conflict() const { return conflict_.has_value(); }
    // "station 55 on 301.0 kHz besides station 12 on 297.5 kHz"
    std::string conflictText() const;

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;

private:
    struct Source {
        int stationId = 0;
        std::optional<double> frequencyHz;
        bool absolute = false;
    };
    bool sameFrequency(const Source& source, const DecodedMessage& message) const;

    DecoderListener& target_;
    StationChoice choice_;
    std::optional<Source> followed_;  // where the last frame passed on came from
    std::optional<Source> conflict_;
};

}  // namespace sondeco
