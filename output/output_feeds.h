// SPDX-License-Identifier: GPL-3.0-or-later
// Everything decoded frames go to besides standard output or the window: the TCP servers of
// --listen and the serial port of --serial, opened, fed and finished together. The headless decoder
// and the desktop program both take these options, and both hand the feeds to their receiver.
#pragma once

#include "output/decoded_output.h"
#include "output/network_output.h"
#include "output/serial_output.h"
#include "output/station_choice.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sondeco {

struct FeedSettings {
    std::vector<ListenAddress> listen;
    std::string serialDevice;  // empty: no serial port
    int baud = 9600;
    std::size_t maxClients = NetworkOutput::DefaultMaxClients;  // of each --listen server
    // Where frames of several stations come through one decoder chain (the band monitor), every RTCM
    // feed carries one station: a --listen address's own @STATION, else this choice, else the only
    // station heard (a second one is then a conflict, see stationConflict()).
    bool oneStationPerRtcmFeed = false;
    StationChoice rtcmStation;
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
    std::vector<PageListener*> pageListeners() const;

    // At the end of the input: what is queued goes out until `deadline`, then every feed closes.
    void finish(std::chrono::steady_clock::time_point deadline);

    // A line per feed for a summary: clients taken and cut, frames written and dropped.
    std::string statisticsText() const;

    // An RTCM feed that was left to follow the only station heard has heard a second one: the feed
    // and the stations, "--serial /dev/ttyUSB0: station 55 on 301.0 kHz besides station 12 on 297.5
    // kHz". Empty while there is none.
    std::string stationConflict() const;
    // After finish(): the serial port went away and did not come back, so frames were lost for good.
    bool serialPortAway() const { return serial_ && serial_->awayAtEnd(); }

    const std::vector<std::unique_ptr<NetworkOutput>>& servers() const { return servers_; }
    const SerialOutput* serial() const { return serial_.get(); }

private:
    // What a feed listens through: itself, or a OneStationFeed in front of it.
    DecoderListener* listenerFor(DecoderListener& feed, const std::string& name, std::optional<int> stationId, bool rtcm,
                                 const FeedSettings& settings);

    std::vector<std::unique_ptr<NetworkOutput>> servers_;
    std::unique_ptr<SerialOutput> serial_;
    std::vector<DecoderListener*> decoderListeners_;
    std::vector<std::pair<std::string, std::unique_ptr<OneStationFeed>>> stationFeeds_;  // named as the user knows the feed
};

}  // namespace sondeco
