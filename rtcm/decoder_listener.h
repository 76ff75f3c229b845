// SPDX-License-Identifier: GPL-3.0-or-later
// What the decoder reports as it goes: frame headers, lost lock, a change of reference station, and
// every completed frame with its decoded record. The main window, the headless outputs, the message
// pages and the tests listen; the decoder never knows who shows what.
#pragma once

#include "rtcm/messages.h"
#include "rtcm/rtcm_frame.h"

namespace sondeco {

class DecoderListener {
public:
    virtual ~DecoderListener() = default;

    // Header word 2 passed: the frame's header fields are in `frame` (the status bar shows them).
    virtual void headerAccepted(const RtcmFrame& /*frame*/) {}
    // Word synchronisation and frame lock were lost (parity failure or a missing preamble).
    virtual void syncLost() {}
    // A frame from another reference station than the last one completed: called before that
    // frame's frameCompleted, never for the first frame after start-up.
    virtual void stationChanged(const RtcmFrame& /*frame*/) {}
    // A whole frame passed; `message` is its contents. Frames of a station marked "not working"
    // (health 7) come too: whether to show them is the listener's choice.
    virtual void frameCompleted(const RtcmFrame& /*frame*/, const DecodedMessage& /*message*/) {}
};

}  // namespace sondeco
