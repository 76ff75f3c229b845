// SPDX-License-Identifier: GPL-3.0-or-later
// RTCM bytes to a serial port, for a GPS receiver's correction input: raw 8N1 at the speed the
// receiver expects, no flow control. Runs on the decoding thread and never waits for the port: a
// frame the port has no room for is dropped whole, so the receiver never sees half of one. A port
// that goes away (a USB adapter pulled out) is closed at once, so that the system can give its name
// to the adapter when it comes back, and opened again then, with decoding going on meanwhile.
#pragma once

#include "output/file_descriptor.h"
#include "rtcm/decoder_listener.h"
#include "rtcm/rtcm_encoder.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sondeco {

struct SerialOutputStatistics {
    std::uint64_t framesWritten = 0;
    std::uint64_t framesDropped = 0;  // the port had no room
    std::uint64_t framesMissed = 0;  // the port was away
    std::uint64_t reopenings = 0;
    std::uint64_t framesCutAtEnd = 0;  // written in part or whole, but still unsent when the run ended
};

class SerialOutput final : public DecoderListener {
public:
    // The speeds a receiver's port is set to; others are refused.
    static const std::vector<int>& supportedBaudRates();

    // `retryInterval`: how often to look for a port that has gone away, at most.
    SerialOutput(std::string device, int baud, std::chrono::milliseconds retryInterval = std::chrono::seconds(1));
    ~SerialOutput() override;
    SerialOutput(const SerialOutput&) = delete;
    SerialOutput& operator=(const SerialOutput&) = delete;

    // The first opening: a device that cannot be opened, or is not a terminal, is a mistake to
    // report at once (false, the reason in `problem`), not something to wait for.
    bool open(std::string& problem);
    bool connected() const { return port_.valid(); }
    const std::string& device() const { return device_; }
    int baud() const { return baud_; }
    const SerialOutputStatistics& statistics() const { return statistics_; }

    // At the end of the input: gives the port until `deadline` to send what it holds, then closes it.
    void finish(std::chrono::steady_clock::time_point deadline);
    // The port went away and was still away at finish(), after one more try to open it: the frames
    // since are lost, which the run must not report as a success.
    bool awayAtEnd() const { return awayAtEnd_; }

    void frameCompleted(const RtcmFrame& frame, const DecodedMessage& message) override;

private:
    bool openPort(std::string& problem);
    void disconnect();
    // Writes what is left of the last frame; false if the port went away.
    bool writePending();

    std::string device_;
    int baud_;
    std::chrono::milliseconds retryInterval_;
    std::chrono::steady_clock::time_point lastAttempt_{};
    FileDescriptor port_;
    RtcmEncoder chain_;  // the port's own parity chain: only frames that went out advance it
    std::string pending_;  // the tail of a frame the port took only part of
    std::deque<std::size_t> recentFrameBytes_;  // sizes of the last frames written, newest last
    SerialOutputStatistics statistics_;
    bool awayAtEnd_ = false;
};

}  // namespace sondeco
