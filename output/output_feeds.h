// SPDX-License-Identifier: GPL-3.0-or-later
// Everything decoded frames go to besides standard output or the window: the TCP servers of
// --listen and the serial port of --serial, opened, fed and finished together. The headless decoder
// and the desktop program both take these options, and both hand the feeds to their receiver.
#pragma once

#include "output/decoded_output.h"
#include "output/network_output.h"
#include "output/serial_output.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace sondeco {

struct FeedSettings {
    std::vector<ListenAddress> listen;
    std::string serialDevice;  // empty: no serial port
    int baud = 9600;
};

class OutputFeeds {
public:
    // Opens every server and the serial port. A --listen that names no format sends `mainFormat`;
    // `device` is the input's name for JSON. On failure, false with the problem in `problem`, and
    // nothing is left open.
    bool open(const FeedSettings& settings, OutputFormat mainFormat, const std::string& device, std::string& problem);

    // Every feed listens to the decoder; those that send pages listen to the message pages as well
    // (which then have to be built).
    std::vector<DecoderListener*> decoderListeners() const;
    std::vector<DecoderListener*> pageListeners() const;

    // At the end of the input: what is queued goes out until `deadline`, then every feed closes.
    void finish(std::chrono::steady_clock::time_point deadline);

    // A line per feed for a summary: clients taken and cut, frames written and dropped.
    std::string statisticsText() const;

    const std::vector<std::unique_ptr<NetworkOutput>>& servers() const { return servers_; }
    const SerialOutput* serial() const { return serial_.get(); }

private:
    std::vector<std::unique_ptr<NetworkOutput>> servers_;
    std::unique_ptr<SerialOutput> serial_;
};

}  // namespace sondeco
